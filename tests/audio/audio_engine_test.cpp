// The audio engine driven pass by pass over hand-driven fake devices: who hears whom in each
// hub mode, the playback thresholds and the hand-over flags and events.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "support/fake_streams.h"
#include "core/line_table.h"
#include "audio/audio_engine.h"
#include "core/output.h"
#include "core/settings.h"
#include "audio/audio_period.h"
#include "support/fake_console.h"

namespace tc {
namespace {

using Block = std::vector<int16_t>;

Block block(int value) {
    return Block(BLOCK_SAMPLES, static_cast<int16_t>(value));
}

Block ramp(int offset) {
    Block b(BLOCK_SAMPLES);
    for (int i = 0; i < BLOCK_SAMPLES; ++i)
        b[i] = static_cast<int16_t>(offset + i);
    return b;
}

class AudioEngineTest : public ::testing::Test {
  protected:
    static constexpr int N = 16;

    void SetUp() override {
        resetSettings();
        resetOutput();
        resetLineTable();
        resetAudioState();
        attachConsole(&console);
        settings.thresh1 = settings.thresh2 = N / 2;
        ASSERT_EQ(allocateAudio(N), 0);
        auto in = std::make_unique<FakeCaptureStream>();
        auto out = std::make_unique<FakePlaybackStream>();
        mic = in.get();
        speaker = out.get();
        audioState.waveIn = std::make_unique<WaveIn>(std::move(in), true);
        audioState.waveOut = std::make_unique<WaveOut>(std::move(out), true);
        prepareHeaders();
        ASSERT_FALSE(audioState.waveIn->open() || audioState.waveIn->start() ||
                     audioState.waveOut->open() || queueCaptureBuffers());
        audioState.audioOpen = 1;
        resetEngineState(state, N);
    }

    void TearDown() override {
        resetAudioState();
        resetLineTable();
        resetOutput();
    }

    int addLine(bool active) {
        int n = claimLine(false);
        lineTable[n].accepted = 1;
        lineTable[n].active = active ? 1 : 0;
        return n;
    }
    void deliver(int line, const Block& b) {
        std::copy(b.begin(), b.end(), lineTable[line].rxBlock);
        lineTable[line].rxReady.store(1, std::memory_order_release);
    }
    // The microphone fills one capture block.
    void speak(const Block& b) {
        mic->push(b.data());
        ASSERT_EQ(audioState.waveIn->pumpOnce(), 0);
    }
    void pass() { enginePass(state); }
    // The speaker plays what is queued (or silence) for `count` blocks.
    std::vector<Block> play(int count = 1) {
        for (int i = 0; i < count; ++i)
            audioState.waveOut->pumpOnce();
        return speaker->takeWritten();
    }
    // What the line's send thread takes.
    Block sent(int line) {
        EXPECT_EQ(lineTable[line].txReady.load(), 1) << "line " << line << " got no block";
        lineTable[line].txReady = 0;
        return Block(lineTable[line].txBlock, lineTable[line].txBlock + BLOCK_SAMPLES);
    }
    bool gotNothing(int line) { return lineTable[line].txReady.load() == 0; }

