#pragma once
// Sound streams for tests: the test queues captured blocks and reads what was played.
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/wave_device.h"

namespace tc {

class FakeCaptureStream : public CaptureStream {
  public:
    int open() override;
    int read(int16_t* block) override;
    void close() override { isOpen = false; }
    // Queues one block; read() returns silence while nothing is queued.
    void push(const int16_t* block);

    int failOpens = 0; // the next this many open() calls fail
    int opens = 0;
    bool isOpen = false;

  private:
    std::mutex mutex_;
    std::deque<std::vector<int16_t>> pending_;
};

class FakePlaybackStream : public PlaybackStream {
  public:
    int open() override;
    int write(const int16_t* block) override;
    void close() override { isOpen = false; }
    std::vector<std::vector<int16_t>> takeWritten();

    int failOpens = 0;
    int opens = 0;
    bool isOpen = false;

  private:
    std::mutex mutex_;
    std::vector<std::vector<int16_t>> written_;
};

} // namespace tc
