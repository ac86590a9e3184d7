#include <algorithm>
#include <string>
#include <vector>

#include "commands/command_args.h"
#include "commands/command_thread.h"
#include "commands/dns.h"
#include "core/line_table.h"
#include "core/output.h"
#include "core/protocol.h"
#include "core/settings.h"
#include "core/window_hooks.h"
#include "platform/store.h"

namespace tc {

namespace {

constexpr int CONSOLE_ONLY = NoPanel | NoLog;
constexpr size_t DUMP_MIN_CHARS = 20;
// The audio thread's pause (X 4) in milliseconds: at least 1, or the thread never sleeps; at
// most half a block of 64 ms, as each pass plays at most one block.
constexpr int MIN_SLEEP_LOW = 1;
constexpr int MIN_SLEEP_HIGH = 32;
constexpr int X_MIN_SLEEP = 4;

void blankLine() {
    output(CONSOLE_ONLY, "\n");
}

struct TunedValue {
    std::atomic<int>& value;
    const char* echo; // old and new value
};

bool validCompCode(int code) {
    return code == 0 || code == 3 || code == 6 || code == 15;
}

// Sets the default compression code; a new non-zero code also becomes the default level.
// Returns false (after the message) for a code that is not 0, 3, 6 or 15.
bool setCompCode(int code, int flags) {
    if (!validCompCode(code)) {
        output(flags, "Invalid Comp Code\n");
        return false;
    }
    output(flags, "cp: %d -> %d\n", settings.defaultCompression.load(), code);
    settings.defaultCompression = code;
    int level = settings.defaultCompLevel;
    if (code != 0 && code != level) {
        output(flags, "Comp Level: %d -> %d\n", level, code);
        settings.defaultCompLevel = code;
        refreshMenuChecks();
    }
    return true;
}

// The text from the line's third character on (the command character and the one after it
// are skipped, whatever they are), without a final line feed.
std::string textFromThirdCharacter(const char* line) {
    std::string text;
    if (line[0] != '\0' && line[1] != '\0') text = line + 2;
    removeFinalLineFeed(text);
    return text;
}

// Reads a stored value; a value that cannot be read is reported and shown as empty.
std::string readOldValue(const Store& store, const char* name, const char* failure, int flags) {
    std::string value;
    if (store.readValue(name, value) != 0) {
        output(flags, "%s", failure);
        value.clear();
    }
    return value;
}

// The value as stored by "&": a text that starts with "-" stands for an empty value.
std::string dnsValue(const std::string& text) {
    return !text.empty() && text[0] == '-' ? "" : text;
}

} // namespace

void maintenanceX(const char* line, int flags) {
    ArgReader args(line);
    int type = -1, value = 0;
    if (args.number(type)) args.number(value);
    TunedValue tuned[] = {
        {settings.diagBits, "diag: %d -> %d\n"},     {settings.thresh1, "low : %d -> %d\n"},
        {settings.thresh2, "low2: %d -> %d\n"},      {settings.midDiff, "lowd: %d -> %d\n"},
        {settings.minSleep, "minsleep: %d -> %d\n"}, {settings.dumpLim, "dump: %d -> %d\n"},
    };
    if (type == X_MIN_SLEEP) value = std::clamp(value, MIN_SLEEP_LOW, MIN_SLEEP_HIGH);
    if (type >= 0 && type <= 5) {
        TunedValue& t = tuned[type];
        output(flags, t.echo, t.value.load(), value);
        t.value = value;
    } else if (type == 6 && !setCompCode(value, flags)) {
        return;
    }
    output(flags, "Values: %d %d %d %d %d %d %d [%d]\n", settings.diagBits.load(),
           settings.thresh1.load(), settings.thresh2.load(), settings.midDiff.load(),
           settings.minSleep.load(), settings.dumpLim.load(), settings.defaultCompression.load(),
           settings.defaultCompLevel.load());
    blankLine();
}

void maintenanceY(const char* line) {
    settings.callPassword.set(restFromWord(line, 2));
}

void maintenanceZ(const char* line, int flags) {
    ArgReader args(line);
    int number = 0;
    args.number(number);
    if (number < 0 || number >= MAX_LINES) {
        output(flags, "Invalid Line Number\n");
        blankLine();
        return;
    }
    if (!lineTable[number].inUse) {
        output(flags, "Line Not In Use\n");
        blankLine();
        return;
    }
    if (screenDump(number) != 0) output(flags, "Dump Failed\n");
}

int screenDump(int line) {
    std::vector<std::string> rows;
    {
        std::lock_guard lock(outputState.consoleMutex);
        Console* console = outputState.console.load();
        if (console == nullptr) return 1;
        rows = console->screen();
    }
    if (rows.size() > static_cast<size_t>(CONSOLE_ROWS)) rows.resize(CONSOLE_ROWS);
    // The last two rows (the prompt being typed) are not sent.
    for (size_t r = 0; r + 2 < rows.size(); ++r) {
        std::string row = rows[r];
        row.resize(CONSOLE_COLUMNS, ' ');
        size_t end = row.find_last_not_of(' ');
        size_t keep = end == std::string::npos ? 0 : end + 1;
        row.resize(std::max(keep, DUMP_MIN_CHARS));
        std::string text = "\r" + row;
        if (sendPacket(line, text.c_str(), PKT_MESSAGE, 0) < 1) return 1;
    }
    return 0;
}

void startupValueCommand(const char* line, int flags) {
    Store store;
    if (store.createFolder() != 0) {
        output(flags, "Cannot Create Registry Key\n");
        blankLine();
        return;
    }
    std::string old =
        readOldValue(store, STORE_STARTUP, "Cannot Retrieve Old Startup String\n", flags);
    std::string text = textFromThirdCharacter(line);
    if (text == "?") {
        output(flags, "Startup:  [%s]\n", old.c_str());
    } else if (store.writeValue(STORE_STARTUP, text) != 0) {
        output(flags, "Cannot Set Startup\n");
    } else {
        output(flags, "Startup Changed From: [%s]  To: [%s]\n", old.c_str(), text.c_str());
    }
    blankLine();
}

void dnsValueCommand(const char* line, int flags) {
    settings.dnsUpdateActive = 0;
    Store store;
    if (store.createFolder() != 0) {
        output(flags, "Cannot Create Registry Key\n");
        blankLine();
        return;
    }
    std::string oldUrl =
        readOldValue(store, STORE_DNS_UPDATE, "Cannot Retrieve Old DNS Update URL\n", flags);
    std::string oldName = readOldValue(store, STORE_DNS, "Cannot Retrieve Old DNS Name\n", flags);
    std::string text = textFromThirdCharacter(line);
    if (text == "?") {
        output(flags, "DNS Update URL:  [%s]\n", oldUrl.c_str());
        output(flags, "DNS Name:        [%s]\n", oldName.c_str());
        blankLine();
        return;
    }
    size_t space = text.find(' ');
    if (space == std::string::npos) {
        message("DNS Name Missing\n");
        blankLine();
        return;
    }
    size_t nameStart = text.find_first_not_of(' ', space);
    std::string url = dnsValue(text.substr(0, space));
    std::string name = dnsValue(nameStart == std::string::npos ? "" : text.substr(nameStart));
    if (store.writeValue(STORE_DNS_UPDATE, url) != 0)
        output(flags, "Cannot Set DNS Update URL\n");
    else
        output(flags, "DNS Update URL Changed From: [%s]  To: [%s]\n", oldUrl.c_str(), url.c_str());
    if (store.writeValue(STORE_DNS, name) != 0) {
        output(flags, "Cannot Set DNS Name\n");
    } else {
        output(flags, "DNS Name Changed From: [%s]  To: [%s]\n", oldName.c_str(), name.c_str());
        settings.dnsName.set(name);
    }
    dnsUpdate(1);
    blankLine();
}

} // namespace tc
