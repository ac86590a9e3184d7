#include "support/fake_console.h"

#include <chrono>
#include <utility>

namespace tc {

void FakeConsole::write(std::string_view text) {
    {
        std::lock_guard lock(mutex_);
        text_.append(text);
        ++writes_;
        screen_.write(text);
    }
    changed_.notify_all();
}

std::string FakeConsole::take() {
    std::lock_guard lock(mutex_);
    return std::exchange(text_, {});
}

int FakeConsole::count(std::string_view what) const {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (size_t at = text_.find(what); at != std::string::npos; at = text_.find(what, at + 1))
        ++n;
    return n;
}

int FakeConsole::readLine(std::string& line) {
    std::unique_lock lock(mutex_);
    ++readsStarted_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return closed_ || !input_.empty(); });
    if (closed_) return -1;
    Input next = std::move(input_.front());
    input_.pop_front();
    if (next.end) return 1;
    line = std::move(next.line);
    screen_.write(line + "\n"); // typed text shows on the console
    return 0;
}

void FakeConsole::setStatusRows(const std::vector<std::string>& rows) {
    std::lock_guard lock(mutex_);
    statusRows_ = rows;
    screen_.setFixedRows(rows);
}

std::vector<std::string> FakeConsole::screen() const {
    std::lock_guard lock(mutex_);
    return screen_.rows();
}

std::string FakeConsole::text() const {
    std::lock_guard lock(mutex_);
    return text_;
}

void FakeConsole::clearText() {
    std::lock_guard lock(mutex_);
    text_.clear();
}

bool FakeConsole::waitForText(std::string_view needle, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return text_.find(needle) != std::string::npos; });
}

size_t FakeConsole::writeCount() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

void FakeConsole::pushLine(std::string line) {
    {
        std::lock_guard lock(mutex_);
        input_.push_back({false, std::move(line)});
    }
    changed_.notify_all();
}

void FakeConsole::pushEndOfInput() {
    {
        std::lock_guard lock(mutex_);
        input_.push_back({true, {}});
    }
    changed_.notify_all();
}

void FakeConsole::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

bool FakeConsole::waitForReads(int count, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return readsStarted_ >= count; });
}

std::vector<std::string> FakeConsole::statusRows() const {
    std::lock_guard lock(mutex_);
    return statusRows_;
}

} // namespace tc
