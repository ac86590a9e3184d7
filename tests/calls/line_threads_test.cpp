// The receive and send threads of one line, driven over a socket pair: the test plays the peer
// on one end and the audio engine on the line record.
#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

#include "calls/answer.h"
#include "calls/call_out.h"
#include "core/codec.h"
#include "calls/line_life.h"
#include "core/line_table.h"
#include "core/packet_parse.h"
#include "core/protocol.h"
#include "calls/receive.h"
#include "calls/send.h"
#include "commands/command_thread.h"
#include "audio/audio_engine.h"
#include "core/output.h"
#include "core/settings.h"
#include "core/lifecycle.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "support/fake_console.h"
#include "support/scripted_peer.h"

namespace tc {
namespace {

using test::makePacket;

int64_t now() {
    return monotonicMs();
}

template <typename F> bool eventually(F condition, int timeoutMs = 3000) {
    int64_t until = now() + timeoutMs;
    while (!condition()) {
        if (now() > until) return false;
        sleepMs(5);
    }
    return true;
}

class LineThreadsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetSettings();
        resetLineTable();
        resetLineHistory();
        resetOutput();
        resetCommandState();
        attachConsole(&console);
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        timeval tv{3, 0};
        ::setsockopt(fds[1], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }

    void TearDown() override {
        stopThreads();
        if (fds[1] >= 0) ::close(fds[1]);
        attachConsole(nullptr);
        resetLineTable();
    }

    // Claims line 0 on our end of the pair, as seen from `peer`.
    LineRecord& openLine(bool incoming, const char* peer = "127.0.0.1") {
        int n = claimLine(incoming);
        EXPECT_EQ(n, 0);
        LineRecord& r = lineTable[0];
        r.sock = fds[0];
        r.peerAddr.sin_family = AF_INET;
        ::inet_pton(AF_INET, peer, &r.peerAddr.sin_addr);
        r.peerName.set(peer);
        startCallSerial(0);
        return r;
    }

    void startReceiver() { receiver = std::thread(receiveThread, 0); }
    void startSender() { sender = std::thread(sendThread, 0); }

    void stopThreads() {
        LineRecord& r = lineTable[0];
        r.ending |= 1;
        if (r.sock >= 0) ::shutdown(r.sock, SHUT_RDWR);
        if (receiver.joinable()) receiver.join();
        if (sender.joinable()) sender.join();
        if (fds[0] >= 0) ::close(fds[0]);
        fds[0] = -1;
        r.sock = -1;
    }

    bool peerSend(const Packet& p) { return sendWholePacket(fds[1], p) == PACKET_BYTES; }
    bool peerReceive(Packet& p) { return recvPacket(fds[1], p) == PACKET_BYTES; }

    // The audio engine's side: takes the block the receive thread handed over.
    bool takeBlock(int16_t* out) {
        LineRecord& r = lineTable[0];
        if (!eventually([&] { return r.rxReady.load() == 1; }, 2000)) return false;
        std::memcpy(out, r.rxBlock, BLOCK_BYTES);
        r.rxReady = 0;
        rxEvent[0].set();
        return true;
    }

    // The audio engine's side: gives the send thread one block.
    void giveBlock(const int16_t* block, uint32_t seq) {
        LineRecord& r = lineTable[0];
        ASSERT_TRUE(eventually([&] { return r.txReady.load() == 0; }));
        std::memcpy(r.txBlock, block, BLOCK_BYTES);
        r.txSeq = seq;
        r.txReady = 1;
        txEvent[0].set();
    }

