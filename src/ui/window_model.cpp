#include "ui/window_model.h"

#include <algorithm>

#include "core/output.h"
#include "core/settings.h"

namespace tc {

WindowModel windowModel;

namespace {

void touch() {
    windowModel.version.fetch_add(1, std::memory_order_release);
}

size_t lineRowsLocked() {
    return std::min(windowModel.lineRows.size(), windowModel.lineRowSelected.size());
}

void setInitialTexts() {
    auto& t = windowModel.texts;
    auto set = [&t](Control c, const char* text) { t[static_cast<size_t>(c)] = text; };
    set(Control::hubButton, "P to P");
    set(Control::answerButton, "ANSWER");
    set(Control::idLabel, DEFAULT_OWN_ID);
    set(Control::talkButton, "TALK");
    set(Control::allButton, "ALL");
    set(Control::holdButton, "HOLD");
    set(Control::holdAllButton, "HOLD ALL");
    set(Control::dropButton, "DROP");
    set(Control::dropAllButton, "DROP ALL");
    set(Control::privateButton, "PRIVATE");
    set(Control::invPrivButton, "INV PRIV");
    set(Control::muteButton, "MUTE");
    set(Control::quitButton, "QUIT");
    set(Control::micGainField, "0");
    set(Control::micButton, "MIKE");
    set(Control::spkGainField, "0");
    set(Control::spkButton, "SPKR");
    set(Control::panelWindow, BANNER);
    set(Control::addressBookList, "Address Book");
    set(Control::autoMsgButton, "AUTO MSG/FWD");
    set(Control::sendMessageButton, "SEND MESSAGE");
    set(Control::addressBookButton, "ADDRESS BOOK");
    set(Control::setIdButton, "SET ID");
    set(Control::compButton, "COMP");
    set(Control::hostField, DEFAULT_CALL_ADDRESS);
    set(Control::portField, "8192");
    set(Control::callButton, "CALL");
    set(Control::overloadLabel, "SYSTEM or\nNETWORK\nOVERLOAD");
}

} // namespace

void resetWindowModel() {
    trayAvailable = true;
    std::lock_guard lock(windowModel.mutex);
    windowModel.texts = {};
    setInitialTexts();
    windowModel.visible.fill(true);
    windowModel.visible[static_cast<size_t>(Control::addressBookList)] = false;
    windowModel.visible[static_cast<size_t>(Control::overloadLabel)] = false;
    windowModel.lineRows.clear();
    windowModel.lineRowSelected.clear();
    windowModel.listRowLine.fill(-1);
    windowModel.addressRows.clear();
    windowModel.addressSelection = -1;
    windowModel.menuChecks = {};
    windowModel.title = "Talkcircle";
    windowModel.windowShown = false;
    windowModel.minimized = false;
    windowModel.raiseCount = 0;
    windowModel.trayIconShown = false;
    windowModel.killRequested = false;
    touch();
}

WindowSnapshot snapshotWindow() {
    WindowSnapshot s;
    std::lock_guard lock(windowModel.mutex);
    s.version = windowModel.version.load(std::memory_order_acquire);
    s.texts = windowModel.texts;
    s.visible = windowModel.visible;
    s.lineRows = windowModel.lineRows;
    s.lineRowSelected = windowModel.lineRowSelected;
    s.lineRowSelected.resize(s.lineRows.size(), false);
    for (size_t r = 0; r < s.lineRows.size() && r < windowModel.listRowLine.size(); ++r)
        s.lineRowLines.push_back(windowModel.listRowLine[r]);
    s.addressRows = windowModel.addressRows;
    s.addressSelection = windowModel.addressSelection;
    s.menuChecks = windowModel.menuChecks;
    s.title = windowModel.title;
    s.windowShown = windowModel.windowShown;
    s.minimized = windowModel.minimized;
    s.raiseCount = windowModel.raiseCount;
    s.trayIconShown = windowModel.trayIconShown;
    s.killRequested = windowModel.killRequested;
    return s;
}

void touchWindowModel() {
    touch();
}

void setLineRowSelected(int row, bool selected) {
    {
        std::lock_guard lock(windowModel.mutex);
        if (row < 0 || static_cast<size_t>(row) >= lineRowsLocked()) return;
        windowModel.lineRowSelected[static_cast<size_t>(row)] = selected;
    }
    touch();
}

bool lineRowIsSelected(int row) {
    std::lock_guard lock(windowModel.mutex);
    if (row < 0 || static_cast<size_t>(row) >= lineRowsLocked()) return false;
    return windowModel.lineRowSelected[static_cast<size_t>(row)];
}

void setLineSelected(int line, bool selected) {
    {
        std::lock_guard lock(windowModel.mutex);
        for (size_t r = 0; r < lineRowsLocked() && r < windowModel.listRowLine.size(); ++r)
            if (windowModel.listRowLine[r] == line) windowModel.lineRowSelected[r] = selected;
    }
    touch();
}

int lineRowCount() {
    std::lock_guard lock(windowModel.mutex);
    return static_cast<int>(lineRowsLocked());
}

namespace {
template <typename F> void forEachLineRow(F change) {
    {
        std::lock_guard lock(windowModel.mutex);
        for (size_t r = 0; r < lineRowsLocked(); ++r)
            windowModel.lineRowSelected[r] = change(windowModel.lineRowSelected[r]);
    }
    touch();
}
} // namespace

void selectAllLineRows() {
    forEachLineRow([](bool) { return true; });
}
void clearLineRowSelection() {
    forEachLineRow([](bool) { return false; });
}
void flipLineRowSelection() {
    forEachLineRow([](bool selected) { return !selected; });
}

void setAddressRows(std::vector<std::string> rows) {
    {
        std::lock_guard lock(windowModel.mutex);
        windowModel.addressRows = std::move(rows);
        windowModel.addressSelection = -1;
    }
    touch();
}

void appendAddressRow(const std::string& row) {
    {
        std::lock_guard lock(windowModel.mutex);
        windowModel.addressRows.push_back(row);
    }
    touch();
}

std::vector<std::string> addressRowTexts() {
    std::lock_guard lock(windowModel.mutex);
    return windowModel.addressRows;
}

void setAddressSelection(int row) {
    {
        std::lock_guard lock(windowModel.mutex);
        bool valid = row >= 0 && static_cast<size_t>(row) < windowModel.addressRows.size();
        windowModel.addressSelection = valid ? row : -1;
    }
    touch();
}

int addressSelectionRow() {
    std::lock_guard lock(windowModel.mutex);
    return windowModel.addressSelection;
}

void setWindowShown(bool shown) {
    {
        std::lock_guard lock(windowModel.mutex);
        windowModel.windowShown = shown;
        if (shown) {
            windowModel.minimized = false;
            ++windowModel.raiseCount;
        }
    }
    touch();
}

void setWindowMinimized(bool minimized) {
    {
        std::lock_guard lock(windowModel.mutex);
        windowModel.minimized = minimized;
    }
    touch();
}

void setTrayIconShown(bool shown) {
    {
        std::lock_guard lock(windowModel.mutex);
        windowModel.trayIconShown = shown;
    }
    touch();
}

void setControlText(Control c, const std::string& text) {
    {
        std::lock_guard lock(windowModel.mutex);
        windowModel.texts[static_cast<size_t>(c)] = text;
    }
    touch();
}

std::string controlText(Control c) {
    std::lock_guard lock(windowModel.mutex);
    return windowModel.texts[static_cast<size_t>(c)];
}

void setControlVisible(Control c, bool visible) {
    {
        std::lock_guard lock(windowModel.mutex);
        windowModel.visible[static_cast<size_t>(c)] = visible;
    }
    touch();
}

bool controlVisible(Control c) {
    std::lock_guard lock(windowModel.mutex);
    return windowModel.visible[static_cast<size_t>(c)];
}

void setWindowTitle(const std::string& title) {
    {
        std::lock_guard lock(windowModel.mutex);
        windowModel.title = title;
    }
    touch();
}

std::string windowTitleText() {
    std::lock_guard lock(windowModel.mutex);
    return windowModel.title;
}

void updateMenuChecks() {
    int level = settings.defaultCompLevel;
    bool logOpen = outputState.logFile >= 0;
    {
        std::lock_guard lock(windowModel.mutex);
        auto& m = windowModel.menuChecks;
        m[static_cast<size_t>(MenuCheck::log)] = logOpen;
        m[static_cast<size_t>(MenuCheck::lowCompression)] = level == 3;
        m[static_cast<size_t>(MenuCheck::mediumCompression)] = level == 6;
        m[static_cast<size_t>(MenuCheck::highCompression)] = level == 15;
    }
    touch();
}

bool menuChecked(MenuCheck item) {
    std::lock_guard lock(windowModel.mutex);
    return windowModel.menuChecks[static_cast<size_t>(item)];
}

namespace {
struct WindowModelDefaults {
    WindowModelDefaults() { resetWindowModel(); }
} windowModelDefaults;
} // namespace

} // namespace tc
