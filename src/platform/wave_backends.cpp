#include "platform/wave_backends.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <portaudio.h>
#include <sndfile.h>
#include <thread>
#include <unistd.h>

namespace tc {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto BLOCK_DURATION = std::chrono::milliseconds(WAVE_BLOCK_MS);
// A pacer that has fallen this far behind (the machine was suspended) starts afresh instead of
// delivering the missed blocks in one burst.
constexpr auto MAX_LATENESS = std::chrono::milliseconds(1000);
constexpr sf_count_t READ_FRAMES = 1024;

int16_t toSample(float value) {
    float scaled = std::nearbyint(value * 32768.0f);
    return static_cast<int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

} // namespace

// ---- BlockPacer ----

void BlockPacer::start() {
    base_ = Clock::now();
    count_ = 0;
}

void BlockPacer::waitNext() {
    ++count_;
    auto due = base_ + count_ * BLOCK_DURATION;
    auto now = Clock::now();
    if (now - due > MAX_LATENESS) {
        base_ = now - count_ * BLOCK_DURATION;
        return;
    }
    std::this_thread::sleep_until(due);
}

// ---- Null streams ----

int NullCaptureStream::open() {
    pacer_.start();
    return 0;
}

int NullCaptureStream::read(int16_t* block) {
    pacer_.waitNext();
    std::memset(block, 0, WAVE_BLOCK_BYTES);
    return 0;
}

int NullPlaybackStream::open() {
    pacer_.start();
    return 0;
}

int NullPlaybackStream::write(const int16_t*) {
    pacer_.waitNext();
    return 0;
}

// ---- RateConverter ----

int64_t RateConverter::boundary() const {
    return (out_ + 1) * sourceRate_ / WAVE_SAMPLE_RATE;
}

void RateConverter::push(float sample, std::vector<float>& out) {
    if (sourceRate_ >= WAVE_SAMPLE_RATE) {
        // Output sample i averages the source samples from i * r up to (i + 1) * r.
        while (in_ >= boundary()) {
            out.push_back(count_ > 0 ? static_cast<float>(sum_ / count_) : 0.0f);
            ++out_;
            sum_ = 0;
            count_ = 0;
        }
        sum_ += sample;
        ++count_;
    } else if (in_ > 0) {
        // Output sample i lies at source position i * r, between samples in_ - 1 and in_.
        while (out_ * sourceRate_ < in_ * WAVE_SAMPLE_RATE) {
            double frac = static_cast<double>(out_ * sourceRate_ - (in_ - 1) * WAVE_SAMPLE_RATE) /
                          WAVE_SAMPLE_RATE;
            out.push_back(static_cast<float>(previous_ + (sample - previous_) * frac));
            ++out_;
        }
    }
    previous_ = sample;
    ++in_;
}

void RateConverter::finish(std::vector<float>& out) {
    int64_t total = in_ * WAVE_SAMPLE_RATE / sourceRate_;
    while (out_ < total) {
        if (sourceRate_ >= WAVE_SAMPLE_RATE)
            out.push_back(count_ > 0 ? static_cast<float>(sum_ / count_) : 0.0f);
        else
            out.push_back(previous_); // past the last sample: hold it
        ++out_;
        count_ = 0;
    }
}

// ---- FileCaptureStream ----

FileCaptureStream::~FileCaptureStream() {
    if (file_) sf_close(file_);
}

int FileCaptureStream::load(const std::string& path, std::string& error) {
    SF_INFO info{};
    file_ = sf_open(path.c_str(), SFM_READ, &info);
    if (!file_) {
        error = path + ": " + sf_strerror(nullptr);
        return 1;
    }
    if (info.channels < 1 || info.samplerate < 1) {
        error = path + ": no channels or no sample rate";
        sf_close(file_);
        file_ = nullptr;
        return 1;
    }
    channels_ = info.channels;
    direct_ = info.samplerate == WAVE_SAMPLE_RATE && info.channels == 1;
    if (!direct_) converter_ = std::make_unique<RateConverter>(info.samplerate);
    return 0;
}

int FileCaptureStream::open() {
    if (!file_) return 1;
    pacer_.start();
    return 0;
}

void FileCaptureStream::readDirect() {
    size_t old = ready_.size();
    ready_.resize(old + READ_FRAMES);
    sf_count_t got = sf_read_short(file_, ready_.data() + old, READ_FRAMES);
    ready_.resize(old + static_cast<size_t>(std::max<sf_count_t>(got, 0)));
    if (got < READ_FRAMES) ended_ = true;
}

void FileCaptureStream::readConverted() {
    frames_.resize(static_cast<size_t>(READ_FRAMES * channels_));
    sf_count_t got = sf_readf_float(file_, frames_.data(), READ_FRAMES);
    converted_.clear();
    for (sf_count_t f = 0; f < got; ++f) {
        const float* frame = &frames_[static_cast<size_t>(f * channels_)];
        float sum = 0;
        for (int c = 0; c < channels_; ++c)
            sum += frame[c];
        converter_->push(sum / static_cast<float>(channels_), converted_);
    }
    if (got < READ_FRAMES) {
        converter_->finish(converted_);
        ended_ = true;
    }
    for (float v : converted_)
        ready_.push_back(toSample(v));
}

void FileCaptureStream::fill() {
    if (readyPos_ > 0) {
        ready_.erase(ready_.begin(), ready_.begin() + static_cast<std::ptrdiff_t>(readyPos_));
        readyPos_ = 0;
    }
    while (!ended_ && ready_.size() < static_cast<size_t>(WAVE_BLOCK_SAMPLES)) {
        if (direct_)
            readDirect();
        else
            readConverted();
    }
}

int FileCaptureStream::read(int16_t* block) {
    if (!file_) return 1;
    if (paced_) pacer_.waitNext();
    if (ready_.size() - readyPos_ < static_cast<size_t>(WAVE_BLOCK_SAMPLES)) fill();
    size_t n = std::min(ready_.size() - readyPos_, static_cast<size_t>(WAVE_BLOCK_SAMPLES));
    std::memcpy(block, ready_.data() + readyPos_, n * sizeof(int16_t));
    std::memset(block + n, 0, (WAVE_BLOCK_SAMPLES - n) * sizeof(int16_t));
    readyPos_ += n;
    return 0;
}

// ---- FilePlaybackStream ----

FilePlaybackStream::~FilePlaybackStream() {
    if (file_) sf_close(file_);
}

int FilePlaybackStream::create(const std::string& path, std::string& error) {
    SF_INFO info{};
    info.samplerate = WAVE_SAMPLE_RATE;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    file_ = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file_) {
        error = path + ": " + sf_strerror(nullptr);
        return 1;
    }
    // The header follows every write, so the file is valid even if the program is killed.
    sf_command(file_, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    return 0;
}

int FilePlaybackStream::open() {
    if (!file_) return 1;
    pacer_.start();
    return 0;
}

int FilePlaybackStream::write(const int16_t* block) {
    if (!file_) return 1;
    if (paced_) pacer_.waitNext();
    return sf_write_short(file_, block, WAVE_BLOCK_SAMPLES) == WAVE_BLOCK_SAMPLES ? 0 : 1;
}

// ---- PortAudio ----

namespace {

// The sound libraries under PortAudio report every device they probe on stderr, a hundred
// lines on a machine without a sound card, at every retry. Their chatter is dropped while a
// stream is opened; the result code says what happened.
class QuietStderr {
  public:
    QuietStderr() : lock_(mutex()) {
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) dup2(null, STDERR_FILENO);
        if (null >= 0) ::close(null);
    }
    ~QuietStderr() {
        if (saved_ < 0) return;
        dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }

