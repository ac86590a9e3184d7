#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tc {

// Auto-reset event: set() wakes one waiter (or the next one to wait); a successful wait resets it.
class AutoResetEvent {
  public:
    void set() {
        {
            std::lock_guard lock(mutex_);
            signalled_ = true;
        }
        cond_.notify_one();
    }
    void reset() {
        std::lock_guard lock(mutex_);
        signalled_ = false;
    }
    // Returns true when the event was signalled within timeoutMs, false on timeout.
    bool wait(int timeoutMs) {
        std::unique_lock lock(mutex_);
        if (!cond_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [this] { return signalled_; }))
            return false;
        signalled_ = false;
        return true;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cond_;
    bool signalled_ = false;
};

} // namespace tc
