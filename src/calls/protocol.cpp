#include "calls/protocol.h"

#include <sys/socket.h>

#include "calls/line_table.h"

namespace tc {

int sendSocketPacket(int sock, const char* text, int type, int value) {
    Packet packet;
    packet.clear();
    if (text) {
        size_t n = strnlen(text, PAYLOAD_BYTES - 1);
        std::memcpy(packet.payload, text, n);
    }
    packet.setType(type);
    packet.setValue(value);
    const auto* data = reinterpret_cast<const char*>(&packet);
    size_t sent = 0;
    while (sent < sizeof(packet)) {
        ssize_t n = ::send(sock, data + sent, sizeof(packet) - sent, MSG_NOSIGNAL);
        if (n < 1) return n < 0 ? -1 : 0;
        sent += static_cast<size_t>(n);
    }
    return static_cast<int>(sent);
}

int sendPacket(int line, const char* text, int type, int value) {
    if (line < 0 || line >= MAX_LINES) return -1;
    return sendSocketPacket(lineTable[line].sock, text, type, value);
}

} // namespace tc
