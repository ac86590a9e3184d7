#include "ui/window_actions.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#include "commands/dns.h"
#include "commands/line_ops.h"
#include "core/command_queue.h"
#include "core/lifecycle.h"
#include "core/line_table.h"
#include "core/output.h"
#include "core/packet_parse.h"
#include "core/protocol.h"
#include "core/settings.h"
#include "platform/dialogs.h"
#include "platform/store.h"
#include "ui/address_book.h"
#include "ui/line_list.h"

namespace tc {

namespace {

constexpr uint32_t PEER_VERSION_1_1 = 0x01010000;
constexpr int HIGH_LEVEL_LIMIT = 10; // levels above this need a peer of version 1.1 or later
constexpr int MIN_GAIN = -16;
constexpr int MAX_GAIN = 15;

// Field limits, in characters.
constexpr size_t TEXT_LIMIT = 254;
constexpr size_t ID_LIMIT = 126;
constexpr size_t PORT_LIMIT = 6;
constexpr size_t GAIN_LIMIT = 8;

const char* const HELP_LINES[] = {
    "P to P allows point to point communication",
    "HUB sets up a hub for the active lines and a separate hub for the lines on hold",
    "SERVER sets up an automatic hub for incoming callers",
    "",
    "ANSWER allows incoming calls",
    "BLOCKED new incoming calls are disconnected after sending any automatic message",
    "FORWARD new incoming calls are forwarded to a specified destination",
    "NO PORT indicates incoming calls not available",
    "",
    "TALK (T) activates the selected line(s) that are on hold",
    "ALL (A) activates all lines",
    "HOLD (H) isolates the selected line(s) from the conversation",
    "HOLD ALL (N) puts all lines on hold",
    "DROP (D) disconnects the selected line(s)",
    "DROP ALL (K) disconnects all lines",
    "PRIVATE (P) activates the selected line(s) and puts the rest on hold",
    "INV PRIV (I) puts the selected line(s) on hold and activates the rest",
    "QUIT (Q) disconnects all calls then terminates the program",
    "MUTE (M) mutes/enables microphone",
    "MIKE sets the microphone gain (-16 to 15) (Master + All if none selected)",
    "SPKR sets the speaker gain (-16 to 15) (Master + All if none selected)",
    "",
    "AUTO MSG/FWD sets the message sent to callers or IP and Port for Forwarding",
    "SEND MESSAGE sends a message to the selected line(s)",
    "ADDRESS BOOK displays or hides the address book",
    "SET ID sets the program's ID",
    "COMP toggles compression on the selected lines or default",
    "CALL places a new outgoing call",
    "",
    "(S) selects all lines",
    "(C) clears all selections",
    "(F) flips all selections",
    "(R) set auto retry",
    "(E) requests connection list",
};

// The texts of one stored value handled by the File menu.
struct StoredValueTexts {
    const char* name;
    const char* queryFailed;
    const char* current;
    const char* changed;
    const char* storeFailed;
};

const StoredValueTexts STARTUP_TEXTS = {
    STORE_STARTUP, "Cannot Retrieve Old Startup String\n", "Current Startup: [%s]\n",
    "Startup Changed From: [%s]  To: [%s]\n", "Cannot Set Startup\n"};
const StoredValueTexts DNS_UPDATE_TEXTS = {
    STORE_DNS_UPDATE, "Cannot Retrieve Old DNS Update URL\n", "Current DNS Update URL: [%s]\n",
    "DNS Update URL Changed From: [%s]  To: [%s]\n", "Cannot Set DNS Update URL\n"};
const StoredValueTexts DNS_NAME_TEXTS = {
    STORE_DNS, "Cannot Retrieve Old Dynamic Name\n", "Current DNS Name: [%s]\n",
    "DNS Name Changed From: [%s]  To: [%s]\n", "Cannot Set DNS Name\n"};

// Shows the stored value ("?") or replaces it. Returns 0 when a new value was stored.
int handleStoredValue(Store& store, const StoredValueTexts& texts, const std::string& newText) {
    std::string old;
    bool haveOld = store.readValue(texts.name, old) == 0;
    if (!haveOld) message("%s", texts.queryFailed);
    if (newText == "?") {
        if (haveOld) message(texts.current, old.c_str());
        return 1;
    }
    if (store.writeValue(texts.name, newText) != 0) {
        message("%s", texts.storeFailed);
        return 1;
    }
    message(texts.changed, old.c_str(), newText.c_str());
    return 0;
}

// The DNS routines wait for answers from the network; they run on a thread of their own so the
// window stays responsive meanwhile.
void runInBackground(void (*work)()) {
    if (startRetiringThread(work) != 0) work();
}

void setDnsInactive() {
    settings.dnsUpdateActive = 0;
}

void dropSelected() {
    setDnsInactive();
    lineOp(LINEOP_DROP);
}

void dropAll() {
    setDnsInactive();
    lineOp(LINEOP_DROP_ALL);
}

} // namespace

// ---- fields ----

bool noErase() {
    return (settings.diagBits & DIAG_NO_ERASE) != 0;
}

std::string readField(Control field, size_t limit) {
    std::string text = controlText(field);
    if (text.size() > limit) text.resize(limit);
    return text;
}

void resetField(Control field) {
    if (noErase()) return;
    switch (field) {
    case Control::hostField:
        setControlText(field, settings.defaultCallAddress.get());
        break;
    case Control::portField:
        setControlText(field, settings.defaultCallPort.get());
        break;
    case Control::pswdField:
        setControlText(field, settings.defaultCallPassword.get());
        break;
    default:
        break;
    }
}

void clearField(Control field) {
    if (!noErase()) setControlText(field, "");
}

void traceWindowEvent(uint32_t event, uint32_t wParam, uint32_t lParam) {
    if (!(settings.diagBits & DIAG_WIN_MSG)) return;
    output(NoPanel, "%08x %08x %08x %08x\n", MAIN_WINDOW_HANDLE, event, wParam, lParam);
}

// ---- actions ----

void quitProgram() {
    settings.terminateMode = 2;
    setDnsInactive();
    lineOp(LINEOP_DROP_ALL);
}

void askAndQuit() {
    if (dialogs().ask("QUIT", "Are you sure you want to quit?", DialogButtons::yesNo) == DIALOG_YES)
        quitProgram();
}

void killProgram() {
    {
        std::lock_guard lock(windowModel.mutex);
        windowModel.killRequested = true;
    }
    touchWindowModel();
}

void cycleIncomingMode() {
    int mode = settings.incomingMode;
    if (mode & INCOMING_NO_PORT) {
        message("ANSWER Mode Disabled (No Input Port)\n");
        return;
    }
    mode = (mode + 1) % 3;
    settings.incomingMode = mode;
    bool noText = settings.autoMessage.empty();
    if (mode == INCOMING_ANSWER) {
        setControlText(Control::answerButton, "ANSWER");
        if (noText) setControlText(Control::messageLabel, "");
    } else if (mode == INCOMING_BLOCKED) {
        setControlText(Control::answerButton, "BLOCKED");
        if (noText) setControlText(Control::messageLabel, "(No Message)");
    } else {
        setControlText(Control::answerButton, "FORWARD");
        if (noText || settings.forwardPort.empty()) message("Cannot Forward Without IP and Port\n");
        if (noText) setControlText(Control::messageLabel, "(No IP)");
    }
}

void cycleHubMode() {
    // The hub rings need no clearing here: the audio engine builds every mix afresh before it
    // sends one, and the rings belong to its thread.
    int mode = settings.hubMode;
    ++mode;
    if (mode == HUB_SERVER && settings.listenPort == 0) {
        message("Server Mode Requires Input Port\n");
        mode = HUB_P2P;
    }
    if (mode > HUB_SERVER) mode = HUB_P2P;
    settings.hubMode = mode;
    displayDirty = 1;
    static const char* const names[] = {"P to P", "HUB", "SERVER"};
    setControlText(Control::hubButton, names[mode]);
}

void setAutoMessage() {
    std::string text = readField(Control::hostField, TEXT_LIMIT);
    settings.autoMessage.set(text);
    setControlText(Control::messageLabel, text.empty() ? "(No Message or IP)" : text);
    std::string port = readField(Control::portField, PORT_LIMIT);
    settings.forwardPort.set(port);
    setControlText(Control::forwardPortLabel, port);
    resetField(Control::hostField);
    resetField(Control::portField);
}

void sendTextMessage() {
    std::string text = readField(Control::hostField, TEXT_LIMIT);
    if (text.empty()) {
        message("No Message\n");
        return;
    }
    std::vector<int> lines = selectedRowLines();
    if (lines.empty()) {
        message("No Line Selected\n");
        return;
    }
    message("Message From ME:  %s\n", text.c_str());
    for (int n : lines)
        sendPacket(n, text.c_str(), PKT_MESSAGE, 0);
    resetField(Control::hostField);
}

void setOwnId() {
    std::string id = readField(Control::pswdField, ID_LIMIT);
    settings.ownId.set(id);
    setControlText(Control::idLabel, id.empty() ? "(No ID)" : id);
    resetField(Control::pswdField);
}

void applyGain(bool mic) {
    Control field = mic ? Control::micGainField : Control::spkGainField;
    std::atomic<int>& master = mic ? settings.masterMicGain : settings.masterSpkGain;
    std::string text = readField(field, GAIN_LIMIT);
    int value = 0;
    // A field without a number is as invalid as one out of range.
    if (std::sscanf(text.c_str(), "%d", &value) != 1 || value < MIN_GAIN || value > MAX_GAIN) {
        message(mic ? "Invalid Microphone Gain\n" : "Invalid Speaker Gain\n");
    } else {
        std::vector<int> lines = selectedRowLines();
        auto gainOf = [mic](LineRecord& r) -> std::atomic<int8_t>& {
            return mic ? r.micGain : r.spkGain;
        };
        if (lines.empty()) {
            for (auto& r : lineTable)
                gainOf(r) = static_cast<int8_t>(value);
            master = value;
        } else {
            for (int n : lines)
                gainOf(lineTable[n]) = static_cast<int8_t>(value);
        }
    }
    setControlText(field, std::to_string(master.load()));
}

void toggleMute() {
    int muted = 1 - settings.micMuted;
    settings.micMuted = muted;
    if (muted) {
        message("Microphone Muted\n");
        setControlText(Control::muteButton, "UNMUTE");
    } else {
        message("Microphone Enabled\n");
        setControlText(Control::muteButton, "MUTE");
    }
}

void toggleCompression() {
    std::vector<int> lines = selectedRowLines();
    int level = settings.defaultCompLevel;
    if (lines.empty()) {
        if (settings.defaultCompression != 0) {
            settings.defaultCompression = 0;
            message("Compression Default Set To Normal\n");
        } else {
            settings.defaultCompression = level;
            message("Compression Default Set To Compress\n");
        }
        return;
    }
    for (int n : lines) {
        LineRecord& r = lineTable[n];
        if (level > HIGH_LEVEL_LIMIT && r.peerVersion < PEER_VERSION_1_1) {
            message("%d: Compression Level Not Supported By Other Party\n", n);
            continue;
        }
        int code = r.compCode != level ? level : 0;
        r.compCode = static_cast<int8_t>(code);
        sendPacket(n, nullptr, PKT_COMPRESSION, code);
    }
    listDirty = 1;
    displayDirty = 1;
}

void setAutoRetry() {
    std::vector<int> lines = selectedRowLines();
    if (lines.empty()) {
        message("No Line Selected\n");
        return;
    }
    message("Auto Retry Set\n");
    for (int n : lines)
        if (lineTable[n].active) lineTable[n].autoRetry = 1;
}

void exportRequest() {
    std::vector<int> lines = selectedRowLines();
    if (lines.empty()) {
        message("No Line Selected\n");
    } else if (lines.size() > 1) {
        message("Only One Request at a Time\n");
    } else {
        requestConnList(lines[0]);
    }
}

void executeCommand() {
    std::string text = readField(Control::hostField, TEXT_LIMIT);
    // A command still running keeps the queue; the text then stays in the field to try again.
    if (queueWindowCommand(text) == 0) clearField(Control::hostField);
}

void setStartupValue() {
    Store store;
    if (store.createFolder() != 0) {
        message("Cannot Create Registry Key\n");
        return;
    }
    handleStoredValue(store, STARTUP_TEXTS, readField(Control::hostField, TEXT_LIMIT));
    clearField(Control::hostField);
}

void setDynamicDns() {
    setDnsInactive();
    Store store;
    if (store.createFolder() != 0) {
        message("Cannot Create Registry Key\n");
        return;
    }
    handleStoredValue(store, DNS_UPDATE_TEXTS, readField(Control::hostField, TEXT_LIMIT));
    std::string name = readField(Control::pswdField, ID_LIMIT);
    if (handleStoredValue(store, DNS_NAME_TEXTS, name) == 0) settings.dnsName.set(name);
    clearField(Control::hostField);
    clearField(Control::pswdField);
    runInBackground([] { dnsUpdate(1); });
}

void hideOrMinimize() {
    switch (settings.trayIcon) {
    case 0:
        setWindowMinimized(true);
        break;
    case 1:
        // Without a system tray a hidden window could never be brought back.
        if (!trayAvailable) {
            setWindowMinimized(true);
            break;
        }
        setWindowShown(false);
        settings.trayIcon = 2;
        break;
    default:
        break;
    }
}

void noSystemTray() {
    if (settings.trayIcon != 2) return;
    settings.trayIcon = 1;
    setWindowShown(true);
    setWindowMinimized(true);
}

void trayClick() {
    traceWindowEvent(WINDOW_EVENT_TRAY, 0, 0x202);
    if (settings.trayIcon == 1) {
        setWindowShown(false);
        settings.trayIcon = 2;
    } else {
        setWindowShown(true);
        settings.trayIcon = 1;
    }
}

void setCompressionLevel(int level) {
    settings.defaultCompLevel = level;
    if (level == 3)
        message("Default Compression Level Set To Low\n");
    else if (level == 6)
        message("Default Compression Level Set To Medium\n");
    else
        message("Default Compression Level Set To High\n");
    updateMenuChecks();
}

std::string helpText() {
    std::string text;
    bool first = true;
    for (const char* line : HELP_LINES) {
        if (!first) text += "\n";
        text += line;
        first = false;
    }
    return text;
}

void showHelp() {
    dialogs().ask("HELP", helpText(), DialogButtons::ok);
}

void printVersion() {
    message("%s\n", BANNER);
}

// ---- dispatch ----

void pressControl(Control control) {
    // Controls are numbered from 1 in creation order in the trace.
    traceWindowEvent(WINDOW_EVENT_COMMAND, 0, static_cast<uint32_t>(control) + 1);
    switch (control) {
    case Control::callButton:
        callButton();
        break;
    case Control::talkButton:
        lineOp(LINEOP_TALK);
        break;
    case Control::allButton:
        lineOp(LINEOP_TALK_ALL);
        break;
    case Control::holdButton:
        lineOp(LINEOP_HOLD);
        break;
    case Control::holdAllButton:
        lineOp(LINEOP_HOLD_ALL);
        break;
    case Control::dropButton:
        dropSelected();
        break;
    case Control::dropAllButton:
        dropAll();
        break;
    case Control::privateButton:
        lineOp(LINEOP_HOLD_ALL + LINEOP_TALK);
        break;
    case Control::invPrivButton:
        lineOp(LINEOP_TALK_ALL + LINEOP_HOLD);
        break;
    case Control::answerButton:
        cycleIncomingMode();
        break;
    case Control::hubButton:
        cycleHubMode();
        break;
    case Control::autoMsgButton:
        setAutoMessage();
        break;
    case Control::sendMessageButton:
        sendTextMessage();
        break;
    case Control::setIdButton:
        setOwnId();
        break;
    case Control::micButton:
        applyGain(true);
        break;
    case Control::spkButton:
        applyGain(false);
        break;
    case Control::quitButton:
        quitProgram();
        break;
    case Control::muteButton:
        toggleMute();
        break;
    case Control::addressBookButton:
        addressBookButton();
        break;
    case Control::compButton:
        toggleCompression();
        break;
    default:
        break;
    }
}

void menuCommand(int id) {
    traceWindowEvent(WINDOW_EVENT_COMMAND, static_cast<uint32_t>(id), 0);
    switch (id) {
    case MENU_SET_STARTUP:
        setStartupValue();
        break;
    case MENU_DYNAMIC_DNS:
        setDynamicDns();
        break;
    case MENU_HIDE_MINIMIZE:
        hideOrMinimize();
        break;
    case MENU_ADDRESS_BOOK:
        addressBookMenu();
        break;
    case MENU_LOG:
        chooseLogFile();
        break;
    case MENU_QUIT:
        quitProgram();
        break;
    case MENU_KILL:
        killProgram();
        break;
    case MENU_CONSOLE:
        openConsole();
        break;
    case MENU_SET_RETRY:
        setAutoRetry();
        break;
    case MENU_LOW_COMPRESSION:
        setCompressionLevel(3);
        break;
    case MENU_MEDIUM_COMPRESSION:
        setCompressionLevel(6);
        break;
    case MENU_HIGH_COMPRESSION:
        setCompressionLevel(15);
        break;
    case MENU_EXECUTE:
        executeCommand();
        break;
    case MENU_DNS_CHECK:
        runInBackground([] { dnsCheck(); });
        break;
    case MENU_DNS_UPDATE:
        runInBackground([] { dnsUpdate(2); });
        break;
    case MENU_HELP:
        showHelp();
        break;
    case MENU_VERSION:
        printVersion();
        break;
    default:
        break;
    }
}

void lineListKey(int key) {
    key = std::toupper(static_cast<unsigned char>(key));
    traceWindowEvent(WINDOW_EVENT_KEY, static_cast<uint32_t>(key), 0);
    switch (key) {
    case 'A':
        lineOp(LINEOP_TALK_ALL);
        break;
    case 'C':
        clearLineRowSelection();
        break;
    case 'D':
        dropSelected();
        break;
    case 'E':
        exportRequest();
        break;
    case 'F':
        flipLineRowSelection();
        break;
    case 'H':
        lineOp(LINEOP_HOLD);
        break;
    case 'I':
        lineOp(LINEOP_TALK_ALL + LINEOP_HOLD);
        break;
    case 'K':
        dropAll();
        break;
    case 'M':
        toggleMute();
        break;
    case 'N':
        lineOp(LINEOP_HOLD_ALL);
        break;
    case 'P':
        lineOp(LINEOP_HOLD_ALL + LINEOP_TALK);
        break;
    case 'Q':
        askAndQuit();
        break;
    case 'R':
        setAutoRetry();
        break;
    case 'S':
        selectAllLineRows();
        break;
    case 'T':
        lineOp(LINEOP_TALK);
        break;
    default:
        break;
    }
}

} // namespace tc
