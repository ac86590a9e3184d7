#pragma once
// Starting headless copies, waiting for what they print, and telling which captured blocks a
// copy played, for the integration tests.
#include <gtest/gtest.h>
#include <map>

#include "support/coded_packet.h"
#include "support/program_copy.h"
#include "support/wait_until.h"

namespace tc::test {

using Block = std::vector<int16_t>;

// Copies of the program for one test, their files in the test's own folder; a copy the test does
// not start stays unused.
class Copies : public ::testing::Test {
  protected:
    TempDir dir;
    ProgramCopy alice{dir, "alice"}, bob{dir, "bob"}, carol{dir, "carol"}, server{dir, "server"};
};

// Waits for the process to print `text` after what was waited for before; a failure shows all
// it printed.
inline bool says(ProgramProcess& process, std::string_view text, int timeoutMs = 10000) {
    if (process.waitFor(text, timeoutMs)) return true;
    ADD_FAILURE() << "no [" << text << "]\n" << process.output() << "\n---\n" << process.errors();
    return false;
}
inline bool says(ProgramCopy& copy, std::string_view text, int timeoutMs = 10000) {
    return says(copy.process(), text, timeoutMs);
}

// Starts a copy and waits for its first prompt.
inline bool startCopy(ProgramCopy& copy, const CopySetup& setup) {
    return copy.start(setup) && says(copy, "> ");
}

// The command that calls `to` on loopback.
inline std::string callLine(const ProgramCopy& to, const std::string& password = "") {
    return "Call 127.0.0.1 " + to.portText() + (password.empty() ? "" : " " + password);
}

// Every block a receiver may play, with the capture block it stands for. Uncompressed, the
// captured blocks themselves. Compressed, for every start of a packet, the blocks of the first
// two packets decoded from zero codec memory: from the second packet on the memory no longer
// matters (the decoder's integrator forgets where it started within a few samples, and so does
// a closed-loop encoder, which keeps the decoder's state), so this covers a stream that the
// engine shifted by leaving the line out of a capture block when it ran late.
inline std::map<Block, size_t> playable(std::vector<int16_t> captured, int code = COMP_NONE,
                                        bool closedLoop = true) {
    std::map<Block, size_t> results;
    const size_t blocks = captured.size() / TEST_BLOCK, per = code == COMP_NONE ? 1 : size_t(code);
    captured.resize((blocks + 2 * per) * TEST_BLOCK); // after the file the microphone hears silence
    for (size_t first = 0; first < blocks; ++first) {
        int32_t encState = 0, decState = 0;
        for (size_t at = first; at < first + 2 * per; at += per) {
            auto from = captured.begin() + long(at * TEST_BLOCK);
            Block packet(from, from + long(per * TEST_BLOCK));
            codePacket(packet, code, closedLoop, encState, decState);
            for (size_t k = 0; k < per; ++k)
                results.emplace(Block(packet.begin() + long(k * TEST_BLOCK),
                                      packet.begin() + long((k + 1) * TEST_BLOCK)),
                                at + k);
        }
    }
    return results;
}

// How many blocks the copy played (silence left out) are blocks it may play, each from a later
// capture block than the one before (or the same one again, with `repeats`).
inline size_t matchesInOrder(const ProgramCopy& to, const std::map<Block, size_t>& results,
                             bool repeats = false) {
    size_t matched = 0, last = 0;
    for (const Block& r : soundBlocks(readWav(to.playbackPath()))) {
        auto it = results.find(r);
        if (it == results.end() || (matched > 0 && it->second + repeats <= last)) continue;
        ++matched;
        last = it->second;
    }
    return matched;
}

} // namespace tc::test
