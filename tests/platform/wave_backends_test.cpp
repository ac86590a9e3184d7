// The WAV file backends without real time: reading (with rate and channel conversion),
// refusing what is not sound, writing a valid file, and the choice of backends.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sndfile.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/wave_backends.h"

namespace tc {
namespace {

namespace fs = std::filesystem;

class WaveFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("tc_wave_files_" + std::to_string(getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string& name) { return (dir / name).string(); }

    // Writes interleaved 16-bit frames.
    std::string writeWav(const std::string& name, int rate, int channels,
                         const std::vector<int16_t>& frames) {
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        std::string p = path(name);
        SNDFILE* f = sf_open(p.c_str(), SFM_WRITE, &info);
        EXPECT_NE(f, nullptr);
        sf_write_short(f, frames.data(), static_cast<sf_count_t>(frames.size()));
        sf_close(f);
        return p;
    }

    std::vector<int16_t> readAll(FileCaptureStream& stream, int blocks) {
        std::vector<int16_t> all;
        std::vector<int16_t> block(WAVE_BLOCK_SAMPLES);
        for (int i = 0; i < blocks; ++i) {
            EXPECT_EQ(stream.read(block.data()), 0);
            all.insert(all.end(), block.begin(), block.end());
        }
        return all;
    }

    fs::path dir;
};

std::vector<int16_t> signal(int count) {
    std::vector<int16_t> s(count);
    for (int n = 0; n < count; ++n)
        s[n] = static_cast<int16_t>(9000 * std::sin(n * 0.37) + 50 * (n % 13) - 300);
    return s;
}

TEST_F(WaveFilesTest, NarrowbandMonoFileIsDeliveredExactlyThenSilence) {
    auto s = signal(600);
    FileCaptureStream stream(false);
    std::string error;
    ASSERT_EQ(stream.load(writeWav("mono.wav", 8000, 1, s), error), 0) << error;
    ASSERT_EQ(stream.open(), 0);
    auto got = readAll(stream, 3);
    EXPECT_TRUE(std::equal(s.begin(), s.end(), got.begin()));
    EXPECT_TRUE(std::all_of(got.begin() + 600, got.end(), [](int16_t v) { return v == 0; }));
}

TEST_F(WaveFilesTest, FasterStereoFileIsDownmixedAndResampled) {
    // Every sample twice, on both channels: the conversion must give back the 8000 Hz signal.
    auto s = signal(1000);
    std::vector<int16_t> frames;
    for (int16_t v : s)
        for (int copy = 0; copy < 4; ++copy)
            frames.push_back(v); // two frames of two channels
    FileCaptureStream stream(false);
    std::string error;
    ASSERT_EQ(stream.load(writeWav("wide.wav", 16000, 2, frames), error), 0) << error;
    ASSERT_EQ(stream.open(), 0);
    auto got = readAll(stream, 2);
    for (int n = 0; n < 1000; ++n)
        ASSERT_EQ(got[n], s[n]) << "sample " << n;
    EXPECT_EQ(got[1000], 0);

    // Channels that differ are averaged.
    std::vector<int16_t> lr = {1000, 3000, -1000, -3000};
    FileCaptureStream two(false);
    ASSERT_EQ(two.load(writeWav("lr.wav", 8000, 2, lr), error), 0);
    ASSERT_EQ(two.open(), 0);
    auto mixed = readAll(two, 1);
    EXPECT_EQ(mixed[0], 2000);
    EXPECT_EQ(mixed[1], -2000);
}

TEST_F(WaveFilesTest, CommonRatesKeepPitchAndLength) {
    for (int rate : {44100, 11025, 4000}) {
        // One second of 440 Hz.
        std::vector<int16_t> s(rate);
        for (int n = 0; n < rate; ++n)
            s[n] = static_cast<int16_t>(10000 * std::sin(2 * M_PI * 440 * n / rate));
        FileCaptureStream stream(false);
        std::string error;
        ASSERT_EQ(stream.load(writeWav("rate.wav", rate, 1, s), error), 0) << error;
        ASSERT_EQ(stream.open(), 0);
        auto got = readAll(stream, 17);
        int last = 8000;
        while (last > 0 && got[last - 1] == 0)
            --last;
        EXPECT_NEAR(last, 8000, 2) << rate;
        int crossings = 0;
        for (int n = 1; n < 8000; ++n)
            if ((got[n - 1] < 0) != (got[n] < 0)) ++crossings;
        EXPECT_NEAR(crossings, 880, 4) << rate;
        int peak = *std::max_element(got.begin(), got.begin() + 8000);
        EXPECT_GT(peak, 9000) << rate;
    }
}

TEST_F(WaveFilesTest, FileThatIsNotSoundIsRefusedWithItsName) {
    std::string p = path("notes.wav");
    std::ofstream(p) << "this is a text file, not sound\n";
    FileCaptureStream stream(false);
    std::string error;
    EXPECT_EQ(stream.load(p, error), 1);
    EXPECT_NE(error.find("notes.wav"), std::string::npos) << error;
    EXPECT_EQ(stream.open(), 1);

    WaveDevices devices;
    error.clear();
    EXPECT_EQ(createWaveDevices("null", p, "", devices, error), 1);
    EXPECT_NE(error.find("notes.wav"), std::string::npos);
    EXPECT_EQ(createWaveDevices("null", path("missing.wav"), "", devices, error), 1);
    EXPECT_NE(error.find("missing.wav"), std::string::npos);
    EXPECT_EQ(createWaveDevices("null", "", path("no/such/dir/out.wav"), devices, error), 1);
    EXPECT_EQ(createWaveDevices("alsa", "", "", devices, error), 1);
    EXPECT_NE(error.find("alsa"), std::string::npos);
    EXPECT_EQ(devices.in, nullptr);
}

TEST_F(WaveFilesTest, PlaybackFileIsValidWhileWrittenAndAfter) {
    std::string p = path("out.wav");
    auto s = signal(3 * WAVE_BLOCK_SAMPLES);
    {
        FilePlaybackStream stream(false);
        std::string error;
        ASSERT_EQ(stream.create(p, error), 0) << error;
        ASSERT_EQ(stream.open(), 0);
        for (int i = 0; i < 3; ++i)
            ASSERT_EQ(stream.write(s.data() + i * WAVE_BLOCK_SAMPLES), 0);
        stream.close();

        // Readable before the stream is finished.
        SF_INFO info{};
        SNDFILE* f = sf_open(p.c_str(), SFM_READ, &info);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(info.frames, 3 * WAVE_BLOCK_SAMPLES);
        sf_close(f);

        // A second period goes on in the same file.
        ASSERT_EQ(stream.open(), 0);
        ASSERT_EQ(stream.write(s.data()), 0);
    }
    SF_INFO info{};
    SNDFILE* f = sf_open(p.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(info.samplerate, 8000);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    std::vector<int16_t> back(info.frames);
    sf_read_short(f, back.data(), info.frames);
    sf_close(f);
    ASSERT_EQ(back.size(), 4u * WAVE_BLOCK_SAMPLES);
    EXPECT_TRUE(std::equal(s.begin(), s.end(), back.begin()));
    EXPECT_TRUE(std::equal(s.begin(), s.begin() + WAVE_BLOCK_SAMPLES, back.begin() + s.size()));
}

TEST_F(WaveFilesTest, ChoosesBackendPerDirection) {
    std::string in = writeWav("in.wav", 8000, 1, signal(100));
    WaveDevices devices;
    std::string error;
    ASSERT_EQ(createWaveDevices("null", in, path("o.wav"), devices, error), 0) << error;
    EXPECT_NE(dynamic_cast<FileCaptureStream*>(&devices.in->stream()), nullptr);
    EXPECT_NE(dynamic_cast<FilePlaybackStream*>(&devices.out->stream()), nullptr);
    EXPECT_TRUE(fs::exists(path("o.wav"))) << "the playback file exists from the start";

    ASSERT_EQ(createWaveDevices("null", "", path("o2.wav"), devices, error), 0);
    EXPECT_NE(dynamic_cast<NullCaptureStream*>(&devices.in->stream()), nullptr);
    ASSERT_EQ(createWaveDevices("portaudio", in, "", devices, error), 0);
    EXPECT_NE(dynamic_cast<PortAudioPlaybackStream*>(&devices.out->stream()), nullptr);
    ASSERT_EQ(createWaveDevices("null", "", "", devices, error), 0);
    EXPECT_NE(dynamic_cast<NullPlaybackStream*>(&devices.out->stream()), nullptr);
}

} // namespace
} // namespace tc
