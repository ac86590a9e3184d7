// The WAV file backends without real time: reading (with rate and channel conversion),
// refusing what is not sound, writing a valid file, and the choice of backends.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sndfile.h>
#include <string>
#include <vector>

#include "platform/wave_backends.h"
#include "support/program_process.h"
#include "support/wav_files.h"

namespace tc {
namespace {

class WaveFilesTest : public ::testing::Test {
  protected:
    // Writes interleaved 16-bit frames; returns the path.
    std::string wav(const std::string& name, int rate, int channels,
                    const std::vector<int16_t>& frames) {
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        std::string p = dir.file(name);
        SNDFILE* f = sf_open(p.c_str(), SFM_WRITE, &info);
        EXPECT_NE(f, nullptr);
        sf_write_short(f, frames.data(), static_cast<sf_count_t>(frames.size()));
        sf_close(f);
        return p;
    }
    // The first `blocks` blocks the file delivers as a capture stream.
    std::vector<int16_t> capture(const std::string& path, int blocks) {
        FileCaptureStream stream(false);
        std::string error;
        EXPECT_EQ(stream.load(path, error), 0) << error;
        EXPECT_EQ(stream.open(), 0);
        std::vector<int16_t> all(static_cast<size_t>(blocks) * WAVE_BLOCK_SAMPLES);
        for (int i = 0; i < blocks; ++i)
            EXPECT_EQ(stream.read(all.data() + i * WAVE_BLOCK_SAMPLES), 0);
        return all;
    }

    test::TempDir dir;
};

std::vector<int16_t> signal(int count) {
    std::vector<int16_t> s(count);
    for (int n = 0; n < count; ++n)
        s[n] = static_cast<int16_t>(9000 * std::sin(n * 0.37) + 50 * (n % 13) - 300);
    return s;
}

TEST_F(WaveFilesTest, MonoFilesAreDeliveredExactlyThenSilence) {
    auto s = signal(1000);
    auto got = capture(wav("mono.wav", 8000, 1, s), 3);
    EXPECT_TRUE(std::equal(s.begin(), s.end(), got.begin()));
    EXPECT_TRUE(std::all_of(got.begin() + 1000, got.end(), [](int16_t v) { return v == 0; }));

    // Every sample twice on both channels at 16000 Hz: the conversion gives the signal back.
    std::vector<int16_t> frames;
    for (int16_t v : s)
        frames.insert(frames.end(), 4, v);
    got = capture(wav("wide.wav", 16000, 2, frames), 2);
    EXPECT_TRUE(std::equal(s.begin(), s.end(), got.begin()));
    EXPECT_EQ(got[1000], 0);

    // Channels that differ are averaged.
    got = capture(wav("lr.wav", 8000, 2, {1000, 3000, -1000, -3000}), 1);
    EXPECT_EQ(got[0], 2000);
    EXPECT_EQ(got[1], -2000);
}

TEST_F(WaveFilesTest, CommonRatesKeepPitchAndLength) {
    for (int rate : {44100, 11025, 4000}) {
        std::vector<int16_t> s(rate); // one second of 440 Hz
        for (int n = 0; n < rate; ++n)
            s[n] = static_cast<int16_t>(10000 * std::sin(2 * M_PI * 440 * n / rate));
        auto got = capture(wav("rate.wav", rate, 1, s), 17);
        int last = 8000;
        while (last > 0 && got[last - 1] == 0)
            --last;
        EXPECT_NEAR(last, 8000, 2) << rate;
        int crossings = 0;
        for (int n = 1; n < 8000; ++n)
            crossings += (got[n - 1] < 0) != (got[n] < 0);
        EXPECT_NEAR(crossings, 880, 4) << rate;
        EXPECT_GT(*std::max_element(got.begin(), got.begin() + 8000), 9000) << rate;
    }
}

TEST_F(WaveFilesTest, WhatCannotBeUsedIsRefusedWithItsName) {
    std::ofstream(dir.file("notes.wav")) << "this is a text file, not sound\n";
    FileCaptureStream stream(false);
    std::string error;
    EXPECT_EQ(stream.load(dir.file("notes.wav"), error), 1);
    EXPECT_EQ(stream.open(), 1);

    WaveDevices devices;
    for (const auto& [capture, playback, named] : {std::tuple{"notes.wav", "", "notes.wav"},
                                                   {"missing.wav", "", "missing.wav"},
                                                   {"", "no/such/dir/out.wav", "out.wav"}}) {
        error.clear();
        EXPECT_EQ(createWaveDevices("null", *capture ? dir.file(capture) : "",
                                    *playback ? dir.file(playback) : "", devices, error),
                  1);
        EXPECT_NE(error.find(named), std::string::npos) << error;
    }
    EXPECT_EQ(createWaveDevices("alsa", "", "", devices, error), 1);
    EXPECT_NE(error.find("alsa"), std::string::npos);
    EXPECT_EQ(devices.in, nullptr);
}

TEST_F(WaveFilesTest, PlaybackFileIsValidWhileWrittenAndAfter) {
    std::string p = dir.file("out.wav");
    auto s = signal(3 * WAVE_BLOCK_SAMPLES);
    {
        FilePlaybackStream stream(false);
        std::string error;
        ASSERT_EQ(stream.create(p, error), 0) << error;
        ASSERT_EQ(stream.open(), 0);
        for (int i = 0; i < 3; ++i)
            ASSERT_EQ(stream.write(s.data() + i * WAVE_BLOCK_SAMPLES), 0);
        stream.close();
        EXPECT_EQ(test::readWav(p), s) << "readable before the stream is finished";
        // A second period goes on in the same file.
        ASSERT_EQ(stream.open(), 0);
        ASSERT_EQ(stream.write(s.data()), 0);
    }
    SF_INFO info{};
    SNDFILE* f = sf_open(p.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    sf_close(f);
    EXPECT_EQ(info.samplerate, 8000);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    s.insert(s.end(), s.begin(), s.begin() + WAVE_BLOCK_SAMPLES);
    EXPECT_EQ(test::readWav(p), s);
}

TEST_F(WaveFilesTest, ChoosesBackendPerDirection) {
    std::string in = wav("in.wav", 8000, 1, signal(100));
    WaveDevices devices;
    std::string error;
    ASSERT_EQ(createWaveDevices("null", in, dir.file("o.wav"), devices, error), 0) << error;
    EXPECT_NE(dynamic_cast<FileCaptureStream*>(&devices.in->stream()), nullptr);
    EXPECT_NE(dynamic_cast<FilePlaybackStream*>(&devices.out->stream()), nullptr);
    EXPECT_TRUE(std::filesystem::exists(dir.file("o.wav"))) << "the file exists from the start";
    ASSERT_EQ(createWaveDevices("null", "", "", devices, error), 0);
    EXPECT_NE(dynamic_cast<NullCaptureStream*>(&devices.in->stream()), nullptr);
    EXPECT_NE(dynamic_cast<NullPlaybackStream*>(&devices.out->stream()), nullptr);
    ASSERT_EQ(createWaveDevices("portaudio", in, "", devices, error), 0);
    EXPECT_NE(dynamic_cast<PortAudioPlaybackStream*>(&devices.out->stream()), nullptr);
}

} // namespace
} // namespace tc
