#pragma once
#include <cstdint>

namespace tc {

// Milliseconds on the monotonic clock (the tick count).
uint32_t tickCount();
int64_t monotonicMs();
void sleepMs(int ms);

} // namespace tc