    FakeConsole console;
    FakeCaptureStream* mic = nullptr;
    FakePlaybackStream* speaker = nullptr;
    EngineState state;
};

TEST_F(AudioEngineTest, PeerToPeerActiveLinesHearTheMicOnly) {
    int talking = addLine(true);
    int held = addLine(false);
    int waiting = claimLine(true); // in use, not yet accepted
    int ending = addLine(true);
    lineTable[ending].ending = 1;
    for (int n : {talking, held, waiting, ending})
        deliver(n, block(100 * (n + 1)));
    speak(block(7));
    pass();

    EXPECT_EQ(play(), std::vector<Block>{block(100)});
    EXPECT_EQ(lineTable[talking].rxReady.load(), 0);
    EXPECT_TRUE(rxEvent[talking].wait(0));
    EXPECT_TRUE(txEvent[talking].wait(0));
    EXPECT_EQ(lineTable[talking].txSeq.load(), 1u);
    EXPECT_EQ(sent(talking), block(7));
    for (int n : {held, waiting, ending}) {
        EXPECT_EQ(lineTable[n].rxReady.load(), 1) << "line " << n << " keeps its block";
        EXPECT_FALSE(rxEvent[n].wait(0));
        EXPECT_TRUE(gotNothing(n));
    }

    // Taken off hold, the line's kept block is played next.
    lineTable[held].active = 1;
    speak(block(8));
    pass();
    EXPECT_EQ(play()[0], block(200));
    EXPECT_EQ(sent(talking), block(8));
    EXPECT_EQ(sent(held), block(8));
    EXPECT_EQ(lineTable[held].txSeq.load(), 2u);
}

TEST_F(AudioEngineTest, HubAndServerBridgeActiveLinesWithMicAndHeldLinesAmongThemselves) {
    int a = addLine(true), b = addLine(true), c = addLine(true);
    int h1 = addLine(false), h2 = addLine(false);
    for (int mode : {HUB_HUB, HUB_SERVER}) {
        settings.hubMode = mode;
        for (int n : {a, b, c, h2})
            deliver(n, block(1 << n));
        deliver(h1, ramp(0));
        speak(block(32));
        pass();

        EXPECT_EQ(play()[0], block(1 + 2 + 4)) << "the speaker plays the active lines only";
        for (int n : {a, b, c, h1, h2})
            EXPECT_EQ(lineTable[n].rxReady.load(), 0) << "line " << n;
        EXPECT_EQ(sent(a), block(32 + 2 + 4));
        EXPECT_EQ(sent(b), block(32 + 1 + 4));
        EXPECT_EQ(sent(c), block(32 + 1 + 2));
        EXPECT_EQ(sent(h1), block(16)) << "the second hub: no microphone";
        EXPECT_EQ(sent(h2), ramp(0));
    }
}

TEST_F(AudioEngineTest, MutedMicrophoneSilencesOnlyTheMicrophone) {
    settings.hubMode = HUB_HUB;
    settings.micMuted = 1;
    int a = addLine(true), b = addLine(true);
    deliver(a, block(11));
    deliver(b, block(22));
    speak(block(5000));
    pass();
    EXPECT_EQ(play()[0], block(33));
    EXPECT_EQ(sent(a), block(22));
    EXPECT_EQ(sent(b), block(11));

    settings.hubMode = HUB_P2P; // the lines then hear silence
    speak(block(5000));
    pass();
    EXPECT_EQ(sent(a), block(0));
}

TEST_F(AudioEngineTest, HubMixesQueueUpAndPeerToPeerDropsThem) {
    settings.hubMode = HUB_HUB;
    int a = addLine(true), b = addLine(true);
    // Three playback rounds without a capture block: three mixes wait per line, sent in order.
    for (int round = 1; round <= 3; ++round) {
        deliver(a, block(round));
        deliver(b, block(10 * round));
        pass();
    }
    EXPECT_EQ(state.hubFill, 3);
    for (int round = 1; round <= 2; ++round) {
        speak(block(0));
        pass();
        EXPECT_EQ(sent(a), block(10 * round)) << "round " << round;
        EXPECT_EQ(sent(b), block(round)) << "round " << round;
    }
    settings.hubMode = HUB_P2P;
    speak(block(9));
    pass();
    EXPECT_EQ(state.hubFill, 0);
    EXPECT_EQ(sent(a), block(9));
    EXPECT_EQ(sent(b), block(9));
}

TEST_F(AudioEngineTest, OnlyMixesMadeForALineInThisRoundAreSent) {
    settings.hubMode = HUB_HUB;
    int a = addLine(true), b = addLine(false), c = addLine(false);
    // Fill every ring slot of the held lines once.
    for (int round = 0; round < HUB_RING_BLOCKS; ++round) {
        for (int n : {a, b, c})
            deliver(n, block(n + 1));
        speak(block(0));
        pass();
        play();
        for (int n : {a, b, c})
            sent(n);
    }
    // Now only c delivers: b gets no mix (its old slot is not sent again), c hears b's block.
    deliver(c, block(40));
    deliver(a, block(1));
    speak(block(0));
    pass();
    play();
    EXPECT_TRUE(gotNothing(b));
    EXPECT_EQ(sent(c), block(2));
    sent(a);

    // Two mixes wait when line c ends; the next call on line c gets neither.
    for (int round = 0; round < 2; ++round) {
        for (int n : {a, b, c})
            deliver(n, block(n + 1));
        pass();
    }
    lineTable[c].ending = 1;
    speak(block(0));
    pass();
    EXPECT_TRUE(gotNothing(c));
    sent(b);
    lineTable[c].ending = 0;
    speak(block(0));
    pass();
    EXPECT_EQ(sent(b), block(3)) << "b's second mix";
    EXPECT_TRUE(gotNothing(c)) << "a mix made for the old call";
}

TEST_F(AudioEngineTest, StalledLineIsNotRepeatedInTheHubForever) {
    settings.hubMode = HUB_HUB;
    int a = addLine(true), b = addLine(true);
    deliver(b, block(50));
    // b stops delivering; a goes on. b's last block is heard for at most a ring's worth.
    std::vector<int16_t> heard;
    for (int round = 0; round < 12; ++round) {
        deliver(a, block(1));
        speak(block(0));
        pass();
        play();
        heard.push_back(sent(a)[0]);
    }
    EXPECT_EQ(heard.front(), 50);
    EXPECT_EQ(heard.back(), 0);
    EXPECT_EQ(std::count(heard.begin(), heard.end(), 50), HUB_RING_BLOCKS + 1);
}

TEST_F(AudioEngineTest, OnceHalfTheQueueIsFullEveryCountedLineMustDeliver) {
    int a = addLine(true), b = addLine(true);
    // Below N/2 queued blocks any fresh block is played at once.
    deliver(a, block(1));
    pass();
    EXPECT_EQ(audioState.waveOut->queued(), 1);
    for (int i = 1; i < N / 2; ++i) {
        deliver(a, block(1));
        deliver(b, block(2));
        pass();
    }
    EXPECT_EQ(audioState.waveOut->queued(), N / 2);
    EXPECT_EQ(audioState.playedBlocks.load(), N / 2);

    // Line b is late: nothing is played and a keeps its block until b delivers.
    deliver(a, block(3));
    pass();
    pass();
    EXPECT_EQ(audioState.waveOut->queued(), N / 2);
    EXPECT_EQ(lineTable[a].rxReady.load(), 1);
    deliver(b, block(4));
    pass();
    EXPECT_EQ(play(N / 2 + 1).back(), block(7));

    // midDiff lets the engine go on with one line missing.
    settings.midDiff = 1;
    for (int i = 0; i < N / 2; ++i) {
        deliver(a, block(1));
        deliver(b, block(1));
        pass();
    }
    deliver(a, block(5));
    pass();
    EXPECT_EQ(audioState.waveOut->queued(), N / 2 + 1);
}

TEST_F(AudioEngineTest, FullPlaybackQueueWakesEveryReceiveThread) {
    settings.thresh1 = N + 1; // play whatever arrives
    int a = addLine(true);
    int waiting = claimLine(true);
    int held = addLine(false);
    for (int i = 0; i < N; ++i) {
        deliver(a, block(i));
        pass();
    }
    EXPECT_EQ(audioState.playbackFull.load(), 0);
    for (auto& e : rxEvent)
        e.reset();
    deliver(a, block(99));
    pass();
    EXPECT_EQ(audioState.playbackFull.load(), 1);
    EXPECT_EQ(lineTable[a].rxReady.load(), 1) << "nothing is mixed while the queue is full";
    for (int n : {a, waiting, held})
        EXPECT_TRUE(rxEvent[n].wait(0)) << "line " << n;
    EXPECT_FALSE(rxEvent[3].wait(0)) << "a free line is not woken";

    // The device plays one block: the queue has room again.
    play();
    pass();
    EXPECT_EQ(audioState.playbackFull.load(), 0);
    EXPECT_EQ(lineTable[a].rxReady.load(), 0);
}

TEST_F(AudioEngineTest, MixingSaturatesAtBothLimits) {
    settings.hubMode = HUB_HUB;
    int a = addLine(true), b = addLine(true);
    for (int sign : {1, -1}) {
        deliver(a, block(sign * 30000));
        deliver(b, block(sign * 10000));
        speak(block(sign * 30000));
        pass();
        Block limit = block(sign > 0 ? 32767 : -32768);
        EXPECT_EQ(play()[0], limit);
        EXPECT_EQ(sent(a), limit);
        EXPECT_EQ(sent(b), limit);
    }
}

TEST_F(AudioEngineTest, AllWaitingCaptureBlocksAreTakenInOnePass) {
    int a = addLine(true);
    for (int i = 0; i < N - 2; ++i)
        speak(block(i));
    EXPECT_TRUE(audioOverloaded());
    pass();
    EXPECT_EQ(captureBlocksWaiting(), 0);
    EXPECT_FALSE(audioOverloaded());
    EXPECT_EQ(state.captureSeq, static_cast<uint32_t>(N - 2));
    // The send thread had not taken the first block: the line got only that one.
    EXPECT_EQ(lineTable[a].txSeq.load(), 1u);
    EXPECT_EQ(sent(a), block(0));
    EXPECT_EQ(audioState.waveIn->queued(), N) << "the capture blocks are back at the device";

    for (int i = 0; i < N - 3; ++i)
        speak(block(i));
    EXPECT_FALSE(audioOverloaded());
}

TEST_F(AudioEngineTest, TestSignalAndDiagnosticPrints) {
    addLine(false);
    int a = addLine(true);
    // The test signal replaces the microphone: bytes 4, 8, 12, ... as little-endian samples.
    settings.diagBits = 1 << 6;
    speak(block(1234));
    pass();
    Block first = sent(a);
    EXPECT_EQ(first[0], 0x0804);
    EXPECT_EQ(first[1], 0x100C);
    // The 256th block starts a new sweep and marks it with "*".
    for (int i = 2; i <= 256; ++i) {
        speak(block(0));
        pass();
        sent(a);
    }
    EXPECT_EQ(console.take(), "*");

    settings.diagBits = (1 << 1) | (1 << 2) | (1 << 3);
    deliver(a, block(1));
    speak(block(1));
    pass();
    EXPECT_EQ(console.take(), "j=0 c1=1 c2=1\nBA11");
    EXPECT_EQ(panelText().find("j=0"), std::string::npos) << "engine prints stay off the panel";
}

} // namespace
} // namespace tc
