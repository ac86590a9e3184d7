#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"

namespace tc {

// Both devices run PCM mono, 8000 samples per second, 16-bit signed little-endian samples, and
// move blocks of 512 samples (64 ms).
constexpr int WAVE_SAMPLE_RATE = 8000;
constexpr int WAVE_BLOCK_SAMPLES = 512;
constexpr int WAVE_BLOCK_BYTES = WAVE_BLOCK_SAMPLES * 2;
constexpr int WAVE_BLOCK_MS = 64;

// Header flags.
constexpr uint32_t WHDR_DONE = 0x01;     // the device has filled (capture) or played the block
constexpr uint32_t WHDR_PREPARED = 0x02; // prepared for a device
constexpr uint32_t WHDR_INQUEUE = 0x10;  // handed to a device and not yet returned

// Wakes the audio engine: set when a device finishes a block (filled, or played while the engine
// asks for it), and by a line that hands over the block the engine waits for. The engine waits for
// it instead of polling while nothing else can be due.
extern AutoResetEvent engineWake;
// Set by the audio engine while it runs: a device's own thread calls it, outside the device's
// locks, when it has finished a block the engine waits for. It runs the engine's pass in that
// thread and returns true, or returns false when the engine has to be woken instead.
extern std::atomic<bool (*)()> blockDoneHook;

// Gives the calling thread (the engine's, a device's) a nice value two steps above normal. Without
// the right to raise it the thread simply runs at normal priority.
void raiseAudioThreadPriority();

// Describes one block of sample memory. The device sets WHDR_DONE with release once it is
// finished with the block; the engine tests it with acquire before it touches the samples.
struct WaveHeader {
    int16_t* data = nullptr;
    uint32_t length = 0; // bytes
    std::atomic<uint32_t> flags{0};

    bool done() const { return (flags.load(std::memory_order_acquire) & WHDR_DONE) != 0; }
};

// A source of captured blocks. read() waits for the next block (in real time for a sound card or
// a paced file, at once for a test's fake).
class CaptureStream {
  public:
    virtual ~CaptureStream() = default;
    // 0 done, 1 failure (no device).
    virtual int open() = 0;
    // Fills `block` with the next 512 samples. 0 done, 1 failure.
    virtual int read(int16_t* block) = 0;
    virtual void close() = 0;
};

// A sink for played blocks. write() waits until the block is taken (in real time for a sound
// card or a paced file, at once for a test's fake).
class PlaybackStream {
  public:
    virtual ~PlaybackStream() = default;
    virtual int open() = 0;
    virtual int write(const int16_t* block) = 0;
    virtual void close() = 0;
};

// What both devices share: the stream, the queue of headers handed to the device, and the
// pump that moves one block between stream and queue. In threaded mode a device thread runs the
// pump; in manual mode (tests) nobody does until the test calls pumpOnce().
class WaveDevice {
  public:
    WaveDevice(const WaveDevice&) = delete;
    WaveDevice& operator=(const WaveDevice&) = delete;
    virtual ~WaveDevice();

    bool isOpen() const { return open_; }
    bool manual() const { return manual_; }
    // Prepares a header for this device. Fails on a closed device or a queued header.
    int prepare(WaveHeader& header);
    // Fails while the device still holds the header (still being filled or played).
    int unprepare(WaveHeader& header);
    // Returns every queued header marked done. Capture stays stopped until start(); playback
    // goes on with the next write.
    virtual int reset();
    // Fails while headers are queued. The stream is closed; the device may be opened again.
    int close();
    // Headers handed to the device and not yet returned.
    int queued() const;
    // One step of the device: moves one block between the stream and the oldest queued header.
    // Returns 0 when a block was moved, 1 when the stream failed.
    virtual int pumpOnce() = 0;
    // Whether a finished block wakes the engine (it does unless the engine said otherwise: a
    // played block only matters to it while it waits for a free one).
    void wakeEngineWhenDone(bool wake) { wakeEngine_.store(wake); }

  protected:
    WaveDevice(bool manual) : manual_(manual) {}
    int queueHeader(WaveHeader& header);
    // Returns 0, or 1 when the pump thread could not start.
    int startPump();
    void stopPump();
    // Takes every queued header off the queue, marked done, and wakes the engine.
    void returnAll();
    void markDone(WaveHeader& header);
    // After a pump step finished a block, outside the device's locks: unless the engine said it
    // need not hear of it, the engine's pass runs in this thread, or the engine is woken.
    void engineAfterBlock();
    virtual void closeStream() = 0;

    mutable std::mutex mutex_;
    std::deque<WaveHeader*> queue_;
    std::atomic<bool> open_{false};
    const bool manual_;

  private:
    void pumpLoop();

    std::thread pump_;
    std::atomic<bool> pumping_{false};
    std::atomic<bool> wakeEngine_{true};
};

// The capture device. Blocks read while no header is queued are lost, as on a sound card.
class WaveIn : public WaveDevice {
  public:
    explicit WaveIn(std::unique_ptr<CaptureStream> stream, bool manual = false);
    ~WaveIn() override;
    int open();
    int start();
    // Hands an empty prepared header to the device.
    int addBuffer(WaveHeader& header);
    int reset() override;
    int pumpOnce() override;
    CaptureStream& stream() { return *stream_; }

  private:
    void closeStream() override { stream_->close(); }

    std::unique_ptr<CaptureStream> stream_;
    bool started_ = false;
};

// The playback device: written headers are played one after the other; while none is queued
// the device plays silence.
class WaveOut : public WaveDevice {
  public:
    explicit WaveOut(std::unique_ptr<PlaybackStream> stream, bool manual = false);
    ~WaveOut() override;
    int open();
    // Queues a prepared header for playing.
    int write(WaveHeader& header);
    // The device volume (both channels in one word). Streams play at their own level.
    int setVolume(uint32_t volume);
    uint32_t volume() const { return volume_; }
    int reset() override;
    int pumpOnce() override;
    PlaybackStream& stream() { return *stream_; }

  private:
    void closeStream() override { stream_->close(); }

    std::unique_ptr<PlaybackStream> stream_;
    std::atomic<uint32_t> volume_{0};
};

} // namespace tc
