// Arbitrary packets through everything a receive thread does with a control packet's bytes:
// zero forcing, ID strings, version, connection list printing, server list text, command
// authorisation.
#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/packet_parse.h"
#include "core/protocol.h"
#include "core/settings.h"

namespace {

void checkParsers(const tc::Packet& packet) {
    tc::IdStrings ids = tc::parseIdStrings(packet);
    if (ids.id.size() + ids.password.size() + ids.dnsName.size() > tc::PAYLOAD_BYTES)
        __builtin_trap();
    (void)tc::parseVersion(packet);
    for (const std::string& line : tc::formatConnList(packet, "peer", 8192, "id"))
        if (line.empty() || line.back() != '\n') __builtin_trap();
    (void)tc::payloadString(packet, 0);

    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = htonl(0x0A010203); // 10.1.2.3
    sockaddr_in loop = remote;
    loop.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!tc::commandAuthorised(packet, loop)) __builtin_trap();
    (void)tc::commandAuthorised(packet, remote);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Byte 0 picks the call password length (0 to 255), bytes 1-8 are type and value as they
    // travel, the rest is the payload; short inputs still reach every type and value.
    if (size < 9) return 0;
    static const std::string passwords(255, 'k');
    tc::settings.callPassword.set(std::string_view(passwords).substr(0, data[0]));
    tc::Packet packet;
    packet.clear();
    std::memcpy(packet.typeBytes, data + 1, 4);
    std::memcpy(packet.valueBytes, data + 5, 4);
    std::memcpy(packet.payload, data + 9, std::min(size - 9, sizeof(packet.payload)));

    checkParsers(packet); // as received, before forcing
    tc::forcePayloadZeros(packet);
    checkParsers(packet);
    if (packet.type() < 0) {
        std::string text = tc::payloadString(packet, 0);
        if (text.size() > static_cast<size_t>(tc::LONG_TEXT_END)) __builtin_trap();
    }
    return 0;
}
