#include "platform/wave_backends.h"

#include <algorithm>
#include <cctype>
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

// The device named `name` with channels in the direction, or the default device when the name
// is empty; paNoDevice when there is none.
PaDeviceIndex deviceIndex(const std::string& name, bool capture) {
    if (name.empty()) return capture ? Pa_GetDefaultInputDevice() : Pa_GetDefaultOutputDevice();
    for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (info && info->name && name == info->name &&
            (capture ? info->maxInputChannels : info->maxOutputChannels) > 0)
            return i;
    }
    return paNoDevice;
}

// Opens one direction, mono 16-bit at 8000 Hz in 512-sample blocks, with the device's high
// latency (the choice of PortAudio's default streams).
int openPortAudio(void*& stream, bool& initialised, const std::string& device, bool capture) {
    QuietStderr quiet;
    if (Pa_Initialize() != paNoError) return 1;
    initialised = true;
    PaStream* s = nullptr;
    PaStreamParameters p{};
    p.device = deviceIndex(device, capture);
    const PaDeviceInfo* info = p.device == paNoDevice ? nullptr : Pa_GetDeviceInfo(p.device);
    if (info) {
        p.channelCount = 1;
        p.sampleFormat = paInt16;
        p.suggestedLatency =
            capture ? info->defaultHighInputLatency : info->defaultHighOutputLatency;
    }
    if (!info || Pa_OpenStream(&s, capture ? &p : nullptr, capture ? nullptr : &p, WAVE_SAMPLE_RATE,
                               WAVE_BLOCK_SAMPLES, paNoFlag, nullptr, nullptr) != paNoError) {
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
    return openPortAudio(stream_, initialised_, device_, true);
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
    return openPortAudio(stream_, initialised_, device_, false);
}

int PortAudioPlaybackStream::write(const int16_t* block) {
    if (!stream_) return 1;
    PaError e = Pa_WriteStream(static_cast<PaStream*>(stream_), block, WAVE_BLOCK_SAMPLES);
    return e == paNoError || e == paOutputUnderflowed ? 0 : 1;
}

void PortAudioPlaybackStream::close() {
    closePortAudio(stream_, initialised_);
}

// ---- Device list ----

int listSoundDevices(std::vector<SoundDevice>& devices, std::string& error) {
    QuietStderr quiet;
    devices.clear();
    PaError e = Pa_Initialize();
    if (e != paNoError) {
        error = std::string("sound system: ") + Pa_GetErrorText(e);
        return 1;
    }
    PaDeviceIndex in = Pa_GetDefaultInputDevice(), out = Pa_GetDefaultOutputDevice();
    for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (!info) continue;
        devices.push_back({i, info->name ? info->name : "", info->maxInputChannels > 0,
                           info->maxOutputChannels > 0, i == in, i == out});
    }
    Pa_Terminate();
    return 0;
}

std::string soundDeviceText(const std::vector<SoundDevice>& devices) {
    std::string text;
    for (bool capture : {true, false}) {
        text += capture ? "Input devices:\n" : "Output devices:\n";
        size_t listed = 0;
        for (const SoundDevice& d : devices) {
            if (!(capture ? d.capture : d.playback)) continue;
            char index[16];
            std::snprintf(index, sizeof(index), "%4d  ", d.index);
            bool isDefault = capture ? d.defaultCapture : d.defaultPlayback;
            text += index + d.name + (isDefault ? " (default)\n" : "\n");
            ++listed;
        }
        if (listed == 0) text += "      (none)\n";
    }
    return text;
}

int findSoundDevice(const std::vector<SoundDevice>& devices, const std::string& choice,
                    bool capture, std::string& name, std::string& error) {
    auto lower = [](std::string text) {
        for (char& c : text)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    };
    const std::string wanted = lower(choice);
    const bool isIndex =
        !choice.empty() && choice.size() < 10 &&
        std::all_of(choice.begin(), choice.end(), [](char c) { return c >= '0' && c <= '9'; });
    std::vector<const SoundDevice*> exact, partial;
    for (const SoundDevice& d : devices) {
        if (!(capture ? d.capture : d.playback)) continue;
        if (isIndex) {
            if (d.index == std::stoi(choice)) exact.push_back(&d);
        } else if (lower(d.name) == wanted) {
            exact.push_back(&d);
        } else if (lower(d.name).find(wanted) != std::string::npos) {
            partial.push_back(&d);
        }
    }
    const std::vector<const SoundDevice*>& found = exact.empty() ? partial : exact;
    const std::string kind = capture ? "input" : "output";
    if (found.size() == 1) {
        name = found[0]->name;
        return 0;
    }
    if (found.empty()) {
        error = "no " + kind + " device matches \"" + choice + "\" (see --list-devices)";
    } else {
        error = kind + " device \"" + choice + "\" is ambiguous:";
        for (size_t i = 0; i < found.size(); ++i)
            error += (i ? ", " : " ") + found[i]->name;
    }
    return 1;
}

// ---- Selection ----

namespace {

int makeCapture(const std::string& audio, const std::string& file, const std::string& device,
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
        stream = std::make_unique<PortAudioCaptureStream>(device);
    }
    return 0;
}

int makePlayback(const std::string& audio, const std::string& file, const std::string& device,
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
        stream = std::make_unique<PortAudioPlaybackStream>(device);
    }
    return 0;
}

} // namespace

int createWaveDevices(const std::string& audio, const std::string& capture,
                      const std::string& playback, WaveDevices& devices, std::string& error,
                      const std::string& inputDevice, const std::string& outputDevice) {
    if (!audio.empty() && audio != "portaudio" && audio != "null") {
        error = "unknown sound backend \"" + audio + "\" (portaudio or null)";
        return 1;
    }
    std::unique_ptr<CaptureStream> in;
    std::unique_ptr<PlaybackStream> out;
    if (makeCapture(audio, capture, inputDevice, in, error) != 0) return 1;
    if (makePlayback(audio, playback, outputDevice, out, error) != 0) return 1;
    devices.in = std::make_unique<WaveIn>(std::move(in));
    devices.out = std::make_unique<WaveOut>(std::move(out));
    return 0;
}

} // namespace tc
