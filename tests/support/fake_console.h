#pragma once
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/console.h"
#include "platform/screen_buffer.h"
#include "support/wait_until.h"

namespace tc {

// A console for tests: records everything written (and the screen it makes, with the same
// screen code as the terminal console), hands out queued input lines, and can report the end
// of input or be closed. Thread-safe.
class FakeConsole : public Console {
  private:
    template <typename F> void change(F f) {
        std::lock_guard lock(mutex_);
        f();
        changed_.notify_all();
    }
    template <typename F> auto read(F f) const {
        std::lock_guard lock(mutex_);
        return f();
    }
    template <typename F> bool waitUntil(F f, int timeoutMs) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), f);
    }

  public:
    ~FakeConsole() override { close(); }

    void write(std::string_view text) override {
        change([&] { text_.append(text), ++writes_, screen_.write(text); });
    }
    // Waits for a queued line (0), a queued end of input (1) or close() (-1).
    int readLine(std::string& line) override {
        std::unique_lock lock(mutex_);
        ++readsStarted_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return closed_ || !input_.empty(); });
        if (closed_) return -1;
        std::optional<std::string> next = std::move(input_.front());
        input_.pop_front();
        if (!next) return 1;
        line = std::move(*next);
        screen_.write(line + "\n"); // typed text shows on the console
        return 0;
    }
    void setStatusRows(const std::vector<std::string>& rows) override {
        change([&] { statusRows_ = rows, screen_.setFixedRows(rows); });
    }
    std::vector<std::string> screen() const override {
        return read([&] { return screen_.rows(); });
    }

    // Everything written so far, in order; take() also forgets it.
    std::string text() const {
        return read([&] { return text_; });
    }
    std::string take() {
        return read([&] { return std::exchange(text_, {}); });
    }
    // How often `what` appears in the text.
    int count(std::string_view what) const {
        return read([&] { return int(test::occurrences(text_, what)); });
    }
    // Number of write calls so far.
    size_t writeCount() const {
        return read([&] { return writes_; });
    }
    std::vector<std::string> statusRows() const {
        return read([&] { return statusRows_; });
    }

    // Waits up to timeoutMs until the written text contains `needle`.
    bool waitForText(std::string_view needle, int timeoutMs) const {
        return waitUntil([&] { return text_.find(needle) != std::string::npos; }, timeoutMs);
    }
    // Waits until `count` readLine calls have begun.
    bool waitForReads(int count, int timeoutMs) const {
        return waitUntil([&] { return readsStarted_ >= count; }, timeoutMs);
    }

    void pushLine(std::string line) {
        change([&] { input_.push_back(std::move(line)); });
    }
    // The next read (after the lines queued before it) reports the end of input.
    void pushEndOfInput() {
        change([&] { input_.push_back(std::nullopt); });
    }
    // A reader waiting now or later gets -1.
    void close() {
        change([&] { closed_ = true; });
    }

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string text_;
    size_t writes_ = 0;
    ScreenBuffer screen_;
    std::vector<std::string> statusRows_;
    std::deque<std::optional<std::string>> input_; // a line, or the end of input

    bool closed_ = false;
    int readsStarted_ = 0;
};

} // namespace tc
