#include "core/codec.h"

#include <algorithm>
#include <array>
#include <gtest/gtest.h>
#include <vector>

namespace tc {
namespace {

using Bytes = std::vector<uint8_t>;
using Samples = std::vector<int16_t>;
using Levels = std::array<uint8_t, 192>;

// Pseudo-random samples within +-amplitude (an LCG), the same on every run.
Samples noise(size_t n, int amplitude) {
    Samples s(n);
    uint32_t x = 1;
    for (auto& v : s)
        v = int16_t(int((x = x * 1664525u + 1013904223u) >> 16) % (2 * amplitude + 1) - amplitude);
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

Samples scaled(Samples in, int shift) {
    Samples out(COMP_BLOCK_SAMPLES, 12345);
    const size_t n = in.size();
    in.resize(COMP_BLOCK_SAMPLES);
    scaleBlock(out.data(), in.data(), shift);
    return part(out, 0, n);
}

TEST(ScaleBlock, CopiesSaturatesLeftAndShiftsRightArithmetically) {
    Samples ramp(COMP_BLOCK_SAMPLES);
    for (int i = 0; i < COMP_BLOCK_SAMPLES; ++i)
        ramp[i] = static_cast<int16_t>(i * 117 - 30000);
    EXPECT_EQ(scaled(ramp, 0), ramp);
    scaleBlock(ramp.data(), ramp.data(), -1); // in place
    EXPECT_EQ(ramp[0], -15000);
    EXPECT_EQ(ramp[511], 14893);

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

Bytes lowEncoded(const Samples& s) {
    Bytes out((s.size() + 11) / 12 * 8, 0xAA);
    encodeLow(s.data(), out.data(), int(s.size()));
    return out;
}

Samples lowDecoded(const Bytes& b, int n) {
    Samples out(n);
    decodeLow(b.data(), out.data(), n);
    return out;
}

TEST(LowCodec, WorkedExampleAndEdgeGroups) {
    Bytes b = lowEncoded({100, -3, 0, 5, -100, 50, 20, -20, 1, 2, 3, 4});
    EXPECT_EQ(b, (Bytes{0xE0, 0x33, 0x66, 0x02, 0xA0, 0x8B, 0x00, 0x80}));
    EXPECT_EQ(groupExponent(b), 3);
    EXPECT_EQ(lowDecoded(b, 12), (Samples{96, -8, 0, 0, -104, 48, 16, -24, 0, 0, 0, 0}));

    EXPECT_EQ(lowEncoded(Samples(12, 0)), Bytes(8, 0));
    b = lowEncoded(Samples(12, -16)); // e = 0, mantissa 16 (10000) in every field
    EXPECT_EQ(b, (Bytes{0x10, 0x42, 0x10, 0x42, 0x10, 0x42, 0x10, 0x42}));
    EXPECT_EQ(lowDecoded(b, 12), Samples(12, -16));
    for (int16_t loud : {int16_t(32767), int16_t(-32768)}) {
        b = lowEncoded(padded({0, loud}, 12));
        EXPECT_EQ(groupExponent(b), 11);
        EXPECT_EQ(lowDecoded(b, 12)[1], loud > 0 ? 15 << 11 : -32768);
    }
}

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
    for (int r = 0; r < 8; ++r)
        EXPECT_EQ(part(out, 8 * size_t(r), 8),
                  (Bytes{0xFF, 0x0F, 0xBF, uint8_t(w), 0xFF, 0x0F, 0xBF, uint8_t(w >> 8)}))
            << r;
    Levels back;
    EXPECT_EQ(unpackLevels(out.data(), back.data()), 255);
    EXPECT_EQ(back, levels);
    EXPECT_EQ(unpackLevels(Bytes(64, 0xFF).data(), back.data()), 255); // any bytes: fuzzed
}

// ---- Medium: encoder and decoder -------------------------------------------------------------

// Encodes one group of 192 samples; returns its scale code (and its levels).
int mediumGroup(Samples&& s, int32_t& state, Levels* levels = nullptr) {
    Bytes out(64);
    encodeMedium(s.data(), out.data(), 192, state);
    Levels ignored;
    return unpackLevels(out.data(), levels ? levels->data() : ignored.data());
}

Samples mediumDecoded(const Levels& levels, int scale, int32_t& state, int n = 192) {
    Bytes b(64);
    packLevels(levels.data(), b.data(), scale);
    Samples out(n);
    decodeMedium(b.data(), out.data(), n, state);
    return out;
}

TEST(MediumCodec, ScaleCodeSegmentsAndTheSilentGroup) {
    const std::pair<int, int> peakToCode[] = {
        {0, 0},      {7, 1},      {510, 63},    {511, 80},    {2046, 127},  {2047, 144},
        {8190, 191}, {8191, 208}, {-8192, 208}, {32766, 255}, {32767, 255}, {-32768, 255}};
    for (auto [peak, code] : peakToCode) {
        int32_t state = 0;
        EXPECT_EQ(mediumGroup(padded({int16_t(peak)}, 192), state), code) << peak;
    }

    // All differences 0: p = 1, c = 0, every level the middle-high 3; decoded as silence.
    int32_t state = 500;
    Levels levels;
    EXPECT_EQ(mediumGroup(Samples(192, 500), state, &levels), 0);
    EXPECT_EQ(std::count(levels.begin(), levels.end(), 3), 192);
    EXPECT_EQ(state, 500);
    int32_t rx = 0;
    EXPECT_EQ(mediumDecoded(levels, 0, rx), Samples(192, 0));

    // The encoder leaves the differences in its input, saturated: 30000 to -30000 is a jump of
    // -60000, kept at -32768 (the lowest level), not wrapped to +5536.
    Samples s = padded({30000, -30000, 32767, 100}, 192);
    state = -100;
    Bytes out(64);
    encodeMedium(s.data(), out.data(), 192, state);
    EXPECT_EQ(part(s, 0, 5), (Samples{30100, -32768, 32767, -32667, -100}));
    EXPECT_EQ(state, 0);
    EXPECT_EQ(unpackLevels(out.data(), levels.data()), 255);
    EXPECT_EQ(part(levels, 1, 2), (Bytes{0, 5}));
}

TEST(MediumCodec, QuantiserErrorCarriesIntoTheNextLevels) {
    // Differences -1000, -126, -1, then 0: p = 1001. The first level is 0 and leaves an error of
    // -32735 + 28672 = -4063, which pulls the second (-4124 - 4063 = -8187) down to level 2 and
    // leaves 38, which lifts the third (-32 + 38) to level 3; from there the error stays 4096.
    int32_t state = 0;
    Levels levels;
    EXPECT_EQ(mediumGroup(padded({-1000, -1126}, 192, -1127), state, &levels), 95);
    EXPECT_EQ(part(levels, 0, 3), (Bytes{0, 2, 3}));
    EXPECT_EQ(part(levels, 3, 189), Bytes(189, 3));

    // Differences 7, -7, zeros, then 1 at 100: p = 8. The error rises to its limit of 4096 and
    // stays there, so the 1 (q = 4096) reaches (4096 + 4096 + 24576) >> 13 = level 4.
    Samples s = padded({7}, 192);
    s[100] = 1;
    state = 0;
    EXPECT_EQ(mediumGroup(std::move(s), state, &levels), 1);
    EXPECT_EQ(part(levels, 0, 3), (Bytes{5, 0, 3}));
    EXPECT_EQ(levels[100], 4);
}

TEST(MediumCodec, DecoderLevelsLeakyIntegratorAndSaturation) {
    // Scale code 8: step 64; the six levels stand for -64, -39, -13, 12, 38, 63.
    Levels levels;
    levels.fill(3);
    std::copy_n(std::begin({5, 3, 0, 1, 2, 4}), 6, levels.begin());
    int32_t state = 0;
    Samples out = mediumDecoded(levels, 8, state);
    EXPECT_EQ(part(out, 0, 6), (Samples{63, 43, -43, -61, -44, 16}));
    EXPECT_EQ(out[191], 23); // halving and adding 12 settles at 23
    EXPECT_EQ(state, 23);

    // Scale code 0x48 (72): step 8 << 5 = 256; a state carried in is halved first.
    levels.fill(0);
    state = 1000;
    EXPECT_EQ(mediumDecoded(levels, 0x48, state, 1)[0], 500 - 256);

    // A loud run saturates the samples; the carried state is the real sum, not the clipped one.
    levels.fill(5);
    state = 0;
    out = mediumDecoded(levels, 255, state); // 32253 per sample
    EXPECT_EQ(out[0], 32253);
    EXPECT_EQ(*std::min_element(out.begin() + 1, out.end()), 32767);
    EXPECT_EQ(state, 2 * 32253 - 1);
    levels.fill(0);
    out = mediumDecoded(levels, 255, state);
    EXPECT_EQ(out[0], 32252 - 32254);
    EXPECT_EQ(out[191], -32768);
}

// ---- High ------------------------------------------------------------------------------------

Samples highDecoded(const Bytes& b, int32_t& state) {
    Samples out(60, 9);
    decodeHigh(b.data(), out.data(), 60, state);
    return out;
}

TEST(HighCodec, SilentGroupSignsExponentAndFullScale) {
    Samples s(60, -42);
    int32_t state = -42;
    Bytes b(8, 0xAA);
    encodeHigh(s.data(), b.data(), 60, state);
    EXPECT_EQ(b, Bytes(8, 0));
    EXPECT_EQ(s, Samples(60, 0));
    int32_t rx = 0;
    EXPECT_EQ(highDecoded(b, rx), Samples(60, 0));
    // e = 0 with every sign set: steps of -1.
    EXPECT_EQ(highDecoded({0xFF, 0x7F, 0xFF, 0x7F, 0xFF, 0x7F, 0xFF, 0x7F}, rx), Samples(60, -1));
    EXPECT_EQ(rx, -1);

    // 200 is a half difference of 100: seven significant bits, e = 7; then -100. At 16 a half
    // difference of -1, then 0 (+1 >> 1) at 17. Sign bits from bit 0 of word 0 upwards.
    s = padded({200}, 60);
    s[16] = -1;
    state = 0;
    encodeHigh(s.data(), b.data(), 60, state);
    EXPECT_EQ(s[1], -100);
    EXPECT_EQ(b, (Bytes{0x02, 0x00, 0x02, 0x80, 0x00, 0x80, 0x00, 0x80}));
    // Steps are +127 for a clear sign bit and -128 for a set one, averaged into the state.
    rx = 0;
    Samples out = highDecoded(b, rx);
    EXPECT_EQ(part(out, 0, 3), (Samples{63, -33, 47}));

    for (int i = 0; i < 60; ++i)
        s[i] = i % 2 ? 32767 : -32768;
    state = 32767;
    encodeHigh(s.data(), b.data(), 60, state);
    EXPECT_EQ(s[0], -32768);
    EXPECT_EQ(s[1], 32767);
    EXPECT_EQ(groupExponent(b), 15);
    rx = 0;
    out = highDecoded(b, rx);
    EXPECT_EQ(out[0], -16384);
    EXPECT_EQ(out[1], 8191);
}

// Two packets coded one by one into a payload-sized space (with guards after it, over two
// backgrounds) give the same bytes and samples as one call over both: every payload byte is
// written, nothing after it, exactly n samples come out, and the state links the packets.
template <typename Encode, typename Decode> void expectWholePackets(int n, Encode en, Decode de) {
    const Samples signal = noise(2 * size_t(n), 20000);
    const size_t bytes = 2 * COMP_PAYLOAD_BYTES;
    Bytes stream[2];
    Samples decoded(signal.size() + 16, 0x5A5A);
    for (uint8_t background : {0, 1}) {
        stream[background].assign(bytes + 32, background ? 0xFF : 0);
        int32_t tx = 0, rx = 0;
        for (int p = 0; p < 2; ++p) {
            Samples in(signal.begin() + p * n, signal.begin() + (p + 1) * n);
            uint8_t* payload = &stream[background][size_t(p) * COMP_PAYLOAD_BYTES];
            en(in.data(), payload, n, tx);
            de(payload, &decoded[size_t(p * n)], n, rx);
        }
        EXPECT_EQ(part(stream[background], bytes, 32), Bytes(32, background ? 0xFF : 0));
    }
    EXPECT_EQ(part(stream[0], 0, bytes), part(stream[1], 0, bytes));
    EXPECT_EQ(part(decoded, signal.size(), 16), Samples(16, 0x5A5A));
    Samples whole = signal, wholeDecoded(signal.size());
    Bytes wholeStream(bytes);
    int32_t tx = 0, rx = 0;
    en(whole.data(), wholeStream.data(), 2 * n, tx);
    de(wholeStream.data(), wholeDecoded.data(), 2 * n, rx);
    EXPECT_EQ(wholeStream, part(stream[1], 0, bytes));
    EXPECT_EQ(wholeDecoded, part(decoded, 0, signal.size()));
}

TEST(WholePacket, EachCodecFillsOnePayloadGivesItsSamplesAndCarriesItsState) {
    expectWholePackets(
        COMP_LOW_SAMPLES, [](int16_t* s, uint8_t* d, int n, int32_t&) { encodeLow(s, d, n); },
        [](const uint8_t* s, int16_t* d, int n, int32_t&) { decodeLow(s, d, n); });
    expectWholePackets(COMP_MEDIUM_SAMPLES, encodeMedium, decodeMedium);
    expectWholePackets(COMP_HIGH_SAMPLES, encodeHigh, decodeHigh);
}

} // namespace
} // namespace tc
