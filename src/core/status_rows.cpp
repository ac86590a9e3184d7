#include "core/status_rows.h"

#include <arpa/inet.h>
#include <cstdio>
#include <ctime>

#include "core/line_table.h"
#include "core/settings.h"
#include "platform/console.h"

namespace tc {

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
    sockaddr_in peer = r.peerAddr.get();
    int secondPort = peerPort != 0 ? ntohs(peer.sin_port) : r.port.load();
    std::string id = r.peerId.get();
    if (settings.diagBits & RAW_IP_BIT) {
        auto* a = reinterpret_cast<const unsigned char*>(&peer.sin_addr.s_addr);
        return formatted("%d:  %s  %s  %d.%d.%d.%d  %5d/%5d  [%s]", n, modeLabel(r), stateWord(r),
                         a[0], a[1], a[2], a[3], peerPort, secondPort, id.c_str());
    }
    std::string name = r.peerName.get();
    return formatted("%d:  %s  %s  %15s  %5d/%5d  [%s]", n, modeLabel(r), stateWord(r),
                     name.c_str(), peerPort, secondPort, id.c_str());
}

} // namespace

std::string dateAndTime() {
    char date[33] = "", time[33] = "";
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(date, sizeof(date), "%x", &local);
    std::strftime(time, sizeof(time), "%X", &local);
    return std::string(date) + "  " + time;
}

std::vector<std::string> statusRows(const std::string& clock, bool overloaded) {
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

} // namespace tc
