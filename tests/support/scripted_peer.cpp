#include "support/scripted_peer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace tc::test {

namespace {

sockaddr_in loopbackAddress(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Milliseconds left until `deadline`, at least 1 (a receive time limit of 0 means none).
int msUntil(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return std::max(1, static_cast<int>(left.count()));
}

void closeFd(int& fd) {
    if (fd >= 0) {
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
    }
    fd = -1;
}

} // namespace

Packet makePacket(int type, int value, std::string_view text) {
    Packet p;
    p.clear();
    size_t n = std::min(text.size(), static_cast<size_t>(PAYLOAD_BYTES - 1));
    if (n > 0) std::memcpy(p.payload, text.data(), n);
    p.setType(type);
    p.setValue(value);
    return p;
}

int connectLoopback(int port, int timeoutMs, int receiveBuffer) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    sockaddr_in a = loopbackAddress(port);
    for (;;) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) return -1;
        if (receiveBuffer > 0)
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) return fd;
        int err = errno;
        ::close(fd);
        if ((err != ECONNREFUSED && err != EINTR) || std::chrono::steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

ScriptedPeer::~ScriptedPeer() {
    closeFd(fd_);
    closeFd(listenFd_);
}

bool ScriptedPeer::connectTo(int port, int timeoutMs, int receiveBuffer) {
    close();
    fd_ = connectLoopback(port, timeoutMs, receiveBuffer);
    return fd_ >= 0 && setNoDelay(fd_) == 0;
}

int listenLoopback(int port, int& bound) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a = loopbackAddress(port);
    socklen_t len = sizeof(a);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
        ::listen(fd, 8) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    bound = ntohs(a.sin_port);
    return fd;
}

int ScriptedPeer::listen() {
    closeFd(listenFd_);
    listenPort_ = 0;
    listenFd_ = listenLoopback(0, listenPort_);
    return listenPort_;
}

bool ScriptedPeer::accept(int timeoutMs) {
    pollfd p{listenFd_, POLLIN, 0};
    if (listenFd_ < 0 || ::poll(&p, 1, timeoutMs) != 1) return false;
    close();
    fd_ = ::accept(listenFd_, nullptr, nullptr);
    return fd_ >= 0 && setNoDelay(fd_) == 0;
}

bool ScriptedPeer::sendBytes(const void* data, size_t size) {
    return ::send(fd_, data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

bool ScriptedPeer::send(const Packet& packet) {
    return sendWholePacket(fd_, packet) == PACKET_BYTES;
}

bool ScriptedPeer::sendText(int type, int value, std::string_view text) {
    return send(makePacket(type, value, text));
}

bool ScriptedPeer::sendSplit(const Packet& packet, const std::vector<size_t>& cuts, int pauseMs) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&packet);
    size_t from = 0;
    for (size_t cut : cuts) {
        if (cut <= from || cut >= sizeof(packet)) continue;
        if (!sendBytes(bytes + from, cut - from)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        from = cut;
    }
    return sendBytes(bytes + from, sizeof(packet) - from);
}

bool ScriptedPeer::sendMerged(const Packet& first, const Packet& second) {
    Packet both[2] = {first, second};
    return sendBytes(both, sizeof(both));
}

void ScriptedPeer::closeMidPacket(const Packet& packet, size_t bytes) {
    sendBytes(&packet, std::min(bytes, sizeof(packet)));
    close();
}

bool ScriptedPeer::receive(Packet& packet, int timeoutMs) {
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (timeoutMs <= 0) limit.tv_usec = 1000;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    return fd_ >= 0 && recvPacket(fd_, packet) == PACKET_BYTES;
}

bool ScriptedPeer::receiveType(int type, Packet& packet, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline && receive(packet, msUntil(deadline)))
        if (packet.type() == type) return true;
    return false;
}

bool ScriptedPeer::waitClosed(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    Packet ignored;
    while (std::chrono::steady_clock::now() < deadline && receive(ignored, msUntil(deadline))) {
    }
    char byte;
    return fd_ >= 0 && ::recv(fd_, &byte, 1, MSG_DONTWAIT) == 0;
}

void ScriptedPeer::close() {
    closeFd(fd_);
}

} // namespace tc::test
