#pragma once
// A web server on 127.0.0.1 for tests: it records each request (up to its blank line) and
// answers with the given pieces, one write each (pauseMs apart, to drip a page), then closes the
// connection. Every wait is bounded; the destructor stops it.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tc::test {

class PageServer {
  public:
    // Listens on `port` (0: one the system picks). ok() is false when it could not.
    explicit PageServer(std::vector<std::string> reply, int port = 0, int pauseMs = 0);
    ~PageServer();
    PageServer(const PageServer&) = delete;
    PageServer& operator=(const PageServer&) = delete;

    bool ok() const { return listener_ >= 0; }
    int port() const { return port_; }
    // Waits until `count` requests have arrived; false after the time.
    bool waitRequests(size_t count, int timeoutMs = 5000) const;
    std::vector<std::string> requests() const;

  private:
    void run();
    void answer(int conn);

    std::vector<std::string> reply_;
    int pauseMs_ = 0;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

} // namespace tc::test
