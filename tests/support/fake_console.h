#pragma once
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/console.h"
#include "platform/screen_buffer.h"

namespace tc {

// A console for tests: records everything written (and the screen it makes, with the same
// screen code as the terminal console), hands out queued input lines, and can report the end
// of input or be closed. Thread-safe.
class FakeConsole : public Console {
  public:
    ~FakeConsole() override { close(); }

    void write(std::string_view text) override;
    // Waits for a queued line (0), a queued end of input (1) or close() (-1).
    int readLine(std::string& line) override;
    void setStatusRows(const std::vector<std::string>& rows) override;
    std::vector<std::string> screen() const override;

    // Everything written so far, in order.
    std::string text() const;
    // Everything written since the last take(), and the text forgotten.
    std::string take();
    // How often `what` appears in the text.
    int count(std::string_view what) const;
    void clearText();
    // Waits up to timeoutMs until the written text contains `needle`.
    bool waitForText(std::string_view needle, int timeoutMs) const;
    // Number of write calls so far.
    size_t writeCount() const;

    void pushLine(std::string line);
    // The next read (after the lines queued before it) reports the end of input.
    void pushEndOfInput();
    // A reader waiting now or later gets -1.
    void close();
    // Waits until `count` readLine calls have begun.
    bool waitForReads(int count, int timeoutMs) const;
    std::vector<std::string> statusRows() const;

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string text_;
    size_t writes_ = 0;
    ScreenBuffer screen_;
    std::vector<std::string> statusRows_;
    // Queued input: a line, or the end of input.
    struct Input {
        bool end;
        std::string line;
    };
    std::deque<Input> input_;
    bool closed_ = false;
    int readsStarted_ = 0;
};

} // namespace tc
