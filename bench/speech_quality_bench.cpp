// Speech quality and encoding cost of the compressed levels, reference against closed-loop
// encoders. The speech is made at build time by a speech synthesiser (8000 Hz mono 16-bit, file
// TC_SPEECH_WAV). Each packet is encoded, then played by the decoder exactly as a far copy plays
// it; the played speech is compared with the input by segmental SNR over 20 ms frames.
//
// Counters: segsnr_db (mean over the frames that are not silent of 10 log10(input energy / error
// energy), each frame limited to -10..60 dB), gain_db (closed-loop minus reference, on the
// closed-loop rows), drift (packets after which the closed-loop encoder's state differed from the
// decoder's: must be 0) and realtime (seconds of speech encoded per second of one core). The time
// per iteration is the encoding time of one packet.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "core/codec.h"
#include "support/wav_files.h"

namespace {

using namespace tc;

constexpr int FRAME = 160;             // 20 ms
constexpr double SILENT_FRAME = 100.0; // RMS below this (-50 dBFS) is a pause, not speech

const std::vector<int16_t>& speech() {
    static const std::vector<int16_t> samples = test::readWav(TC_SPEECH_WAV);
    return samples;
}

struct Codec {
    int code;
    bool closedLoop;
    int32_t txState = 0;
    int32_t rxState = 0;
    std::vector<int16_t> scratch = std::vector<int16_t>(size_t(samplesPerPacket(code)));

    // Encodes one packet from `in` (n samples, padded with silence) into `payload`.
    void encode(const int16_t* in, uint8_t* payload, int n) {
        const int full = samplesPerPacket(code);
        std::fill(std::copy(in, in + n, scratch.begin()), scratch.end(), int16_t(0));
        if (closedLoop) {
            if (code == COMP_LOW) encodeLowClosedLoop(scratch.data(), payload, full);
            if (code == COMP_MEDIUM) encodeMediumClosedLoop(scratch.data(), payload, full, txState);
            if (code == COMP_HIGH) encodeHighClosedLoop(scratch.data(), payload, full, txState);
        } else {
            if (code == COMP_LOW) encodeLow(scratch.data(), payload, full);
            if (code == COMP_MEDIUM) encodeMedium(scratch.data(), payload, full, txState);
            if (code == COMP_HIGH) encodeHigh(scratch.data(), payload, full, txState);
        }
    }
    void decode(const uint8_t* payload, int16_t* out) {
        const int full = samplesPerPacket(code);
        if (code == COMP_LOW) decodeLow(payload, out, full);
        if (code == COMP_MEDIUM) decodeMedium(payload, out, full, rxState);
        if (code == COMP_HIGH) decodeHigh(payload, out, full, rxState);
    }
};

double segmentalSnr(const std::vector<int16_t>& in, const std::vector<int16_t>& out) {
    double sum = 0;
    int frames = 0;
    for (size_t at = 0; at + FRAME <= in.size(); at += FRAME) {
        double signal = 0, noise = 0;
        for (size_t i = at; i < at + FRAME; ++i) {
            signal += double(in[i]) * in[i];
            noise += double(in[i] - out[i]) * (in[i] - out[i]);
        }
        if (std::sqrt(signal / FRAME) < SILENT_FRAME) continue;
        sum += std::clamp(10 * std::log10(signal / std::max(noise, 1e-3)), -10.0, 60.0);
        ++frames;
    }
    return frames ? sum / frames : 0;
}

// Plays the whole speech through one encoder and the decoder; counts state mismatches.
double playedSnr(int code, bool closedLoop, int& drift) {
    const std::vector<int16_t>& in = speech();
    const int n = samplesPerPacket(code);
    Codec codec{code, closedLoop};
    std::vector<int16_t> out(in.size() + size_t(n));
    uint8_t payload[COMP_PAYLOAD_BYTES];
    drift = 0;
    for (size_t at = 0; at < in.size(); at += size_t(n)) {
        codec.encode(in.data() + at, payload, int(std::min(in.size() - at, size_t(n))));
        codec.decode(payload, out.data() + at);
        if (closedLoop && code != COMP_LOW && codec.txState != codec.rxState) ++drift;
    }
    out.resize(in.size());
    return segmentalSnr(in, out);
}

void SpeechQuality(benchmark::State& state) {
    const int code = int(state.range(0));
    const bool closedLoop = state.range(1) != 0;
    if (speech().empty()) {
        state.SkipWithError("no speech file " TC_SPEECH_WAV);
        return;
    }
    int drift = 0;
    const double snr = playedSnr(code, closedLoop, drift);
    state.counters["segsnr_db"] = snr;
    if (closedLoop) {
        int unused = 0;
        state.counters["gain_db"] = snr - playedSnr(code, false, unused);
        state.counters["drift"] = drift;
    }

    // Encoding time: packet after packet of the speech, state carried, as a send thread does.
    const int n = samplesPerPacket(code);
    const size_t packets = speech().size() / size_t(n);
    Codec codec{code, closedLoop};
    uint8_t payload[COMP_PAYLOAD_BYTES];
    size_t k = 0;
    for (auto _ : state) {
        codec.encode(speech().data() + (k++ % packets) * size_t(n), payload, n);
        benchmark::DoNotOptimize(payload);
        benchmark::ClobberMemory();
    }
    state.counters["realtime"] = benchmark::Counter(double(n) / 8000.0 * double(state.iterations()),
                                                    benchmark::Counter::kIsRate);
    state.SetLabel(std::string(closedLoop ? "closed-loop " : "reference ") +
                   (code == COMP_LOW      ? "Low"
                    : code == COMP_MEDIUM ? "Medium"
                                          : "High"));
}

BENCHMARK(SpeechQuality)
    ->ArgsProduct({{COMP_LOW, COMP_MEDIUM, COMP_HIGH}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);

} // namespace
