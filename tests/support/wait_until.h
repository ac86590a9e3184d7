#pragma once
#include <chrono>
#include <string_view>
#include <thread>

namespace tc::test {

// Checks `condition` every `stepMs` until it holds or `timeoutMs` has passed; its last value.
template <typename Condition>
bool eventually(Condition condition, int timeoutMs = 5000, int stepMs = 5) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
    }
    return true;
}

// How often `what` appears in `text`, the appearances not overlapping.
inline size_t occurrences(std::string_view text, std::string_view what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != text.npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

} // namespace tc::test
