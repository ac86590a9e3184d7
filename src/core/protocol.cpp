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

// Sends size bytes from data, counting them in `sent`, until all are sent, the socket fails or
// the time `until` passes. Returns the bytes sent when all are, -2 when the time ran out, 0 when
// the peer closed, -1 on failure.
int sendBytes(int sock, const char* data, size_t size, size_t& sent, int64_t until) {
    while (sent < size) {
        ssize_t n = ::send(sock, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
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

int sendPacketBytes(int sock, const Packet& packet, size_t& sent, int64_t until) {
    return sendBytes(sock, reinterpret_cast<const char*>(&packet), sizeof(packet), sent, until);
}

// Sends what is left of a packet an earlier sender could not finish (the caller holds the send
// lock). Returns PACKET_BYTES when nothing is left, else as sendBytes.
int sendRest(LineRecord& r, int64_t until) {
    int left = r.txRestBytes;
    if (left <= 0) return PACKET_BYTES;
    size_t sent = static_cast<size_t>(PACKET_BYTES - left);
    int result = sendPacketBytes(r.sock, r.txRest, sent, until);
    r.txRestBytes = static_cast<int>(PACKET_BYTES - sent);
    return result;
}

// A send that ran out of time ends the line, and later sends on it fail at once.
int noteSendResult(LineRecord& r, int result) {
    if (result == -2) {
        r.sendStuck = 1;
        r.ending |= 1;
        displayDirty = 1;
    }
    return result;
}

} // namespace

int sendWholePacket(int sock, const Packet& packet, int waitMs) {
    size_t sent = 0;
    return sendPacketBytes(sock, packet, sent, monotonicMs() + waitMs);
}

int sendLinePacket(int line, const Packet& packet) {
    if (line < 0 || line >= MAX_LINES) return -1;
    LineRecord& r = lineTable[line];
    std::lock_guard lock(r.sendLock);
    if (r.sendStuck) return -2;
    const int64_t until = monotonicMs() + SEND_WAIT_MS;
    int rest = sendRest(r, until);
    if (rest < 1) return noteSendResult(r, rest);
    size_t sent = 0;
    return noteSendResult(r, sendPacketBytes(r.sock, packet, sent, until));
}

int finishLineSend(int line) {
    if (line < 0 || line >= MAX_LINES) return -1;
    LineRecord& r = lineTable[line];
    std::lock_guard lock(r.sendLock);
    if (r.sendStuck) return -2;
    return noteSendResult(r, sendRest(r, monotonicMs() + SEND_WAIT_MS));
}

std::unique_lock<std::mutex> tryLineSendLock(int line) {
    if (line < 0 || line >= MAX_LINES) return {};
    LineRecord& r = lineTable[line];
    std::unique_lock lock(r.sendLock, std::try_to_lock);
    if (lock.owns_lock() && (r.sendStuck || r.txRestBytes > 0)) lock.unlock();
    return lock;
}

int startLinePacket(int line, const Packet& packet) {
    LineRecord& r = lineTable[line];
    size_t sent = 0;
    int result = sendPacketBytes(r.sock, packet, sent, monotonicMs());
    if (result == -2) {
        // The socket took part of it or nothing: the rest goes out before any later packet.
        r.txRest = packet;
        r.txRestBytes = static_cast<int>(sizeof(packet) - sent);
        return 1;
    }
    return result < 1 ? -1 : 1;
}

int sendPacketNoWait(int line, const char* text, int type, int value) {
    std::unique_lock lock = tryLineSendLock(line);
    return lock.owns_lock() && startLinePacket(line, makePacket(text, type, value)) == 1
               ? PACKET_BYTES
               : -2;
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
