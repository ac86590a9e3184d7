#pragma once
#include <array>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "core/window_hooks.h"

namespace tc {

// Every control of the main window, in creation order.
enum class Control {
    clockLabel,
    hubButton,
    answerButton,
    idLabel,
    messageLabel,
    forwardPortLabel,
    stateColumn,
    lineList,
    talkButton,
    allButton,
    holdButton,
    holdAllButton,
    dropButton,
    dropAllButton,
    privateButton,
    invPrivButton,
    muteButton,
    quitButton,
    micGainField,
    micButton,
    spkGainField,
    spkButton,
    panelWindow,
    addressBookList,
    autoMsgButton,
    sendMessageButton,
    addressBookButton,
    setIdButton,
    compButton,
    hostField,
    portField,
    pswdField,
    callButton,
    overloadLabel,
    count
};

constexpr size_t CONTROL_COUNT = static_cast<size_t>(Control::count);

// Menu items that carry a check mark.
enum class MenuCheck { log, lowCompression, mediumCompression, highCompression, count };

// The toolkit-free model of the main window. Every part of the program writes texts, rows and
// flags here; the view (Qt, or nothing when headless) renders it. One mutex guards it all;
// `version` grows on every change so a view can tell when to redraw.
struct WindowModel {
    mutable std::mutex mutex;
    std::array<std::string, CONTROL_COUNT> texts;
    std::array<bool, CONTROL_COUNT> visible{};
    std::vector<std::string> lineRows; // rows of lineList
    std::vector<bool> lineRowSelected; // selection of lineList, one flag per row
    // For each row of lineList, the line it shows; -1 = no row. Rows are packed from row 0.
    std::array<int, 8> listRowLine{};
    std::vector<std::string> addressRows; // rows of addressBookList
    int addressSelection = -1;            // selected row of addressBookList, -1 = none
    std::array<bool, static_cast<size_t>(MenuCheck::count)> menuChecks{};
    std::string title = "Talkcircle";
    bool windowShown = false;
    bool minimized = false;
    unsigned raiseCount = 0;    // grows whenever the window is to come to the front
    bool trayIconShown = false; // start-up added the tray icon (its tip is the title)
    bool killRequested = false; // File, Kill: the view ends the program at once
    std::atomic<unsigned> version{0};
};

// A copy of everything a view draws, taken under the lock in one go.
struct WindowSnapshot {
    unsigned version = 0;
    std::array<std::string, CONTROL_COUNT> texts;
    std::array<bool, CONTROL_COUNT> visible{};
    std::vector<std::string> lineRows;
    std::vector<bool> lineRowSelected;
    std::vector<int> lineRowLines; // the line each row shows
    std::vector<std::string> addressRows;
    int addressSelection = -1;
    std::array<bool, static_cast<size_t>(MenuCheck::count)> menuChecks{};
    std::string title;
    bool windowShown = false;
    bool minimized = false;
    unsigned raiseCount = 0;
    bool trayIconShown = false;
    bool killRequested = false;
};

extern WindowModel windowModel;

// Puts the model back to the window as first created (texts of the control table).
void resetWindowModel();

void setControlText(Control c, const std::string& text);
std::string controlText(Control c);
void setControlVisible(Control c, bool visible);
bool controlVisible(Control c);
void setWindowTitle(const std::string& title);
std::string windowTitleText();

WindowSnapshot snapshotWindow();
// Marks the model changed (after writing fields directly under the lock).
void touchWindowModel();

// Selection of the line list rows (rows that do not exist are ignored).
void setLineRowSelected(int row, bool selected);
bool lineRowIsSelected(int row);
// Selects or unselects the row that shows `line`, wherever it is now (a click on a row the view
// drew before the rows moved); a line without a row is ignored.
void setLineSelected(int line, bool selected);
int lineRowCount();
// "S", "C" and "F": select, unselect or flip rows 0 to 7.
void selectAllLineRows();
void clearLineRowSelection();
void flipLineRowSelection();

// The address book list.
void setAddressRows(std::vector<std::string> rows);
void appendAddressRow(const std::string& row);
std::vector<std::string> addressRowTexts();
void setAddressSelection(int row);
int addressSelectionRow();

// Showing the window also restores it and brings it to the front.
void setWindowShown(bool shown);
void setWindowMinimized(bool minimized);
void setTrayIconShown(bool shown);

// Brings the compression and log check marks up to date from the settings and the log state.
void updateMenuChecks();
bool menuChecked(MenuCheck item);

} // namespace tc
