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

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

sockaddr_in loopbackAddress(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Waits until fd is readable; true when it is before the deadline.
bool waitReadable(int fd, int64_t deadlineMs) {
    for (;;) {
        int64_t left = deadlineMs - nowMs();
        if (left < 0) left = 0;
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left));
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
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

int connectLoopback(int port, int timeoutMs) {
    int64_t deadline = nowMs() + timeoutMs;
    sockaddr_in a = loopbackAddress(port);
    for (;;) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) return -1;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) return fd;
        int err = errno;
        ::close(fd);
        if ((err != ECONNREFUSED && err != EINTR) || nowMs() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

ScriptedPeer::~ScriptedPeer() {
    closeFd(fd_);
    closeFd(listenFd_);
}

bool ScriptedPeer::connectTo(int port, int timeoutMs) {
    close();
    fd_ = connectLoopback(port, timeoutMs);
    if (fd_ < 0) return false;
    setNoDelay(fd_);
    socklen_t len = sizeof(remote_);
    ::getpeername(fd_, reinterpret_cast<sockaddr*>(&remote_), &len);
    return true;
}

int ScriptedPeer::listen() {
    closeFd(listenFd_);
    listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listenFd_ < 0) return 0;
    int on = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in a = loopbackAddress(0);
    socklen_t len = sizeof(a);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
        ::listen(listenFd_, 8) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        closeFd(listenFd_);
        return 0;
    }
    listenPort_ = ntohs(a.sin_port);
    return listenPort_;
}

bool ScriptedPeer::accept(int timeoutMs) {
    if (listenFd_ < 0 || !waitReadable(listenFd_, nowMs() + timeoutMs)) return false;
    close();
    socklen_t len = sizeof(remote_);
    fd_ = ::accept(listenFd_, reinterpret_cast<sockaddr*>(&remote_), &len);
    if (fd_ < 0) return false;
    setNoDelay(fd_);
    return true;
}

bool ScriptedPeer::sendRaw(const void* data, size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    size_t sent = 0;
    while (sent < size) {
        ssize_t n = ::send(fd_, bytes + sent, size - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 1) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool ScriptedPeer::send(const Packet& packet) {
    return sendRaw(&packet, sizeof(packet));
}

bool ScriptedPeer::sendText(int type, int value, std::string_view text) {
    return send(makePacket(type, value, text));
}

bool ScriptedPeer::sendSplit(const Packet& packet, const std::vector<size_t>& cuts, int pauseMs) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&packet);
    size_t from = 0;
    for (size_t cut : cuts) {
        if (cut <= from || cut >= sizeof(packet)) continue;
        if (!sendRaw(bytes + from, cut - from)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        from = cut;
    }
    return sendRaw(bytes + from, sizeof(packet) - from);
}

bool ScriptedPeer::sendMerged(const Packet& first, const Packet& second) {
    uint8_t both[2 * PACKET_BYTES];
    std::memcpy(both, &first, PACKET_BYTES);
    std::memcpy(both + PACKET_BYTES, &second, PACKET_BYTES);
    return sendRaw(both, sizeof(both));
}

void ScriptedPeer::closeMidPacket(const Packet& packet, size_t bytes) {
    sendRaw(&packet, std::min(bytes, sizeof(packet)));
    close();
}

int ScriptedPeer::receiveSome(int64_t deadlineMs) {
    if (fd_ < 0) return -1;
    if (!waitReadable(fd_, deadlineMs)) return 0;
    ssize_t n = ::recv(fd_, rx_ + rxHave_, sizeof(rx_) - rxHave_, 0);
    if (n < 0 && errno == EINTR) return 1;
    if (n < 1) return -1;
    rxHave_ += static_cast<size_t>(n);
    return 1;
}

bool ScriptedPeer::receive(Packet& packet, int timeoutMs) {
    int64_t deadline = nowMs() + timeoutMs;
    while (rxHave_ < sizeof(rx_)) {
        if (receiveSome(deadline) < 1) return false;
    }
    std::memcpy(&packet, rx_, sizeof(packet));
    rxHave_ = 0;
    return true;
}

bool ScriptedPeer::receiveType(int type, Packet& packet, int timeoutMs) {
    int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        int64_t left = deadline - nowMs();
        if (left < 0 || !receive(packet, static_cast<int>(left))) return false;
        if (packet.type() == type) return true;
    }
}

bool ScriptedPeer::waitClosed(int timeoutMs) {
    int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        int r = receiveSome(deadline);
        if (r < 0) return true;
        if (r == 0) return false;
        rxHave_ = 0; // drop what came
    }
}

void ScriptedPeer::close() {
    closeFd(fd_);
    rxHave_ = 0;
}

} // namespace tc::test
