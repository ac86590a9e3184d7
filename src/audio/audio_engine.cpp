#include "audio/audio_engine.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "core/output.h"
#include "core/protocol.h"
#include "core/settings.h"
#include "core/tx_packet.h"
#include "core/window_hooks.h"
#include "platform/clock.h"

namespace tc {

AudioState audioState;

namespace {

// Longest wait of the audio thread when nothing can be due: a captured block runs a pass every
// 64 ms anyway (in the device's thread), and the end of the audio period wakes it.
constexpr int IDLE_WAIT_MS = 1000;

bool isLive(const LineRecord& r) {
    return r.inUse && r.accepted && !r.ending;
}

// A copy of a line's block older than a full hub ring (the line has stopped delivering) counts
// as silence in the hub mixes, instead of being repeated into every mix.
bool freshCopy(const EngineState& state, int line) {
    return state.hasBlock[line] && state.playSteps - state.blockStep[line] <= HUB_RING_BLOCKS;
}

int nextPlayIndex(const EngineState& state) {
    int next = state.playIndex + 1;
    return next == 2 * state.blockCount ? state.blockCount : next;
}

int queuedPlaybackBlocks(const EngineState& state) {
    int j = 0;
    for (int i = state.blockCount; i < 2 * state.blockCount; ++i)
        if (!audioState.audioHeaders[i].done()) ++j;
    return j;
}

void wakeAllReceivers() {
    for (int n = 0; n < MAX_LINES; ++n)
        if (lineTable[n].inUse) rxEvent[n].set();
}

bool shouldPlay(int j, int c1, int c2) {
    int thresh1 = settings.thresh1;
    int thresh2 = settings.thresh2;
    int midDiff = settings.midDiff;
    return c1 >= 1 && (j < thresh1 || ((j <= thresh2 || c1 >= c2) && c1 >= c2 - midDiff));
}

// The fewest ready lines, from c1 + 1 up, that let a block play with j blocks queued (c2 + 1
// when none do).
int fewestReadyLines(int j, int c1, int c2) {
    int wanted = c1 + 1;
    while (wanted <= c2 && !shouldPlay(j, wanted, c2))
        ++wanted;
    return wanted;
}

// What the playback step saw of each line at its start.
struct LineSnapshot {
    bool live[MAX_LINES] = {};
    bool ready[MAX_LINES] = {};
    bool active[MAX_LINES] = {};
};

// The hub mix for `line`: every other line of its group (talking or on hold).
void buildHubMix(EngineState& state, const LineSnapshot& seen, int line, int slot) {
    int16_t* mix = lineTable[line].hubRing[slot];
    std::memset(mix, 0, BLOCK_BYTES);
    for (int k = 0; k < MAX_LINES; ++k) {
        if (k == line || !seen.live[k] || seen.active[k] != seen.active[line]) continue;
        if (freshCopy(state, k)) mixBlock(mix, state.lastBlock[k]);
    }
    state.hubValid[line][slot] = true;
}

// The test signal: a triangle wave whose pitch steps up with every block.
void writeTestSignal(EngineState& state, int16_t* block) {
    uint32_t step = state.captureSeq % 256;
    if (step == 0) output(NoPanel, "*");
    auto triangle = [](int p) { return p >= 4096 ? 8192 - p : p; };
    uint8_t bytes[BLOCK_BYTES];
    int p = state.tonePhase;
    for (int k = 0; k < BLOCK_BYTES; ++k) {
        int value;
        if (step <= 1) {
            p = (p + 128) % 8192;
            value = triangle(p) / 32;
        } else {
            p = (p + static_cast<int>(step) + 256) % 8192;
            value = triangle(p) / 256;
        }
        bytes[k] = static_cast<uint8_t>(value);
    }
    state.tonePhase = p;
    for (int i = 0; i < BLOCK_SAMPLES; ++i)
        block[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
}

// Sends a raw packet from the engine: the line's send thread need not wake for it. Returns false
// when the block has to go to the send thread instead (it or another sender is busy with the
// line, an earlier packet's rest still waits, or the block completes a compressed packet, which
// takes encoding).
bool sendBlockDirectly(int n) {
    LineRecord& r = lineTable[n];
    if (!r.txDirect.load(std::memory_order_acquire)) return false;
    std::unique_lock tx(r.txLock, std::try_to_lock);
    if (!tx.owns_lock() || txBlockCompletesPacket(r)) return false;
    std::unique_lock send = tryLineSendLock(n);
    if (!send.owns_lock()) return false;
    int code = takeTxBlock(r);
    if (code < 0) return true; // collected for a compressed packet
    buildTxPacket(r, code);
    if (startLinePacket(n, r.txPacket) < 0) {
        r.ending |= 1;
        displayDirty = 1;
    } else if (r.txRestBytes > 0) {
        txEvent[n].set(); // the send thread finishes it
    }
    return true;
}

} // namespace

void resetAudioState() {
    audioState.audioOpen = 0;
    audioState.toneRequest = 0;
    audioState.playedBlocks = 0;
    audioState.playbackFull = 0;
    audioState.linesWanted = 0;
    audioState.waveIn.reset();
    audioState.waveOut.reset();
    audioState.audioHeaders.reset();
    audioState.audioSamples.clear();
    audioState.blockCount = 0;
}

int allocateAudio(int n) {
    if (n < 1) return 1;
    size_t blocks = static_cast<size_t>(2 * n + 1);
    try {
        audioState.audioSamples.assign(blocks * BLOCK_SAMPLES, 0);
        audioState.audioHeaders = std::make_unique<WaveHeader[]>(blocks);
    } catch (const std::bad_alloc&) {
        return 1;
    }
    audioState.blockCount = n;
    for (size_t i = 0; i < blocks; ++i) {
        audioState.audioHeaders[i].data = audioBlock(static_cast<int>(i));
        audioState.audioHeaders[i].length = BLOCK_BYTES;
        audioState.audioHeaders[i].flags = 0;
    }
    return 0;
}

int16_t* audioBlock(int index) {
    return audioState.audioSamples.data() + static_cast<size_t>(index) * BLOCK_SAMPLES;
}

int captureBlocksWaiting() {
    if (!audioState.audioHeaders) return 0;
    int waiting = 0;
    for (int i = 0; i < audioState.blockCount; ++i)
        if (audioState.audioHeaders[i].done()) ++waiting;
    return waiting;
}

bool audioOverloaded() {
    return audioState.audioOpen && captureBlocksWaiting() >= audioState.blockCount - 2;
}

void mixBlock(int16_t* dst, const int16_t* src) {
    for (int i = 0; i < BLOCK_SAMPLES; ++i) {
        int sum = dst[i] + src[i];
        dst[i] = static_cast<int16_t>(sum > 32767 ? 32767 : (sum < -32768 ? -32768 : sum));
    }
}

void resetEngineState(EngineState& state, int blockCount) {
    state = EngineState{};
    state.blockCount = blockCount;
    state.playIndex = blockCount;
}

bool playbackStep(EngineState& state) {
    WaveHeader& header = audioState.audioHeaders[state.playIndex];
    if (!header.done()) {
        audioState.playbackFull = 1;
        wakeAllReceivers();
        return false;
    }
    audioState.playbackFull = 0;

    bool hub = settings.hubMode != HUB_P2P;
    LineSnapshot seen;
    int c1 = 0;
    int c2 = 0;
    for (int n = 0; n < MAX_LINES; ++n) {
        LineRecord& r = lineTable[n];
        seen.live[n] = isLive(r);
        if (!seen.live[n]) {
            state.hasBlock[n] = false;
            continue;
        }
        seen.active[n] = r.active != 0;
        seen.ready[n] = r.rxReady.load(std::memory_order_acquire) == 1;
        if (seen.active[n] || hub) {
            ++c2;
            if (seen.ready[n]) ++c1;
        }
    }
    int j = queuedPlaybackBlocks(state);
    int diag = settings.diagBits;
    if (diag & DIAG_BUFFS) output(NoPanel, "j=%d c1=%d c2=%d\n", j, c1, c2);
    if (!shouldPlay(j, c1, c2)) {
        // The fewest ready lines that would let the block play; the lines wake the engine then.
        // A played block wakes it only when a shorter queue would need fewer lines.
        int wanted = fewestReadyLines(j, c1, c2);
        audioState.waveOut->wakeEngineWhenDone(fewestReadyLines(0, c1, c2) < wanted);
        // A read-modify-write, as the lines' in lineBlockReady: of the two, the later one in
        // linesWanted's order sees the other's stores.
        audioState.linesWanted.exchange(wanted <= c2 ? wanted : 0, std::memory_order_acq_rel);
        return false;
    }
    audioState.linesWanted = 0;

    ++audioState.playedBlocks;
    ++state.playSteps;
    audioState.waveOut->unprepare(header);
    std::memset(header.data, 0, BLOCK_BYTES);

    for (int n = 0; n < MAX_LINES; ++n) {
        if (!seen.live[n] || !seen.ready[n] || !(seen.active[n] || hub)) continue;
        std::memcpy(state.lastBlock[n], lineTable[n].rxBlock, BLOCK_BYTES);
        state.hasBlock[n] = true;
        state.blockStep[n] = state.playSteps;
    }

    bool hubRound = hub && state.hubFill < HUB_RING_BLOCKS;
    int slot = (state.hubFill + state.hubRead) % HUB_RING_BLOCKS;
    for (int n = 0; n < MAX_LINES; ++n) {
        if (!seen.live[n] || !seen.ready[n]) continue;
        if (seen.active[n]) mixBlock(header.data, state.lastBlock[n]);
        if (hubRound) buildHubMix(state, seen, n, slot);
    }

    int released = 0;
    for (int n = 0; n < MAX_LINES; ++n) {
        if (!seen.live[n] || !seen.ready[n]) continue;
        if (!seen.active[n] && !hubRound) continue; // held in P to P: the line keeps its block
        lineTable[n].rxReady.store(0, std::memory_order_release);
        rxEvent[n].set();
        ++released;
        if (diag & DIAG_IO_NUMBERS) output(NoPanel, "%c", 65 + n);
    }
    if (hubRound) ++state.hubFill;
    if (diag & DIAG_IO_TOTALS) output(NoPanel, "%c", 64 + released);

    header.flags = 0;
    audioState.waveOut->prepare(header);
    audioState.waveOut->write(header);
    state.playIndex = nextPlayIndex(state);
    return true;
}

void captureStep(EngineState& state) {
    WaveIn& device = *audioState.waveIn;
    while (audioState.audioHeaders[state.captureIndex].done()) {
        WaveHeader& header = audioState.audioHeaders[state.captureIndex];
        int16_t* block = header.data;
        device.unprepare(header);
        if (settings.micMuted) std::memset(block, 0, BLOCK_BYTES);
        header.flags = 0;
        ++state.captureSeq;
        int diag = settings.diagBits;
        if (diag & DIAG_TONE) writeTestSignal(state, block);

        bool hubBlock = state.hubFill > 0;
        int served = 0;
        for (int n = 0; n < MAX_LINES; ++n) {
            LineRecord& r = lineTable[n];
            if (!isLive(r)) {
                // Mixes made for a line that has gone are never sent to the next call on it.
                std::fill(std::begin(state.hubValid[n]), std::end(state.hubValid[n]), false);
                continue;
            }
            if (r.txReady.load(std::memory_order_acquire) != 0) continue;
            bool active = r.active != 0;
            bool wrote = false;
            if (active) {
                std::memcpy(r.txBlock, block, BLOCK_BYTES);
                wrote = true;
            }
            // Only a mix prepared for this line in this round is sent; a slot the line did not
            // deliver for still holds an old mix.
            if (hubBlock && state.hubValid[n][state.hubRead]) {
                if (active)
                    mixBlock(r.txBlock, r.hubRing[state.hubRead]);
                else
                    std::memcpy(r.txBlock, r.hubRing[state.hubRead], BLOCK_BYTES);
                wrote = true;
            }
            r.txSeq = state.captureSeq;
            if (!wrote) continue;
            if (!sendBlockDirectly(n)) {
                r.txReady.store(1, std::memory_order_release);
                txEvent[n].set();
            }
            ++served;
            if (diag & DIAG_IO_NUMBERS) output(NoPanel, "%d", n);
        }
        if (hubBlock) {
            for (auto& valid : state.hubValid)
                valid[state.hubRead] = false;
            state.hubRead = (state.hubRead + 1) % HUB_RING_BLOCKS;
            --state.hubFill;
        }
        if (diag & DIAG_IO_TOTALS) output(NoPanel, "%d", served);

        device.prepare(header);
        device.addBuffer(header);
        state.captureIndex = (state.captureIndex + 1) % state.blockCount;
    }
}

bool enginePass(EngineState& state) {
    if (settings.hubMode == HUB_P2P) {
        state.hubFill = 0;
        state.hubRead = 0;
        std::memset(state.hubValid, 0, sizeof(state.hubValid));
    }
    bool played = playbackStep(state);
    captureStep(state);
    return played;
}

namespace {

// Lines whose block waits for the engine.
int readyLines() {
    int ready = 0;
    for (const LineRecord& r : lineTable)
        ready += r.rxReady.load() == 1;
    return ready;
}

// True when a pass can have nothing to do until a device finishes a block or a line brings the
// block a free playback block waits for. The line stores its flag before it reads linesWanted
// and the engine stores linesWanted before it counts the flags, both through read-modify-writes
// of linesWanted, so one of them sees the other.
bool engineIdle(const EngineState& state) {
    if (audioState.audioHeaders[state.captureIndex].done()) return false;
    const WaveHeader& play = audioState.audioHeaders[state.playIndex];
    if (!play.done()) {
        // Waits for the device to play a block; a block it finished before the request is seen
        // here (both sequentially consistent).
        audioState.waveOut->wakeEngineWhenDone(true);
        return !play.done();
    }
    const int wanted = audioState.linesWanted.load();
    return wanted > 0 && readyLines() < wanted;
}

// One pass at a time: in the audio thread, or in the thread of a device or a line that brings
// what a pass waits for, which saves waking the audio thread.
std::mutex passLock;
EngineState* runningState = nullptr; // under passLock: the audio thread's state while it runs

// Passes while they play blocks (the caller holds passLock). True when the engine then has
// nothing to do until a device or a line wakes it.
bool passWhileDue(EngineState& state) {
    while (enginePass(state)) {
    }
    return engineIdle(state);
}

// Runs the passes in the calling thread unless the audio thread is in one. False when the audio
// thread has to be woken.
bool passHere() {
    std::unique_lock lock(passLock, std::try_to_lock);
    return lock.owns_lock() && runningState && passWhileDue(*runningState);
}

void setRunningState(EngineState* state) {
    std::lock_guard lock(passLock);
    runningState = state;
    blockDoneHook = state ? passHere : nullptr;
}

} // namespace

void lineBlockReady() {
    // A read-modify-write orders the line's flag before this read (see engineIdle).
    const int wanted = audioState.linesWanted.fetch_add(0, std::memory_order_acq_rel);
    if (wanted > 0 && readyLines() >= wanted && !passHere()) engineWake.set();
}

void audioThread() {
    if (!audioState.audioHeaders || !audioState.waveIn || !audioState.waveOut) return;
    auto state = std::make_unique<EngineState>();
    resetEngineState(*state, audioState.blockCount);
    raiseAudioThreadPriority();
    setRunningState(state.get());
    while (audioState.audioOpen) {
        bool idle;
        {
            std::lock_guard lock(passLock);
            idle = passWhileDue(*state);
        }
        // Wait for a device or a line instead of waking every minSleep while a pass can have
        // nothing to do (bounded, so that the end of audio is still seen).
        if (idle)
            engineWake.wait(IDLE_WAIT_MS);
        else
            sleepMs(settings.minSleep);
    }
    setRunningState(nullptr);
}

} // namespace tc
