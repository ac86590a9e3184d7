#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>

#include "audio/audio_engine.h"
#include "calls/call_out.h"
#include "commands/command_args.h"
#include "commands/command_thread.h"
#include "commands/console_dialogs.h"
#include "commands/line_ops.h"
#include "commands/text_helpers.h"
#include "core/launch_options.h"
#include "core/lifecycle.h"
#include "core/line_table.h"
#include "core/output.h"
#include "core/packet_parse.h"
#include "core/protocol.h"
#include "core/settings.h"
#include "core/status_rows.h"
#include "core/window_hooks.h"

namespace tc {

namespace {

constexpr uint32_t VERSION_1_1 = 0x01010000;
constexpr int CONSOLE_ONLY = NoPanel | NoLog;

void blankLine() {
    output(CONSOLE_ONLY, "\n");
}

bool validLine(int line) {
    return line >= 0 && line < MAX_LINES;
}

// A line number as the upper half of a lineOp code can carry it: every invalid number stays
// invalid (8) and every negative one means all lines (-1), so no number wraps onto a real line.
int codeLine(int line) {
    if (line < 0) return -1;
    return line >= MAX_LINES ? MAX_LINES : line;
}

// Prints the refusal for a line number that is out of range or not in use; true when refused.
bool refuseLine(int line, int flags) {
    if (!validLine(line)) {
        output(flags, "Invalid Line Number\n");
        return true;
    }
    if (!lineTable[line].inUse) {
        output(flags, "Line Not In Use\n");
        return true;
    }
    return false;
}

void delayCommand(const char* line, int role) {
    int64_t ms = 0;
    for (const char* p = line; *p >= '0' && *p <= '9'; ++p) {
        ms = ms * 10 + (*p - '0');
        if (ms > INT32_MAX) ms = INT32_MAX;
    }
    commandSleep(ms, role);
}

void statusCommand(int flags) {
    std::vector<std::string> rows = statusRows(dateAndTime(), audioOverloaded());
    rows.resize(STATUS_ROWS);
    for (int r = 0; r < STATUS_ROWS; ++r) {
        int rowFlags = r < 10 ? (flags | NoPanel) : NoPanel;
        output(rowFlags, "%s\n", rows[r].c_str());
    }
}

bool incomingDisabled(int flags) {
    if (settings.incomingMode & INCOMING_NO_PORT) {
        output(flags, "Incoming Calls Disabled\n");
        return true;
    }
    return false;
}

void blockCommand(const char* line, int flags) {
    ArgReader args(line);
    std::string choice;
    args.word(choice);
    if (!incomingDisabled(flags)) {
        switch (choiceLetter(choice)) {
        case 'Y':
            settings.incomingMode = INCOMING_BLOCKED;
            setWindowText(WindowText::answerButton, "BLOCKED");
            if (settings.autoMessage.empty())
                setWindowText(WindowText::messageLabel, "(No Message)");
            break;
        case 'N':
            settings.incomingMode = INCOMING_ANSWER;
            setWindowText(WindowText::answerButton, "ANSWER");
            setWindowText(WindowText::messageLabel, settings.autoMessage.get());
            break;
        default:
            output(flags, "Invalid Choice\n");
        }
    }
    blankLine();
}

void callCommand(const char* line) {
    ArgReader args(line);
    std::string host, password;
    int port = 0;
    if (args.word(host) && args.number(port)) args.word(password);
    placeCall(host, port, password, 0);
    blankLine();
}

void numberedLineOp(const char* line, int flags, int32_t ops) {
    ArgReader args(line);
    int number = 0;
    args.number(number);
    if (lineOp(lineOpCode(codeLine(number), flags, ops)) != 0) blankLine();
}

void expReqCommand(const char* line, int flags) {
    ArgReader args(line);
    int number = 0;
    args.number(number);
    if (!refuseLine(number, flags)) requestConnList(number);
    blankLine();
}

void forwardCommand(const char* line, int flags) {
    ArgReader args(line);
    std::string host, port;
    if (args.word(host)) args.word(port);
    if (incomingDisabled(flags)) {
        blankLine();
        return;
    }
    if (host.empty()) {
        message("ANSWER Mode\n");
        setWindowText(WindowText::answerButton, "ANSWER");
        setWindowText(WindowText::messageLabel, "");
        setWindowText(WindowText::forwardPortLabel, "");
        settings.incomingMode = INCOMING_ANSWER;
        settings.autoMessage.clear();
        settings.forwardPort.clear();
        return;
    }
    settings.autoMessage.set(host);
    settings.forwardPort.set(port);
    settings.incomingMode = INCOMING_FORWARD;
    setWindowText(WindowText::answerButton, "FORWARD");
    setWindowText(WindowText::messageLabel, settings.autoMessage.get());
    setWindowText(WindowText::forwardPortLabel, settings.forwardPort.get());
}

void sendToLines(int number, const std::string& text) {
    if (number < 0) {
        for (int n = 0; n < MAX_LINES; ++n)
            if (lineTable[n].inUse) sendPacket(n, text.c_str(), PKT_MESSAGE, 0);
    } else {
        sendPacket(number, text.c_str(), PKT_MESSAGE, 0);
    }
}

// Sends a typed line as messages of at most the SHORT_TEXT_END bytes a receiver keeps, cut
// between UTF-8 characters, so a long line arrives whole in several messages.
void sendTypedLine(int number, const std::string& text) {
    const size_t most = SHORT_TEXT_END;
    size_t at = 0;
    do {
        size_t cut = std::min(text.size() - at, most);
        while (cut > 0 && at + cut < text.size() && (text[at + cut] & 0xC0) == 0x80)
            --cut;
        if (cut == 0) cut = std::min(text.size() - at, most); // not UTF-8: cut anywhere
        sendToLines(number, text.substr(at, cut));
        at += cut;
    } while (at < text.size());
}

// Instant-message mode: every typed line goes to the line (or to every line) until the end of
// input. The console thread runs nothing else meanwhile.
void instantMessageMode(int number) {
    output(NoPanel, "^Z To End\n");
    output(NoPanel, "> ");
    std::string text;
    while (readConsoleLine(text) == 0) {
        if (number >= 0 && !lineTable[number].inUse) {
            output(0, "Line Not In Use\n");
            return;
        }
        sendTypedLine(number, text);
        output(NoPanel, "> ");
    }
    output(NoPanel, "IM Mode Ended\n");
}

void imCommand(const char* line, int role) {
    if (role != ROLE_CONSOLE) {
        output(ToCommander, "IM Mode Available From Console Only\n");
        blankLine();
        return;
    }
    ArgReader args(line);
    int number = 0;
    args.number(number);
    if (number < 0 || !refuseLine(number, 0)) instantMessageMode(number);
    blankLine();
}

void kompCommand(const char* line, int flags) {
    ArgReader args(line);
    int number = 0;
    std::string choice;
    if (args.number(number)) args.word(choice);
    int code;
    switch (choiceLetter(choice)) {
    case 'Y':
        code = settings.defaultCompLevel;
        break;
    case 'N':
        code = 0;
        break;
    default:
        output(flags, "Invalid Choice\n");
        blankLine();
        return;
    }
    if (number < 0) {
        settings.defaultCompression = code;
        if (code != 0)
            output(flags, "Compression Default Set To Compress\n");
        else
            output(flags, "Compression Default Set To Normal\n");
        blankLine();
        return;
    }
    if (refuseLine(number, flags)) {
        blankLine();
        return;
    }
    LineRecord& r = lineTable[number];
    if (code > 10 && r.peerVersion < VERSION_1_1) {
        message("%d: Compression Level Not Supported By Other Party\n", number);
        blankLine();
        return;
    }
    r.compCode = static_cast<int8_t>(code);
    rowUpdate(number);
    sendPacket(number, nullptr, PKT_COMPRESSION, code);
}

void muteCommand(const char* line, int flags) {
    ArgReader args(line);
    std::string choice;
    args.word(choice);
    switch (choiceLetter(choice)) {
    case 'Y':
        settings.micMuted = 1;
        message("Microphone Muted\n");
        setWindowText(WindowText::muteButton, "UNMUTE");
        break;
    case 'N':
        settings.micMuted = 0;
        message("Microphone Enabled\n");
        setWindowText(WindowText::muteButton, "MUTE");
        break;
    default:
        output(flags, "Invalid Choice\n");
    }
    blankLine();
}

void quitCommand() {
    settings.terminateMode = 2;
    wakeCommandSleeps(); // a Delay on the other command thread ends
    lineOp(LINEOP_DROP_ALL);
    // With no line to end there is nothing to wait for.
    if (linesInUse() == 0) shutdown();
}

void replyCommand(const char* line) {
    std::string text = restFromWord(line, 2);
    settings.autoMessage.set(text);
    std::string shown = settings.autoMessage.get();
    int mode = settings.incomingMode;
    if (shown.empty() && (mode == INCOMING_BLOCKED || mode == INCOMING_FORWARD))
        shown = "(No Message)";
    setWindowText(WindowText::messageLabel, shown);
}

void sendCommand(const char* line, int flags) {
    ArgReader args(line);
    int number = 0;
    args.number(number);
    std::string text = restFromWord(line, 3);
    if (nextWord(line, 3) == nullptr) {
        output(flags, "No Message\n");
        blankLine();
        return;
    }
    if (number >= 0 && refuseLine(number, flags)) {
        blankLine();
        return;
    }
    sendToLines(number, text);
}

void volCommand(const char* line, int flags) {
    ArgReader args(line);
    int number = 0, level = 0;
    std::string type;
    if (args.number(number) && args.word(type)) args.number(level);
    int letter = choiceLetter(type);
    bool refused = true;
    if (letter != 'M' && letter != 'S') {
        output(flags, "Invalid Type\n");
    } else if (level < -16 || level > 16) {
        output(flags, "Invalid Level\n");
    } else if (number >= 0) {
        if (!refuseLine(number, flags)) {
            auto& gain = letter == 'M' ? lineTable[number].micGain : lineTable[number].spkGain;
            gain = static_cast<int8_t>(level);
            refused = false;
        }
    } else {
        refused = false;
        if (linesInUse() > 0) {
            for (auto& r : lineTable) {
                if (!r.inUse) continue;
                (letter == 'M' ? r.micGain : r.spkGain) = static_cast<int8_t>(level);
            }
            (letter == 'M' ? settings.masterMicGain : settings.masterSpkGain) = level;
        }
    }
    if (refused) blankLine();
}

void windowCommand() {
    if (currentConsole() == nullptr)
        openConsole();
    else if (!launchOptions.headless) // without a window the terminal is the only console
        closeConsole();
    commandState.idleEvent.set();
}

void hubCommand(const char* line, int flags) {
    ArgReader args(line);
    std::string choice;
    args.word(choice);
    switch (choiceLetter(choice)) {
    case 'H':
        settings.hubMode = HUB_HUB;
        setWindowText(WindowText::hubButton, "HUB");
        break;
    case 'S':
        if (settings.listenPort == 0) {
            output(flags, "Server Mode Requires Input Port\n");
            blankLine();
            return;
        }
        settings.hubMode = HUB_SERVER;
        setWindowText(WindowText::hubButton, "SERVER");
        break;
    case 'N':
        settings.hubMode = HUB_P2P;
        setWindowText(WindowText::hubButton, "P to P");
        break;
    default:
        output(flags, "Invalid Choice\n");
        blankLine();
        return;
    }
    displayDirty = 1;
}

void invalidCommand(int flags) {
    output(flags, "Invalid Command\n");
    blankLine();
}

// The key of a command: its first character, with the three symbols that select commands
// mapped below "A" and bit 5 cleared, so lower case letters fold to upper case.
int commandKey(char first) {
    auto c = static_cast<signed char>(first);
    int key;
    if (c < 0x0A)
        key = '?';
    else if (c == '/')
        key = 0x01;
    else if (c == '+')
        key = 0x02;
    else if (c == '&')
        key = 0x03;
    else
        key = c;
    return key & ~0x20;
}

} // namespace

void runCommand(const char* line, int role) {
    if (line == nullptr) line = "";
    const int flags = role == ROLE_BUFFER ? ToCommander : 0;
    if (line[0] >= '0' && line[0] <= '9') {
        delayCommand(line, role);
        return;
    }
    switch (commandKey(line[0])) {
    case 0x01:
        hubCommand(line, flags);
        break;
    case 0x02:
        startupValueCommand(line, flags);
        break;
    case 0x03:
        dnsValueCommand(line, flags);
        break;
    case 0x0A:
        statusCommand(flags);
        break;
    case 'A':
        lineOp(LINEOP_TALK_ALL);
        break;
    case 'B':
        blockCommand(line, flags);
        break;
    case 'C':
        callCommand(line);
        break;
    case 'D':
        numberedLineOp(line, flags, LINEOP_DROP);
        break;
    case 'E':
        expReqCommand(line, flags);
        break;
    case 'F':
        forwardCommand(line, flags);
        break;
    case 'H':
        numberedLineOp(line, flags, LINEOP_HOLD);
        break;
    case 'I':
        imCommand(line, role);
        break;
    case 'K':
        kompCommand(line, flags);
        break;
    case 'L':
        commandState.showCommandList = 1 - commandState.showCommandList;
        break;
    case 'M':
        muteCommand(line, flags);
        break;
    case 'N':
        lineOp(LINEOP_HOLD_ALL);
        break;
    case 'P':
        numberedLineOp(line, flags, LINEOP_HOLD_ALL + LINEOP_TALK);
        break;
    case 'Q':
        quitCommand();
        break;
    case 'R':
        replyCommand(line);
        break;
    case 'S':
        sendCommand(line, flags);
        break;
    case 'T':
        numberedLineOp(line, flags, LINEOP_TALK);
        break;
    case 'V':
        volCommand(line, flags);
        break;
    case 'W':
        windowCommand();
        break;
    case 'X':
        maintenanceX(line, flags);
        break;
    case 'Y':
        maintenanceY(line);
        break;
    case 'Z':
        maintenanceZ(line, flags);
        break;
    default:
        invalidCommand(flags);
    }
}

} // namespace tc
