// Two copies on loopback with file audio: a call accepted by its password carries speech both
// ways, uncompressed and at the highest compression, and what each side plays is what the codec
// makes of what the other side captured, in capture order.
#include <map>

#include "copies.h"
#include "core/codec.h"

namespace tc::test {
namespace {

using Block = std::vector<int16_t>;

// Every block a receiver may play, with the capture block it stands for. Uncompressed, the
// captured blocks themselves. Compressed, for every start of a packet, the blocks of the first
// two packets decoded from zero codec memory: from the second packet on the memory no longer
// matters (the encoder keeps the last captured sample, the decoder's integrator forgets where it
// started within a few samples), so this covers a stream that the engine shifted by leaving the
// line out of a capture block when it ran late.
std::map<Block, size_t> playable(std::vector<int16_t> captured, int code) {
    std::map<Block, size_t> results;
    const size_t blocks = captured.size() / TEST_BLOCK, per = code == COMP_NONE ? 1 : size_t(code);
    captured.resize((blocks + 2 * per) * TEST_BLOCK); // after the file the microphone hears silence
    uint8_t payload[COMP_PAYLOAD_BYTES];
    for (size_t first = 0; first < blocks; ++first) {
        int32_t encState = 0, decState = 0;
        for (size_t at = first; at < first + 2 * per; at += per) {
            auto from = captured.begin() + long(at * TEST_BLOCK);
            Block packet(from, from + long(per * TEST_BLOCK));
            if (code != COMP_NONE) {
                encodeHigh(packet.data(), payload, int(packet.size()), encState);
                decodeHigh(payload, packet.data(), int(packet.size()), decState);
            }
            for (size_t k = 0; k < per; ++k)
                results.emplace(Block(packet.begin() + long(k * TEST_BLOCK),
                                      packet.begin() + long((k + 1) * TEST_BLOCK)),
                                at + k);
        }
    }
    return results;
}

// How many played blocks are blocks the receiver may play, each from a later capture block
// than the one before.
size_t matchesInOrder(const std::vector<Block>& played, const std::map<Block, size_t>& results) {
    size_t matched = 0, last = 0;
    for (const Block& r : played) {
        auto it = results.find(r);
        if (it == results.end() || (matched > 0 && it->second <= last)) continue;
        ++matched;
        last = it->second;
    }
    return matched;
}

// The compression the caller asks for: none or the highest.
class SpeechTest : public ::testing::TestWithParam<int> {};

TEST_P(SpeechTest, PasswordCallCarriesSpeechBothWays) {
    const int code = GetParam();
    TempDir dir;
    ProgramCopy bob(dir, "bob", TC_PROGRAM);
    ProgramCopy alice(dir, "alice", TC_PROGRAM);

    ASSERT_TRUE(startCopy(bob, "Bob", {"/T"}, "secret", speechSignal(400, 2)));
    CopySetup a;
    a.capture = speechSignal(400, 1);
    if (code == COMP_HIGH) a.options = {"/CH"};
    a.commands = {"-Call 127.0.0.1 " + bob.portText() + " secret"};
    ASSERT_TRUE(alice.start(a) && says(alice, "Connected\n") && says(alice, "Call Accepted\n"));
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
    EXPECT_EQ(alice.count("Call #0 Disconnected\n"), 1u);
    EXPECT_EQ(bob.count("Call #0 Disconnected\n"), 1u);
    EXPECT_TRUE(bob.sees("No Calls Active\n", 0));

    for (auto [from, to] : {std::pair{&alice, &bob}, std::pair{&bob, &alice}}) {
        std::vector<Block> played = soundBlocks(readWav(to->playbackPath()));
        size_t matched = matchesInOrder(played, playable(readWav(from->capturePath()), code));
        // Uncompressed, every played block is a captured one. Compressed, a block right after a
        // shift of the stream can differ; all others are the codec's exact result.
        EXPECT_GE(matched * 10, played.size() * (code == COMP_NONE ? 10 : 9))
            << matched << " of " << played.size() << " in " << to->playbackPath();
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, SpeechTest, ::testing::Values(COMP_NONE, COMP_HIGH),
                         [](const auto& test) {
                             return std::string(test.param == COMP_NONE ? "Raw" : "High");
                         });

} // namespace
} // namespace tc::test
