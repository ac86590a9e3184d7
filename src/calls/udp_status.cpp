#include "calls/udp_status.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/line_table.h"
#include "core/output.h"
#include "core/settings.h"
#include "platform/clock.h"

namespace tc {

UdpStatusState udpStatusState;

namespace {

constexpr int POLL_PERIOD_MS = 500;

// Letters are compared with bit 5 cleared, so either case counts.
constexpr uint8_t foldCase(uint8_t byte) {
    return byte & static_cast<uint8_t>(~0x20);
}

void appendIdItem(std::string& reply) {
    char item[160];
    snprintf(item, sizeof(item), "ID=%s\n", settings.ownId.get().c_str());
    reply += item;
}

void appendMessageItem(std::string& reply) {
    // Up to 255 characters of message and 6 of port: the buffer holds the longest item whole.
    char item[300];
    snprintf(item, sizeof(item), "M/IP=%s Port=%s\n", settings.autoMessage.get().c_str(),
             settings.forwardPort.get().c_str());
    reply += item;
}

void appendPortItem(std::string& reply) {
    char item[64];
    snprintf(item, sizeof(item), "Blk=%d Hub=%d Calls=%d\n", settings.incomingMode.load(),
             settings.hubMode.load(), linesInUse());
    reply += item;
}

void appendVersionItem(std::string& reply) {
    reply += BANNER;
    reply += '\n';
}

// Counts only while a check of this copy waits, and only once for it: anyone can send the byte.
void markDnsVerified() {
    int64_t until = udpStatusState.verifyUntilMs;
    if (until == 0 || monotonicMs() >= until) return;
    if (!udpStatusState.verifyUntilMs.compare_exchange_strong(until, 0)) return;
    settings.dnsUpdateActive = 0;
    message("Dynamic DNS Verified\n");
}

void handleQueryByte(uint8_t byte, std::string& reply) {
    switch (foldCase(byte)) {
    case 'I':
        appendIdItem(reply);
        break;
    case 'M':
        appendMessageItem(reply);
        break;
    case 'P':
        appendPortItem(reply);
        break;
    case 'V':
        appendVersionItem(reply);
        break;
    case 0x04:
        markDnsVerified();
        break;
    case 0x0A:
    case 0x0D:
        break;
    default:
        reply += "?\n";
        break;
    }
}

int openServiceSocket() {
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        message("UDP Socket Error\n");
        return -1;
    }
    sockaddr_in address = settings.listenAddress;
    address.sin_family = AF_INET;
    if (bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        message("UDP Bind Error\n");
        close(sock);
        return -1;
    }
    sockaddr_in bound{};
    socklen_t boundLen = sizeof(bound);
    if (getsockname(sock, reinterpret_cast<sockaddr*>(&bound), &boundLen) == 0)
        udpStatusState.boundPort = ntohs(bound.sin_port);
    return sock;
}

// Waits up to one poll period for a datagram. Returns 1 when one is waiting, 0 otherwise.
int waitForDatagram(int sock) {
    pollfd pfd{sock, POLLIN, 0};
    int ready = poll(&pfd, 1, POLL_PERIOD_MS);
    return ready > 0 ? 1 : 0;
}

void answerOneQuery(int sock, ReplyLimiter& limiter) {
    uint8_t query[UDP_RECEIVE_BYTES];
    sockaddr_in sender{};
    socklen_t senderLen = sizeof(sender);
    ssize_t received =
        recvfrom(sock, query, sizeof(query), 0, reinterpret_cast<sockaddr*>(&sender), &senderLen);
    if (received < 0) {
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) message("UDP Recv Error\n");
        return;
    }
    std::string reply = buildUdpReply(query, static_cast<size_t>(received));
    if (!limiter.allow(sender.sin_addr.s_addr, monotonicMs())) return;
    ssize_t sent = sendto(sock, reply.data(), reply.size(), MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr*>(&sender), senderLen);
    if (sent < 1) message("UDP Send Error\n");
}

} // namespace

void resetUdpStatus() {
    udpStatusState.stopRequested = false;
    udpStatusState.running = false;
    udpStatusState.boundPort = 0;
    udpStatusState.verifyUntilMs = 0;
}

void awaitDnsVerification(int ms) {
    udpStatusState.verifyUntilMs = monotonicMs() + std::max(ms, 1);
}

void endDnsVerificationWait() {
    udpStatusState.verifyUntilMs = 0;
}

void ReplyLimiter::refill(Bucket& b, int64_t nowMs, int rate) {
    if (nowMs > b.lastMs)
        b.tokens = std::min<double>(rate, b.tokens + (nowMs - b.lastMs) * rate / 1000.0);
    b.lastMs = nowMs;
}

bool ReplyLimiter::allow(uint32_t address, int64_t nowMs) {
    refill(all_, nowMs, REPLIES_IN_ALL);
    if (all_.tokens < 1) return false;
    Bucket* bucket = nullptr;
    for (int i = 0; i < used_ && bucket == nullptr; ++i)
        if (table_[i].address == address) bucket = &table_[i];
    if (bucket == nullptr) {
        // A new address takes a free place or the one unused for longest; a bucket that has
        // been unused for a second is full again, so forgetting it changes nothing.
        bucket = used_ < TABLE_SIZE ? &table_[used_++] : &table_[0];
        for (int i = 0; i < used_; ++i)
            if (table_[i].lastMs < bucket->lastMs) bucket = &table_[i];
        *bucket = Bucket{address, REPLIES_PER_ADDRESS, nowMs};
    }
    refill(*bucket, nowMs, REPLIES_PER_ADDRESS);
    if (bucket->tokens < 1) return false;
    bucket->tokens -= 1;
    all_.tokens -= 1;
    return true;
}

std::string buildUdpReply(const uint8_t* data, size_t len) {
    size_t count = std::min(len, UDP_QUERY_BYTES);
    const void* nul = count > 0 ? memchr(data, 0, count) : nullptr;
    if (nul != nullptr) count = static_cast<size_t>(static_cast<const uint8_t*>(nul) - data);
    std::string reply;
    for (size_t i = 0; i < count; ++i) {
        handleQueryByte(data[i], reply);
        if (reply.size() > UDP_REPLY_LIMIT) reply.clear();
    }
    if (reply.empty()) reply = "?\n";
    return reply;
}

void udpStatusThread() {
    int sock = openServiceSocket();
    if (sock < 0) return;
    udpStatusState.running = true;
    ReplyLimiter limiter;
    while (!udpStatusState.stopRequested) {
        if (waitForDatagram(sock)) answerOneQuery(sock, limiter);
    }
    close(sock);
    udpStatusState.running = false;
}

void stopUdpStatus() {
    udpStatusState.stopRequested = true;
}

} // namespace tc
