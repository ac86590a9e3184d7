#pragma once
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/output.h"
#include "platform/console.h"

namespace tc::test {

// A console that keeps everything written to it, for tests that check printed texts.
class RecordingConsole : public Console {
  public:
    void write(std::string_view text) override {
        std::lock_guard lock(mutex_);
        text_.append(text);
    }
    int readLine(std::string&) override { return 1; }
    std::vector<std::string> screen() const override { return {}; }

    std::string text() const {
        std::lock_guard lock(mutex_);
        return text_;
    }
    std::string take() {
        std::lock_guard lock(mutex_);
        return std::exchange(text_, {});
    }
    int count(std::string_view what) const {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (size_t at = text_.find(what); at != std::string::npos; at = text_.find(what, at + 1))
            ++n;
        return n;
    }

  private:
    mutable std::mutex mutex_;
    std::string text_;
};

} // namespace tc::test