  private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    std::lock_guard<std::mutex> lock_;
    int saved_ = -1;
};

int openPortAudio(void*& stream, bool& initialised, int inputs, int outputs) {
    QuietStderr quiet;
    if (Pa_Initialize() != paNoError) return 1;
    initialised = true;
    PaStream* s = nullptr;
    if (Pa_OpenDefaultStream(&s, inputs, outputs, paInt16, WAVE_SAMPLE_RATE, WAVE_BLOCK_SAMPLES,
                             nullptr, nullptr) != paNoError) {
        Pa_Terminate();
        initialised = false;
        return 1;
    }
    if (Pa_StartStream(s) != paNoError) {
        Pa_CloseStream(s);
        Pa_Terminate();
        initialised = false;
        return 1;
    }
    stream = s;
    return 0;
}

void closePortAudio(void*& stream, bool& initialised) {
    QuietStderr quiet;
    if (stream) {
        Pa_StopStream(static_cast<PaStream*>(stream));
        Pa_CloseStream(static_cast<PaStream*>(stream));
        stream = nullptr;
    }
    if (initialised) {
        Pa_Terminate();
        initialised = false;
    }
}

} // namespace

int PortAudioCaptureStream::open() {
    if (stream_) return 1;
    return openPortAudio(stream_, initialised_, 1, 0);
}

