#pragma once
#include <chrono>
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

} // namespace tc::test
