// The audio engine driven pass by pass over hand-pumped fake devices: who hears whom in each hub
// mode, the hub ring, the playback thresholds and the wake-ups of the line threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "audio/audio_engine.h"
#include "audio/audio_period.h"
#include "core/codec.h"
#include "core/settings.h"
#include "support/fake_streams.h"

namespace tc {
namespace {

using Block = std::vector<int16_t>;

const auto block = [](int value) { return Block(BLOCK_SAMPLES, static_cast<int16_t>(value)); };

class AudioEngineTest : public ::testing::Test {
  protected:
    static constexpr int N = 16; // the default block count; both thresholds default to N/2

    void SetUp() override {
        for (auto reset : {resetSettings, resetLineTable, resetAudioState})
            reset();
        ASSERT_EQ(allocateAudio(N), 0);
        audioState.waveIn = std::make_unique<WaveIn>(std::unique_ptr<CaptureStream>(mic), true);
        audioState.waveOut.reset(new WaveOut(std::unique_ptr<PlaybackStream>(speaker), true));
        prepareHeaders();
        ASSERT_FALSE(audioState.waveIn->open() || audioState.waveIn->start() ||
                     audioState.waveOut->open() || queueCaptureBuffers());
        audioState.audioOpen = 1;
        resetEngineState(state, N);
    }

    int addLine(bool active) {
        int n = claimLine(false);
        lineTable[n].accepted = 1;
        lineTable[n].active = active;
        return n;
    }
    // The line's receive thread hands over a block.
    void deliver(int line, int value) {
        std::fill_n(lineTable[line].rxBlock, BLOCK_SAMPLES, static_cast<int16_t>(value));
        lineTable[line].rxReady.store(1, std::memory_order_release);
    }
    // The microphone fills one capture block, then the engine makes one pass.
    void speak(int value) {
        mic->push(block(value).data());
        audioState.waveIn->pumpOnce();
        enginePass(state);
    }
    // The speaker plays what is queued (or silence) for `count` blocks.
    std::vector<Block> play(int count = 1) {
        for (int i = 0; i < count; ++i)
            audioState.waveOut->pumpOnce();
        return speaker->takeWritten();
    }
    // What the line's send thread takes.
    Block sent(int line) {
        EXPECT_EQ(lineTable[line].txReady.exchange(0), 1) << "line " << line << " got no block";
        return Block(lineTable[line].txBlock, lineTable[line].txBlock + BLOCK_SAMPLES);
    }
    bool gotNothing(int line) { return lineTable[line].txReady.load() == 0; }

