// Two copies on loopback with file audio: a call accepted by its password carries speech both
// ways, uncompressed and at each compression level, and what each side plays is what the codec
// makes of what the other side captured.
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <ostream>
#include <thread>

#include "core/codec.h"
#include "support/program_copy.h"

namespace tc::test {
namespace {

using Block = std::vector<int16_t>;

// The blocks a receiver decodes when the sender's first packet starts at its capture block
// `first`; capture blocks past the end of the file are silence, as the capture file gives.
std::vector<Block> decodedStream(const std::vector<Block>& sent, size_t first, int code,
                                 size_t packets) {
    std::vector<Block> out;
    int32_t encState = 0, decState = 0;
    std::vector<int16_t> pending(size_t(code) * TEST_BLOCK), decoded(size_t(code) * TEST_BLOCK);
    uint8_t payload[COMP_PAYLOAD_BYTES];
    int samples = code * TEST_BLOCK;
    for (size_t p = 0; p < packets; ++p) {
        for (int k = 0; k < code; ++k) {
            size_t index = first + p * size_t(code) + size_t(k);
            int16_t* at = &pending[size_t(k) * TEST_BLOCK];
            if (index < sent.size())
                std::memcpy(at, sent[index].data(), TEST_BLOCK * 2);
            else
                std::memset(at, 0, TEST_BLOCK * 2);
        }
        if (code == COMP_LOW) {
            encodeLow(pending.data(), payload, samples);
            decodeLow(payload, decoded.data(), samples);
        } else if (code == COMP_MEDIUM) {
            encodeMedium(pending.data(), payload, samples, encState);
            decodeMedium(payload, decoded.data(), samples, decState);
        } else {
            encodeHigh(pending.data(), payload, samples, encState);
            decodeHigh(payload, decoded.data(), samples, decState);
        }
        for (int k = 0; k < code; ++k)
            out.emplace_back(decoded.begin() + k * TEST_BLOCK,
                             decoded.begin() + (k + 1) * TEST_BLOCK);
    }
    return out;
}

// How many of the received blocks are found, in their order, among the sent ones.
size_t inOrderMatches(const std::vector<Block>& received, const std::vector<Block>& sent) {
    size_t next = 0, matched = 0;
    for (const Block& r : received) {
        size_t k = next;
        while (k < sent.size() && sent[k] != r)
            ++k;
        if (k == sent.size()) continue;
        ++matched;
        next = k + 1;
    }
    return matched;
}

// Every block the codec gives a receiver for a run of captured blocks that starts at a packet
// boundary, with the capture index it stands for: for each possible start, the first two
// packets decoded from zero codec memory. From the second packet on the memory no longer
// matters (the encoder keeps the last captured sample, the decoder's integrator forgets where
// it started within a few samples), so this covers a stream that the engine shifted by leaving
// the line out of a capture block when it ran late.
std::map<Block, size_t> codecResults(const std::vector<Block>& sent, int code) {
    std::map<Block, size_t> results;
    for (size_t first = 0; first < sent.size(); ++first) {
        std::vector<Block> decoded = decodedStream(sent, first, code, 2);
        for (size_t k = 0; k < decoded.size(); ++k)
            results.emplace(decoded[k], first + k);
    }
    return results;
}

// How many received blocks are exactly what the codec gives for the captured blocks, in
// capture order.
size_t codecMatches(const std::vector<Block>& received, const std::vector<Block>& sent, int code) {
    std::map<Block, size_t> results = codecResults(sent, code);
    size_t matched = 0;
    size_t last = 0;
    for (const Block& r : received) {
        auto it = results.find(r);
        if (it == results.end() || (matched > 0 && it->second <= last)) continue;
        ++matched;
        last = it->second;
    }
    return matched;
}

struct Level {
    int code;
    const char* option; // the copy's compression option, or none
    int talkMs;         // how long the call runs once accepted
};

// Names the level in test output instead of dumping its bytes.
[[maybe_unused]] void PrintTo(const Level& level, std::ostream* os) {
    *os << "compression " << level.code;
}

class SpeechTest : public ::testing::TestWithParam<Level> {};

TEST_P(SpeechTest, PasswordCallCarriesSpeechBothWays) {
    const Level level = GetParam();
    TempDir dir;
    ProgramCopy bob(dir, "bob", TC_PROGRAM);
    ProgramCopy alice(dir, "alice", TC_PROGRAM);

    CopySetup b;
    b.id = "Bob";
    b.password = "secret";
    b.options = {"/T"};
    b.capture = speechSignal(400, 2);
    ASSERT_TRUE(bob.start(b));
    ASSERT_TRUE(bob.waitReady()) << describe(bob);

    CopySetup a;
    a.id = "Alice";
    a.capture = speechSignal(400, 1);
    if (level.option) a.options = {level.option};
    a.commands = {"-Call 127.0.0.1 " + bob.portText() + " secret"};
    ASSERT_TRUE(alice.start(a));

    ASSERT_TRUE(alice.waitFor("Connected\n")) << describe(alice);
    ASSERT_TRUE(
        bob.waitFor("Accepted Call #0 From 127.0.0.1 " + alice.portText() + " [Alice] [*]\n"))
        << describe(bob);
    if (level.code != 0) {
        EXPECT_TRUE(bob.sees("0: Switched to Compressed Mode\n")) << describe(bob);
    }
    ASSERT_TRUE(alice.waitFor("Call Accepted\n")) << describe(alice);
    std::this_thread::sleep_for(std::chrono::milliseconds(level.talkMs));

    EXPECT_EQ(alice.quit(), 0) << describe(alice);
    EXPECT_EQ(bob.process().waitExit(15000), 0) << describe(bob);
    EXPECT_EQ(alice.count("Call #0 Disconnected\n"), 1u) << describe(alice);
    EXPECT_EQ(bob.count("Call #0 Disconnected\n"), 1u) << describe(bob);
    EXPECT_TRUE(bob.sees("No Calls Active\n", 0));
    EXPECT_FALSE(alice.process().sanitizerReported()) << alice.process().errors();
    EXPECT_FALSE(bob.process().sanitizerReported()) << bob.process().errors();

    struct Direction {
        ProgramCopy& from;
        ProgramCopy& to;
    };
    for (Direction d : {Direction{alice, bob}, Direction{bob, alice}}) {
        std::vector<Block> sent = toBlocks(readWav(d.from.capturePath()));
        std::vector<Block> played = soundBlocks(readWav(d.to.playbackPath()));
        SCOPED_TRACE(d.from.capturePath() + " -> " + d.to.playbackPath());
        // At least two seconds of speech went through.
        ASSERT_GE(played.size(), 30u);
        if (level.code == COMP_NONE) {
            EXPECT_EQ(inOrderMatches(played, sent), played.size())
                << "every played block is a captured block, in order";
        } else {
            // A block right after a shift of the stream can differ; all others are the codec's
            // exact result.
            size_t matched = codecMatches(played, sent, level.code);
            EXPECT_GE(matched * 10, played.size() * 9) << matched << " of " << played.size();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, SpeechTest,
                         ::testing::Values(Level{COMP_NONE, nullptr, 2500},
                                           Level{COMP_LOW, "/CL", 2500},
                                           Level{COMP_MEDIUM, "/CM", 3000},
                                           Level{COMP_HIGH, "/CH", 4500}),
                         [](const auto& test) {
                             switch (test.param.code) {
                             case COMP_NONE:
                                 return std::string("Raw");
                             case COMP_LOW:
                                 return std::string("Low");
                             case COMP_MEDIUM:
                                 return std::string("Medium");
                             default:
                                 return std::string("High");
                             }
                         });

} // namespace
} // namespace tc::test
