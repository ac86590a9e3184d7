#include "core/packet_parse.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "core/line_table.h"
#include "core/settings.h"

namespace tc {

namespace {

constexpr int CONNLIST_ENTRY_BYTES = 8;
constexpr int CONNLIST_MAX_ENTRIES = MAX_LINES;
// Entry 0's ID sits here, after the room for eight entries.
constexpr int CONNLIST_FIRST_ID = 80;
// The receiver zeroes byte 958 of a list, so every ID ends (with its zero byte) there at the
// latest.
constexpr int CONNLIST_ID_END = LONG_TEXT_END;

std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatText(const char* format, ...) {
    char buffer[1200];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    if (n < 0) return {};
    return std::string(buffer, std::min<size_t>(static_cast<size_t>(n), sizeof(buffer) - 1));
}

// Copies `text` with its zero byte to `offset` when it fits with the zero byte at or before
// `lastZero`. Returns the offset after the zero byte, or -1 when it does not fit.
int putString(Packet& packet, int offset, const std::string& text, int lastZero) {
    int len = static_cast<int>(text.size());
    if (offset < 0 || offset + len > lastZero || lastZero >= PAYLOAD_BYTES) return -1;
    std::memcpy(packet.payload + offset, text.data(), text.size());
    packet.payload[offset + len] = 0;
    return offset + len + 1;
}

void putConnEntry(Packet& packet, int index, const LineRecord& r, int offset) {
    uint8_t* e = packet.payload + index * CONNLIST_ENTRY_BYTES;
    in_addr peer = r.peerAddr.get().sin_addr;
    std::memcpy(e, &peer.s_addr, 4); // network order = dotted order
    auto port = static_cast<uint16_t>(r.peerPort.load());
    e[4] = uint8_t(port);
    e[5] = uint8_t(port >> 8);
    auto off = static_cast<uint16_t>(static_cast<int16_t>(offset));
    e[6] = uint8_t(off);
    e[7] = uint8_t(off >> 8);
}

bool inParty(const LineRecord& r, const LineRecord& other) {
    if (settings.hubMode == HUB_P2P) return other.active == 1;
    return other.active == r.active;
}

} // namespace

std::string payloadString(const Packet& packet, int offset) {
    if (offset < 0 || offset >= PAYLOAD_BYTES) return {};
    const char* start = reinterpret_cast<const char*>(packet.payload) + offset;
    return std::string(start, strnlen(start, static_cast<size_t>(PAYLOAD_BYTES - offset)));
}

std::string peerText(std::string_view text, bool keepLineBreaks) {
    std::string shown;
    shown.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (c == 0xc2 && next >= 0x80 && next <= 0x9f) { // a C1 control in UTF-8
            shown += '?';
            ++i;
        } else if ((c < 0x20 && !(keepLineBreaks && c == '\n')) || c == 0x7f) {
            shown += '?';
        } else {
            shown += text[i];
        }
    }
    return shown;
}

std::string peerString(const Packet& packet, int offset, bool keepLineBreaks) {
    return peerText(payloadString(packet, offset), keepLineBreaks);
}

IdStrings parseIdStrings(const Packet& packet) {
    IdStrings ids;
    int offset = 0;
    ids.id = payloadString(packet, offset);
    offset += static_cast<int>(ids.id.size()) + 1;
    ids.password = payloadString(packet, offset);
    offset += static_cast<int>(ids.password.size()) + 1;
    ids.id = peerText(ids.id);
    ids.dnsName = peerString(packet, offset);
    return ids;
}

Packet buildIdPacket(const std::string& id, const std::string& password, const std::string& dnsName,
                     int listenPort) {
    Packet packet;
    packet.clear();
    int offset = 0;
    for (const std::string* s : {&id, &password, &dnsName}) {
        std::string text = s->substr(0, strnlen(s->c_str(), s->size()));
        int room = PAYLOAD_BYTES - 1 - offset;
        if (room < 0) break;
        if (static_cast<int>(text.size()) > room) text.resize(static_cast<size_t>(room));
        offset = putString(packet, offset, text, PAYLOAD_BYTES - 1);
    }
    packet.setType(PKT_ID);
    packet.setValue(listenPort);
    return packet;
}

uint32_t parseVersionNumber(std::string_view text) {
    uint32_t version = 0;
    uint32_t number = 0;
    int field = 0;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            number = std::min<uint32_t>(number * 10 + static_cast<uint32_t>(c - '0'), 255);
        } else if (c == '.') {
            version |= number << (24 - 8 * field);
            number = 0;
            if (++field == 3) return version;
        } else {
            break;
        }
    }
    return version | number << (24 - 8 * field);
}

uint32_t parseVersion(const Packet& packet) {
    return parseVersionNumber(payloadString(packet, VERSION_OFFSET));
}

