#pragma once
#include <QAction>
#include <QItemSelection>
#include <QListWidget>
#include <QMainWindow>
#include <QSystemTrayIcon>
#include <QTimer>
#include <array>
#include <map>

#include "ui/window_model.h"

namespace tc {

// The line list: letters typed while it has the focus go to the window actions; the other keys
// (arrows, space) move and select as usual.
class LineListWidget : public QListWidget {
    Q_OBJECT
  public:
    using QListWidget::QListWidget;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
};

// The main window: a fixed 640 x 480 window whose controls render the window model. Clicks,
// typed fields, selections, keys and menu items go to the window actions; nothing else here
// changes program state.
class MainWindow : public QMainWindow {
    Q_OBJECT
  public:
    explicit MainWindow(QWidget* parent = nullptr);

    // The widget of a control (buttons, labels, fields, lists), found by the control.
    QWidget* control(Control c) const { return controls_[static_cast<size_t>(c)]; }
    QAction* menuAction(int id) const;
    // Draws the model now when it changed (the timer does it every 50 ms).
    void refresh();
    // Lets the window close (the program is ending).
    void allowClose() { closing_ = true; }

  protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void createControls(QWidget* canvas);
    void createMenu();
    void render(const WindowSnapshot& s);
    void renderTexts(const WindowSnapshot& s);
    void renderLineList(const WindowSnapshot& s);
    void renderAddressList(const WindowSnapshot& s);
    void renderWindowState(const WindowSnapshot& s);
    void showForTheFirstTime();
    void updateTrayIcon(const WindowSnapshot& s);
    void showAbout();
    void lineSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
    void addressSelectionChanged();

    std::array<QWidget*, CONTROL_COUNT> controls_{};
    std::map<int, QAction*> actions_;
    QTimer timer_;
    QSystemTrayIcon* tray_ = nullptr;
    WindowSnapshot shown_;
    bool everShown_ = false;
    bool rendering_ = false; // the model is being drawn: widget signals are not user input
    bool closing_ = false;
};

} // namespace tc
