#pragma once
#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <string_view>
#include <vector>

#include "core/protocol.h"

namespace tc {

// The zero-ended string at `offset` of the payload, never read past the payload's end. An
// offset outside the payload gives an empty string.
std::string payloadString(const Packet& packet, int offset);

// A text from a peer or a web page as it is shown and kept: control characters, line breaks
// included, become "?", so a peer cannot forge lines or drive a terminal. With keepLineBreaks
// "\n" stays (a list of lines).
std::string peerText(std::string_view text, bool keepLineBreaks = false);
// payloadString as peerText shows it.
std::string peerString(const Packet& packet, int offset, bool keepLineBreaks = false);

// The three strings of a PKT_ID, one after the other. The callee sends only its ID, so the
// other two are then empty. The ID and the DNS name as peerText shows them.
struct IdStrings {
    std::string id;
    std::string password;
    std::string dnsName;
};
IdStrings parseIdStrings(const Packet& packet);
// A caller's PKT_ID: ID, offered password and DNS name packed from byte 0; value = listening
// port. Strings that would run past the payload are cut.
Packet buildIdPacket(const std::string& id, const std::string& password, const std::string& dnsName,
                     int listenPort);

// Where the version number starts in the banner of a PKT_VERSION.
constexpr int VERSION_OFFSET = 28;
// Packs a dotted version number: the first number in bits 31-24, the second in 23-16, the third
// in 15-8. Reading stops at the first character that is neither a digit nor '.', or after the
// third '.'. A number above 255 counts as 255. "1.1" gives 0x01010000.
uint32_t parseVersionNumber(std::string_view text);
// The version of a PKT_VERSION packet, read from payload byte 28.
uint32_t parseVersion(const Packet& packet);

// One entry of a received connection list.
struct ConnEntry {
    uint8_t addr[4];
    uint16_t port;
    int16_t offset;
    std::string id;
};
// Builds the connection list about line `line` into `packet` (type PKT_CONNLIST, value = number
// of entries): entry 0 is the line itself (ID offset +80 when active, -80 on hold), then every
// other line in use and accepted that is in its party. An entry whose ID does not fit is left
// out and not counted. Returns the number of entries.
int buildConnList(int line, Packet& packet);
// Asks the peer of line `line` for its connection list and marks the line as waiting for one.
// Returns the send result (bytes sent, below 1 on failure).
int requestConnList(int line);
// The entries of a received list (IDs as peerText shows them); value outside 0 to 8 gives none.
std::vector<ConnEntry> parseConnList(const Packet& packet);
// The lines a receiver prints for a list, each ending in "\n"; peerName, peerPort and peerId
// describe the line the list came from.
std::vector<std::string> formatConnList(const Packet& packet, const std::string& peerName,
                                        int peerPort, const std::string& peerId);

// The text a server sends as PKT_SERVERLIST: one "%15s  %5d  [%s]\n" line per line in use,
// accepted and on hold, in index order, ending at the last whole line within 958 characters.
std::string buildServerList();

// True when a PKT_COMMAND from `peer` may run: always from a loopback address (127.x); from
// elsewhere only when a call password is set and the string that ends at payload byte 1022
// equals it.
bool commandAuthorised(const Packet& packet, const sockaddr_in& peer);
// A PKT_COMMAND as a remote control client sends it: the commands back to back from byte 0, the
// password right-aligned with its last character at byte 1022, value = number of commands.
// Commands that do not end by byte 958 and before the password are left out and not counted.
Packet buildCommandPacket(const std::vector<std::string>& commands, const std::string& password);

} // namespace tc
