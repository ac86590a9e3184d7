// Two copies on loopback with file audio: a call accepted by its password carries speech both
// ways, uncompressed and at each compression level, and what each side plays is what the codec
// makes of what the other side captured, in capture order. Compressed, the caller uses the
// closed-loop encoders and the called copy the reference ones: each plays what the other sends.
#include "copies.h"

namespace tc::test {
namespace {

// The compression the caller asks for.
class SpeechTest : public ::testing::TestWithParam<int> {};

TEST_P(SpeechTest, PasswordCallCarriesSpeechBothWays) {
    const int code = GetParam();
    TempDir dir;
    ProgramCopy bob(dir, "bob", TC_PROGRAM), alice(dir, "alice", TC_PROGRAM);
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

INSTANTIATE_TEST_SUITE_P(Levels, SpeechTest,
                         ::testing::Values(COMP_NONE, COMP_LOW, COMP_MEDIUM, COMP_HIGH),
                         [](const auto& test) {
                             const int c = test.param;
                             return c == COMP_NONE     ? "Raw"
                                    : c == COMP_LOW    ? "Low"
                                    : c == COMP_MEDIUM ? "Medium"
                                                       : "High";
                         });

} // namespace
} // namespace tc::test
