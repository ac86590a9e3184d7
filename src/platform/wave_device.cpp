#include "platform/wave_device.h"

#include <algorithm>
#include <cstring>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

#include "platform/clock.h"
#include "platform/thread_start.h"

namespace tc {

AutoResetEvent engineWake;
std::atomic<bool (*)()> blockDoneHook{nullptr};

namespace {

// A stream that fails is retried at the pace of one block, not in a busy loop.
constexpr int FAILED_STREAM_PAUSE_MS = WAVE_BLOCK_MS;

size_t blockBytes(const WaveHeader& header) {
    return std::min<size_t>(header.length, WAVE_BLOCK_BYTES);
}

} // namespace

void raiseAudioThreadPriority() {
    constexpr int AUDIO_THREAD_NICE = -2;
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), AUDIO_THREAD_NICE);
}

// ---- WaveDevice ----

WaveDevice::~WaveDevice() {
    stopPump();
}

int WaveDevice::prepare(WaveHeader& header) {
    std::lock_guard lock(mutex_);
    if (!open_ || (header.flags.load() & WHDR_INQUEUE)) return 1;
    header.flags.fetch_or(WHDR_PREPARED);
    return 0;
}

int WaveDevice::unprepare(WaveHeader& header) {
    std::lock_guard lock(mutex_);
    if (header.flags.load() & WHDR_INQUEUE) return 1;
    header.flags.fetch_and(~WHDR_PREPARED);
    return 0;
}

int WaveDevice::queueHeader(WaveHeader& header) {
    std::lock_guard lock(mutex_);
    uint32_t flags = header.flags.load();
    if (!open_ || !(flags & WHDR_PREPARED) || (flags & WHDR_INQUEUE) || !header.data) return 1;
    header.flags.fetch_and(~WHDR_DONE);
    header.flags.fetch_or(WHDR_INQUEUE);
    queue_.push_back(&header);
    return 0;
}

void WaveDevice::markDone(WaveHeader& header) {
    header.flags.fetch_and(~WHDR_INQUEUE);
    // Sequentially consistent, as the engine's store of wakeEngine_ and its look at the flag
    // after it: either the engine sees the block done or engineAfterBlock sees the request.
    header.flags.fetch_or(WHDR_DONE);
}

void WaveDevice::engineAfterBlock() {
    if (!wakeEngine_.load()) return;
    bool (*hook)() = blockDoneHook.load();
    if (!hook || !hook()) engineWake.set();
}

void WaveDevice::returnAll() {
    std::lock_guard lock(mutex_);
    for (WaveHeader* h : queue_)
        markDone(*h);
    queue_.clear();
    engineWake.set();
}

int WaveDevice::reset() {
    stopPump();
    returnAll();
    return 0;
}

int WaveDevice::close() {
    {
        std::lock_guard lock(mutex_);
        if (!open_ || !queue_.empty()) return 1;
    }
    stopPump();
    closeStream();
    std::lock_guard lock(mutex_);
    open_ = false;
    return 0;
}

int WaveDevice::queued() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(queue_.size());
}

int WaveDevice::startPump() {
    if (manual_ || pumping_) return 0;
    pumping_ = true;
    if (startThread(pump_, ThreadKind::pump, [this] { pumpLoop(); }) != 0) {
        pumping_ = false;
        return 1;
    }
    return 0;
}

void WaveDevice::stopPump() {
    pumping_ = false;
    if (pump_.joinable()) pump_.join();
}

void WaveDevice::pumpLoop() {
    raiseAudioThreadPriority();
    while (pumping_)
        if (pumpOnce() != 0) sleepMs(FAILED_STREAM_PAUSE_MS);
}

// ---- WaveIn ----

WaveIn::WaveIn(std::unique_ptr<CaptureStream> stream, bool manual)
    : WaveDevice(manual), stream_(std::move(stream)) {}

WaveIn::~WaveIn() {
    stopPump();
    if (open_) stream_->close();
}

int WaveIn::open() {
    std::lock_guard lock(mutex_);
    if (open_ || stream_->open() != 0) return 1;
    open_ = true;
    started_ = false;
    return 0;
}

int WaveIn::start() {
    {
        std::lock_guard lock(mutex_);
        if (!open_) return 1;
        started_ = true;
    }
    if (startPump() == 0) return 0;
    std::lock_guard lock(mutex_);
    started_ = false;
    return 1;
}

int WaveIn::reset() {
    WaveDevice::reset();
    std::lock_guard lock(mutex_);
    started_ = false;
    return 0;
}

int WaveIn::addBuffer(WaveHeader& header) {
    return queueHeader(header);
}

int WaveIn::pumpOnce() {
    int16_t block[WAVE_BLOCK_SAMPLES];
    if (stream_->read(block) != 0) return 1;
    {
        std::lock_guard lock(mutex_);
        if (!started_ || queue_.empty()) return 0; // nobody to take the block: it is lost
        WaveHeader* h = queue_.front();
        queue_.pop_front();
        std::memcpy(h->data, block, blockBytes(*h));
        markDone(*h);
    }
    engineAfterBlock();
    return 0;
}

// ---- WaveOut ----

WaveOut::WaveOut(std::unique_ptr<PlaybackStream> stream, bool manual)
    : WaveDevice(manual), stream_(std::move(stream)) {}

WaveOut::~WaveOut() {
    stopPump();
    if (open_) stream_->close();
}

int WaveOut::open() {
    {
        std::lock_guard lock(mutex_);
        if (open_ || stream_->open() != 0) return 1;
        open_ = true;
    }
    if (startPump() == 0) return 0;
    close();
    return 1;
}

int WaveOut::reset() {
    WaveDevice::reset();
    return isOpen() ? startPump() : 0;
}

int WaveOut::write(WaveHeader& header) {
    return queueHeader(header);
}

int WaveOut::setVolume(uint32_t volume) {
    if (!isOpen()) return 1;
    volume_ = volume;
    return 0;
}

int WaveOut::pumpOnce() {
    int16_t block[WAVE_BLOCK_SAMPLES] = {};
    WaveHeader* playing = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (!queue_.empty()) {
            playing = queue_.front();
            std::memcpy(block, playing->data, blockBytes(*playing));
        }
    }
    int result = stream_->write(block);
    if (playing) {
        // Done even when the stream failed: the block is gone either way, and the engine must
        // not wait for it forever.
        bool finished = false;
        {
            std::lock_guard lock(mutex_);
            if (!queue_.empty() && queue_.front() == playing) {
                queue_.pop_front();
                markDone(*playing);
                finished = true;
            }
        }
        if (finished) engineAfterBlock();
    }
    return result;
}

} // namespace tc
