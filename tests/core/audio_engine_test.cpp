// The audio engine driven pass by pass over hand-driven fake devices: who hears whom in each
// hub mode, the playback thresholds and the hand-over flags and events.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "calls/line_table.h"
#include "core/audio_engine.h"
#include "core/output.h"
#include "core/settings.h"
#include "core/supervisor.h"
#include "support/recording_console.h"

namespace tc {
namespace {

using Block = std::vector<int16_t>;

Block constantBlock(int value) {
    return Block(BLOCK_SAMPLES, static_cast<int16_t>(value));
}

Block rampBlock(int start) {
    Block b(BLOCK_SAMPLES);
    for (int i = 0; i < BLOCK_SAMPLES; ++i)
        b[i] = static_cast<int16_t>(start + i);
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
        settings.audioBufferCount = N;
        settings.thresh1 = N / 2;
        settings.thresh2 = N / 2;
        ASSERT_EQ(allocateAudio(N), 0);
        auto in = std::make_unique<FakeCaptureStream>();
        auto out = std::make_unique<FakePlaybackStream>();
        mic = in.get();
        speaker = out.get();
        audioState.waveIn = std::make_unique<WaveIn>(std::move(in), true);
        audioState.waveOut = std::make_unique<WaveOut>(std::move(out), true);
        ASSERT_EQ(audioState.waveIn->open(), 0);
        ASSERT_EQ(audioState.waveIn->start(), 0);
        ASSERT_EQ(audioState.waveOut->open(), 0);
        prepareHeaders();
        ASSERT_EQ(queueCaptureBuffers(), 0);
        audioState.audioOpen = 1;
        state = std::make_unique<EngineState>();
        resetEngineState(*state, N);
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

    // The speaker plays what is queued (or silence) for `count` blocks.
    std::vector<Block> play(int count = 1) {
        for (int i = 0; i < count; ++i)
            audioState.waveOut->pumpOnce();
        return speaker->takeWritten();
    }

    Block sent(int line) {
        EXPECT_EQ(lineTable[line].txReady.load(), 1) << "line " << line << " got no block";
        Block b(lineTable[line].txBlock, lineTable[line].txBlock + BLOCK_SAMPLES);
        lineTable[line].txReady = 0; // the send thread takes it
        return b;
    }

    void drainEvents() {
        for (int n = 0; n < MAX_LINES; ++n) {
            rxEvent[n].reset();
            txEvent[n].reset();
        }
    }

    void pass() { enginePass(*state); }

    test::RecordingConsole console;
    FakeCaptureStream* mic = nullptr;
    FakePlaybackStream* speaker = nullptr;
    std::unique_ptr<EngineState> state;
};

TEST_F(AudioEngineTest, PeerToPeerActiveLineHearsMicAndHeldLineNeitherHearsNorIsHeard) {
    int talking = addLine(true);
    int held = addLine(false);
    deliver(talking, constantBlock(100));
    deliver(held, constantBlock(200));
    speak(constantBlock(7));
    pass();

    auto played = play();
    ASSERT_EQ(played.size(), 1u);
    EXPECT_EQ(played[0], constantBlock(100));
    EXPECT_EQ(lineTable[talking].rxReady.load(), 0);
    EXPECT_TRUE(rxEvent[talking].wait(0));
    EXPECT_EQ(lineTable[held].rxReady.load(), 1) << "a held line keeps its block";
    EXPECT_FALSE(rxEvent[held].wait(0));

    EXPECT_TRUE(txEvent[talking].wait(0));
    EXPECT_EQ(lineTable[talking].txSeq.load(), 1u);
    EXPECT_EQ(sent(talking), constantBlock(7));
    EXPECT_EQ(lineTable[held].txReady.load(), 0) << "nothing is prepared for a held line";

    // Taken off hold, the line's kept block is played next.
    lineTable[held].active = 1;
    speak(constantBlock(8));
    pass();
    EXPECT_EQ(play()[0], constantBlock(200));
    EXPECT_EQ(sent(talking), constantBlock(8));
    EXPECT_EQ(sent(held), constantBlock(8));
    EXPECT_EQ(lineTable[held].txSeq.load(), 2u);
}

TEST_F(AudioEngineTest, LinesNotAcceptedOrEndingAreLeftAlone) {
    int waiting = claimLine(true); // in use, not yet accepted
    int ending = addLine(true);
    lineTable[ending].ending = 1;
    deliver(waiting, constantBlock(5));
    deliver(ending, constantBlock(6));
    speak(constantBlock(9));
    pass();
    EXPECT_EQ(play()[0], constantBlock(0)) << "the speaker plays the silence of the device";
    EXPECT_EQ(lineTable[waiting].rxReady.load(), 1);
    EXPECT_EQ(lineTable[ending].rxReady.load(), 1);
    EXPECT_EQ(lineTable[waiting].txReady.load(), 0);
    EXPECT_EQ(lineTable[ending].txReady.load(), 0);
}

TEST_F(AudioEngineTest, HubBridgesActiveLinesWithMicAndHeldLinesAmongThemselves) {
    settings.hubMode = HUB_HUB;
    int a = addLine(true), b = addLine(true), c = addLine(true);
    int h1 = addLine(false), h2 = addLine(false);
    deliver(a, constantBlock(1));
    deliver(b, constantBlock(2));
    deliver(c, constantBlock(4));
    deliver(h1, constantBlock(8));
    deliver(h2, constantBlock(16));
    speak(constantBlock(32));
    pass();

    EXPECT_EQ(play()[0], constantBlock(1 + 2 + 4)) << "the speaker plays the active lines only";
    for (int n : {a, b, c, h1, h2})
        EXPECT_EQ(lineTable[n].rxReady.load(), 0) << "line " << n;
    EXPECT_EQ(sent(a), constantBlock(32 + 2 + 4));
    EXPECT_EQ(sent(b), constantBlock(32 + 1 + 4));
    EXPECT_EQ(sent(c), constantBlock(32 + 1 + 2));
    EXPECT_EQ(sent(h1), constantBlock(16)) << "the second hub: no microphone";
    EXPECT_EQ(sent(h2), constantBlock(8));
}

TEST_F(AudioEngineTest, ServerCallersOnHoldTalkWithoutTheLocalUser) {
    settings.hubMode = HUB_SERVER;
    int x = addLine(false), y = addLine(false), z = addLine(false);
    deliver(x, rampBlock(0));
    deliver(y, constantBlock(1000));
    deliver(z, constantBlock(-300));
    speak(constantBlock(555));
    pass();

    EXPECT_EQ(play()[0], constantBlock(0)) << "the local user hears nobody";
    Block forX = constantBlock(700);
    Block ramp = rampBlock(0);
    Block forY(BLOCK_SAMPLES), forZ(BLOCK_SAMPLES);
    for (int i = 0; i < BLOCK_SAMPLES; ++i) {
        forY[i] = static_cast<int16_t>(ramp[i] - 300);
        forZ[i] = static_cast<int16_t>(ramp[i] + 1000);
    }
    EXPECT_EQ(sent(x), forX);
    EXPECT_EQ(sent(y), forY);
    EXPECT_EQ(sent(z), forZ);
}

TEST_F(AudioEngineTest, MutedMicrophoneSilencesOnlyTheMicrophone) {
    settings.hubMode = HUB_HUB;
    settings.micMuted = 1;
    int a = addLine(true), b = addLine(true);
    deliver(a, constantBlock(11));
    deliver(b, constantBlock(22));
    speak(constantBlock(5000));
    pass();
    EXPECT_EQ(play()[0], constantBlock(33));
    EXPECT_EQ(sent(a), constantBlock(22));
    EXPECT_EQ(sent(b), constantBlock(11));

    // In P to P the lines then hear silence.
    settings.hubMode = HUB_P2P;
    deliver(a, constantBlock(1));
    speak(constantBlock(5000));
    pass();
    EXPECT_EQ(sent(a), constantBlock(0));
}

TEST_F(AudioEngineTest, HubMixesQueueUpWhenLinesDeliverFasterThanTheMicrophone) {
    settings.hubMode = HUB_HUB;
    int a = addLine(true), b = addLine(true);
    // Three playback rounds without a capture block: three mixes wait per line.
    for (int round = 1; round <= 3; ++round) {
        deliver(a, constantBlock(round));
        deliver(b, constantBlock(10 * round));
        pass();
    }
    EXPECT_EQ(state->hubFill, 3);
    for (int round = 1; round <= 3; ++round) {
        speak(constantBlock(0));
        pass();
        EXPECT_EQ(sent(a), constantBlock(10 * round)) << "round " << round;
        EXPECT_EQ(sent(b), constantBlock(round)) << "round " << round;
    }
    EXPECT_EQ(state->hubFill, 0);
}

TEST_F(AudioEngineTest, LineThatDidNotDeliverGetsNoStaleHubMix) {
    settings.hubMode = HUB_HUB;
    int a = addLine(true), b = addLine(false), c = addLine(false);
    // Fill every ring slot of the held lines once.
    for (int round = 0; round < HUB_RING_BLOCKS; ++round) {
        deliver(b, constantBlock(3));
        deliver(c, constantBlock(4));
        deliver(a, constantBlock(1));
        speak(constantBlock(0));
        pass();
        play();
        sent(a);
        sent(b);
        sent(c);
    }
    // Now only line c delivers: b gets no mix this round, c hears b's last block.
    deliver(c, constantBlock(40));
    deliver(a, constantBlock(1));
    speak(constantBlock(0));
    pass();
    EXPECT_EQ(lineTable[b].txReady.load(), 0) << "b's old ring slot must not be sent again";
    EXPECT_EQ(sent(c), constantBlock(3));
}

TEST_F(AudioEngineTest, StalledLineIsNotRepeatedInTheHubForever) {
    settings.hubMode = HUB_HUB;
    int a = addLine(true), b = addLine(true);
    deliver(a, constantBlock(1));
    deliver(b, constantBlock(50));
    speak(constantBlock(0));
    pass();
    play();
    EXPECT_EQ(sent(a), constantBlock(50));
    sent(b);
    // b stops delivering; a goes on. b's last block is heard for at most a ring's worth.
    std::vector<int16_t> heard;
    for (int round = 0; round < 12; ++round) {
        deliver(a, constantBlock(1));
        speak(constantBlock(0));
        pass();
        play();
        heard.push_back(sent(a)[0]);
    }
    EXPECT_EQ(heard.front(), 50);
    EXPECT_EQ(heard.back(), 0);
    EXPECT_EQ(std::count(heard.begin(), heard.end(), 50), HUB_RING_BLOCKS);
}

TEST_F(AudioEngineTest, OnceHalfTheQueueIsFullEveryCountedLineMustDeliver) {
    int a = addLine(true), b = addLine(true);
    // Below N/2 queued blocks any fresh block is played at once.
    deliver(a, constantBlock(1));
    pass();
    EXPECT_EQ(audioState.waveOut->queued(), 1);
    EXPECT_EQ(lineTable[b].rxReady.load(), 0);
    for (int i = 1; i < N / 2; ++i) {
        deliver(a, constantBlock(1));
        deliver(b, constantBlock(2));
        pass();
    }
    EXPECT_EQ(audioState.waveOut->queued(), N / 2);
    EXPECT_EQ(audioState.playedBlocks.load(), N / 2);

    // Line b is late: nothing is played and a keeps its block.
    deliver(a, constantBlock(3));
    for (int i = 0; i < 3; ++i)
        pass();
    EXPECT_EQ(audioState.waveOut->queued(), N / 2);
    EXPECT_EQ(lineTable[a].rxReady.load(), 1);
    deliver(b, constantBlock(4));
    pass();
    EXPECT_EQ(audioState.waveOut->queued(), N / 2 + 1);
    auto played = play(N / 2 + 1);
    EXPECT_EQ(played.back(), constantBlock(7));

    // midDiff lets the engine go on with one line missing.
    settings.midDiff = 1;
    for (int i = 0; i < N / 2; ++i) {
        deliver(a, constantBlock(1));
        deliver(b, constantBlock(1));
        pass();
    }
    deliver(a, constantBlock(5));
    pass();
    EXPECT_EQ(audioState.waveOut->queued(), N / 2 + 1);
}

TEST_F(AudioEngineTest, FullPlaybackQueueWakesEveryReceiveThread) {
    int a = addLine(true);
    int waiting = claimLine(true);
    int held = addLine(false);
    for (int i = 0; i < N; ++i) {
        deliver(a, constantBlock(i));
        settings.thresh1 = N + 1; // play whatever arrives
        pass();
    }
    EXPECT_EQ(audioState.waveOut->queued(), N);
    EXPECT_EQ(audioState.playbackFull.load(), 0);
    drainEvents();
    deliver(a, constantBlock(99));
    pass();
    EXPECT_EQ(audioState.playbackFull.load(), 1);
    EXPECT_EQ(lineTable[a].rxReady.load(), 1) << "nothing is mixed while the queue is full";
    for (int n : {a, waiting, held})
        EXPECT_TRUE(rxEvent[n].wait(0)) << "line " << n;
    EXPECT_FALSE(rxEvent[3].wait(0)) << "a free line is not woken";

    // The device plays one block: the queue has room again.
    auto played = play();
    EXPECT_EQ(played[0], constantBlock(0));
    pass();
    EXPECT_EQ(audioState.playbackFull.load(), 0);
    EXPECT_EQ(lineTable[a].rxReady.load(), 0);
}

TEST_F(AudioEngineTest, MixingSaturatesAtBothLimits) {
    settings.hubMode = HUB_HUB;
    int a = addLine(true), b = addLine(true);
    deliver(a, constantBlock(30000));
    deliver(b, constantBlock(10000));
    speak(constantBlock(30000));
    pass();
    EXPECT_EQ(play()[0], constantBlock(32767));
    EXPECT_EQ(sent(a), constantBlock(32767));
    EXPECT_EQ(sent(b), constantBlock(32767));

    deliver(a, constantBlock(-30000));
    deliver(b, constantBlock(-10000));
    speak(constantBlock(-30000));
    pass();
    EXPECT_EQ(play()[0], constantBlock(-32768));
    EXPECT_EQ(sent(a), constantBlock(-32768));

    Block wide = constantBlock(-32768);
    mixBlock(wide.data(), constantBlock(32767).data());
    EXPECT_EQ(wide, constantBlock(-1));
}

TEST_F(AudioEngineTest, AllWaitingCaptureBlocksAreTakenInOnePass) {
    int a = addLine(true);
    for (int i = 0; i < N - 2; ++i)
        speak(constantBlock(i));
    EXPECT_EQ(captureBlocksWaiting(), N - 2);
    EXPECT_TRUE(audioOverloaded());
    pass();
    EXPECT_EQ(captureBlocksWaiting(), 0);
    EXPECT_FALSE(audioOverloaded());
    EXPECT_EQ(state->captureSeq, static_cast<uint32_t>(N - 2));
    // The send thread had not taken the first block: the line got only that one.
    EXPECT_EQ(lineTable[a].txSeq.load(), 1u);
    EXPECT_EQ(sent(a), constantBlock(0));
    // The capture blocks are back at the device.
    EXPECT_EQ(audioState.waveIn->queued(), N);

    for (int i = 0; i < N - 3; ++i)
        speak(constantBlock(i));
    EXPECT_FALSE(audioOverloaded());
}

TEST_F(AudioEngineTest, DiagnosticPrintsFollowTheFlow) {
    settings.diagBits = (1 << 1) | (1 << 2) | (1 << 3);
    addLine(false);
    addLine(true);
    deliver(1, constantBlock(1));
    speak(constantBlock(1));
    pass();
    EXPECT_EQ(console.take(), "j=0 c1=1 c2=1\nBA1"
                              "1");
    EXPECT_EQ(panelText().find("j=0"), std::string::npos) << "engine prints stay off the panel";
}

TEST_F(AudioEngineTest, TestSignalReplacesTheMicrophone) {
    settings.diagBits = 1 << 6;
    int a = addLine(true);
    speak(constantBlock(1234));
    pass();
    Block first = sent(a);
    // Bytes 4, 8, 12, 16, ... : a rising triangle read as little-endian samples.
    EXPECT_EQ(first[0], 0x0804);
    EXPECT_EQ(first[1], 0x100C);
    EXPECT_EQ(console.take(), "");

    // The 256th block starts a new sweep and marks it with "*".
    for (int i = 2; i <= 256; ++i) {
        speak(constantBlock(0));
        pass();
        sent(a);
    }
    EXPECT_EQ(console.take(), "*");
}

TEST_F(AudioEngineTest, SwitchingToPeerToPeerDropsPreparedHubBlocks) {
    settings.hubMode = HUB_HUB;
    int a = addLine(true), b = addLine(true);
    deliver(a, constantBlock(1));
    deliver(b, constantBlock(2));
    pass();
    EXPECT_EQ(state->hubFill, 1);
    settings.hubMode = HUB_P2P;
    speak(constantBlock(9));
    pass();
    EXPECT_EQ(sent(a), constantBlock(9));
    EXPECT_EQ(sent(b), constantBlock(9));
}

} // namespace
} // namespace tc
