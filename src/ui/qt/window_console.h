#pragma once
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>
#include <QWidget>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/console.h"
#include "platform/screen_buffer.h"

namespace tc {

// The console of the window view: an 80 x 50 character screen and a queue of typed lines.
// Any thread writes to it and reads from it; the console window below only draws it and hands
// it the lines typed into its input field.
class WindowConsole : public Console {
  public:
    void write(std::string_view text) override;
    // Waits for a typed line (0), or returns -1 once the console is closed.
    int readLine(std::string& line) override;
    void setStatusRows(const std::vector<std::string>& rows) override;
    std::vector<std::string> screen() const override;

    // Opening gives a blank screen and shows the window; closing hides it and makes every
    // waiting and later read return -1 until the next opening.
    void open();
    void close();
    bool isOpen() const;

    // A line typed into the window: shown on the screen and queued for readLine.
    void submit(const std::string& line);
    // Grows on every change of the screen or of the open state.
    unsigned version() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable typed_;
    ScreenBuffer screen_;
    std::deque<std::string> lines_;
    bool open_ = false;
    unsigned version_ = 0;
};

// The window "Talkcircle Console": the screen in a fixed-pitch font above an input line.
// Closing it ends the program.
class ConsoleWindow : public QWidget {
    Q_OBJECT
  public:
    explicit ConsoleWindow(WindowConsole& console, QWidget* parent = nullptr);

    QLineEdit* input() const { return input_; }
    QPlainTextEdit* screenView() const { return screen_; }
    // Draws the console now (the timer does it every 100 ms).
    void refresh();

  protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void submitInput();

    WindowConsole& console_;
    QPlainTextEdit* screen_;
    QLineEdit* input_;
    QTimer timer_;
    unsigned shownVersion_ = ~0u;
};

} // namespace tc
