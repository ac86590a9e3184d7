#include "support/page_server.h"
#include "support/scripted_peer.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tc::test {

constexpr int POLL_MS = 50;
constexpr int REQUEST_WAIT_POLLS = 40; // 2 s for a request to arrive whole

PageServer::PageServer(std::vector<std::string> reply, int port, int pauseMs)
    : reply_(std::move(reply)), pauseMs_(pauseMs) {
    listener_ = listenLoopback(port, port_);
    if (listener_ >= 0) thread_ = std::thread([this] { run(); });
}

PageServer::~PageServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
}

bool PageServer::waitRequests(size_t count, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return requests_.size() >= count; });
}

std::vector<std::string> PageServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void PageServer::run() {
    while (!stop_) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, POLL_MS) != 1) continue;
        int conn = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) continue;
        answer(conn);
        ::close(conn);
    }
}

void PageServer::answer(int conn) {
    int one = 1;
    ::setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    std::string got;
    char buffer[512];
    for (int i = 0; i < REQUEST_WAIT_POLLS && got.find("\r\n\r\n") == std::string::npos; ++i) {
        pollfd p{conn, POLLIN, 0};
        if (::poll(&p, 1, POLL_MS) != 1) continue;
        ssize_t n = ::recv(conn, buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        got.append(buffer, static_cast<size_t>(n));
    }
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(got);
    }
    changed_.notify_all();
    for (size_t i = 0; i < reply_.size() && !stop_; ++i) {
        if (i > 0 && pauseMs_ > 0) ::poll(nullptr, 0, pauseMs_);
        if (::send(conn, reply_[i].data(), reply_[i].size(), MSG_NOSIGNAL) < 0) break;
    }
}

} // namespace tc::test
