// A WAV file goes through the real audio thread and comes out in another WAV file while a
// stand-in for the line threads loops one line's txBlock back into its rxBlock, in real time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "core/line_table.h"
#include "audio/audio_engine.h"
#include "core/output.h"
#include "core/settings.h"
#include "audio/audio_period.h"
#include "platform/wave_backends.h"
#include "support/program_process.h"
#include "support/wav_files.h"

namespace tc {
namespace {

using Clock = std::chrono::steady_clock;

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

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(AudioFilesTest, CapturedFileComesOutOfThePlaybackFileUnchangedInRealTime) {
    test::TempDir dir;
    std::string in = dir.file("in.wav"), out = dir.file("out.wav");
    // 2 s and a part block, which must come out padded with silence.
    auto signal = test::speechSignal(32, 7);
    signal.resize(signal.size() - BLOCK_SAMPLES + 128);
    ASSERT_TRUE(test::writeWav(in, signal));

    resetSettings();
    resetOutput();
    resetLineTable();
    resetAudioState();
    const int n = settings.audioBufferCount;
    ASSERT_EQ(allocateAudio(n), 0);
    WaveDevices devices;
    std::string error;
    ASSERT_EQ(createWaveDevices("null", in, out, devices, error), 0) << error;
    WaveIn& mic = *(audioState.waveIn = std::move(devices.in));
    WaveOut& speaker = *(audioState.waveOut = std::move(devices.out));
    int line = claimLine(false);
    lineTable[line].accepted = 1;
    lineTable[line].active = 1;

    // The supervisor's audio period, three seconds long.
    prepareHeaders();
    auto started = Clock::now();
    ASSERT_FALSE(mic.open() || mic.start() || speaker.open() || queueCaptureBuffers());
    audioState.audioOpen = 1;
    std::thread engine(audioThread);
    std::atomic<bool> running{true};
    std::thread loop(loopBack, line, std::ref(running));
    std::this_thread::sleep_for(std::chrono::seconds(3));
    audioState.audioOpen = 0;
    engine.join();
    double captureTime = secondsSince(started);
    uint32_t captured = lineTable[line].txSeq;
    running = false;
    loop.join();
    mic.reset();
    speaker.reset();
    for (int i = 0; i < n; ++i) {
        speaker.unprepare(audioState.audioHeaders[n + i]);
        mic.unprepare(audioState.audioHeaders[i]);
    }
    EXPECT_EQ(mic.close() + speaker.close(), 0);
    double playbackTime = secondsSince(started);
    resetAudioState(); // finishes the file
    resetLineTable();

    auto played = test::readWav(out);
    ASSERT_EQ(played.size() % BLOCK_SAMPLES, 0u);
    auto blocks = test::toBlocks(played);

    // Pacing: one block per 64 ms each way, within 5% over the run.
    double blockSeconds = BLOCK_SAMPLES / 8000.0;
    EXPECT_NEAR(blocks.size() * blockSeconds, playbackTime, 0.05 * playbackTime);
    EXPECT_NEAR(captured * blockSeconds, captureTime, 0.05 * captureTime);

    // The signal, block by block, in order, none lost, altered or repeated, then silence.
    // Silence before it is the start-up latency; one silent block inside it (an underrun, which
    // a sound card would play the same way) is allowed.
    signal.resize(32 * BLOCK_SAMPLES, 0);
    auto expected = test::toBlocks(signal);
    size_t at = 0;
    while (at < blocks.size() && test::silentBlock(blocks[at]))
        ++at;
    EXPECT_LE(at, 4u) << "latency in blocks";
    size_t matched = 0;
    int gaps = 0;
    for (; at < blocks.size() && matched < expected.size(); ++at) {
        if (test::silentBlock(blocks[at])) {
            ++gaps;
            continue;
        }
        ASSERT_EQ(blocks[at], expected[matched]) << "block " << matched << " of the signal";
        ++matched;
    }
    EXPECT_EQ(matched, expected.size());
    EXPECT_LE(gaps, 1);
    for (; at < blocks.size(); ++at)
        EXPECT_TRUE(test::silentBlock(blocks[at])) << "after the end of the file";
}

} // namespace
} // namespace tc
