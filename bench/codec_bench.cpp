// Speed of the packet codecs on one packet of speech-like audio. The "realtime" counter is seconds
// of audio handled per second of one core: the multiple of real time.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/codec.h"
#include "support/wav_files.h"

namespace {

using namespace tc;

constexpr double SAMPLE_RATE = 8000.0;

// Speech-like audio (drifting tones, a varying loudness and a little noise) of `n` samples.
std::vector<int16_t> speechLike(int n) {
    return test::speechSignal(n / test::TEST_BLOCK, 1, 20000);
}

void reportRealTime(benchmark::State& state, int samples) {
    state.counters["realtime"] = benchmark::Counter(
        double(samples) / SAMPLE_RATE * double(state.iterations()), benchmark::Counter::kIsRate);
}

// Encoders overwrite their input, so each pass works on a fresh copy, as the send thread's
// scratch buffer is.
template <typename Encode> void encodePacket(benchmark::State& state, int samples, Encode encode) {
    const std::vector<int16_t> input = speechLike(samples);
    std::vector<int16_t> scratch(samples);
    uint8_t payload[COMP_PAYLOAD_BYTES];
    for (auto _ : state) {
        std::copy(input.begin(), input.end(), scratch.begin());
        encode(scratch.data(), payload, samples);
        benchmark::DoNotOptimize(payload);
        benchmark::ClobberMemory();
    }
    reportRealTime(state, samples);
}

template <typename Encode, typename Decode>
void decodePacket(benchmark::State& state, int samples, Encode encode, Decode decode) {
    std::vector<int16_t> scratch = speechLike(samples);
    uint8_t payload[COMP_PAYLOAD_BYTES];
    encode(scratch.data(), payload, samples);
    std::vector<int16_t> out(samples);
    for (auto _ : state) {
        benchmark::DoNotOptimize(payload);
        decode(payload, out.data(), samples);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    reportRealTime(state, samples);
}

void lowEncode(int16_t* s, uint8_t* d, int n) {
    encodeLow(s, d, n);
}
void lowDecode(const uint8_t* s, int16_t* d, int n) {
    decodeLow(s, d, n);
}

int32_t txState = 0;
int32_t rxState = 0;
void mediumEncode(int16_t* s, uint8_t* d, int n) {
    encodeMedium(s, d, n, txState);
}
void mediumDecode(const uint8_t* s, int16_t* d, int n) {
    decodeMedium(s, d, n, rxState);
}
void highEncode(int16_t* s, uint8_t* d, int n) {
    encodeHigh(s, d, n, txState);
}
void highDecode(const uint8_t* s, int16_t* d, int n) {
    decodeHigh(s, d, n, rxState);
}

void BM_EncodeLow(benchmark::State& state) {
    encodePacket(state, COMP_LOW_SAMPLES, lowEncode);
}
void BM_DecodeLow(benchmark::State& state) {
    decodePacket(state, COMP_LOW_SAMPLES, lowEncode, lowDecode);
}
void BM_EncodeMedium(benchmark::State& state) {
    encodePacket(state, COMP_MEDIUM_SAMPLES, mediumEncode);
}
void BM_DecodeMedium(benchmark::State& state) {
    decodePacket(state, COMP_MEDIUM_SAMPLES, mediumEncode, mediumDecode);
}
void BM_EncodeHigh(benchmark::State& state) {
    encodePacket(state, COMP_HIGH_SAMPLES, highEncode);
}
void BM_DecodeHigh(benchmark::State& state) {
    decodePacket(state, COMP_HIGH_SAMPLES, highEncode, highDecode);
}

void BM_ScaleBlock(benchmark::State& state) {
    const std::vector<int16_t> input = speechLike(COMP_BLOCK_SAMPLES);
    std::vector<int16_t> out(COMP_BLOCK_SAMPLES);
    const int shift = int(state.range(0));
    for (auto _ : state) {
        scaleBlock(out.data(), input.data(), shift);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    reportRealTime(state, COMP_BLOCK_SAMPLES);
}

BENCHMARK(BM_EncodeLow);
BENCHMARK(BM_DecodeLow);
BENCHMARK(BM_EncodeMedium);
BENCHMARK(BM_DecodeMedium);
BENCHMARK(BM_EncodeHigh);
BENCHMARK(BM_DecodeHigh);
BENCHMARK(BM_ScaleBlock)->Arg(3)->Arg(-3);

} // namespace
