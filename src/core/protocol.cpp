#include "core/protocol.h"

#include <cerrno>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include "core/line_table.h"
#include "core/window_hooks.h"
#include "platform/clock.h"

namespace tc {

namespace {

Packet makePacket(const char* text, int type, int value) {
    Packet packet;
    packet.clear();
    if (text) {
        size_t n = strnlen(text, PAYLOAD_BYTES - 1);
        std::memcpy(packet.payload, text, n);
    }
    packet.setType(type);
    packet.setValue(value);
    return packet;
}

bool keepsShortTexts(int type) {
    return type != PKT_COMMAND && type != PKT_CONNLIST && type != PKT_SERVERLIST &&
           type != PKT_COMMANDREPLY;
}

} // namespace

int sendWholePacket(int sock, const Packet& packet, int waitMs) {
    const auto* data = reinterpret_cast<const char*>(&packet);
    const int64_t until = monotonicMs() + waitMs;
    size_t sent = 0;
    while (sent < sizeof(packet)) {
        ssize_t n = ::send(sock, data + sent, sizeof(packet) - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int64_t left = until - monotonicMs();
            if (left <= 0) return -2;
            pollfd p{sock, POLLOUT, 0};
            ::poll(&p, 1, static_cast<int>(left));
            continue;
        }
        if (n < 1) return n < 0 ? -1 : 0;
        sent += static_cast<size_t>(n);
    }
    return static_cast<int>(sent);
}

int sendLinePacket(int line, const Packet& packet) {
    if (line < 0 || line >= MAX_LINES) return -1;
    LineRecord& r = lineTable[line];
    std::lock_guard lock(r.sendLock);
    if (r.sendStuck) return -2;
    int sent = sendWholePacket(r.sock, packet);
    if (sent == -2) {
        r.sendStuck = 1;
        r.ending |= 1;
        displayDirty = 1;
    }
    return sent;
}

int sendPacketNoWait(int line, const char* text, int type, int value) {
    if (line < 0 || line >= MAX_LINES) return -1;
    LineRecord& r = lineTable[line];
    std::unique_lock lock(r.sendLock, std::try_to_lock);
    if (!lock.owns_lock() || r.sendStuck) return -2;
    return sendWholePacket(r.sock, makePacket(text, type, value), 0);
}

int sendSocketPacket(int sock, const char* text, int type, int value) {
    return sendWholePacket(sock, makePacket(text, type, value));
}

int sendPacket(int line, const char* text, int type, int value) {
    return sendLinePacket(line, makePacket(text, type, value));
}

int recvPacket(int sock, Packet& packet, const std::atomic<uint8_t>* stop) {
    auto* data = reinterpret_cast<char*>(&packet);
    size_t have = 0;
    while (have < sizeof(packet)) {
        if (stop && stop->load()) return 0;
        ssize_t n = ::recv(sock, data + have, sizeof(packet) - have, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 1) return n < 0 ? -1 : 0;
        have += static_cast<size_t>(n);
    }
    return PACKET_BYTES;
}

void forcePayloadZeros(Packet& packet) {
    int type = packet.type();
    if (type >= 0) return;
    packet.payload[LONG_TEXT_END] = 0;
    packet.payload[PAYLOAD_BYTES - 1] = 0;
    if (keepsShortTexts(type)) {
        packet.payload[SHORT_TEXT_END] = 0;
        packet.payload[SHORT_TEXT_END + 1] = 0;
        packet.payload[SHORT_TEXT_END + 2] = 0;
    }
}

int setNoDelay(int sock) {
    int on = 1;
    return ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) == 0 ? 0 : 1;
}

} // namespace tc
