#pragma once
// Sound streams for tests: the test queues captured blocks and reads what was played.
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/wave_device.h"

namespace tc {

// Opening and closing as the fakes of both directions do it.
struct FakeOpening {
    // Counts the open; fails (1) while failOpens lasts, else 0.
    int openOnce() {
        ++opens;
        if (failOpens > 0) return --failOpens, 1;
        isOpen = true;
        return 0;
    }

    int failOpens = 0; // the next this many open() calls fail
    int opens = 0;
    bool isOpen = false;
};

class FakeCaptureStream : public CaptureStream, public FakeOpening {
  public:
    int open() override { return openOnce(); }
    // The oldest queued block, or silence while nothing is queued.
    int read(int16_t* block) override {
        std::lock_guard lock(mutex_);
        std::vector<int16_t> next(WAVE_BLOCK_SAMPLES); // silence
        if (!pending_.empty()) next = std::move(pending_.front()), pending_.pop_front();
        std::memcpy(block, next.data(), WAVE_BLOCK_BYTES);
        return 0;
    }
    void close() override { isOpen = false; }
    // Queues one block.
    void push(const int16_t* block) {
        std::lock_guard lock(mutex_);
        pending_.emplace_back(block, block + WAVE_BLOCK_SAMPLES);
    }

  private:
    std::mutex mutex_;
    std::deque<std::vector<int16_t>> pending_;
};

class FakePlaybackStream : public PlaybackStream, public FakeOpening {
  public:
    int open() override { return openOnce(); }
    int write(const int16_t* block) override {
        std::lock_guard lock(mutex_);
        written_.emplace_back(block, block + WAVE_BLOCK_SAMPLES);
        return 0;
    }
    void close() override { isOpen = false; }
    std::vector<std::vector<int16_t>> takeWritten() {
        std::lock_guard lock(mutex_);
        return std::exchange(written_, {});
    }

  private:
    std::mutex mutex_;
    std::vector<std::vector<int16_t>> written_;
};

} // namespace tc