    FakeCaptureStream* mic = new FakeCaptureStream;
    FakePlaybackStream* speaker = new FakePlaybackStream;
    EngineState state;
};

TEST_F(AudioEngineTest, PeerToPeerActiveLinesHearTheMicOnly) {
    int talking = addLine(true), held = addLine(false), waiting = claimLine(true);
    int ending = addLine(true);
    lineTable[ending].ending = 1;
    for (int n : {talking, held, waiting, ending})
        deliver(n, 100 * (n + 1));
    speak(7);
    EXPECT_EQ(play(), std::vector<Block>{block(100)});
    EXPECT_TRUE(rxEvent[talking].wait(0) && txEvent[talking].wait(0));
    EXPECT_EQ(sent(talking), block(7));
    for (int n : {held, waiting, ending})
        EXPECT_TRUE(lineTable[n].rxReady.load() == 1 && gotNothing(n))
            << "line " << n << " keeps its block and gets none";

    // Capture blocks that piled up are all taken in one pass, and handed back to the device; the
    // line gets the first only, as its send thread has not taken that one yet.
    for (int i = 0; i < N - 2; ++i) {
        mic->push(block(i).data());
        audioState.waveIn->pumpOnce();
    }
    EXPECT_TRUE(audioOverloaded());
    enginePass(state);
    EXPECT_EQ(std::pair(captureBlocksWaiting(), audioState.waveIn->queued()), std::pair(0, N));
    EXPECT_EQ(sent(talking), block(0));
}

TEST_F(AudioEngineTest, HubAndServerBridgeActiveLinesWithMicAndHeldLinesAmongThemselves) {
    int a = addLine(true), b = addLine(true), c = addLine(true), h1 = addLine(false);
    int h2 = addLine(false);
    for (auto [mode, muted] : {std::pair{HUB_HUB, 1}, {HUB_HUB, 0}, {HUB_SERVER, 0}}) {
        settings.hubMode = mode;
        settings.micMuted = muted; // silences the microphone only
        for (int n : {a, b, c, h1, h2})
            deliver(n, 1 << n);
        speak(32);
        int voice = muted ? 0 : 32;
        EXPECT_EQ(play()[0], block(1 + 2 + 4)) << "the speaker plays the active lines only";
        // The second hub, of the held lines, has no microphone.
        EXPECT_EQ((std::vector{sent(a), sent(b), sent(c), sent(h1), sent(h2)}),
                  (std::vector{block(voice + 2 + 4), block(voice + 1 + 4), block(voice + 1 + 2),
                               block(16), block(8)}));
    }
    for (int sign : {1, -1}) { // mixing saturates at both limits
        deliver(a, sign * 30000);
        deliver(b, sign * 10000);
        speak(sign * 30000);
        EXPECT_EQ((std::vector{play()[0], sent(a), sent(b)}),
                  std::vector(3, block(sign > 0 ? 32767 : -32768)));
    }
}

TEST_F(AudioEngineTest, OnlyMixesMadeForALineInThisRoundAreSent) {
    settings.hubMode = HUB_HUB;
    int a = addLine(true), b = addLine(false), c = addLine(false);
    // Three playback rounds without a capture block: three mixes wait per line, sent in order.
    for (int round = 1; round <= 3; ++round) {
        deliver(b, round);
        deliver(c, 10 * round);
        enginePass(state);
    }
    for (int round = 1; round <= 2; ++round) {
        speak(0);
        EXPECT_EQ((std::vector{sent(b), sent(c)}), (std::vector{block(10 * round), block(round)}));
    }
    settings.hubMode = HUB_P2P;
    speak(0);
    EXPECT_TRUE(gotNothing(b)) << "P to P drops the third mix";

    // Only c delivers: b gets no mix (its slot still holds an old one, which is not sent again)
    // and c hears b's last block.
    settings.hubMode = HUB_HUB;
    deliver(c, 40);
    speak(0);
    EXPECT_TRUE(gotNothing(b));
    EXPECT_EQ(sent(c), block(3));

    // Two mixes wait when line c ends; the next call on line c gets neither.
    for (int round = 0; round < 2; ++round) {
        for (int n : {a, b, c})
            deliver(n, n + 1);
        enginePass(state);
    }
    lineTable[c].ending = 1;
    speak(0);
    sent(b);
    lineTable[c].ending = 0;
    speak(0);
    EXPECT_EQ(sent(b), block(3)) << "b's second mix";
    EXPECT_TRUE(gotNothing(c)) << "a mix made for the old call";

    // A line that stops delivering is heard for a ring's worth of mixes, not forever.
    deliver(c, 3);
    int heard = 0;
    for (int round = 0; round < 12; ++round) {
        deliver(b, 1);
        speak(0);
        play();
        heard += sent(b)[0] == 3;
    }
    EXPECT_EQ(heard, HUB_RING_BLOCKS + 1);
}

TEST_F(AudioEngineTest, OnceHalfTheQueueIsFullEveryCountedLineMustDeliver) {
    int a = addLine(true), b = addLine(true), waiting = claimLine(true);
    auto feed = [&](int count) { // a delivers, b does not
        for (int i = 0; i < count; ++i) {
            deliver(a, 1);
            enginePass(state);
        }
        return audioState.waveOut->queued();
    };
    EXPECT_EQ(feed(N / 2), N / 2) << "below N/2 queued blocks any fresh block is played at once";
    EXPECT_EQ(feed(1), N / 2) << "b is late: nothing is played";
    deliver(b, 4);
    enginePass(state);
    EXPECT_EQ(play(N / 2 + 1).back(), block(5));
    settings.midDiff = 1; // lets the engine go on with one line missing
    EXPECT_EQ(feed(N / 2 + 1), N / 2 + 1);

    // A full queue: nothing is mixed, and every receive thread is woken to see it.
    settings.thresh1 = N + 1; // play whatever arrives
    EXPECT_EQ(feed(N), N);
    EXPECT_EQ(audioState.playbackFull.load(), 1);
    EXPECT_EQ(lineTable[a].rxReady.load(), 1);
    for (int n : {a, b, waiting})
        EXPECT_TRUE(rxEvent[n].wait(0)) << "line " << n;
    play();
    enginePass(state);
    EXPECT_EQ(lineTable[a].rxReady.load(), 0) << "room again";
}

// With its send thread running, a line gets raw packets straight from the engine. The last block
// of a compressed packet goes to the send thread. A socket that takes nothing makes the engine
// keep the rest of its packet and hand the next ones over, never wait; what is sent once the
// peer reads again comes whole and in order.
TEST_F(AudioEngineTest, EngineSendsRawPacketsItselfAndKeepsTheirOrderOnAFullSocket) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    int n = addLine(true);
    LineRecord& r = lineTable[n];
    r.sock = fds[0];
    r.micGain = 1;
    r.txDirect = 1;
    speak(7);
    Packet p;
    ASSERT_EQ(recvPacket(fds[1], p), PACKET_BYTES);
    EXPECT_EQ(p.type(), COMP_NONE);
    EXPECT_EQ(p.value(), 1);
    EXPECT_EQ(p.payload[0] | p.payload[1] << 8, 14);
    EXPECT_TRUE(gotNothing(n));
    EXPECT_FALSE(txEvent[n].wait(0));

