#include "platform/clock.h"

#include <chrono>
#include <thread>

namespace tc {

int64_t monotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

uint32_t tickCount() {
    return static_cast<uint32_t>(monotonicMs());
}

void sleepMs(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace tc
