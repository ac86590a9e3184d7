#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/wave_device.h"

typedef struct sf_private_tag SNDFILE;

namespace tc {

// Waits for absolute block deadlines on the monotonic clock, so a long run never drifts: block k
// is due k * 64 ms after start().
class BlockPacer {
  public:
    void start();
    void waitNext();

  private:
    std::chrono::steady_clock::time_point base_{};
    int64_t count_ = 0;
};

// Silence in, paced in real time.
class NullCaptureStream : public CaptureStream {
  public:
    int open() override;
    int read(int16_t* block) override;
    void close() override {}

  private:
    BlockPacer pacer_;
};

// Output discarded, paced in real time.
class NullPlaybackStream : public PlaybackStream {
  public:
    int open() override;
    int write(const int16_t* block) override;
    void close() override {}

  private:
    BlockPacer pacer_;
};

// Turns mono samples at any rate into 8000 Hz: a box average over each output period when the
// source is faster, a linear interpolation when it is slower.
class RateConverter {
  public:
    explicit RateConverter(int sourceRate) : sourceRate_(sourceRate) {}
    void push(float sample, std::vector<float>& out);
    // Ends the input: emits what the last source samples still owe.
    void finish(std::vector<float>& out);

  private:
    int64_t boundary() const;
    const int64_t sourceRate_;
    int64_t in_ = 0;  // source samples taken
    int64_t out_ = 0; // output samples made
    double sum_ = 0;
    int count_ = 0;
    float previous_ = 0;
};

// Plays a sound file as the microphone: its samples in real time, one block per 64 ms, silence
// after its end. The read position carries on from one audio period to the next. A file that
// is not 8000 Hz mono is converted as it is read; one that cannot be read is refused.
class FileCaptureStream : public CaptureStream {
  public:
    // paced = false delivers blocks as fast as they are read (tests).
    explicit FileCaptureStream(bool paced = true) : paced_(paced) {}
    ~FileCaptureStream() override;
    // Opens the file; 0 done, 1 with `error` set.
    int load(const std::string& path, std::string& error);
    int open() override;
    int read(int16_t* block) override;
    void close() override {}

  private:
    // Reads on until a block's worth of samples is ready or the file has ended.
    void fill();
    void readDirect();
    void readConverted();

    SNDFILE* file_ = nullptr;
    bool paced_;
    bool direct_ = false; // 8000 Hz mono: samples are taken as they are
    int channels_ = 1;
    bool ended_ = false;
    std::unique_ptr<RateConverter> converter_;
    std::vector<int16_t> ready_; // 8000 Hz samples not yet delivered, from readyPos_
    size_t readyPos_ = 0;
    std::vector<float> frames_;
    std::vector<float> converted_;
    BlockPacer pacer_;
};

// Writes what the speaker plays to a WAV file (8000 Hz, mono, 16-bit): one block per 64 ms,
// silence while nothing is queued. The header is brought up to date with every block, so the
// file is valid at any moment, and it is finished when the stream is destroyed.
class FilePlaybackStream : public PlaybackStream {
  public:
    explicit FilePlaybackStream(bool paced = true) : paced_(paced) {}
    ~FilePlaybackStream() override;
    // Creates (or empties) the file; 0 done, 1 with `error` set.
    int create(const std::string& path, std::string& error);
    int open() override;
    int write(const int16_t* block) override;
    void close() override {}

  private:
    SNDFILE* file_ = nullptr;
    bool paced_;
    BlockPacer pacer_;
};

// A sound device through PortAudio. `device` is a name from listSoundDevices, empty for the
// system's default device; opening fails cleanly without a sound card or when the named device
// is gone.
class PortAudioCaptureStream : public CaptureStream {
  public:
    explicit PortAudioCaptureStream(std::string device = {}) : device_(std::move(device)) {}
    ~PortAudioCaptureStream() override { close(); }
    int open() override;
    int read(int16_t* block) override;
    void close() override;

  private:
    std::string device_;
    void* stream_ = nullptr;
    bool initialised_ = false;
};

class PortAudioPlaybackStream : public PlaybackStream {
  public:
    explicit PortAudioPlaybackStream(std::string device = {}) : device_(std::move(device)) {}
    ~PortAudioPlaybackStream() override { close(); }
    int open() override;
    int write(const int16_t* block) override;
    void close() override;

  private:
    std::string device_;
    void* stream_ = nullptr;
    bool initialised_ = false;
};

// A device of the PortAudio backend, as --list-devices shows it.
struct SoundDevice {
    int index = 0; // PortAudio's device index
    std::string name;
    bool capture = false; // has input channels
    bool playback = false;
    bool defaultCapture = false;
    bool defaultPlayback = false;
};

// The PortAudio backend's devices. 0 done, 1 with `error` set (the sound system did not start).
int listSoundDevices(std::vector<SoundDevice>& devices, std::string& error);

// The devices as --list-devices prints them: the input devices, then the output devices, one
// line each with the index, the name and a mark on the default one.
std::string soundDeviceText(const std::vector<SoundDevice>& devices);

// Finds the input (`capture`) or output device that `choice` names: its index, its whole name,
// or a part of exactly one name, case ignored. 0 with `name` set to the device's name, 1 with
// `error` set when no device or several match.
int findSoundDevice(const std::vector<SoundDevice>& devices, const std::string& choice,
                    bool capture, std::string& name, std::string& error);

struct WaveDevices {
    std::unique_ptr<WaveIn> in;
    std::unique_ptr<WaveOut> out;
};

// Builds the capture and playback devices: `audio` is "portaudio" or "null"; a capture or
// playback file replaces the backend for its direction. PortAudio opens the named input and
// output devices (empty: the defaults). 0 done, 1 with `error` set.
int createWaveDevices(const std::string& audio, const std::string& capture,
                      const std::string& playback, WaveDevices& devices, std::string& error,
                      const std::string& inputDevice = {}, const std::string& outputDevice = {});

} // namespace tc
