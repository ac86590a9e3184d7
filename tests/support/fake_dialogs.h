#pragma once
// Dialogs for tests: every question is recorded and answered from a script (or by `onAsk`, which
// may wait for the cancel flag), the file dialogs hand out queued names, and beeps are counted.
#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dialogs.h"

namespace tc::test {

class FakeDialogs : public Dialogs {
  public:
    struct Question {
        std::string title;
        std::string text;
        DialogButtons buttons;
    };

    int ask(const std::string& title, const std::string& text, DialogButtons buttons,
            const std::atomic<uint8_t>* cancel = nullptr) override {
        std::unique_lock lock(mutex_);
        questions_.push_back({title, text, buttons});
        if (auto hook = onAsk) {
            lock.unlock();
            return hook({title, text, buttons}, cancel);
        }
        if (answers_.empty()) return buttons == DialogButtons::ok ? DIALOG_OK : DIALOG_NO;
        int answer = answers_.front();
        answers_.pop_front();
        return answer;
    }
    std::string saveFile(const std::string&, const std::string&) override { return nextFile(); }
    std::string openFile(const std::string&, const std::string&) override { return nextFile(); }

    void beep() override { ++beeps; }

    // Answers every question when set (called on the asking thread, without the lock).
    std::function<int(const Question&, const std::atomic<uint8_t>* cancel)> onAsk;
    std::atomic<int> beeps{0};

    void answer(int value) {
        std::lock_guard lock(mutex_);
        answers_.push_back(value);
    }
    // The name the next file dialog returns ("" = cancelled).
    void chooseFile(const std::string& name) {
        std::lock_guard lock(mutex_);
        files_.push_back(name);
    }
    std::vector<Question> questions() const {
        std::lock_guard lock(mutex_);
        return questions_;
    }

  private:
    std::string nextFile() {
        std::lock_guard lock(mutex_);
        if (files_.empty()) return {};
        std::string name = files_.front();
        files_.pop_front();
        return name;
    }

    mutable std::mutex mutex_;
    std::deque<int> answers_;
    std::deque<std::string> files_;
    std::vector<Question> questions_;
};

} // namespace tc::test
