#include "ui/line_list.h"

#include <arpa/inet.h>
#include <cstdio>
#include <ctime>

#include "calls/line_table.h"
#include "core/audio_engine.h"
#include "core/output.h"
#include "core/settings.h"
#include "platform/console.h"
#include "ui/window_model.h"

namespace tc {

std::atomic<int> listDirty{0};

namespace {

constexpr int RAW_IP_BIT = 0x1000;
constexpr int FIRST_LINE_ROW = 2;
constexpr int RULE_ROW = 10;

// Mode label: compression and direction, 5 characters.
const char* modeLabel(const LineRecord& r) {
    bool in = r.incoming != 0;
    switch (r.compCode) {
    case 0:
        return in ? "  IN " : "  OUT";
    case 3:
        return in ? "L IN " : "L OUT";
    case 6:
        return in ? "M IN " : "M OUT";
    case 15:
        return in ? "H IN " : "H OUT";
    default:
        return in ? "? IN " : "? OUT";
    }
}

// State word, 7 characters.
const char* stateWord(const LineRecord& r) {
    if (!r.accepted) return "WAITING";
    if (r.active) return "ACTIVE ";
    return settings.hubMode != HUB_P2P ? "HUB 2  " : "HOLDING";
}

std::string formatted(const char* format, auto... args) {
    char text[512];
    snprintf(text, sizeof(text), format, args...);
    return text;
}

std::string dateAndTime() {
    char date[33] = "", time[33] = "";
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(date, sizeof(date), "%x", &local);
    std::strftime(time, sizeof(time), "%X", &local);
    return std::string(date) + "  " + time;
}

std::string headerRow(const std::string& clock, bool overloaded) {
    std::string row = clock;
    row += "  [" + settings.ownId.get() + "]";
    if (settings.hubMode == HUB_HUB) row += "  HUB";
    if (settings.hubMode == HUB_SERVER) row += "  SERVER";
    if (settings.incomingMode == INCOMING_BLOCKED) row += "  BLOCKED";
    if (settings.incomingMode == INCOMING_FORWARD) row += "  FORWARD";
    if (settings.defaultCompression != 0) row += "  COMPRESSED";
    std::string autoMessage = settings.autoMessage.get();
    if (!autoMessage.empty()) row += "  [" + autoMessage + " " + settings.forwardPort.get() + "]";
    if (overloaded) row += "  SYSTEM OR NETWORK OVERLOAD";
    return row;
}

std::string lineRow(int n) {
    const LineRecord& r = lineTable[n];
    int peerPort = r.peerPort;
    int secondPort = peerPort != 0 ? ntohs(r.peerAddr.sin_port) : r.port.load();
    std::string id = r.peerId.get();
    if (settings.diagBits & RAW_IP_BIT) {
        auto* a = reinterpret_cast<const unsigned char*>(&r.peerAddr.sin_addr.s_addr);
        return formatted("%d:  %s  %s  %d.%d.%d.%d  %5d/%5d  [%s]", n, modeLabel(r), stateWord(r),
                         a[0], a[1], a[2], a[3], peerPort, secondPort, id.c_str());
    }
    std::string name = r.peerName.get();
    return formatted("%d:  %s  %s  %15s  %5d/%5d  [%s]", n, modeLabel(r), stateWord(r),
                     name.c_str(), peerPort, secondPort, id.c_str());
}

// The row of `line`, or -1; the model lock is held.
int rowOfLine(int line) {
    for (int r = 0; r < MAX_LINES; ++r)
        if (windowModel.listRowLine[r] == line) return r;
    return -1;
}

// Deletes row r and moves the rows below it up; the model lock is held.
void deleteRow(int r) {
    auto& m = windowModel;
    if (static_cast<size_t>(r) < m.lineRows.size()) m.lineRows.erase(m.lineRows.begin() + r);
    if (static_cast<size_t>(r) < m.lineRowSelected.size())
        m.lineRowSelected.erase(m.lineRowSelected.begin() + r);
    for (int i = r; i < MAX_LINES - 1; ++i)
        m.listRowLine[i] = m.listRowLine[i + 1];
    m.listRowLine[MAX_LINES - 1] = -1;
}

// Writes the row of `line`: in place (keeping its selection) or appended; the model lock is
// held.
void writeRow(int line, const std::string& text) {
    auto& m = windowModel;
    int r = rowOfLine(line);
    if (r >= 0) {
        m.lineRows[r] = text;
        return;
    }
    size_t next = m.lineRows.size();
    if (next >= static_cast<size_t>(MAX_LINES)) return; // every row is taken: no room
    m.lineRows.push_back(text);
    m.lineRowSelected.resize(next + 1, false);
    m.listRowLine[next] = line;
}

// Keeps the rows true to the lines: a row whose line was given back goes, and a row whose text
// changed (a peer's ID arrived, a compression switch) is rewritten in place. Rows are added by
// the row update when a call comes up; only a rewrite of every row (`rewriteAll`, after a
// compression switch) gives a row to a line in use that has none and is not ending.
void syncRows(bool rewriteAll) {
    std::string texts[MAX_LINES];
    bool used[MAX_LINES];
    bool ending[MAX_LINES];
    for (int n = 0; n < MAX_LINES; ++n) {
        used[n] = lineTable[n].inUse != 0;
        ending[n] = lineTable[n].ending != 0;
        if (used[n]) texts[n] = lineRowText(n);
    }
    bool changed = false;
    {
        std::lock_guard lock(windowModel.mutex);
        for (int r = MAX_LINES - 1; r >= 0; --r) {
            int line = windowModel.listRowLine[r];
            if (line >= 0 && !used[line]) {
                deleteRow(r);
                changed = true;
            }
        }
        for (int n = 0; n < MAX_LINES; ++n) {
            if (!used[n]) continue;
            int r = rowOfLine(n);
            if (r < 0 && (!rewriteAll || ending[n])) continue;
            if (r >= 0 && windowModel.lineRows[r] == texts[n]) continue;
            writeRow(n, texts[n]);
            changed = true;
        }
    }
    if (changed) {
        displayDirty = 1;
        touchWindowModel();
    }
}

void showOverload(bool overloaded) {
    if (controlVisible(Control::overloadLabel) != overloaded)
        setControlVisible(Control::overloadLabel, overloaded);
}

void drawStatusRows(const std::vector<std::string>& rows) {
    std::lock_guard lock(outputState.consoleMutex);
    if (Console* c = outputState.console.load()) c->setStatusRows(rows);
}

std::vector<std::string> buildStatusRows(const std::string& clock, bool overloaded) {
    std::vector<std::string> rows(STATUS_ROWS);
    rows[0] = headerRow(clock, overloaded);
    int next = FIRST_LINE_ROW;
    for (int n = 0; n < MAX_LINES; ++n)
        if (lineTable[n].inUse) rows[next++] = lineRow(n);
    rows[RULE_ROW] = std::string(CONSOLE_COLUMNS - 1, '_');
    // A long name or message must not spill into the next row.
    for (auto& row : rows)
        if (row.size() > static_cast<size_t>(CONSOLE_COLUMNS)) row.resize(CONSOLE_COLUMNS);
    return rows;
}

} // namespace

std::string lineRowText(int n) {
    const LineRecord& r = lineTable[n];
    std::string name = r.peerName.get();
    std::string id = r.peerId.get();
    return formatted("#%d: %s  %-24s  %5d  [%s]", n, modeLabel(r), name.c_str(), r.peerPort.load(),
                     id.c_str());
}

const char* lineStateWord(int n) {
    return stateWord(lineTable[n]);
}

void rowUpdate(int code) {
    displayDirty = 1;
    if (code >= ROW_REMOVE) {
        int line = (code - ROW_REMOVE) & 0xFF;
        std::lock_guard lock(windowModel.mutex);
        int r = rowOfLine(line);
        if (r >= 0) deleteRow(r);
    } else if (code >= 0 && code < MAX_LINES) {
        std::string text = lineRowText(code);
        std::lock_guard lock(windowModel.mutex);
        writeRow(code, text);
    }
    touchWindowModel();
    displayDirty = 1;
    stateColumnRefresh();
}

std::vector<int> getSelectedLines() {
    std::vector<int> lines;
    std::lock_guard lock(windowModel.mutex);
    for (int r = 0; r < MAX_LINES; ++r) {
        int line = windowModel.listRowLine[r];
        bool selected = static_cast<size_t>(r) < windowModel.lineRowSelected.size() &&
                        windowModel.lineRowSelected[r];
        if (line >= 0 && selected) lines.push_back(line);
    }
    return lines;
}

std::vector<int> listRowLines() {
    std::lock_guard lock(windowModel.mutex);
    return {windowModel.listRowLine.begin(), windowModel.listRowLine.end()};
}

void stateColumnRefresh() {
    if (displayDirty.exchange(0) == 0) return;
    std::string column;
    {
        std::lock_guard lock(windowModel.mutex);
        for (int r = 0; r < MAX_LINES; ++r) {
            int line = windowModel.listRowLine[r];
            if (line < 0) continue;
            if (!column.empty()) column += "\n";
            column += stateWord(lineTable[line]);
        }
    }
    setControlText(Control::stateColumn, column);
}

void displayRefresh(int flag) {
    if (flag != 0) return;
    std::string clock = dateAndTime();
    setControlText(Control::clockLabel, clock);
    bool overloaded = audioOverloaded();
    showOverload(overloaded);
    syncRows(listDirty.exchange(0) != 0);
    stateColumnRefresh();
    drawStatusRows(buildStatusRows(clock, overloaded));
}

std::vector<std::string> statusRows() {
    return buildStatusRows(dateAndTime(), audioOverloaded());
}

} // namespace tc
