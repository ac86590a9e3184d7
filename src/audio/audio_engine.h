#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/line_table.h"
#include "platform/wave_device.h"

namespace tc {

// The sample memory, the devices and the words the audio engine shares with the supervisor,
// the line threads and the status display.
struct AudioState {
    std::atomic<int> audioOpen{0};    // 1 while an audio period runs; the engine runs while 1
    std::atomic<int> toneRequest{0};  // 1 = the supervisor plays the alert tone
    std::atomic<int> playedBlocks{0}; // playback blocks queued since the last statistics line
    std::atomic<int> playbackFull{0}; // 1 when every playback block was queued at the last look
    std::atomic<int> linesWanted{0};  // ready lines a free playback block waits for (0: none)
    // N, the number of capture blocks and of playback blocks. Set by allocateAudio().
    int blockCount = 0;
    // (2N + 1) blocks: 0 to N-1 capture, N to 2N-1 playback, 2N the tone block.
    std::vector<int16_t> audioSamples;
    std::unique_ptr<WaveHeader[]> audioHeaders;
    std::unique_ptr<WaveIn> waveIn;
    std::unique_ptr<WaveOut> waveOut;
};

extern AudioState audioState;

// Called by a receive thread once it has set its line's rxReady: wakes the engine when a free
// playback block waits for that many ready lines.
void lineBlockReady();

// Frees the memory and the devices and clears every word (tests).
void resetAudioState();
// Allocates the sample memory and the headers for N blocks each way. 0 done, 1 failure.
int allocateAudio(int n);
int16_t* audioBlock(int index);
// Capture headers filled by the device and not yet taken by the engine.
int captureBlocksWaiting();
// The engine is overloaded when at least N - 2 capture blocks wait to be taken.
bool audioOverloaded();

// The engine's own state, afresh for every audio period.
struct EngineState {
    int blockCount = 0;
    int playIndex = 0;       // next playback block to fill (N to 2N-1)
    int captureIndex = 0;    // next capture block to take (0 to N-1)
    uint32_t captureSeq = 0; // capture blocks taken
    int hubFill = 0;         // hub blocks prepared and not yet sent (0 to 8)
    int hubRead = 0;         // ring position of the next hub block to send
    int tonePhase = 0;       // phase of the test signal
    uint32_t playSteps = 0;  // blocks played in this period
    // The engine's copy of each line's last delivered block. The hub mixes read it, never a
    // block that a receive thread may be writing.
    int16_t lastBlock[MAX_LINES][BLOCK_SAMPLES] = {};
    bool hasBlock[MAX_LINES] = {};
    uint32_t blockStep[MAX_LINES] = {}; // playSteps when the copy was taken
    // Which hub ring slots of each line hold a mix prepared in the current round.
    bool hubValid[MAX_LINES][HUB_RING_BLOCKS] = {};
};

void resetEngineState(EngineState& state, int blockCount);

// One pass of the engine: empties the hub in P to P mode, then the playback step and the
// capture step. No pause. Both return true when a block was played.
bool enginePass(EngineState& state);
bool playbackStep(EngineState& state);
void captureStep(EngineState& state);

// The audio thread: passes with a pause of `minSleep` ms while `audioOpen` is 1.
void audioThread();

// Adds src into dst sample by sample, saturating at the 16-bit limits.
void mixBlock(int16_t* dst, const int16_t* src);

} // namespace tc
