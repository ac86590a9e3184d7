#pragma once
// A test peer that speaks raw 1032-byte packets over 127.0.0.1 to a running copy of the program
// (or to a socket of the code under test). It can play either end of a call:
//
//   ScriptedPeer caller;                       ScriptedPeer callee;
//   caller.connectTo(port);                    int port = callee.listen();
//   caller.send(makePacket(PKT_ID, 0, "A"));   ... make the program call 127.0.0.1:port ...
//   Packet p;                                  callee.accept();
//   caller.receiveType(PKT_VERSION, p);        callee.receive(p);
//
// Every wait is bounded by a timeout in milliseconds; the destructor closes both sockets.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "core/protocol.h"

namespace tc::test {

// A packet with `text` (and its zero byte) from payload byte 0, zeros after it, type and value.
inline Packet makePacket(int type, int value, std::string_view text = {}) {
    Packet p;
    p.clear();
    if (!text.empty()) // a view of nothing may hold no address at all
        std::memcpy(p.payload, text.data(), std::min(text.size(), size_t(PAYLOAD_BYTES - 1)));
    p.setType(type);
    p.setValue(value);
    return p;
}

inline sockaddr_in loopbackAddress(int port) {
    return {AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
}

// Connects a plain blocking TCP socket to 127.0.0.1:port, retrying while the port refuses
// (the program may still be starting). Returns the descriptor, or -1 after timeoutMs. A
// receiveBuffer above 0 sets SO_RCVBUF before the connection (a peer that reads little).
inline int connectLoopback(int port, int timeoutMs = 5000, int receiveBuffer = 0) {
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

// Listens on 127.0.0.1:port (0: a port the system picks). Returns the socket and sets `bound`
// to the port, or returns -1.
inline int listenLoopback(int port, int& bound) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
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

class ScriptedPeer {
  public:
    ScriptedPeer() = default;
    ~ScriptedPeer() { close(), closeFd(listenFd_); }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // Calling side: connect to 127.0.0.1:port (see connectLoopback).
    bool connectTo(int port, int timeoutMs = 5000, int receiveBuffer = 0) {
        close();
        fd_ = connectLoopback(port, timeoutMs, receiveBuffer);
        return fd_ >= 0 && setNoDelay(fd_) == 0;
    }
    // Answering side: listen on an ephemeral port of 127.0.0.1. Returns the port, 0 on failure.
    int listen() {
        closeFd(listenFd_);
        listenPort_ = 0;
        listenFd_ = listenLoopback(0, listenPort_);
        return listenPort_;
    }
    // Waits for one connection on the listening socket.
    bool accept(int timeoutMs = 5000) {
        pollfd p{listenFd_, POLLIN, 0};
        if (listenFd_ < 0 || ::poll(&p, 1, timeoutMs) != 1) return false;
        close();
        fd_ = ::accept(listenFd_, nullptr, nullptr);
        return fd_ >= 0 && setNoDelay(fd_) == 0;
    }

    // Writes one whole packet, or raw bytes (false when not all of them went).
    bool send(const Packet& packet) { return sendWholePacket(fd_, packet) == PACKET_BYTES; }
    bool sendText(int type, int value, std::string_view text = {}) {
        return send(makePacket(type, value, text));
    }
    bool sendBytes(const void* data, size_t size) {
        return ::send(fd_, data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
    }

    // Reads the next whole packet; false on timeout or when the connection closed.
    bool receive(Packet& packet, int timeoutMs = 5000) {
        timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        if (timeoutMs <= 0) limit.tv_usec = 1000;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
        return fd_ >= 0 && recvPacket(fd_, packet) == PACKET_BYTES;
    }
    // Reads packets until one of the given type arrives (others, audio included, are skipped).
    bool receiveType(int type, Packet& packet, int timeoutMs = 5000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (int left; (left = msLeft(deadline)) > 0 && receive(packet, left);)
            if (packet.type() == type) return true;
        return false;
    }
    // Reads and drops everything until the other side closes. True when it closed in time.
    bool waitClosed(int timeoutMs = 5000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (Packet ignored; msLeft(deadline) > 0 && receive(ignored, msLeft(deadline));) {
        }
        char byte;
        return fd_ >= 0 && ::recv(fd_, &byte, 1, MSG_DONTWAIT) == 0;
    }

    // Closes the connection (the listening socket stays open for another accept).
    void close() { closeFd(fd_); }
    int fd() const { return fd_; }
    int port() const { return listenPort_; }

  private:
    static void closeFd(int& fd) {
        if (fd >= 0) ::shutdown(fd, SHUT_RDWR), ::close(fd);
        fd = -1;
    }
    // Milliseconds left until `deadline`, 0 once it has passed.
    static int msLeft(std::chrono::steady_clock::time_point deadline) {
        auto left = deadline - std::chrono::steady_clock::now();
        return std::max(0,
                        int(std::chrono::duration_cast<std::chrono::milliseconds>(left).count()));
    }

    int fd_ = -1;
    int listenFd_ = -1;
    int listenPort_ = 0;
};

} // namespace tc::test
