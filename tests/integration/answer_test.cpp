// Copies answering calls on loopback: the incoming-call question, hang-ups from either side,
// blocked and forwarded calls, a conference server, and speech carried both ways.
#include "audio/audio_period.h"
#include "copies.h"

namespace tc::test {
namespace {

using AnswerTest = Copies;

// The call on line 0 of both copies ended and both have no line in use.
bool bothEnded(ProgramCopy& a, ProgramCopy& b) {
    return says(a, "Call #0 Disconnected\n") && says(b, "Call #0 Disconnected\n") &&
           a.waitCalls(0) && b.waitCalls(0);
}

// Two copies on loopback with file audio: a call accepted by its password carries speech both
// ways, uncompressed and at each compression level, and what each side plays is what the codec
// makes of what the other side captured, in capture order. Compressed, the caller uses the
// closed-loop encoders and the called copy the reference ones: each plays what the other sends.
// The compression the caller asks for.
class SpeechTest : public Copies, public ::testing::WithParamInterface<int> {};

TEST_P(SpeechTest, PasswordCallCarriesSpeechBothWays) {
    const int code = GetParam();
    ASSERT_TRUE(startCopy(bob, {.id = "Bob",
                                .password = "secret",
                                .options = {"--encoder=reference", "/T"},
                                .capture = speechSignal(400, 2)}));
    const char* level = code == COMP_LOW ? "/CL" : code == COMP_MEDIUM ? "/CM" : "/CH";
    ASSERT_TRUE(alice.start({.options = std::vector<std::string>(code != COMP_NONE, level),
                             .commands = {"-" + callLine(bob, "secret")},
                             .capture = speechSignal(400, 1)}));
    ASSERT_TRUE(says(alice, "Connected\n") && says(alice, "Call Accepted\n"));
    ASSERT_TRUE(
        says(bob, "Accepted Call #0 From 127.0.0.1 " + alice.portText() + " [Alice] [*]\n"));
    EXPECT_TRUE(code == COMP_NONE || bob.sees("0: Switched to Compressed Mode\n")) << describe(bob);
    // About two seconds of speech reach each side.
    auto heard = [](ProgramCopy& copy) { return soundBlocks(readWav(copy.playbackPath())).size(); };
    ASSERT_TRUE(eventually([&] { return heard(alice) >= 30 && heard(bob) >= 30; }, 20000))
        << heard(alice) << " and " << heard(bob) << " blocks heard";

    // Bob ends by himself (/T) once Alice's call is gone.
    EXPECT_EQ(alice.quit(), 0) << describe(alice);
    EXPECT_EQ(bob.process().waitExit(15000), 0) << describe(bob);
    for (auto [from, to] : {std::pair{&alice, &bob}, std::pair{&bob, &alice}}) {
        size_t matched =
            matchesInOrder(*to, playable(readWav(from->capturePath()), code, from == &alice));
        // Uncompressed, every played block is a captured one. Compressed, a block right after a
        // shift of the stream can differ; all others are the codec's exact result.
        EXPECT_GE(matched * 10, heard(*to) * (code == COMP_NONE ? 10 : 9))
            << matched << " of " << heard(*to) << " in " << to->playbackPath();
    }
}

const char* const LEVELS[] = {"Raw", "Low", "Medium", "High"};
INSTANTIATE_TEST_SUITE_P(Levels, SpeechTest,
                         ::testing::Values(COMP_NONE, COMP_LOW, COMP_MEDIUM, COMP_HIGH),
                         [](const auto& level) { return std::string(LEVELS[level.index]); });

TEST_F(AnswerTest, QuestionAnsweredNoThenYesAndEitherSideHangsUp) {
    ASSERT_TRUE(startCopy(bob, {.id = "Bob", .password = "pw"}) && startCopy(alice, {}));
    const std::string from = "127.0.0.1 " + alice.portText() + " [Alice]";

    ASSERT_TRUE(alice.type(callLine(bob)) && says(bob, "Incoming Call #0 From " + from + "\n"));
    ASSERT_TRUE(says(bob, "Incoming Call: Accept Call From " + from + "\n") && bob.type("N"));
    ASSERT_TRUE(says(bob, "Rejected Call From " + from + "\n") && bothEnded(bob, alice));
    EXPECT_EQ(alice.count("Call Accepted"), 0u);

    ASSERT_TRUE(alice.type(callLine(bob)));
    ASSERT_TRUE(says(bob, "Incoming Call: Accept Call From " + from + "\n") && bob.type("y"));
    ASSERT_TRUE(says(bob, "Accepted Call From " + from + "\n") && says(alice, "Call Accepted\n"));
    // While the question waited, the alert tone went to the speaker.
    Block tone(TEST_BLOCK);
    fillToneBlock(tone.data());
    EXPECT_EQ(playable(readWav(bob.playbackPath())).count(tone), 1u);
    ASSERT_TRUE(bob.type("Drop 0") && bothEnded(bob, alice)); // the callee hangs up

    // With the password nothing is asked; now the caller hangs up.
    ASSERT_TRUE(alice.type(callLine(bob, "pw")) &&
                says(bob, "Accepted Call #0 From " + from + " [*]\n"));
    ASSERT_TRUE(says(alice, "Call Accepted\n") && alice.type("Drop 0") && bothEnded(alice, bob));
    EXPECT_EQ(bob.count("Incoming Call: "), 2u);
}

TEST_F(AnswerTest, BlockedCallsGetTheMessageOrNothing) {
    ASSERT_TRUE(startCopy(bob, {.id = "Bob", .options = {"/B", "Not now"}}) &&
                startCopy(alice, {}));

    ASSERT_TRUE(alice.type(callLine(bob)) && says(alice, "Message From #0:  Not now\n"));
    ASSERT_TRUE(says(alice, "Call #0 Disconnected\n") && says(bob, "Call Disconnected\n"));
    EXPECT_TRUE(bob.waitCalls(0));
    EXPECT_EQ(bob.count("Incoming Call"), 0u);

    // "Reply" without a text: blocked callers are cut off without a message.
    ASSERT_TRUE(bob.type("Reply") && alice.waitCalls(0) && alice.type(callLine(bob)));
    ASSERT_TRUE(says(alice, "Call #0 Disconnected\n") && says(bob, "Call Disconnected\n"));
    EXPECT_EQ(alice.count("Message From") * 10 + alice.count("Call Accepted"), 10u);
}

TEST_F(AnswerTest, ForwardedCallerEndsUpOnTheThirdCopy) {
    ASSERT_TRUE(startCopy(carol, {.id = "Carol", .password = "pw"}) && startCopy(alice, {}));
    ASSERT_TRUE(startCopy(bob, {.id = "Bob", .options = {"/F", "127.0.0.1", carol.portText()}}));
    const std::string to = "Forwarded to: 127.0.0.1 " + carol.portText();

    ASSERT_TRUE(alice.type(callLine(bob, "pw")) && says(alice, "Call " + to + " pw\n"));
    ASSERT_TRUE(
        says(carol, "Accepted Call #0 From 127.0.0.1 " + alice.portText() + " [Alice] [*]\n"));
    ASSERT_TRUE(says(alice, "Call Accepted\n") && says(bob, "Incoming Call " + to + "\n"));
    // The old line is given back quietly; the call goes on with Carol on the next line.
    EXPECT_TRUE(bob.waitCalls(0) && alice.waitCalls(1));
    EXPECT_EQ(alice.count("Call #0 Disconnected"), 0u) << describe(alice);
    ASSERT_TRUE(alice.type("Drop 1") && says(alice, "Call #1 Disconnected\n") &&
                says(carol, "Call #0 Disconnected\n"));
}

TEST_F(AnswerTest, ServerCallersHearEachOtherAndNotTheServer) {
    ASSERT_TRUE(
        startCopy(server, {.id = "Hub", .options = {"/S"}, .capture = speechSignal(300, 9)}) &&
        startCopy(alice, {.capture = speechSignal(300, 1)}) &&
        startCopy(bob, {.id = "Bob", .capture = speechSignal(300, 2)}));
    ASSERT_TRUE(alice.type(callLine(server)) &&
                says(server, "Accepted Call #0 From 127.0.0.1 " + alice.portText() + " [Alice]\n"));
    ASSERT_TRUE(says(alice, "Active Connections on Server:\n") && bob.type(callLine(server)));
    ASSERT_TRUE(says(server, "Accepted Call #1 From 127.0.0.1 " + bob.portText() + " [Bob]\n"));
    // Test ports have five digits: the rows' "%15s  %5d  [%s]" leave no room for doubt.
    const std::string both = "Active Connections on Server:\n      127.0.0.1  " + alice.portText() +
                             "  [Alice]\n      127.0.0.1  " + bob.portText() + "  [Bob]\n";
    ASSERT_TRUE(says(bob, both) && says(alice, both));
    EXPECT_EQ(server.count("Incoming Call: "), 0u) << "a server never asks";

    // What each caller may hear: the other caller's speech, in order (a hub may give a block
    // twice when the other line is late), never the server's microphone.
    const auto fromAlice = playable(readWav(alice.capturePath()));
    const auto fromBob = playable(readWav(bob.capturePath()));
    EXPECT_TRUE(eventually(
        [&] {
            return matchesInOrder(alice, fromBob, true) >= 20 &&
                   matchesInOrder(bob, fromAlice, true) >= 20;
        },
        20000));
    EXPECT_EQ(server.udpQuery("P"), "Blk=0 Hub=2 Calls=2\n");
    ASSERT_TRUE(alice.quit() == 0 && bob.quit() == 0 && server.quit() == 0);

    for (auto [to, from] : {std::pair{&alice, &fromBob}, std::pair{&bob, &fromAlice}})
        EXPECT_EQ(matchesInOrder(*to, *from, true), soundBlocks(readWav(to->playbackPath())).size())
            << to->playbackPath();
    EXPECT_TRUE(soundBlocks(readWav(server.playbackPath())).empty()); // nothing reaches the server
}

} // namespace
} // namespace tc::test
