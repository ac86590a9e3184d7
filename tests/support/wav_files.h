#pragma once
// WAV files of 8000 Hz mono 16-bit samples for the file-backed audio of integration tests, and
// test signals to put in them.
#include <cstdint>
#include <string>
#include <vector>

namespace tc::test {

constexpr int TEST_BLOCK = 512;

// Writes the samples as an 8000 Hz mono 16-bit WAV file; false on failure.
bool writeWav(const std::string& path, const std::vector<int16_t>& samples);
// Reads every sample of a WAV file (empty when it cannot be read).
std::vector<int16_t> readWav(const std::string& path);

// A speech-like test signal: a few drifting tones with a varying loudness and a little noise,
// never silent for a whole block, different in every block. `seed` makes two copies differ.
std::vector<int16_t> speechSignal(int blocks, uint32_t seed, int peak = 12000);

// The file's samples cut into whole 512-sample blocks, those that are not silent, in order.
std::vector<std::vector<int16_t>> soundBlocks(const std::vector<int16_t>& samples);

} // namespace tc::test
