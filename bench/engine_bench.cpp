// Cost of the audio engine with eight live lines in HUB mode: one pass that plays a block and
// serves a capture block (16 of those per second of audio), and one pass with nothing to do
// (the rest of the roughly 100 passes per second).
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "audio/audio_engine.h"
#include "audio/audio_period.h"
#include "core/line_table.h"
#include "core/settings.h"
#include "support/fake_streams.h"

namespace {

using namespace tc;

struct EngineRig {
    FakeCaptureStream* mic = nullptr;
    std::unique_ptr<EngineState> state = std::make_unique<EngineState>();
    std::vector<int16_t> speech = std::vector<int16_t>(BLOCK_SAMPLES);

    EngineRig() {
        resetSettings();
        resetLineTable();
        resetAudioState();
        settings.hubMode = HUB_HUB;
        int n = settings.audioBufferCount;
        allocateAudio(n);
        auto in = std::make_unique<FakeCaptureStream>();
        mic = in.get();
        audioState.waveIn = std::make_unique<WaveIn>(std::move(in), true);
        audioState.waveOut =
            std::make_unique<WaveOut>(std::make_unique<FakePlaybackStream>(), true);
        audioState.waveIn->open();
        audioState.waveIn->start();
        audioState.waveOut->open();
        prepareHeaders();
        queueCaptureBuffers();
        resetEngineState(*state, n);
        for (int i = 0; i < BLOCK_SAMPLES; ++i)
            speech[i] = static_cast<int16_t>((i * 37) % 4000 - 2000);
        for (int line = 0; line < MAX_LINES; ++line) {
            claimLine(false);
            lineTable[line].accepted = 1;
            lineTable[line].active = line < 5 ? 1 : 0; // five talking, three in the second hub
        }
    }
    ~EngineRig() {
        resetAudioState();
        resetLineTable();
    }

    // The line threads and the devices do their part of one 64-ms block.
    void feedBlock() {
        for (auto& r : lineTable) {
            std::copy(speech.begin(), speech.end(), r.rxBlock);
            r.rxReady.store(1, std::memory_order_release);
            r.txReady.store(0, std::memory_order_release);
        }
        mic->push(speech.data());
        audioState.waveIn->pumpOnce();
    }
    void drainPlayback() { audioState.waveOut->pumpOnce(); }
};

void BM_EnginePassWithBlock(benchmark::State& s) {
    EngineRig rig;
    for (auto _ : s) {
        rig.feedBlock();
        enginePass(*rig.state);
        rig.drainPlayback();
    }
    s.counters["played"] = static_cast<double>(audioState.playedBlocks);
}
BENCHMARK(BM_EnginePassWithBlock);

void BM_EnginePassIdle(benchmark::State& s) {
    EngineRig rig;
    rig.feedBlock();
    enginePass(*rig.state);
    for (auto _ : s)
        enginePass(*rig.state);
}
BENCHMARK(BM_EnginePassIdle);

// Only the mixing work of a block: the speaker mix of five lines and eight hub mixes.
void BM_MixBlock(benchmark::State& s) {
    std::vector<int16_t> a(BLOCK_SAMPLES, 1000), b(BLOCK_SAMPLES, 300);
    for (auto _ : s) {
        mixBlock(a.data(), b.data());
        benchmark::DoNotOptimize(a.data());
    }
}
BENCHMARK(BM_MixBlock);

} // namespace
