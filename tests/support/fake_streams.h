#pragma once
// Sound streams for tests: the test queues captured blocks and reads what was played.
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/wave_device.h"

namespace tc {

// Opening and closing as the fakes of both directions do it.
struct FakeOpening {
    // Counts the open; fails (1) while failOpens lasts, else 0.
    int openOnce();

    int failOpens = 0; // the next this many open() calls fail
    int opens = 0;
    bool isOpen = false;
};

class FakeCaptureStream : public CaptureStream, public FakeOpening {
  public:
    int open() override { return openOnce(); }
    int read(int16_t* block) override;
    void close() override { isOpen = false; }
    // Queues one block; read() returns silence while nothing is queued.
    void push(const int16_t* block);

  private:
    std::mutex mutex_;
    std::deque<std::vector<int16_t>> pending_;
};

class FakePlaybackStream : public PlaybackStream, public FakeOpening {
  public:
    int open() override { return openOnce(); }
    int write(const int16_t* block) override;
    void close() override { isOpen = false; }
    std::vector<std::vector<int16_t>> takeWritten();

  private:
    std::mutex mutex_;
    std::vector<std::vector<int16_t>> written_;
};

} // namespace tc
