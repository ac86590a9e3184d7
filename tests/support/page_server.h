#pragma once
// A web server on 127.0.0.1 for tests: it records each request (up to its blank line) and
// answers with the given pieces, one write each (pauseMs apart, to drip a page), then closes the
// connection. Every wait is bounded; the destructor stops it.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/scripted_peer.h"

namespace tc::test {

class PageServer {
  public:
    // Listens on `port` (0: one the system picks). ok() is false when it could not.
    explicit PageServer(std::vector<std::string> reply, int port = 0, int pauseMs = 0)
        : reply_(std::move(reply)), pauseMs_(pauseMs), listener_(listenLoopback(port, port_)) {
        if (listener_ >= 0) thread_ = std::thread([this] { run(); });
    }
    ~PageServer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (listener_ >= 0) ::close(listener_);
    }
    PageServer(const PageServer&) = delete;
    PageServer& operator=(const PageServer&) = delete;

    bool ok() const { return listener_ >= 0; }
    int port() const { return port_; }
    // Waits until `count` requests have arrived; false after the time.
    bool waitRequests(size_t count, int timeoutMs = 5000) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return requests_.size() >= count; });
    }
    std::vector<std::string> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

  private:
    static constexpr int POLL_MS = 50;
    static constexpr int REQUEST_WAIT_POLLS = 40; // 2 s for a request to arrive whole

    void run() {
        for (pollfd p{listener_, POLLIN, 0}; !stop_;) {
            int conn = ::poll(&p, 1, POLL_MS) == 1
                           ? ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)
                           : -1;
            if (conn < 0) continue;
            setNoDelay(conn);
            std::string got;
            char buffer[512];
            for (int i = 0; i < REQUEST_WAIT_POLLS && got.find("\r\n\r\n") == std::string::npos;
                 ++i) {
                pollfd c{conn, POLLIN, 0};
                if (::poll(&c, 1, POLL_MS) != 1) continue;
                ssize_t n = ::recv(conn, buffer, sizeof(buffer), 0);
                if (n <= 0) break;
                got.append(buffer, static_cast<size_t>(n));
            }
            std::unique_lock lock(mutex_);
            requests_.push_back(got);
            changed_.notify_all();
            lock.unlock();
            for (size_t i = 0; i < reply_.size() && !stop_; ++i) {
                if (i > 0 && pauseMs_ > 0) ::poll(nullptr, 0, pauseMs_);
                if (::send(conn, reply_[i].data(), reply_[i].size(), MSG_NOSIGNAL) < 0) break;
            }
            ::close(conn);
        }
    }

    std::vector<std::string> reply_;
    int pauseMs_ = 0;
    int port_ = 0;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

} // namespace tc::test
