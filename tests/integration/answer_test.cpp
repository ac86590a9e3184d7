// Copies answering calls on loopback: the incoming-call question, hang-ups from either side,
// blocked and forwarded calls, the ninth call and a conference server.
#include <algorithm>

#include "audio/audio_period.h"
#include "copies.h"
#include "core/packet_parse.h"
#include "support/scripted_peer.h"

namespace tc::test {
namespace {

using Block = std::vector<int16_t>;

std::string callLine(const ProgramCopy& to, const std::string& password = "") {
    return "Call 127.0.0.1 " + to.portText() + (password.empty() ? "" : " " + password);
}

// The call on line 0 of both copies ended and both have no line in use.
bool bothEnded(ProgramCopy& a, ProgramCopy& b) {
    return says(a, "Call #0 Disconnected\n") && says(b, "Call #0 Disconnected\n") &&
           a.waitCalls(0) && b.waitCalls(0);
}

// The played blocks that are blocks of `sent`, as indexes into it.
std::vector<long> sentIndexes(const std::vector<Block>& played, const std::vector<Block>& sent) {
    std::vector<long> at;
    for (const Block& b : played) {
        auto it = std::find(sent.begin(), sent.end(), b);
        if (it != sent.end()) at.push_back(long(it - sent.begin()));
    }
    return at;
}

TEST(AnswerTest, QuestionAnsweredNoThenYesAndEitherSideHangsUp) {
    TempDir dir;
    ProgramCopy bob(dir, "bob", TC_PROGRAM), alice(dir, "alice", TC_PROGRAM);
    ASSERT_TRUE(startCopy(bob, "Bob", {}, "pw") && startCopy(alice, "Alice"));
    const std::string from = "127.0.0.1 " + alice.portText() + " [Alice]";

    ASSERT_TRUE(alice.type(callLine(bob)));
    ASSERT_TRUE(says(bob, "Incoming Call #0 From " + from + "\n"));
    ASSERT_TRUE(says(bob, "Incoming Call: Accept Call From " + from + "\n"));
    ASSERT_TRUE(bob.type("N"));
    ASSERT_TRUE(says(bob, "Rejected Call From " + from + "\n"));
    ASSERT_TRUE(bothEnded(bob, alice));
    EXPECT_EQ(alice.count("Call Accepted"), 0u);

    ASSERT_TRUE(alice.type(callLine(bob)));
    ASSERT_TRUE(says(bob, "Incoming Call: Accept Call From " + from + "\n"));
    ASSERT_TRUE(bob.type("y"));
    ASSERT_TRUE(says(bob, "Accepted Call From " + from + "\n") && says(alice, "Call Accepted\n"));
    // While the question waited, the alert tone went to the speaker.
    Block tone(TEST_BLOCK);
    fillToneBlock(tone.data());
    std::vector<Block> played = toBlocks(readWav(bob.playbackPath()));
    EXPECT_NE(std::find(played.begin(), played.end(), tone), played.end());
    ASSERT_TRUE(bob.type("Drop 0")); // the callee hangs up
    ASSERT_TRUE(bothEnded(bob, alice));

    // With the password nothing is asked; now the caller hangs up.
    ASSERT_TRUE(alice.type(callLine(bob, "pw")));
    ASSERT_TRUE(says(bob, "Accepted Call #0 From " + from + " [*]\n"));
    ASSERT_TRUE(says(alice, "Call Accepted\n") && alice.type("Drop 0"));
    ASSERT_TRUE(bothEnded(alice, bob));
    EXPECT_EQ(bob.count("Incoming Call: "), 2u);
}

TEST(AnswerTest, BlockedCallsGetTheMessageOrNothing) {
    TempDir dir;
    ProgramCopy bob(dir, "bob", TC_PROGRAM), alice(dir, "alice", TC_PROGRAM);
    ASSERT_TRUE(startCopy(bob, "Bob", {"/B", "Not now"}) && startCopy(alice, "Alice"));

    ASSERT_TRUE(alice.type(callLine(bob)));
    ASSERT_TRUE(says(alice, "Message From #0:  Not now\n"));
    ASSERT_TRUE(says(alice, "Call #0 Disconnected\n") && says(bob, "Call Disconnected\n"));
    EXPECT_TRUE(bob.waitCalls(0));
    EXPECT_EQ(bob.count("Incoming Call"), 0u);

    // "Reply" without a text: blocked callers are cut off without a message.
    ASSERT_TRUE(bob.type("Reply") && alice.waitCalls(0));
    ASSERT_TRUE(alice.type(callLine(bob)));
    ASSERT_TRUE(says(alice, "Call #0 Disconnected\n") && says(bob, "Call Disconnected\n"));
    EXPECT_EQ(alice.count("Message From"), 1u);
    EXPECT_EQ(alice.count("Call Accepted"), 0u);
}

TEST(AnswerTest, ForwardedCallerEndsUpOnTheThirdCopy) {
    TempDir dir;
    ProgramCopy carol(dir, "carol", TC_PROGRAM), bob(dir, "bob", TC_PROGRAM),
        alice(dir, "alice", TC_PROGRAM);
    ASSERT_TRUE(startCopy(carol, "Carol", {}, "pw") && startCopy(alice, "Alice"));
    ASSERT_TRUE(startCopy(bob, "Bob", {"/F", "127.0.0.1", carol.portText()}));

    ASSERT_TRUE(alice.type(callLine(bob, "pw")));
    ASSERT_TRUE(says(alice, "Call Forwarded to: 127.0.0.1 " + carol.portText() + " pw\n"));
    ASSERT_TRUE(
        says(carol, "Accepted Call #0 From 127.0.0.1 " + alice.portText() + " [Alice] [*]\n"));
    ASSERT_TRUE(says(alice, "Call Accepted\n"));
    ASSERT_TRUE(says(bob, "Incoming Call Forwarded to: 127.0.0.1 " + carol.portText() + "\n"));
    // The old line is given back quietly; the call goes on with Carol on the next line.
    EXPECT_TRUE(bob.waitCalls(0) && alice.waitCalls(1));
    EXPECT_EQ(alice.count("Call #0 Disconnected"), 0u) << describe(alice);
    ASSERT_TRUE(alice.type("Drop 1"));
    ASSERT_TRUE(says(alice, "Call #1 Disconnected\n") && says(carol, "Call #0 Disconnected\n"));
}

TEST(AnswerTest, NinthCallerHearsDestinationFull) {
    TempDir dir;
    ProgramCopy bob(dir, "bob", TC_PROGRAM);
    ASSERT_TRUE(startCopy(bob, "Bob", {}, "pw"));
    ScriptedPeer callers[8];
    for (int k = 0; k < 8; ++k) {
        ASSERT_TRUE(callers[k].connectTo(bob.port()));
        ASSERT_TRUE(callers[k].send(buildIdPacket("Caller", "pw", "", 20000 + k)));
        ASSERT_TRUE(says(bob, "Accepted Call #" + std::to_string(k) + " From"));
    }
    ScriptedPeer ninth;
    ASSERT_TRUE(ninth.connectTo(bob.port()));
    Packet p;
    ASSERT_TRUE(ninth.receiveType(PKT_MESSAGE, p));
    EXPECT_EQ(p.value(), 1);
    EXPECT_STREQ(p.text(), "Destination Full - Cannot Complete Call");
    EXPECT_TRUE(ninth.waitClosed());
    ASSERT_TRUE(says(bob, "Max Number of Connections Exceeded - Call Disconnected\n"));
    EXPECT_EQ(bob.callsInUse(), 8);
}

TEST(AnswerTest, ServerCallersHearEachOtherAndNotTheServer) {
    TempDir dir;
    ProgramCopy server(dir, "server", TC_PROGRAM), alice(dir, "alice", TC_PROGRAM),
        bob(dir, "bob", TC_PROGRAM);
    ASSERT_TRUE(startCopy(server, "Hub", {"/S"}, "", speechSignal(300, 9)) &&
                startCopy(alice, "Alice", {}, "", speechSignal(300, 1)) &&
                startCopy(bob, "Bob", {}, "", speechSignal(300, 2)));
    ASSERT_TRUE(alice.type(callLine(server)));
    ASSERT_TRUE(says(server, "Accepted Call #0 From 127.0.0.1 " + alice.portText() + " [Alice]\n"));
    ASSERT_TRUE(says(alice, "Active Connections on Server:\n") && bob.type(callLine(server)));
    ASSERT_TRUE(says(server, "Accepted Call #1 From 127.0.0.1 " + bob.portText() + " [Bob]\n"));
    char rows[128];
    std::snprintf(rows, sizeof(rows), "%15s  %5d  [Alice]\n%15s  %5d  [Bob]\n", "127.0.0.1",
                  alice.port(), "127.0.0.1", bob.port());
    const std::string both = std::string("Active Connections on Server:\n") + rows;
    ASSERT_TRUE(says(bob, both) && says(alice, both));
    EXPECT_EQ(server.count("Incoming Call: "), 0u) << "a server never asks";

    const std::vector<Block> aliceSent = toBlocks(readWav(alice.capturePath()));
    const std::vector<Block> bobSent = toBlocks(readWav(bob.capturePath()));
    auto heard = [](ProgramCopy& copy) { return soundBlocks(readWav(copy.playbackPath())); };
    // Each caller hears a good run of the other's speech.
    EXPECT_TRUE(eventually(
        [&] {
            return sentIndexes(heard(alice), bobSent).size() >= 20 &&
                   sentIndexes(heard(bob), aliceSent).size() >= 20;
        },
        20000));
    EXPECT_EQ(server.udpQuery("P"), "Blk=0 Hub=2 Calls=2\n");
    ASSERT_TRUE(alice.quit() == 0 && bob.quit() == 0 && server.quit() == 0);

    // Only the other caller's speech (never the server's microphone), in order (a hub may give a
    // block twice when the other line is late); nothing reaches the server's speaker.
    for (ProgramCopy* to : {&alice, &bob}) {
        std::vector<long> from = sentIndexes(heard(*to), to == &alice ? bobSent : aliceSent);
        EXPECT_EQ(from.size(), heard(*to).size()) << to->playbackPath();
        EXPECT_TRUE(std::is_sorted(from.begin(), from.end())) << to->playbackPath();
    }
    EXPECT_TRUE(heard(server).empty());
}

} // namespace
} // namespace tc::test
