// Runs a fuzz target without libFuzzer, as a plain test: each seed file, then a fixed number of
// inputs made from the seeds by a fixed pseudo-random sequence of mutations (bytes changed,
// inserted, removed, cut, spliced from another seed). Same inputs on every run, so a failure
// repeats; a crash or a sanitizer report fails the test.
//   NAME_replay RUNS SEED_FOLDER
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t MAX_INPUT = 4096;

std::vector<Bytes> readSeeds(const char* folder) {
    std::vector<Bytes> seeds;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        std::ifstream file(entry.path(), std::ios::binary);
        seeds.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    std::sort(seeds.begin(), seeds.end());
    if (seeds.empty()) seeds.emplace_back();
    return seeds;
}

void mutate(Bytes& input, const std::vector<Bytes>& seeds, std::mt19937& random) {
    auto pick = [&](size_t n) { return n == 0 ? size_t{0} : random() % n; };
    int steps = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < steps; ++i) {
        switch (random() % 6) {
        case 0:
            if (!input.empty())
                input[pick(input.size())] ^= static_cast<uint8_t>(1 << (random() % 8));
            break;
        case 1:
            if (!input.empty()) input[pick(input.size())] = static_cast<uint8_t>(random());
            break;
        case 2: {
            Bytes extra(1 + pick(16));
            for (auto& b : extra)
                b = static_cast<uint8_t>(random());
            input.insert(input.begin() + static_cast<long>(pick(input.size() + 1)), extra.begin(),
                         extra.end());
            break;
        }
        case 3:
            if (!input.empty()) {
                size_t at = pick(input.size());
                size_t n = std::min(input.size() - at, 1 + pick(16));
                input.erase(input.begin() + static_cast<long>(at),
                            input.begin() + static_cast<long>(at + n));
            }
            break;
        case 4:
            input.resize(pick(input.size() + 1));
            break;
        default: {
            const Bytes& other = seeds[pick(seeds.size())];
            size_t at = pick(other.size());
            input.insert(input.end(), other.begin() + static_cast<long>(at), other.end());
            break;
        }
        }
    }
    if (input.size() > MAX_INPUT) input.resize(MAX_INPUT);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s RUNS SEED_FOLDER\n", argv[0]);
        return 2;
    }
    long runs = std::strtol(argv[1], nullptr, 10);
    std::vector<Bytes> seeds = readSeeds(argv[2]);
    for (const Bytes& seed : seeds)
        LLVMFuzzerTestOneInput(seed.data(), seed.size());
    std::mt19937 random(20261206);
    for (long i = 0; i < runs; ++i) {
        Bytes input = seeds[random() % seeds.size()];
        mutate(input, seeds, random);
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("%zu seeds and %ld mutated inputs ran clean\n", seeds.size(), runs);
    return 0;
}
