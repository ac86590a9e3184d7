// The wave devices over fake streams, pumped by hand, and the WAV file backends without real
// time: reading with rate and channel conversion, refusing what cannot be used, and writing a
// file that is valid at every moment.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sndfile.h>

#include "platform/wave_backends.h"
#include "support/fake_streams.h"
#include "support/temp_dir.h"
#include "support/wav_files.h"

namespace tc {
namespace {

using Samples = std::vector<int16_t>;

const auto filled = [](int v) { return Samples(WAVE_BLOCK_SAMPLES, static_cast<int16_t>(v)); };

TEST(WaveDevices, CaptureFillsHeadersInOrderPlaybackFillsGapsWithSilence) {
    auto* mic = new FakeCaptureStream;
    mic->failOpens = 1;
    WaveIn in(std::unique_ptr<CaptureStream>(mic), true);
    EXPECT_EQ(in.open(), 1) << "no device";
    ASSERT_EQ(in.open(), 0) << "a failed open can be retried";
    Samples blocks[2] = {filled(0), filled(0)};
    WaveHeader b[2] = {{blocks[0].data(), WAVE_BLOCK_BYTES}, {blocks[1].data(), WAVE_BLOCK_BYTES}};
    for (WaveHeader& h : b)
        ASSERT_FALSE(in.prepare(h) || in.addBuffer(h));
    for (int v : {1, 2, 3, 4})
        mic->push(filled(v).data());
    in.pumpOnce(); // before start() the device records nothing
    ASSERT_EQ(in.start(), 0);
    for (int i = 0; i < 3; ++i)
        in.pumpOnce(); // the last block finds no header waiting: it is lost
    EXPECT_EQ(blocks[0], filled(2));
    EXPECT_EQ(blocks[1], filled(3));

    // Playback plays the written blocks in order, then silence while none is queued.
    auto* speaker = new FakePlaybackStream;
    WaveOut out(std::unique_ptr<PlaybackStream>(speaker), true);
    ASSERT_EQ(out.open(), 0);
    for (WaveHeader& h : b) // done once filled, so they can be handed on
        ASSERT_FALSE(out.prepare(h) || out.write(h));
    for (int i = 0; i < 3; ++i)
        out.pumpOnce();
    EXPECT_EQ(speaker->takeWritten(), (std::vector<Samples>{filled(2), filled(3), filled(0)}));
}

TEST(WaveFilesTest, FilesAreDeliveredAt8000HzMonoThenSilenceOrRefusedWithTheirName) {
    test::TempDir dir;
    // An eighth of a second of 440 Hz (1000 samples at 8000 Hz, ending inside the second block):
    // as it is, at 16000 Hz on two channels that average to it, at 44100 Hz and at 4000 Hz.
    auto tone = [](double t) { return std::lround(8000 * std::sin(2 * M_PI * 440 * t)); };
    for (auto [rate, channels, near] :
         {std::tuple{8000, 1, 0}, {16000, 2, 800}, {44100, 1, 1200}, {4000, 1, 1200}}) {
        std::string path = dir.file(std::to_string(rate) + ".wav"), error;
        SF_INFO info{0, rate, channels, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
        SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
        for (int i = 0; i < rate / 8; ++i) {
            long v = tone(double(i) / rate), spread = 3000 * (channels - 1);
            int16_t frame[2] = {int16_t(v + spread), int16_t(v - spread)};
            sf_writef_short(f, frame, 1);
        }
        sf_close(f);
        FileCaptureStream stream(false);
        ASSERT_FALSE(stream.load(path, error) || stream.open()) << error;
        int16_t got[WAVE_BLOCK_SAMPLES];
        long worst = 0; // the samples around the end may hold a part of the last one
        for (int n = 0; n < 3 * WAVE_BLOCK_SAMPLES; ++n) {
            if (n % WAVE_BLOCK_SAMPLES == 0) stream.read(got);
            long off = std::labs(got[n % WAVE_BLOCK_SAMPLES] - (n < 1000 ? tone(n / 8000.0) : 0));
            worst = n < 998 || n > 1001 ? std::max(worst, off) : worst;
        }
        EXPECT_LE(worst, near) << rate;
    }

    // What cannot be used is refused with its name.
    std::ofstream(dir.file("notes.wav")) << "this is a text file, not sound\n";
    WaveDevices devices;
    for (auto [capture, playback] : {std::pair{dir.file("notes.wav"), std::string()},
                                     {dir.file("missing.wav"), ""},
                                     {"", dir.file("no/such/dir/out.wav")}}) {
        std::string error;
        EXPECT_EQ(createWaveDevices("null", capture, playback, devices, error), 1);
        EXPECT_NE(error.find(capture + playback), std::string::npos) << error;
    }
}

TEST(WaveFilesTest, PlaybackFileIsValidWhileWrittenAndGoesOnInTheNextPeriod) {
    test::TempDir dir;
    std::string path = dir.file("out.wav"), error;
    Samples s = test::speechSignal(3, 2);
    {
        FilePlaybackStream stream(false);
        ASSERT_FALSE(stream.create(path, error) || stream.open()) << error;
        for (int i = 0; i < 3; ++i)
            ASSERT_EQ(stream.write(s.data() + i * WAVE_BLOCK_SAMPLES), 0);
        stream.close();
        EXPECT_EQ(test::readWav(path), s) << "readable before the stream is finished";
        ASSERT_FALSE(stream.open() || stream.write(s.data()));
    }
    s.insert(s.end(), s.begin(), s.begin() + WAVE_BLOCK_SAMPLES);
    EXPECT_EQ(test::readWav(path), s);
    SF_INFO info{};
    sf_close(sf_open(path.c_str(), SFM_READ, &info));
    EXPECT_EQ(info.samplerate, 8000);
}

} // namespace
} // namespace tc