    r.compCode = COMP_LOW;
    speak(1);
    speak(2);
    pollfd nothingYet{fds[1], POLLIN, 0};
    EXPECT_EQ(::poll(&nothingYet, 1, 0), 0);
    speak(3);
    EXPECT_EQ(sent(n), block(3)) << "the send thread encodes the packet";
    r.compCode = COMP_NONE;
    r.txPendingCount = 0;

    int small = 4096;
    ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    for (int i = 0; i < 64 && r.txRestBytes == 0; ++i)
        speak(i);
    ASSERT_GT(r.txRestBytes.load(), 0);
    speak(5);
    EXPECT_EQ(sent(n), block(5)) << "with a rest waiting the block goes to the send thread";
    std::vector<Packet> got;
    std::thread reader([&] {
        Packet q;
        while (recvPacket(fds[1], q) == PACKET_BYTES)
            got.push_back(q);
    });
    // Another sender finishes the kept rest before its own packet.
    EXPECT_EQ(sendPacket(n, "between", PKT_MESSAGE, 0), PACKET_BYTES);
    speak(6);
    EXPECT_EQ(finishLineSend(n), PACKET_BYTES);
    ::shutdown(fds[0], SHUT_WR);
    reader.join();
    ASSERT_GE(got.size(), 3u);
    int32_t last = 0;
    for (const Packet& q : got) {
        if (q.type() == PKT_MESSAGE) {
            EXPECT_STREQ(reinterpret_cast<const char*>(q.payload), "between");
            continue;
        }
        EXPECT_EQ(q.type(), COMP_NONE);
        EXPECT_GT(q.value(), last);
        last = q.value();
    }
    EXPECT_EQ(got.back().payload[0] | got.back().payload[1] << 8, 12);
    ::close(fds[0]);
    ::close(fds[1]);
}

} // namespace
} // namespace tc