int buildConnList(int line, Packet& packet) {
    packet.clear();
    packet.setType(PKT_CONNLIST);
    if (line < 0 || line >= MAX_LINES) return 0;
    const LineRecord& r = lineTable[line];
    int count = 0;
    int next = putString(packet, CONNLIST_FIRST_ID, r.peerId.get(), CONNLIST_ID_END);
    if (next < 0) return 0; // cannot happen: an ID holds at most 255 characters
    putConnEntry(packet, count++, r, r.active ? CONNLIST_FIRST_ID : -CONNLIST_FIRST_ID);
    for (int k = 0; k < MAX_LINES && count < CONNLIST_MAX_ENTRIES; ++k) {
        const LineRecord& other = lineTable[k];
        if (k == line || !other.inUse || !other.accepted || !inParty(r, other)) continue;
        int after = putString(packet, next, other.peerId.get(), CONNLIST_ID_END);
        if (after < 0) continue; // its ID does not fit: the entry is left out
        putConnEntry(packet, count++, other, next);
        next = after;
    }
    packet.setValue(count);
    return count;
}

int requestConnList(int line) {
    if (line < 0 || line >= MAX_LINES) return -1;
    lineTable[line].listRequested = 1; // before the request: the answer may come at once
    return sendPacket(line, nullptr, PKT_CONNLIST, -1);
}

std::vector<ConnEntry> parseConnList(const Packet& packet) {
    std::vector<ConnEntry> entries;
    int count = packet.value();
    if (count < 0 || count > CONNLIST_MAX_ENTRIES) return entries;
    for (int i = 0; i < count; ++i) {
        const uint8_t* e = packet.payload + i * CONNLIST_ENTRY_BYTES;
        ConnEntry entry{};
        std::memcpy(entry.addr, e, 4);
        entry.port = static_cast<uint16_t>(e[4] | e[5] << 8);
        entry.offset = static_cast<int16_t>(static_cast<uint16_t>(e[6] | e[7] << 8));
        // Entry 0 marks a line on hold with an offset of 0 or less; its ID is at minus that.
        int at = (i == 0 && entry.offset <= 0) ? -entry.offset : entry.offset;
        entry.id = peerString(packet, at);
        entries.push_back(entry);
    }
    return entries;
}

std::vector<std::string> formatConnList(const Packet& packet, const std::string& peerName,
                                        int peerPort, const std::string& peerId) {
    std::vector<std::string> lines;
    std::vector<ConnEntry> entries = parseConnList(packet);
    for (size_t i = 0; i < entries.size(); ++i) {
        const ConnEntry& e = entries[i];
        char mark = i > 0 ? ' ' : (e.offset > 0 ? '*' : 'H');
        lines.push_back(formatText("%s %d [%s] Connected To: %c %d.%d.%d.%d  %d  [%s]\n",
                                   peerName.c_str(), peerPort, peerId.c_str(), mark, e.addr[0],
                                   e.addr[1], e.addr[2], e.addr[3], e.port, e.id.c_str()));
    }
    return lines;
}

std::string buildServerList() {
    std::string text;
    for (const LineRecord& r : lineTable) {
        if (!r.inUse || !r.accepted || r.active) continue;
        std::string line = formatText("%15s  %5d  [%s]\n", r.peerName.get().c_str(),
                                      r.peerPort.load(), r.peerId.get().c_str());
        if (text.size() + line.size() > static_cast<size_t>(LONG_TEXT_END)) break;
        text += line;
    }
    return text;
}

bool commandAuthorised(const Packet& packet, const sockaddr_in& peer) {
    uint32_t address = ntohl(peer.sin_addr.s_addr);
    if ((address >> 24) == 127) return true;
    std::string password = settings.callPassword.get();
    if (password.empty()) return false; // no password: loopback clients only
    if (password.size() >= static_cast<size_t>(PAYLOAD_BYTES)) return false;
    size_t start = PAYLOAD_BYTES - 1 - password.size();
    std::string offered = payloadString(packet, static_cast<int>(start));
    // Constant time: every byte of the password is compared whatever the offered text is.
    uint8_t differ = offered.size() == password.size() ? 0 : 1;
    for (size_t i = 0; i < password.size(); ++i)
        differ |= static_cast<uint8_t>(password[i] ^ (i < offered.size() ? offered[i] : 0));
    return differ == 0;
}

Packet buildCommandPacket(const std::vector<std::string>& commands, const std::string& password) {
    Packet packet;
    packet.clear();
    // A call password holds at most 255 characters.
    std::string pw =
        password.substr(0, std::min<size_t>(strnlen(password.c_str(), password.size()), 255));
    std::memcpy(packet.payload + PAYLOAD_BYTES - 1 - pw.size(), pw.data(), pw.size());
    // Commands end before the password and no later than byte 958, which the receiver zeroes.
    int lastZero = std::min<int>(LONG_TEXT_END, PAYLOAD_BYTES - 2 - static_cast<int>(pw.size()));
    int offset = 0;
    int count = 0;
    for (const std::string& command : commands) {
        std::string text = command.substr(0, strnlen(command.c_str(), command.size()));
        int after = putString(packet, offset, text, lastZero);
        if (after < 0) continue;
        offset = after;
        ++count;
    }
    packet.setType(PKT_COMMAND);
    packet.setValue(count);
    return packet;
}

} // namespace tc
