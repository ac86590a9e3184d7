#include "support/wav_files.h"

#include <algorithm>
#include <cmath>
#include <sndfile.h>

namespace tc::test {

bool writeWav(const std::string& path, const std::vector<int16_t>& samples) {
    SF_INFO info{};
    info.samplerate = 8000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) return false;
    sf_count_t n = sf_write_short(f, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(f);
    return n == static_cast<sf_count_t>(samples.size());
}

std::vector<int16_t> readWav(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return {};
    std::vector<int16_t> samples(static_cast<size_t>(info.frames * info.channels));
    sf_count_t n = sf_read_short(f, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(f);
    samples.resize(static_cast<size_t>(n < 0 ? 0 : n));
    return samples;
}

std::vector<int16_t> speechSignal(int blocks, uint32_t seed, int peak) {
    uint32_t state = seed * 2654435761u + 12345u;
    auto random = [&state] {
        state = state * 1664525u + 1013904223u;
        return static_cast<double>(state >> 8) / static_cast<double>(1u << 24);
    };
    std::vector<int16_t> out(static_cast<size_t>(blocks) * TEST_BLOCK);
    double f1 = 200 + 300 * random(), f2 = 700 + 900 * random(), f3 = 1800 + 1000 * random();
    double p1 = 0, p2 = 0, p3 = 0;
    double level = 0.5;
    const double step = 2 * M_PI / 8000.0;
    for (size_t i = 0; i < out.size(); ++i) {
        if (i % TEST_BLOCK == 0) {
            // A new loudness and slightly moved tones in every block.
            level = 0.25 + 0.75 * random();
            f1 = std::clamp(f1 + 40 * (random() - 0.5), 150.0, 600.0);
            f2 = std::clamp(f2 + 80 * (random() - 0.5), 600.0, 1700.0);
            f3 = std::clamp(f3 + 120 * (random() - 0.5), 1700.0, 3000.0);
        }
        p1 += f1 * step;
        p2 += f2 * step;
        p3 += f3 * step;
        double v =
            0.55 * std::sin(p1) + 0.3 * std::sin(p2) + 0.1 * std::sin(p3) + 0.05 * (random() - 0.5);
        int s = static_cast<int>(std::lround(v * level * peak));
        if (s == 0) s = 1;
        out[i] = static_cast<int16_t>(s);
    }
    return out;
}

std::vector<std::vector<int16_t>> soundBlocks(const std::vector<int16_t>& samples) {
    std::vector<std::vector<int16_t>> out;
    for (auto b = samples.begin(); samples.end() - b >= TEST_BLOCK; b += TEST_BLOCK)
        if (std::any_of(b, b + TEST_BLOCK, [](int16_t v) { return v != 0; }))
            out.emplace_back(b, b + TEST_BLOCK);
    return out;
}

} // namespace tc::test
