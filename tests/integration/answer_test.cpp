// Copies answering calls on loopback: the incoming-call question, blocked and forwarded calls,
// the ninth call, a conference server, and hang-ups from either side.
#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

#include "core/packet_parse.h"
#include "audio/audio_period.h"
#include "support/program_copy.h"
#include "support/scripted_peer.h"

namespace tc::test {
namespace {

using Block = std::vector<int16_t>;

void pauseMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string callLine(const ProgramCopy& to, const std::string& password = "") {
    std::string line = "Call 127.0.0.1 " + to.portText();
    if (!password.empty()) line += " " + password;
    return line;
}

// Starts a copy and waits until it listens.
void startCopy(ProgramCopy& copy, CopySetup setup) {
    ASSERT_TRUE(copy.start(setup));
    ASSERT_TRUE(copy.waitReady()) << describe(copy);
}

CopySetup setupFor(const std::string& id, std::vector<std::string> options = {},
                   std::string password = "") {
    CopySetup s;
    s.id = id;
    s.options = std::move(options);
    s.password = std::move(password);
    return s;
}

// Where each played block was captured: its index among the sent blocks, -1 for none.
std::vector<long> sentIndexes(const std::vector<Block>& played, const std::vector<Block>& sent) {
    std::vector<long> at;
    for (const Block& b : played) {
        auto it = std::find(sent.begin(), sent.end(), b);
        at.push_back(it == sent.end() ? -1L : long(it - sent.begin()));
    }
    return at;
}

// Every played block is one of the sent ones, never earlier than the one before (a hub may give
// the same block twice when the other line is late).
bool playedInOrder(const std::vector<long>& at) {
    for (size_t i = 0; i < at.size(); ++i)
        if (at[i] < 0 || (i > 0 && at[i] < at[i - 1])) return false;
    return true;
}

std::string listed(const std::vector<long>& at) {
    std::string text;
    for (long i : at)
        text += " " + std::to_string(i);
    return text;
}

size_t blocksFrom(const std::vector<Block>& played, const std::vector<Block>& sent) {
    return static_cast<size_t>(std::count_if(played.begin(), played.end(), [&](const Block& b) {
        return std::find(sent.begin(), sent.end(), b) != sent.end();
    }));
}

TEST(AnswerTest, QuestionAnsweredNoThenYesAndTheCalleeHangsUp) {
    TempDir dir;
    ProgramCopy bob(dir, "bob", TC_PROGRAM), alice(dir, "alice", TC_PROGRAM);
    startCopy(bob, setupFor("Bob"));
    startCopy(alice, setupFor("Alice"));
    const std::string from = "127.0.0.1 " + alice.portText() + " [Alice]\n";

    ASSERT_TRUE(alice.type(callLine(bob)));
    ASSERT_TRUE(bob.waitFor("Incoming Call #0 From " + from)) << describe(bob);
    ASSERT_TRUE(bob.waitFor("Incoming Call: Accept Call From " + from)) << describe(bob);
    ASSERT_TRUE(bob.type("N"));
    ASSERT_TRUE(bob.waitFor("Rejected Call From " + from)) << describe(bob);
    ASSERT_TRUE(bob.waitFor("Call #0 Disconnected\n")) << describe(bob);
    ASSERT_TRUE(alice.waitFor("Call #0 Disconnected\n")) << describe(alice);
    EXPECT_EQ(alice.count("Call Accepted"), 0u);
    EXPECT_TRUE(bob.waitCalls(0));
    EXPECT_TRUE(alice.waitCalls(0));

    ASSERT_TRUE(alice.type(callLine(bob)));
    ASSERT_TRUE(bob.waitFor("Incoming Call: Accept Call From " + from)) << describe(bob);
    ASSERT_TRUE(bob.type("y"));
    ASSERT_TRUE(bob.waitFor("Accepted Call From " + from)) << describe(bob);
    ASSERT_TRUE(alice.waitFor("Call Accepted\n")) << describe(alice);
    // While the question waited, the alert tone went to the speaker.
    Block tone(TEST_BLOCK);
    fillToneBlock(tone.data());
    std::vector<Block> played = toBlocks(readWav(bob.playbackPath()));
    EXPECT_NE(std::find(played.begin(), played.end(), tone), played.end());

    ASSERT_TRUE(bob.type("Drop 0"));
    ASSERT_TRUE(bob.waitFor("Call #0 Disconnected\n")) << describe(bob);
    ASSERT_TRUE(alice.waitFor("Call #0 Disconnected\n")) << describe(alice);
    EXPECT_TRUE(bob.waitCalls(0));
    EXPECT_TRUE(alice.waitCalls(0));
    EXPECT_FALSE(bob.process().sanitizerReported()) << bob.process().errors();
    EXPECT_FALSE(alice.process().sanitizerReported()) << alice.process().errors();
}

TEST(AnswerTest, CallerHangsUpAndBothLinesAreFreed) {
    TempDir dir;
    ProgramCopy bob(dir, "bob", TC_PROGRAM), alice(dir, "alice", TC_PROGRAM);
    startCopy(bob, setupFor("Bob", {}, "pw"));
    startCopy(alice, setupFor("Alice"));
    ASSERT_TRUE(alice.type(callLine(bob, "pw")));
    ASSERT_TRUE(alice.waitFor("Call Accepted\n")) << describe(alice);
    EXPECT_EQ(bob.callsInUse(), 1);
    ASSERT_TRUE(alice.type("Drop 0"));
    ASSERT_TRUE(alice.waitFor("Call #0 Disconnected\n")) << describe(alice);
    ASSERT_TRUE(bob.waitFor("Call #0 Disconnected\n")) << describe(bob);
    EXPECT_TRUE(alice.waitCalls(0));
    EXPECT_TRUE(bob.waitCalls(0));
    // A dropped call is not redialled.
    pauseMs(500);
    EXPECT_EQ(bob.count("Accepted Call"), 1u);
}

TEST(AnswerTest, BlockedCallsGetTheMessageOrNothing) {
    TempDir dir;
    ProgramCopy bob(dir, "bob", TC_PROGRAM), alice(dir, "alice", TC_PROGRAM);
    startCopy(bob, setupFor("Bob", {"/B", "Not now"}));
    startCopy(alice, setupFor("Alice"));
    EXPECT_EQ(bob.udpQuery("P"), "Blk=1 Hub=0 Calls=0\n");

    ASSERT_TRUE(alice.type(callLine(bob)));
    ASSERT_TRUE(alice.waitFor("Message From #0:  Not now\n")) << describe(alice);
    ASSERT_TRUE(alice.waitFor("Call #0 Disconnected\n")) << describe(alice);
    ASSERT_TRUE(bob.waitFor("Call Disconnected\n")) << describe(bob);
    EXPECT_EQ(bob.callsInUse(), 0);
    EXPECT_EQ(bob.count("Incoming Call"), 0u);

    ASSERT_TRUE(bob.type("Reply"));
    ASSERT_TRUE(alice.waitCalls(0));
    ASSERT_TRUE(alice.type(callLine(bob)));
    ASSERT_TRUE(alice.waitFor("Call #0 Disconnected\n")) << describe(alice);
    ASSERT_TRUE(bob.waitFor("Call Disconnected\n")) << describe(bob);
    EXPECT_EQ(alice.count("Message From"), 1u);
    EXPECT_EQ(alice.count("Call Accepted"), 0u);
}

TEST(AnswerTest, ForwardedCallerEndsUpOnTheThirdCopy) {
    TempDir dir;
    ProgramCopy carol(dir, "carol", TC_PROGRAM), bob(dir, "bob", TC_PROGRAM),
        alice(dir, "alice", TC_PROGRAM);
    startCopy(carol, setupFor("Carol", {}, "pw"));
    startCopy(bob, setupFor("Bob", {"/F", "127.0.0.1", carol.portText()}));
    startCopy(alice, setupFor("Alice"));

    ASSERT_TRUE(alice.type(callLine(bob, "pw")));
    ASSERT_TRUE(alice.waitFor("Call Forwarded to: 127.0.0.1 " + carol.portText() + " pw\n"))
        << describe(alice);
    ASSERT_TRUE(
        carol.waitFor("Accepted Call #0 From 127.0.0.1 " + alice.portText() + " [Alice] [*]\n"))
        << describe(carol);
    ASSERT_TRUE(alice.waitFor("Call Accepted\n")) << describe(alice);
    ASSERT_TRUE(bob.waitFor("Incoming Call Forwarded to: 127.0.0.1 " + carol.portText() + "\n"))
        << describe(bob);
    EXPECT_TRUE(bob.sees("Incoming Call From 127.0.0.1 ")) << describe(bob);
    ASSERT_TRUE(bob.waitFor("Call Disconnected\n")) << describe(bob);
    // The old line is given back quietly; the call goes on with Carol on the next line.
    EXPECT_TRUE(alice.waitCalls(1));
    EXPECT_EQ(alice.count("Call #0 Disconnected"), 0u) << describe(alice);
    EXPECT_EQ(carol.callsInUse(), 1);
    EXPECT_EQ(bob.callsInUse(), 0);
    ASSERT_TRUE(alice.type("Drop 1"));
    ASSERT_TRUE(alice.waitFor("Call #1 Disconnected\n")) << describe(alice);
    ASSERT_TRUE(carol.waitFor("Call #0 Disconnected\n")) << describe(carol);
}

TEST(AnswerTest, NinthCallIsRefusedBothWays) {
    TempDir dir;
    ProgramCopy bob(dir, "bob", TC_PROGRAM);
    startCopy(bob, setupFor("Bob", {}, "pw"));
    std::vector<std::unique_ptr<ScriptedPeer>> callers;
    for (int k = 0; k < 8; ++k) {
        callers.push_back(std::make_unique<ScriptedPeer>());
        ASSERT_TRUE(callers.back()->connectTo(bob.port()));
        ASSERT_TRUE(
            callers.back()->send(buildIdPacket("Caller" + std::to_string(k), "pw", "", 20000 + k)));
        ASSERT_TRUE(bob.waitFor("Accepted Call #" + std::to_string(k) + " From 127.0.0.1 " +
                                std::to_string(20000 + k) + " [Caller" + std::to_string(k) +
                                "] [*]\n"))
            << describe(bob);
    }
    EXPECT_EQ(bob.callsInUse(), 8);

    ScriptedPeer ninth;
    ASSERT_TRUE(ninth.connectTo(bob.port()));
    Packet p;
    ASSERT_TRUE(ninth.receive(p));
    EXPECT_EQ(p.type(), PKT_VERSION);
    ASSERT_TRUE(ninth.receive(p));
    EXPECT_EQ(p.type(), PKT_MESSAGE);
    EXPECT_EQ(p.value(), 1);
    EXPECT_STREQ(p.text(), "Destination Full - Cannot Complete Call");
    EXPECT_TRUE(ninth.waitClosed());
    ASSERT_TRUE(bob.waitFor("Max Number of Connections Exceeded - Call Disconnected\n"))
        << describe(bob);
    EXPECT_EQ(bob.callsInUse(), 8);

    ScriptedPeer listener;
    int port = listener.listen();
    ASSERT_TRUE(bob.type("Call 127.0.0.1 " + std::to_string(port)));
    ASSERT_TRUE(bob.waitFor("Maximum Number of Connections Exceeded\n")) << describe(bob);
    EXPECT_FALSE(listener.accept(300));
    EXPECT_EQ(bob.callsInUse(), 8);
}

TEST(AnswerTest, ServerCallersHearEachOtherAndNotTheServer) {
    TempDir dir;
    ProgramCopy server(dir, "server", TC_PROGRAM), alice(dir, "alice", TC_PROGRAM),
        bob(dir, "bob", TC_PROGRAM);
    CopySetup s = setupFor("Hub", {"/S"});
    s.capture = speechSignal(300, 9);
    startCopy(server, s);
    CopySetup a = setupFor("Alice");
    a.capture = speechSignal(300, 1);
    startCopy(alice, a);
    CopySetup b = setupFor("Bob");
    b.capture = speechSignal(300, 2);
    startCopy(bob, b);

    ASSERT_TRUE(alice.type(callLine(server)));
    ASSERT_TRUE(
        server.waitFor("Accepted Call #0 From 127.0.0.1 " + alice.portText() + " [Alice]\n"))
        << describe(server);
    ASSERT_TRUE(alice.waitFor("Active Connections on Server:\n")) << describe(alice);
    ASSERT_TRUE(bob.type(callLine(server)));
    ASSERT_TRUE(server.waitFor("Accepted Call #1 From 127.0.0.1 " + bob.portText() + " [Bob]\n"))
        << describe(server);
    char aliceRow[64], bobRow[64];
    std::snprintf(aliceRow, sizeof(aliceRow), "%15s  %5d  [%s]\n", "127.0.0.1", alice.port(),
                  "Alice");
    std::snprintf(bobRow, sizeof(bobRow), "%15s  %5d  [%s]\n", "127.0.0.1", bob.port(), "Bob");
    const std::string both = std::string("Active Connections on Server:\n") + aliceRow + bobRow;
    ASSERT_TRUE(bob.waitFor(both)) << describe(bob);
    ASSERT_TRUE(alice.waitFor(both)) << describe(alice);
    EXPECT_EQ(server.count("Incoming Call: "), 0u) << "a server never asks";
    pauseMs(3000);

    std::vector<Block> serverSent = toBlocks(readWav(server.capturePath()));
    std::vector<Block> aliceSent = toBlocks(readWav(alice.capturePath()));
    std::vector<Block> bobSent = toBlocks(readWav(bob.capturePath()));
    std::vector<Block> aliceHeard = soundBlocks(readWav(alice.playbackPath()));
    std::vector<Block> bobHeard = soundBlocks(readWav(bob.playbackPath()));
    EXPECT_GE(blocksFrom(aliceHeard, bobSent), 20u);
    EXPECT_GE(blocksFrom(bobHeard, aliceSent), 20u);
    std::vector<long> aliceFrom = sentIndexes(aliceHeard, bobSent);
    std::vector<long> bobFrom = sentIndexes(bobHeard, aliceSent);
    EXPECT_TRUE(playedInOrder(aliceFrom)) << listed(aliceFrom);
    EXPECT_TRUE(playedInOrder(bobFrom)) << listed(bobFrom);
    EXPECT_EQ(blocksFrom(aliceHeard, serverSent), 0u);
    EXPECT_EQ(blocksFrom(bobHeard, serverSent), 0u);
    // Nobody on the server talks with its own user.
    EXPECT_TRUE(soundBlocks(readWav(server.playbackPath())).empty());
    EXPECT_EQ(server.udpQuery("P"), "Blk=0 Hub=2 Calls=2\n");
}

} // namespace
} // namespace tc::test
