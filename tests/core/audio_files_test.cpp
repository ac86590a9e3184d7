// A WAV file goes through the real audio thread and comes out in another WAV file while a
// stand-in for the line threads loops one line's txBlock back into its rxBlock, in real time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <sndfile.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "calls/line_table.h"
#include "core/audio_engine.h"
#include "core/output.h"
#include "core/settings.h"
#include "core/supervisor.h"
#include "platform/wave_backends.h"

namespace tc {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int SIGNAL_SAMPLES = 2 * 8000 + 128; // 2 s and a part block
constexpr auto RUN_TIME = std::chrono::seconds(3);

std::vector<int16_t> knownSignal() {
    std::vector<int16_t> s(SIGNAL_SAMPLES);
    for (int n = 0; n < SIGNAL_SAMPLES; ++n)
        s[n] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * n / 8000.0) +
                                    3000 * std::sin(2 * M_PI * 97 * n / 8000.0) + 7 * (n % 5) + 1);
    return s;
}

void writeWav(const std::string& path, const std::vector<int16_t>& samples) {
    SF_INFO info{};
    info.samplerate = 8000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    sf_write_short(f, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(f);
}

std::vector<int16_t> readWav(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return {};
    EXPECT_EQ(info.samplerate, 8000);
    EXPECT_EQ(info.channels, 1);
    std::vector<int16_t> s(static_cast<size_t>(info.frames));
    sf_read_short(f, s.data(), info.frames);
    sf_close(f);
    return s;
}

bool silent(const int16_t* block) {
    return std::all_of(block, block + BLOCK_SAMPLES, [](int16_t v) { return v == 0; });
}

// What the line's send and receive threads would do, without the network in between.
void loopBack(int line, std::atomic<bool>& running) {
    LineRecord& r = lineTable[line];
    int16_t block[BLOCK_SAMPLES];
    while (running) {
        txEvent[line].wait(20);
        if (r.txReady.load(std::memory_order_acquire) != 1) continue;
        std::copy(r.txBlock, r.txBlock + BLOCK_SAMPLES, block);
        r.txReady.store(0, std::memory_order_release);
        while (running && r.rxReady.load(std::memory_order_acquire) != 0)
            rxEvent[line].wait(20);
        std::copy(block, block + BLOCK_SAMPLES, r.rxBlock);
        r.rxReady.store(1, std::memory_order_release);
    }
}

TEST(AudioFilesTest, CapturedFileComesOutOfThePlaybackFileUnchangedInRealTime) {
    fs::path dir = fs::temp_directory_path() / ("tc_audio_files_" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::string in = (dir / "in.wav").string();
    std::string out = (dir / "out.wav").string();
    auto signal = knownSignal();
    writeWav(in, signal);

    resetSettings();
    resetOutput();
    resetLineTable();
    resetAudioState();
    const int n = settings.audioBufferCount;
    ASSERT_EQ(allocateAudio(n), 0);
    WaveDevices devices;
    std::string error;
    ASSERT_EQ(createWaveDevices("null", in, out, devices, error), 0) << error;
    audioState.waveIn = std::move(devices.in);
    audioState.waveOut = std::move(devices.out);
    int line = claimLine(false);
    lineTable[line].accepted = 1;
    lineTable[line].active = 1;

    // The supervisor's opening of an audio period.
    prepareHeaders();
    auto started = Clock::now();
    ASSERT_EQ(audioState.waveIn->open(), 0);
    ASSERT_EQ(audioState.waveIn->start(), 0);
    ASSERT_EQ(audioState.waveOut->open(), 0);
    ASSERT_EQ(queueCaptureBuffers(), 0);
    audioState.audioOpen = 1;
    std::thread engine(audioThread);
    std::atomic<bool> running{true};
    std::thread loop(loopBack, line, std::ref(running));

    std::this_thread::sleep_for(RUN_TIME);
    audioState.audioOpen = 0;
    engine.join();
    auto seconds = [&] { return std::chrono::duration<double>(Clock::now() - started).count(); };
    double captureTime = seconds();
    uint32_t captured = lineTable[line].txSeq;
    running = false;
    loop.join();
    audioState.waveIn->reset();
    audioState.waveOut->reset();
    for (int i = 0; i < n; ++i) {
        audioState.waveOut->unprepare(audioState.audioHeaders[n + i]);
        audioState.waveIn->unprepare(audioState.audioHeaders[i]);
    }
    EXPECT_EQ(audioState.waveIn->close(), 0);
    EXPECT_EQ(audioState.waveOut->close(), 0);
    double playbackTime = seconds();
    resetAudioState(); // finishes the file
    resetLineTable();

    auto played = readWav(out);
    fs::remove_all(dir);
    ASSERT_EQ(played.size() % BLOCK_SAMPLES, 0u);
    size_t playedBlocks = played.size() / BLOCK_SAMPLES;

    // Pacing: one block per 64 ms each way, within 5% over the run.
    double blockSeconds = BLOCK_SAMPLES / 8000.0;
    EXPECT_NEAR(playedBlocks * blockSeconds, playbackTime, 0.05 * playbackTime);
    EXPECT_NEAR(captured * blockSeconds, captureTime, 0.05 * captureTime);

    // The signal, block by block, in order, none lost, altered or repeated. Silence before it
    // is the start-up latency; a silent block inside it would be an underrun of the device,
    // which a sound card would play the same way; at most one is allowed.
    std::vector<int16_t> expected = signal;
    expected.resize((SIGNAL_SAMPLES + BLOCK_SAMPLES - 1) / BLOCK_SAMPLES * BLOCK_SAMPLES, 0);
    size_t signalBlocks = expected.size() / BLOCK_SAMPLES;
    size_t at = 0;
    while (at < playedBlocks && silent(&played[at * BLOCK_SAMPLES]))
        ++at;
    EXPECT_LE(at, 4u) << "latency in blocks";
    size_t matched = 0;
    int gaps = 0;
    for (; at < playedBlocks && matched < signalBlocks; ++at) {
        const int16_t* got = &played[at * BLOCK_SAMPLES];
        if (silent(got)) {
            ++gaps;
            continue;
        }
        ASSERT_TRUE(std::equal(got, got + BLOCK_SAMPLES, &expected[matched * BLOCK_SAMPLES]))
            << "block " << matched << " of the signal differs";
        ++matched;
    }
    EXPECT_EQ(matched, signalBlocks);
    EXPECT_LE(gaps, 1);
    for (; at < playedBlocks; ++at)
        EXPECT_TRUE(silent(&played[at * BLOCK_SAMPLES])) << "after the end of the file";
}

} // namespace
} // namespace tc