    FakeConsole console;
    int fds[2] = {-1, -1};
    std::thread receiver;
    std::thread sender;
};

std::vector<int16_t> ramp(int blocks, int start) {
    std::vector<int16_t> v(static_cast<size_t>(blocks) * BLOCK_SAMPLES);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<int16_t>(start + static_cast<int>(i % 4000) * 7 - 14000);
    return v;
}

TEST_F(LineThreadsTest, CommandsFromAFarPeerNeedThePassword) {
    settings.callPassword.set("pw");
    openLine(true, "10.1.2.3");
    startReceiver();
    ASSERT_TRUE(peerSend(buildCommandPacket({"Mute Y"}, "wrong")));
    Packet reply;
    ASSERT_TRUE(peerReceive(reply));
    EXPECT_EQ(reply.type(), PKT_COMMANDREPLY);
    EXPECT_EQ(reply.value(), -1);
    EXPECT_EQ(reply.payload[0], 0);
    EXPECT_EQ(outputState.commandSource.load(), -1);

    ASSERT_TRUE(peerSend(buildCommandPacket({"Mute Y", "Talk 9"}, "pw")));
    ASSERT_TRUE(eventually([] { return outputState.commandSource.load() == 0; }));
    std::lock_guard lock(commandState.mutex);
    EXPECT_EQ(commandState.queue.commandCount, 2);
    EXPECT_STREQ(commandState.queue.commandBuffer, "Mute Y");
}

TEST_F(LineThreadsTest, CommandsWaitForTheRequestBeforeThemToFinish) {
    openLine(true);
    outputState.commandSource = 5; // another line's request is running
    startReceiver();
    ASSERT_TRUE(peerSend(buildCommandPacket({"Send 0 hi"}, "")));
    sleepMs(200);
    EXPECT_EQ(outputState.commandSource.load(), 5);
    outputState.commandSource = -1;
    ASSERT_TRUE(eventually([] { return outputState.commandSource.load() == 0; }));
    std::lock_guard lock(commandState.mutex);
    EXPECT_STREQ(commandState.queue.commandBuffer, "Send 0 hi");
}

TEST_F(LineThreadsTest, WebPagePreambleIsSkippedUpToTheFirstEndOfFileByte) {
    LineRecord& r = openLine(false);
    r.port = webCallPort;
    startReceiver();
    // The reply holds bytes of a packet's size before the marker; none of them may count.
    std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n";
    reply += std::string(1500, 'x');
    reply += '\x1A';
    ASSERT_EQ(::send(fds[1], reply.data(), reply.size(), 0), static_cast<ssize_t>(reply.size()));
    ASSERT_TRUE(peerSend(makePacket(PKT_MESSAGE, 0, "after the page")));
    ASSERT_TRUE(
        eventually([&] { return console.count("Message From #0:  after the page\n") == 1; }));
    EXPECT_EQ(r.active.load(), 1);
    EXPECT_EQ(console.count("Unknown"), 0);
}

TEST_F(LineThreadsTest, HighPacketIsHandedOverBlockByBlockAndDecodedWithTheLineState) {
    LineRecord& r = openLine(false);
    r.compCode = COMP_HIGH;
    r.active = 1;
    r.spkGain = -1;
    startReceiver();

    std::vector<int16_t> speech = ramp(COMP_HIGH, 300);
    std::vector<int16_t> scratch = speech;
    int32_t encState = 0;
    Packet p = makePacket(COMP_HIGH, 77);
    encodeHigh(scratch.data(), p.payload, COMP_HIGH_SAMPLES, encState);
    std::vector<int16_t> expected(COMP_HIGH_SAMPLES);
    int32_t decState = 0;
    decodeHigh(p.payload, expected.data(), COMP_HIGH_SAMPLES, decState);
    ASSERT_TRUE(peerSend(p));

    for (int k = 0; k < COMP_HIGH; ++k) {
        int16_t block[BLOCK_SAMPLES];
        ASSERT_TRUE(takeBlock(block)) << "block " << k;
        for (int i = 0; i < BLOCK_SAMPLES; ++i)
            ASSERT_EQ(block[i], static_cast<int16_t>(expected[size_t(k * BLOCK_SAMPLES + i)] >> 1))
                << "block " << k << " sample " << i;
    }
    // The outgoing line counts as accepted with the first audio packet it plays.
    EXPECT_EQ(r.accepted.load(), 1);
    EXPECT_EQ(console.count("Call Accepted\n"), 1);
    EXPECT_EQ(r.rxAudioCount.load(), 1u);
    sleepMs(100);
    EXPECT_EQ(r.rxReady.load(), 0);
}

TEST_F(LineThreadsTest, HeldLineInPeerToPeerCountsAudioButNeverHandsItOver) {
    LineRecord& r = openLine(true);
    r.accepted = 1;
    r.active = 0;
    startReceiver();
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(peerSend(makePacket(PKT_AUDIO, i, "\x05\x06")));
    ASSERT_TRUE(eventually([&] { return r.rxAudioCount.load() == 3; }));
    EXPECT_EQ(r.rxReady.load(), 0);
    // Audio of the other codes is dropped without a word; type 7 is no audio code at all.
    ASSERT_TRUE(peerSend(makePacket(COMP_MEDIUM, 0)));
    ASSERT_TRUE(peerSend(makePacket(7, 0)));
    ASSERT_TRUE(eventually([&] {
        return console.count("Received Unknown or Bad Packet 7 From 127.0.0.1 0 \n") == 1;
    }));
    EXPECT_EQ(r.rxAudioCount.load(), 3u);
    EXPECT_EQ(console.count("Unknown or Bad Packet 6"), 0);
}

TEST_F(LineThreadsTest, AudioBeyondTheDumpLimitIsDroppedInsteadOfWaitedFor) {
    LineRecord& r = openLine(true);
    r.accepted = 1;
    r.active = 1;
    settings.dumpLim = 1;
    startReceiver();
    // Nobody takes the blocks: without the limit each would wait up to half a second.
    std::thread writer([&] {
        for (int i = 0; i < 30; ++i)
            peerSend(makePacket(PKT_AUDIO, i, "\x01"));
    });
    writer.join();
    EXPECT_TRUE(eventually([&] { return r.rxAudioCount.load() == 30; }, 4000))
        << r.rxAudioCount.load();
    EXPECT_EQ(r.rxReady.load(), 1);
}

TEST_F(LineThreadsTest, UnsupportedCompressionEndsTheLineAfterTellingThePeer) {
    LineRecord& r = openLine(true);
    startReceiver();
    ASSERT_TRUE(peerSend(makePacket(PKT_COMPRESSION, COMP_LOW)));
    ASSERT_TRUE(eventually([&] { return r.compCode.load() == COMP_LOW; }));
    ASSERT_TRUE(peerSend(makePacket(PKT_COMPRESSION, COMP_LOW)));
    ASSERT_TRUE(peerSend(makePacket(PKT_COMPRESSION, COMP_HIGH)));
    ASSERT_TRUE(peerSend(makePacket(PKT_COMPRESSION, 0)));
    ASSERT_TRUE(peerSend(makePacket(PKT_COMPRESSION, 5)));
    Packet q;
    ASSERT_TRUE(peerReceive(q));
    EXPECT_EQ(q.type(), PKT_QUERY);
    EXPECT_EQ(q.value(), 0);
    EXPECT_STREQ(q.text(), "Unsupported Compression Mode Requested\n");
    receiver.join();
    EXPECT_EQ(r.ending.load(), 1);
    EXPECT_EQ(r.compCode.load(), 0);
    EXPECT_EQ(console.text(),
              "0: Switched to Compressed Mode\n0: Changed Compressed Mode\n"
              "0: Switched to Normal Mode\nUnsupported Compression Mode Requested\n");
}

TEST_F(LineThreadsTest, ServerListAcceptsOnlyAnOutgoingLine) {
    LineRecord& r = openLine(true);
    startReceiver();
    ASSERT_TRUE(peerSend(makePacket(PKT_SERVERLIST, 0, "      127.0.0.1   9000  [Bob]\n")));
    ASSERT_TRUE(
        eventually([&] { return console.count("Received Unknown or Bad Packet -10") == 1; }));
    EXPECT_EQ(r.accepted.load(), 0);
    stopThreads();

    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    resetLineTable();
    LineRecord& out = openLine(false);
    startReceiver();
    ASSERT_TRUE(peerSend(makePacket(PKT_SERVERLIST, 0, "      127.0.0.1   9000  [Bob]\n")));
    ASSERT_TRUE(eventually([&] { return out.accepted.load() == 1; }));
    EXPECT_EQ(console.count("Active Connections on Server:\n      127.0.0.1   9000  [Bob]\n"), 1);
}

TEST_F(LineThreadsTest, AnnouncedRedialIsAcceptedOnlyAfterARecentCallFromThatAddress) {
    LineRecord& r = openLine(true, "10.9.8.7");
    startReceiver();
    ASSERT_TRUE(peerSend(makePacket(PKT_AUTORETRY, 1)));
    ASSERT_TRUE(peerSend(buildIdPacket("Eve", "", "", 4000)));
    ASSERT_TRUE(eventually(
        [&] { return console.count("Incoming Call #0 From 10.9.8.7 4000 [Eve]\n") == 1; }));
    EXPECT_EQ(r.accepted.load(), 0);
    stopThreads();

    in_addr addr{};
    ::inet_pton(AF_INET, "10.9.8.7", &addr);
    noteLineEnded(addr);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    resetLineTable();
    LineRecord& again = openLine(true, "10.9.8.7");
    startReceiver();
    ASSERT_TRUE(peerSend(makePacket(PKT_AUTORETRY, 1)));
    ASSERT_TRUE(peerSend(buildIdPacket("Eve", "", "eve.example", 4000)));
    ASSERT_TRUE(eventually([&] { return again.accepted.load() == 1; }));
    EXPECT_EQ(again.active.load(), 1);
    EXPECT_EQ(console.count("Accepted Call #0 From eve.example 4000 [Eve]\n"), 1);
    EXPECT_EQ(again.peerId.get(), "Eve");
}

TEST_F(LineThreadsTest, IdOnAnOutgoingLineKeepsTheDialledName) {
    LineRecord& r = openLine(false);
    r.peerName.set("talk.example");
    startReceiver();
    ASSERT_TRUE(peerSend(buildIdPacket("Bob", "", "other.example", 9100)));
    ASSERT_TRUE(eventually([&] { return r.peerPort.load() == 9100; }));
    ASSERT_TRUE(eventually([&] { return r.peerId.get() == "Bob"; }));
    EXPECT_EQ(r.peerName.get(), "talk.example");
    EXPECT_EQ(console.text(), "");
}

TEST_F(LineThreadsTest, ConnectionListRequestIsAnswered) {
    LineRecord& r = openLine(true);
    r.accepted = 1;
    r.active = 1;
    r.peerId.set("Caller");
    r.peerPort = 5000;
    startReceiver();
    ASSERT_TRUE(peerSend(makePacket(PKT_CONNLIST, -1)));
    Packet list;
    ASSERT_TRUE(peerReceive(list));
    EXPECT_EQ(list.type(), PKT_CONNLIST);
    EXPECT_EQ(list.value(), 1);
    EXPECT_STREQ(reinterpret_cast<const char*>(list.payload + 80), "Caller");
    ASSERT_TRUE(peerSend(makePacket(PKT_CONNLIST, 9)));
    ASSERT_TRUE(
        eventually([&] { return console.count("Received Unknown or Bad Packet -6") == 1; }));
}

TEST_F(LineThreadsTest, SendThreadCollectsBlocksForOneCompressedPacket) {
    LineRecord& r = openLine(false);
    r.compCode = COMP_MEDIUM;
    startSender();
    std::vector<int16_t> speech = ramp(COMP_MEDIUM, 100);
    for (int k = 0; k < COMP_MEDIUM; ++k)
        giveBlock(&speech[size_t(k * BLOCK_SAMPLES)], 40u + unsigned(k));
    Packet p;
    ASSERT_TRUE(peerReceive(p));
    EXPECT_EQ(p.type(), COMP_MEDIUM);
    EXPECT_EQ(p.value(), 45);
    Packet expected;
    expected.clear();
    int32_t state = 0;
    std::vector<int16_t> scratch = speech;
    encodeMedium(scratch.data(), expected.payload, COMP_MEDIUM_SAMPLES, state);
    EXPECT_EQ(std::memcmp(p.payload, expected.payload, PAYLOAD_BYTES), 0);
    EXPECT_EQ(r.txCodecState, state);
}

TEST_F(LineThreadsTest, SendThreadFollowsACodeChangeMidStream) {
    LineRecord& r = openLine(false);
    r.compCode = COMP_HIGH;
    startSender();
    std::vector<int16_t> speech = ramp(6, 900);
    for (int k = 0; k < 5; ++k)
        giveBlock(&speech[size_t(k * BLOCK_SAMPLES)], unsigned(k));
    ASSERT_TRUE(eventually([&] { return r.txReady.load() == 0; }));
    sleepMs(50); // the thread is waiting for the next block
    r.compCode = COMP_LOW;
    giveBlock(&speech[5 * BLOCK_SAMPLES], 5);
    Packet p;
    ASSERT_TRUE(peerReceive(p));
    EXPECT_EQ(p.type(), COMP_LOW);
    EXPECT_EQ(p.value(), 5);
    Packet expected;
    expected.clear();
    encodeLow(speech.data(), expected.payload, COMP_LOW_SAMPLES);
    EXPECT_EQ(std::memcmp(p.payload, expected.payload, PAYLOAD_BYTES), 0);

    // Back to raw: every block goes on its own, scaled by the microphone gain.
    sleepMs(50);
    r.compCode = COMP_NONE;
    r.micGain = -16;
    giveBlock(speech.data(), 6);
    ASSERT_TRUE(peerReceive(p));
    EXPECT_EQ(p.type(), COMP_NONE);
    EXPECT_EQ(p.value(), 6);
    for (int i = 0; i < BLOCK_SAMPLES; ++i) {
        int16_t s;
        std::memcpy(&s, p.payload + 2 * i, 2);
        EXPECT_EQ(s, speech[size_t(i)] < 0 ? -1 : 0);
    }
}

TEST_F(LineThreadsTest, FailedSendEndsTheLine) {
    LineRecord& r = openLine(false);
    startSender();
    ::close(fds[1]);
    fds[1] = -1;
    std::vector<int16_t> speech = ramp(1, 0);
    giveBlock(speech.data(), 1);
    ASSERT_TRUE(eventually([&] { return r.ending.load() != 0; }));
}

// Answers the incoming-call question with Yes, while the caller's ID arrives during the question.
class LateIdDialogs : public Dialogs {
  public:
    int ask(const std::string& title, const std::string& text, DialogButtons,
            const std::atomic<uint8_t>*) override {
        asked = title + "|" + text;
        lineTable[0].peerPort = 9000;
        lineTable[0].peerId.set("Late");
        return DIALOG_YES;
    }
    std::string asked;
};

TEST_F(LineThreadsTest, AnsweredQuestionIsReportedWithTheArgumentsOfTheQuestion) {
    LateIdDialogs late;
    setDialogs(&late);
    LineRecord& r = openLine(true);
    r.port = 40000;
    allowThread(0);
    setDialogs(nullptr);
    EXPECT_EQ(late.asked, "Incoming Call|Accept Call From 127.0.0.1 40000 []\n");
    EXPECT_EQ(console.count("Accepted Call From 127.0.0.1 40000 []\n"), 1);
    EXPECT_EQ(r.active.load(), 1);
    EXPECT_EQ(r.accepted.load(), 1);
}

// A real outgoing call on loopback that the callee forwards: the call goes on at the new
// address, and the old line, though marked for redial, is not dialled again (a redial would be
// forwarded once more and reach the destination twice).
TEST(ForwardedCallTest, ForwardedLineMarkedForRedialIsNotDialledAgain) {
    resetSettings();
    resetLineTable();
    resetLineHistory();
    resetOutput();
    resetStartupState();
    FakeConsole console;
    attachConsole(&console);
    test::ScriptedPeer forwarder;
    test::ScriptedPeer destination;
    int forwarderPort = forwarder.listen();
    int destinationPort = destination.listen();
    ASSERT_NE(forwarderPort, 0);
    ASSERT_NE(destinationPort, 0);

    ASSERT_EQ(placeCall("127.0.0.1", forwarderPort, "pw", 1), 0);
    ASSERT_TRUE(forwarder.accept());
    ASSERT_TRUE(forwarder.sendText(PKT_FORWARD, destinationPort, "127.0.0.1"));
    ASSERT_TRUE(destination.accept());
    forwarder.close();
    EXPECT_FALSE(forwarder.accept(1500));
    EXPECT_TRUE(eventually([&] { return linesInUse() == 1; }));

    std::string printed = console.text();
    EXPECT_EQ(
        console.count("Call Forwarded to: 127.0.0.1 " + std::to_string(destinationPort) + " pw\n"),
        1);
    EXPECT_EQ(printed.find("Call #0 Disconnected\n"), std::string::npos);

    for (auto& r : lineTable) {
        r.autoRetry = 0;
        if (r.inUse) r.ending |= 1;
    }
    EXPECT_TRUE(eventually([] { return linesInUse() == 0; }, 8000));
    reapThreads();
    attachConsole(nullptr);
}

} // namespace
} // namespace tc
