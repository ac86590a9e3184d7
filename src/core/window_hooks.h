#pragma once
#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace tc {

// What the lower layers tell the window. The window model fills the hooks in at start-up; while
// a hook is empty (no window model wired, as in the unit tests of a lower layer) its call does
// nothing (getSelectedLines() gives no line).

// Set whenever the line list must be rebuilt by the next display refresh (a line was claimed,
// released or changed state).
extern std::atomic<int> displayDirty;
// Set when the next display refresh must rewrite the row of every line in use (a line's
// compression changed).
extern std::atomic<int> listDirty;
// False when the desktop has no system tray: the window then cannot hide into one.
extern std::atomic<bool> trayAvailable;

// Code of rowUpdate that removes the row of line n: ROW_REMOVE + n.
constexpr int ROW_REMOVE = 256;

// The texts of the window that the lower layers write.
enum class WindowText {
    hubButton,
    answerButton,
    idLabel,
    messageLabel,
    forwardPortLabel,
    muteButton,
    hostField,
    portField,
    pswdField,
    panel,
};

struct WindowHooks {
    std::function<void(WindowText, const std::string&)> setText;
    std::function<void(int code)> rowUpdate;
    std::function<std::vector<int>()> selectedLines;
    std::function<void()> refreshMenuChecks;
    std::function<void(bool shown)> showWindow;
};

extern WindowHooks windowHooks;

// Empties the hooks and sets the flags back (tests).
void resetWindowHooks();

void setWindowText(WindowText which, const std::string& text);
// Writes the row of line `code` (0 to 7) in the line list; ROW_REMOVE + n removes the row of
// line n.
void rowUpdate(int code);
// The lines whose rows are selected in the line list, in row order.
std::vector<int> getSelectedLines();
// Brings the compression and log check marks of the menu up to date.
void refreshMenuChecks();
// Shows (or hides) the main window.
void showMainWindow(bool shown);

} // namespace tc
