#include "support/fake_streams.h"

#include <cstring>
#include <utility>

namespace tc {

int FakeOpening::openOnce() {
    ++opens;
    if (failOpens > 0) {
        --failOpens;
        return 1;
    }
    isOpen = true;
    return 0;
}

int FakeCaptureStream::read(int16_t* block) {
    std::lock_guard lock(mutex_);
    if (pending_.empty()) {
        std::memset(block, 0, WAVE_BLOCK_BYTES);
    } else {
        std::memcpy(block, pending_.front().data(), WAVE_BLOCK_BYTES);
        pending_.pop_front();
    }
    return 0;
}

void FakeCaptureStream::push(const int16_t* block) {
    std::lock_guard lock(mutex_);
    pending_.emplace_back(block, block + WAVE_BLOCK_SAMPLES);
}

int FakePlaybackStream::write(const int16_t* block) {
    std::lock_guard lock(mutex_);
    written_.emplace_back(block, block + WAVE_BLOCK_SAMPLES);
    return 0;
}

std::vector<std::vector<int16_t>> FakePlaybackStream::takeWritten() {
    std::lock_guard lock(mutex_);
    return std::exchange(written_, {});
}

} // namespace tc
