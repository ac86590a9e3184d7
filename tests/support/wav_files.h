#pragma once
// WAV files of 8000 Hz mono 16-bit samples for the file-backed audio of integration tests, and
// test signals to put in them.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <sndfile.h>
#include <string>
#include <vector>

namespace tc::test {

constexpr int TEST_BLOCK = 512;

// Writes the samples as an 8000 Hz mono 16-bit WAV file; false on failure.
inline bool writeWav(const std::string& path, const std::vector<int16_t>& samples) {
    SF_INFO info{0, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) return false;
    sf_count_t n = sf_write_short(f, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(f);
    return n == static_cast<sf_count_t>(samples.size());
}

// Reads every sample of a WAV file (empty when it cannot be read).
inline std::vector<int16_t> readWav(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return {};
    std::vector<int16_t> samples(static_cast<size_t>(info.frames * info.channels));
    sf_count_t n = sf_read_short(f, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(f);
    samples.resize(static_cast<size_t>(n < 0 ? 0 : n));
    return samples;
}

// A speech-like test signal: a few drifting tones with a varying loudness and a little noise,
// never silent for a whole block, different in every block. `seed` makes two copies differ.
inline std::vector<int16_t> speechSignal(int blocks, uint32_t seed, int peak = 12000) {
    uint32_t state = seed * 2654435761u + 12345u;
    auto random = [&state] {
        state = state * 1664525u + 1013904223u;
        return static_cast<double>(state >> 8) / static_cast<double>(1u << 24);
    };
    std::vector<int16_t> out(static_cast<size_t>(blocks) * TEST_BLOCK);
    // Three tones, each drifting within its band, mixed with these weights.
    const double low[3] = {150, 600, 1700}, high[3] = {600, 1700, 3000}, drift[3] = {40, 80, 120},
                 weight[3] = {0.55, 0.3, 0.1}, step = 2 * M_PI / 8000.0;
    double f[3] = {200 + 300 * random(), 700 + 900 * random(), 1800 + 1000 * random()},
           phase[3] = {}, level = 0.5;
    for (size_t i = 0; i < out.size(); ++i) {
        if (i % TEST_BLOCK == 0) { // a new loudness and slightly moved tones in every block
            level = 0.25 + 0.75 * random();
            for (int k = 0; k < 3; ++k)
                f[k] = std::clamp(f[k] + drift[k] * (random() - 0.5), low[k], high[k]);
        }
        double v = 0;
        for (int k = 0; k < 3; ++k)
            v += weight[k] * std::sin(phase[k] += f[k] * step);
        v += 0.05 * (random() - 0.5);
        const long sample = std::lround(v * level * peak);
        out[i] = static_cast<int16_t>(sample == 0 ? 1 : sample);
    }
    return out;
}

// The file's samples cut into whole 512-sample blocks, those that are not silent, in order.
inline std::vector<std::vector<int16_t>> soundBlocks(const std::vector<int16_t>& samples) {
    std::vector<std::vector<int16_t>> out;
    for (auto b = samples.begin(); samples.end() - b >= TEST_BLOCK; b += TEST_BLOCK)
        if (std::any_of(b, b + TEST_BLOCK, [](int16_t v) { return v != 0; }))
            out.emplace_back(b, b + TEST_BLOCK);
    return out;
}

} // namespace tc::test
