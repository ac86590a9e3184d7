#pragma once
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class QMessageBox;

namespace tc {

class MainWindow;
class ConsoleWindow;
class QtDialogs;
class WindowConsole;

// The program with its window: the interface runs on the calling thread (which must own the
// QApplication), start-up and the supervisor on a thread of their own. shutdown() leaves the
// event loop.
class QtProgram {
  public:
    QtProgram();
    ~QtProgram();
    QtProgram(const QtProgram&) = delete;
    QtProgram& operator=(const QtProgram&) = delete;

    // Runs `body` (start-up and the supervisor, returning the exit code) on a thread of its
    // own. 0, or 1 when no thread could be made.
    int start(std::function<int()> body);
    // After the event loop: closes the dialogs and waits for the program to end; returns its
    // exit code.
    int finish();

    MainWindow& window() { return *window_; }
    ConsoleWindow& consoleWindow() { return *consoleWindow_; }
    WindowConsole& console() { return *console_; }
    QtDialogs& dialogs() { return *dialogs_; }

  private:
    std::unique_ptr<QtDialogs> dialogs_;
    std::unique_ptr<WindowConsole> console_;
    std::unique_ptr<ConsoleWindow> consoleWindow_;
    std::unique_ptr<MainWindow> window_;
    std::thread program_;
    int exitCode_ = 0;
};

// The syntax box shown after the syntax text is printed: wanted only on a real display (X or
// Wayland, not Qt's offscreen or minimal platform) and not with --headless.
bool syntaxBoxWanted(bool headless);
// The box itself: title "SYNTAX", the information sign, an OK button.
std::unique_ptr<QMessageBox> makeSyntaxBox(const std::string& text);
// Builds the application, shows the box until it is closed, and returns 0.
int showSyntaxBox(int argc, char** argv, const std::string& text);

// main() with a display: builds the application and the window, runs `body` (the program) beside
// the event loop, and returns the exit code.
int runQtProgram(int argc, char** argv, std::function<int()> body);

} // namespace tc