int PortAudioCaptureStream::read(int16_t* block) {
    if (!stream_) return 1;
    PaError e = Pa_ReadStream(static_cast<PaStream*>(stream_), block, WAVE_BLOCK_SAMPLES);
    // An overflow lost older samples; this block is still good.
    return e == paNoError || e == paInputOverflowed ? 0 : 1;
}

void PortAudioCaptureStream::close() {
    closePortAudio(stream_, initialised_);
}

int PortAudioPlaybackStream::open() {
    if (stream_) return 1;
    return openPortAudio(stream_, initialised_, 0, 1);
}

int PortAudioPlaybackStream::write(const int16_t* block) {
    if (!stream_) return 1;
    PaError e = Pa_WriteStream(static_cast<PaStream*>(stream_), block, WAVE_BLOCK_SAMPLES);
    return e == paNoError || e == paOutputUnderflowed ? 0 : 1;
}

void PortAudioPlaybackStream::close() {
    closePortAudio(stream_, initialised_);
}

// ---- Selection ----

namespace {

int makeCapture(const std::string& audio, const std::string& file,
                std::unique_ptr<CaptureStream>& stream, std::string& error) {
    if (!file.empty()) {
        auto f = std::make_unique<FileCaptureStream>();
        if (f->load(file, error) != 0) {
            error = "capture file " + error;
            return 1;
        }
        stream = std::move(f);
    } else if (audio == "null") {
        stream = std::make_unique<NullCaptureStream>();
    } else {
        stream = std::make_unique<PortAudioCaptureStream>();
    }
    return 0;
}

int makePlayback(const std::string& audio, const std::string& file,
                 std::unique_ptr<PlaybackStream>& stream, std::string& error) {
    if (!file.empty()) {
        auto f = std::make_unique<FilePlaybackStream>();
        if (f->create(file, error) != 0) {
            error = "playback file " + error;
            return 1;
        }
        stream = std::move(f);
    } else if (audio == "null") {
        stream = std::make_unique<NullPlaybackStream>();
    } else {
        stream = std::make_unique<PortAudioPlaybackStream>();
    }
    return 0;
}

} // namespace

int createWaveDevices(const std::string& audio, const std::string& capture,
                      const std::string& playback, WaveDevices& devices, std::string& error) {
    if (!audio.empty() && audio != "portaudio" && audio != "null") {
        error = "unknown sound backend \"" + audio + "\" (portaudio or null)";
        return 1;
    }
    std::unique_ptr<CaptureStream> in;
    std::unique_ptr<PlaybackStream> out;
    if (makeCapture(audio, capture, in, error) != 0) return 1;
    if (makePlayback(audio, playback, out, error) != 0) return 1;
    devices.in = std::make_unique<WaveIn>(std::move(in));
    devices.out = std::make_unique<WaveOut>(std::move(out));
    return 0;
}

} // namespace tc
