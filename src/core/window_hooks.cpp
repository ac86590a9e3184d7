#include "core/window_hooks.h"

namespace tc {

std::atomic<int> displayDirty{1};
std::atomic<int> listDirty{0};
std::atomic<bool> trayAvailable{true};
WindowHooks windowHooks;

void resetWindowHooks() {
    windowHooks = {};
    displayDirty = 1;
    listDirty = 0;
    trayAvailable = true;
}

void setWindowText(WindowText which, const std::string& text) {
    if (windowHooks.setText) windowHooks.setText(which, text);
}

void rowUpdate(int code) {
    if (windowHooks.rowUpdate)
        windowHooks.rowUpdate(code);
    else
        displayDirty = 1;
}

std::vector<int> getSelectedLines() {
    return windowHooks.selectedLines ? windowHooks.selectedLines() : std::vector<int>{};
}

void refreshMenuChecks() {
    if (windowHooks.refreshMenuChecks) windowHooks.refreshMenuChecks();
}

void showMainWindow(bool shown) {
    if (windowHooks.showWindow) windowHooks.showWindow(shown);
}

} // namespace tc
