#pragma once
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

namespace tc {

// A fixed text buffer that one thread may replace while others read it: every access copies
// under a small lock. The text is cut to `limit` characters (at most 255).
class SharedText {
  public:
    explicit SharedText(size_t limit = 255) : limit_(std::min<size_t>(limit, sizeof(buf_) - 1)) {}
    SharedText(const SharedText&) = delete;
    SharedText& operator=(const SharedText&) = delete;

    std::string get() const {
        std::lock_guard lock(mutex_);
        return std::string(buf_);
    }
    void set(std::string_view text) {
        std::lock_guard lock(mutex_);
        size_t n = std::min(text.size(), limit_);
        n = std::min(
            n, static_cast<size_t>(std::find(text.begin(), text.begin() + n, '\0') - text.begin()));
        std::memcpy(buf_, text.data(), n);
        buf_[n] = '\0';
    }
    void clear() { set(""); }
    bool empty() const {
        std::lock_guard lock(mutex_);
        return buf_[0] == '\0';
    }
    size_t limit() const { return limit_; }

  private:
    mutable std::mutex mutex_;
    size_t limit_;
    char buf_[256] = {};
};

// A small value (an address) that one thread may replace while others read it: every access
// copies it whole under a small lock, so a reader never sees half of a new value.
template <class T> class SharedValue {
  public:
    T get() const {
        std::lock_guard lock(mutex_);
        return value_;
    }
    void set(const T& value) {
        std::lock_guard lock(mutex_);
        value_ = value;
    }

  private:
    mutable std::mutex mutex_;
    T value_{};
};

} // namespace tc
