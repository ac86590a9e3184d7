#include "core/codec.h"

#include <algorithm>
#include <array>
#include <gtest/gtest.h>
#include <vector>

#include "support/coded_packet.h"
#include "support/wav_files.h"

namespace tc {
namespace {

using Bytes = std::vector<uint8_t>;
using Samples = std::vector<int16_t>;
using Levels = std::array<uint8_t, 192>;

// Samples within +-20000 with large jumps between neighbours, the same on every run.
Samples signal(size_t n) {
    Samples s(n);
    for (size_t i = 0; i < n; ++i)
        s[i] = int16_t(int(i * 7919 % 40001) - 20000);
    return s;
}

// `head`, then `fill` up to n samples.
Samples padded(std::initializer_list<int16_t> head, size_t n, int16_t fill = 0) {
    Samples s(n, fill);
    std::copy(head.begin(), head.end(), s.begin());
    return s;
}

// n elements of v from `from` on.
template <typename V> auto part(const V& v, size_t from, size_t n) {
    return std::vector<typename V::value_type>(v.begin() + long(from), v.begin() + long(from + n));
}

// The exponent a Low or High group carries in the top bits of its four words.
int groupExponent(const Bytes& g) {
    return (g[1] >> 7) << 3 | (g[3] >> 7) << 2 | (g[5] >> 7) << 1 | g[7] >> 7;
}

// The samples scaled as the head of a block of zeros, into a filled block and in place: the two
// whole blocks must agree.
Samples scaled(Samples in, int shift) {
    const size_t n = in.size();
    in.resize(COMP_BLOCK_SAMPLES);
    Samples out(COMP_BLOCK_SAMPLES, 12345);
    scaleBlock(out.data(), in.data(), shift);
    scaleBlock(in.data(), in.data(), shift);
    EXPECT_EQ(in, out) << "in place, shift " << shift;
    return part(out, 0, n);
}

// Codes the samples (an encoder may leave values of its own in them) into `bytes` bytes first
// filled with 0xAA.
template <typename Encode, typename S, typename... State>
Bytes encoded(Encode code, S&& s, size_t bytes, State&... state) {
    Bytes out(bytes, 0xAA);
    code(s.data(), out.data(), int(s.size()), state...);
    return out;
}

// Decodes n samples into samples first set to 9.
template <typename Decode, typename... State>
Samples decoded(Decode code, const Bytes& b, size_t n, State&... state) {
    Samples out(n, 9);
    code(b.data(), out.data(), int(n), state...);
    return out;
}

TEST(ScaleBlock, CopiesSaturatesLeftAndShiftsRightArithmetically) {
    EXPECT_EQ(scaled(signal(COMP_BLOCK_SAMPLES), 0), signal(COMP_BLOCK_SAMPLES));
    EXPECT_EQ(scaled({1, -1, 16383, -16384, 16384, -16385, 0}, 1),
              (Samples{2, -2, 32766, -32768, 32767, -32768, 0}));
    EXPECT_EQ(scaled({1000, -1000, 31, -32}, 10), (Samples{32767, -32768, 31744, -32768}));
    // Shift 15 and beyond: every sample but 0 is at a limit, never wrapped to its lowest bit.
    for (int shift : {15, 16, 40})
        EXPECT_EQ(scaled({0, 1, -1, 2}, shift), (Samples{0, 32767, -32768, 32767})) << shift;
    EXPECT_EQ(scaled({100, -100, -1, -9, 7, 32767, -32768}, -3),
              (Samples{12, -13, -1, -2, 0, 4095, -4096}));
    for (int shift : {-15, -16, -30})
        EXPECT_EQ(scaled({32767, -32768, 1, -1}, shift), (Samples{0, -1, 0, -1})) << shift;
}

// ---- Low -------------------------------------------------------------------------------------

TEST(LowCodec, WorkedExampleAndEdgeGroups) {
    Bytes b = encoded(encodeLow, Samples{100, -3, 0, 5, -100, 50, 20, -20, 1, 2, 3, 4}, 8);
    EXPECT_EQ(b, (Bytes{0xE0, 0x33, 0x66, 0x02, 0xA0, 0x8B, 0x00, 0x80})); // e = 3
    EXPECT_EQ(decoded(decodeLow, b, 12), (Samples{96, -8, 0, 0, -104, 48, 16, -24, 0, 0, 0, 0}));

    EXPECT_EQ(encoded(encodeLow, Samples(12, 0), 8), Bytes(8, 0));
    b = encoded(encodeLow, Samples(12, -16), 8); // e = 0, mantissa 16 (10000) in every field
    EXPECT_EQ(b, (Bytes{0x10, 0x42, 0x10, 0x42, 0x10, 0x42, 0x10, 0x42}));
    EXPECT_EQ(decoded(decodeLow, b, 12), Samples(12, -16));
    for (int16_t loud : {int16_t(32767), int16_t(-32768)}) {
        b = encoded(encodeLow, padded({0, loud}, 12), 8);
        EXPECT_EQ(groupExponent(b), 11);
        EXPECT_EQ(decoded(decodeLow, b, 12)[1], loud > 0 ? 15 << 11 : -32768);
    }
}

// ---- Medium ----------------------------------------------------------------------------------

TEST(MediumPacking, WorkedRoundsOfOnesAndOfFives) {
    Levels levels{};
    std::fill(levels.begin(), levels.begin() + 24, 1);
    Bytes out(64);
    packLevels(levels.data(), out.data(), 0x80);
    EXPECT_EQ(part(out, 0, 8), (Bytes{0x33, 0x03, 0xF3, 0xCB, 0x33, 0x03, 0xF3, 0x8C}));
    EXPECT_EQ(part(out, 8, 56), Bytes(56, 0));

    levels.fill(5);
    packLevels(levels.data(), out.data(), 255);
    const unsigned w = (129 * 130 + 129) | 0x8000;
    const Bytes round{0xFF, 0x0F, 0xBF, uint8_t(w), 0xFF, 0x0F, 0xBF, uint8_t(w >> 8)};
    for (size_t r = 0; r < 8; ++r)
        EXPECT_EQ(part(out, 8 * r, 8), round) << r;
    Levels back;
    EXPECT_EQ(unpackLevels(out.data(), back.data()), 255);
    EXPECT_EQ(back, levels);
}

// Encodes one group of 192 samples (left holding their differences); returns its scale code and
// its levels.
template <typename S> int mediumGroup(S&& s, int32_t& state, Levels& levels) {
    return unpackLevels(encoded(encodeMedium, s, 64, state).data(), levels.data());
}

Samples mediumDecoded(const Levels& levels, int scale, int32_t& state, size_t n = 192) {
    Bytes b(64);
    packLevels(levels.data(), b.data(), scale);
    return decoded(decodeMedium, b, n, state);
}

TEST(MediumCodec, EncoderScaleCodesSilenceSaturationAndCarriedError) {
    const std::pair<int, int> peakToCode[] = {
        {0, 0},      {7, 1},      {510, 63},    {511, 80},    {2046, 127},  {2047, 144},
        {8190, 191}, {8191, 208}, {-8192, 208}, {32766, 255}, {32767, 255}, {-32768, 255}};
    int32_t state;
    Levels levels;
    for (auto [peak, code] : peakToCode)
        EXPECT_EQ(mediumGroup(padded({int16_t(peak)}, 192), state = 0, levels), code) << peak;

    // All differences 0: p = 1, c = 0, every level the middle-high 3; decoded as silence.
    EXPECT_EQ(mediumGroup(Samples(192, 500), state = 500, levels), 0);
    EXPECT_EQ(std::count(levels.begin(), levels.end(), 3), 192);
    EXPECT_EQ(mediumDecoded(levels, 0, state = 0), Samples(192, 0));

    // The differences are left saturated: 30000 to -30000 is a jump of -60000, kept at -32768
    // (the lowest level), not wrapped to +5536.
    Samples s = padded({30000, -30000, 32767, 100}, 192);
    EXPECT_EQ(mediumGroup(s, state = -100, levels), 255);
    EXPECT_EQ(part(s, 0, 5), (Samples{30100, -32768, 32767, -32667, -100}));
    EXPECT_EQ(part(levels, 1, 2), (Bytes{0, 5}));

    // Differences -1000, -126, -1, then 0: p = 1001. The first level is 0 and leaves an error of
    // -32735 + 28672 = -4063, which pulls the second (-4124 - 4063 = -8187) down to level 2 and
    // leaves 38, which lifts the third (-32 + 38) to level 3; from there the error stays 4096.
    EXPECT_EQ(mediumGroup(padded({-1000, -1126}, 192, -1127), state = 0, levels), 95);
    EXPECT_EQ(part(levels, 0, 3), (Bytes{0, 2, 3}));
    EXPECT_EQ(part(levels, 3, 189), Bytes(189, 3));
}

TEST(MediumCodec, DecoderLevelsLeakyIntegratorAndSaturation) {
    // Scale code 8: step 64; the six levels stand for -64, -39, -13, 12, 38, 63.
    Levels levels;
    levels.fill(3);
    std::copy_n(std::begin({5, 3, 0, 1, 2, 4}), 6, levels.begin());
    int32_t state;
    Samples out = mediumDecoded(levels, 8, state = 0);
    // Halving and adding 12 settles at 23.
    EXPECT_EQ(std::tuple(part(out, 0, 6), out[191], state),
              std::tuple(Samples{63, 43, -43, -61, -44, 16}, 23, 23));

    // Scale code 0x48 (72): step 8 << 5 = 256; a state carried in is halved first.
    levels.fill(0);
    EXPECT_EQ(mediumDecoded(levels, 0x48, state = 1000, 1)[0], 500 - 256);

    // A loud run saturates the samples; the carried state is the real sum, not the clipped one.
    levels.fill(5);
    out = mediumDecoded(levels, 255, state = 0); // 32253 per sample
    EXPECT_EQ(std::tuple(out[0], *std::min_element(out.begin() + 1, out.end()), state),
              std::tuple(32253, 32767, 2 * 32253 - 1));
    levels.fill(0);
    out = mediumDecoded(levels, 255, state);
    EXPECT_EQ(std::pair(out[0], out[191]), std::pair(int16_t(32252 - 32254), int16_t(-32768)));
}

// ---- High ------------------------------------------------------------------------------------

TEST(HighCodec, SilentGroupSignsExponentAndFullScale) {
    Samples s(60, -42);
    int32_t state;
    EXPECT_EQ(encoded(encodeHigh, s, 8, state = -42), Bytes(8, 0));
    EXPECT_EQ(s, Samples(60, 0));
    EXPECT_EQ(decoded(decodeHigh, Bytes(8, 0), 60, state = 0), Samples(60, 0));
    // e = 0 with every sign set: steps of -1.
    EXPECT_EQ(decoded(decodeHigh, {0xFF, 0x7F, 0xFF, 0x7F, 0xFF, 0x7F, 0xFF, 0x7F}, 60, state),
              Samples(60, -1));
    EXPECT_EQ(state, -1);

    // 200 is a half difference of 100: seven significant bits, e = 7; then -100. At 16 a half
    // difference of -1, then 0 (+1 >> 1) at 17. Sign bits from bit 0 of word 0 upwards.
    s = padded({200}, 60);
    s[16] = -1;
    const Bytes b = encoded(encodeHigh, s, 8, state = 0);
    EXPECT_EQ(s[1], -100);
    EXPECT_EQ(b, (Bytes{0x02, 0x00, 0x02, 0x80, 0x00, 0x80, 0x00, 0x80}));
    // Steps are +127 for a clear sign bit and -128 for a set one, averaged into the state.
    EXPECT_EQ(part(decoded(decodeHigh, b, 60, state = 0), 0, 3), (Samples{63, -33, 47}));

    for (int i = 0; i < 60; ++i)
        s[i] = i % 2 ? 32767 : -32768;
    const Bytes loud = encoded(encodeHigh, s, 8, state = 32767);
    EXPECT_EQ(part(s, 0, 2), (Samples{-32768, 32767}));
    EXPECT_EQ(groupExponent(loud), 15);
    EXPECT_EQ(part(decoded(decodeHigh, loud, 60, state = 0), 0, 2), (Samples{-16384, 8191}));
}

// Two packets coded one by one into payload-sized places (over 0xFF, with guards after them) give
// the same bytes and samples as one call over both into zeros: every payload byte is written and
// nothing after it, exactly n samples come out of each, and the state links the packets.
template <typename Encode, typename Decode>
void expectWholePackets(size_t n, Encode en, Decode de) {
    const Samples in = signal(2 * n);
    const size_t bytes = 2 * COMP_PAYLOAD_BYTES;
    Samples s = in, back(2 * n + 16, 0x5A5A), wholeBack(2 * n);
    Bytes stream(bytes + 32, 0xFF), whole(bytes, 0);
    int32_t tx = 0, rx = 0;
    for (size_t p = 0; p < 2; ++p) {
        en(&s[p * n], &stream[p * COMP_PAYLOAD_BYTES], int(n), tx);
        de(&stream[p * COMP_PAYLOAD_BYTES], &back[p * n], int(n), rx);
    }
    s = in;
    tx = rx = 0;
    en(s.data(), whole.data(), int(2 * n), tx);
    de(whole.data(), wholeBack.data(), int(2 * n), rx);
    EXPECT_EQ(part(stream, 0, bytes), whole);
    EXPECT_EQ(part(stream, bytes, 32), Bytes(32, 0xFF));
    EXPECT_EQ(part(back, 0, 2 * n), wholeBack);
    EXPECT_EQ(part(back, 2 * n, 16), Samples(16, 0x5A5A));
}

TEST(WholePacket, EachCodecFillsOnePayloadGivesItsSamplesAndCarriesItsState) {
    expectWholePackets(
        COMP_LOW_SAMPLES, [](int16_t* s, uint8_t* d, int n, int32_t&) { encodeLow(s, d, n); },
        [](const uint8_t* s, int16_t* d, int n, int32_t&) { decodeLow(s, d, n); });
    expectWholePackets(COMP_MEDIUM_SAMPLES, encodeMedium, decodeMedium);
    expectWholePackets(COMP_HIGH_SAMPLES, encodeHigh, decodeHigh);
    expectWholePackets(
        COMP_LOW_SAMPLES,
        [](int16_t* s, uint8_t* d, int n, int32_t&) { encodeLowClosedLoop(s, d, n); },
        [](const uint8_t* s, int16_t* d, int n, int32_t&) { decodeLow(s, d, n); });
    expectWholePackets(COMP_MEDIUM_SAMPLES, encodeMediumClosedLoop, decodeMedium);
    expectWholePackets(COMP_HIGH_SAMPLES, encodeHighClosedLoop, decodeHigh);
}

// ---- Closed-loop encoders --------------------------------------------------------------------

// Codes `in` packet by packet at the levels of `codes` in turn, as a send thread does, and
// returns what the unchanged decoders play. The closed-loop encoder's state must be the
// decoder's after every packet.
Samples played(const Samples& in, const std::vector<int>& codes, bool closedLoop) {
    Samples out;
    int32_t tx = 0, rx = 0;
    for (size_t k = 0; out.size() < in.size(); ++k) {
        const int code = codes[k % codes.size()];
        const size_t n = std::min(size_t(samplesPerPacket(code)), in.size() - out.size());
        Samples s = part(in, out.size(), n);
        test::codePacket(s, code, closedLoop, tx, rx);
        EXPECT_TRUE(!closedLoop || tx == rx) << "after packet " << k << " at level " << code;
        out.insert(out.end(), s.begin(), s.end());
    }
    return out;
}

double errorEnergy(const Samples& a, const Samples& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i)
        sum += double(a[i] - b[i]) * (a[i] - b[i]);
    return sum;
}

TEST(ClosedLoopCodec, KeepsTheDecoderStateThroughEdgeSignalsAndLevelChanges) {
    const size_t n = 4 * COMP_HIGH_SAMPLES;
    Samples fullScale(n), square(n), steps(n);
    for (size_t i = 0; i < n; ++i) {
        fullScale[i] = i % 2 ? 32767 : -32768;
        square[i] = int16_t(i / 20 % 2 ? 12000 : -12000);
        steps[i] = int16_t(i / 300 % 3 * 16000 - 16000);
    }
    for (const Samples& in : {signal(n), fullScale, square, steps, Samples(n, 0)}) {
        played(in, {COMP_MEDIUM, COMP_HIGH, COMP_LOW, COMP_HIGH, COMP_MEDIUM}, true);
        played(in, {COMP_HIGH, COMP_MEDIUM, COMP_MEDIUM}, true);
    }
    // Silence after any state is played as silence once the decoder has forgotten its state.
    const Samples silence = played(Samples(2 * COMP_MEDIUM_SAMPLES, 0), {COMP_MEDIUM}, true);
    EXPECT_EQ(silence, Samples(silence.size(), 0));
}

TEST(ClosedLoopCodec, PlaysCloserToTheInputThanTheReferenceEncoders) {
    const Samples speech = test::speechSignal(2 * COMP_HIGH, 3);
    for (int code : {COMP_LOW, COMP_MEDIUM, COMP_HIGH}) {
        const double reference = errorEnergy(speech, played(speech, {code}, false));
        const double closed = errorEnergy(speech, played(speech, {code}, true));
        EXPECT_LT(closed * 2, reference) << "level " << code;
    }
}

} // namespace
} // namespace tc
