#include "core/codec.h"

#include <algorithm>
#include <bit>

#include "core/output.h"
#include "core/settings.h"

namespace tc {

namespace {

inline void putWord(uint8_t* dst, unsigned word) {
    dst[0] = static_cast<uint8_t>(word);
    dst[1] = static_cast<uint8_t>(word >> 8);
}

inline unsigned getWord(const uint8_t* src) {
    return src[0] | (unsigned(src[1]) << 8);
}

// The value whose bits are significant for a two's-complement sample: s for s >= 0, -s-1 else.
inline uint32_t magnitudeBits(int32_t s) {
    return static_cast<uint32_t>(s ^ (s >> 31));
}

// Reads the 4-bit exponent spread over the top bits of four words, word 0 most significant.
inline int spreadExponent(const uint8_t* group) {
    return int((getWord(group) >> 15) << 3 | (getWord(group + 2) >> 15) << 2 |
               (getWord(group + 4) >> 15) << 1 | (getWord(group + 6) >> 15));
}

inline int exponentBit(int e, int word) {
    return (e >> (3 - word)) & 1;
}

// Keeps a value within the 16-bit sample range. Wrapping instead would turn a loud step into one
// of the opposite sign: a click.
inline int16_t saturate16(int64_t v) {
    return static_cast<int16_t>(std::clamp<int64_t>(v, -32768, 32767));
}

bool volsTraceOn() {
    return (settings.diagBits.load(std::memory_order_relaxed) & DIAG_VOLS) != 0;
}

// ---- Low -------------------------------------------------------------------------------------

void encodeLowGroup(const int32_t* s, uint8_t* dst) {
    uint32_t m = 0;
    for (int i = 0; i < LOW_GROUP_SAMPLES; ++i)
        m |= magnitudeBits(s[i]);
    const int e = m > 15 ? std::bit_width(m) - 4 : 0;
    for (int k = 0; k < 4; ++k) {
        const unsigned q0 = static_cast<unsigned>(s[3 * k] >> e) & 31;
        const unsigned q1 = static_cast<unsigned>(s[3 * k + 1] >> e) & 31;
        const unsigned q2 = static_cast<unsigned>(s[3 * k + 2] >> e) & 31;
        putWord(dst + 2 * k, unsigned(exponentBit(e, k)) << 15 | q0 << 10 | q1 << 5 | q2);
    }
}

void decodeLowGroup(const uint8_t* src, int16_t* dst, int count) {
    const int32_t scale = int32_t(1) << spreadExponent(src);
    for (int i = 0; i < count; ++i) {
        const unsigned word = getWord(src + 2 * (i / 3));
        int32_t f = static_cast<int32_t>((word >> (10 - 5 * (i % 3))) & 31);
        if (f >= 16) f -= 32;
        dst[i] = static_cast<int16_t>(f * scale);
    }
}

// ---- Medium ----------------------------------------------------------------------------------

// Four-segment logarithmic code of the group's divisor p.
int mediumScaleCode(int32_t p) {
    if (p > 32767) return 255;
    if (p >= 8192) return (p >> 9) + 192;
    if (p >= 2048) return (p >> 7) + 128;
    if (p >= 512) return (p >> 5) + 64;
    return p >> 3;
}

// Quantises 192 differences to levels 0..5 with error feedback; returns the scale code.
int quantiseMediumGroup(const int16_t* d, uint8_t* levels) {
    int32_t hi = -32768, lo = 32768;
    for (int i = 0; i < MEDIUM_GROUP_SAMPLES; ++i) {
        hi = std::max<int32_t>(hi, d[i]);
        lo = std::min<int32_t>(lo, d[i]);
    }
    const int32_t p = std::max(hi, -lo) + 1;
    int32_t err = 0;
    for (int i = 0; i < MEDIUM_GROUP_SAMPLES; ++i) {
        const int32_t v = d[i] * 32768 / p + err;
        const int32_t level = std::clamp((v + 24576) >> 13, 0, 5);
        err = std::clamp(err + (v - 8192 * level) + 28672, -4096, 4096);
        levels[i] = static_cast<uint8_t>(level);
    }
    return mediumScaleCode(p);
}

// Reads 12 levels as a base-6 number, first level most significant.
uint32_t base6(const uint8_t* levels) {
    uint32_t x = 0;
    for (int i = 0; i < 12; ++i)
        x = x * 6 + levels[i];
    return x;
}

// Writes the 12 base-6 digits of x, most significant first. Digits above 6^12 are dropped, so
// every level is 0..5 whatever the bytes were.
void digits6(uint32_t x, uint8_t* levels) {
    for (int i = 11; i >= 0; --i) {
        levels[i] = static_cast<uint8_t>(x % 6);
        x /= 6;
    }
}

// ---- High ------------------------------------------------------------------------------------

void encodeHighGroup(const int16_t* d, uint8_t* dst) {
    uint32_t m = 0;
    for (int i = 0; i < HIGH_GROUP_SAMPLES; ++i)
        m |= magnitudeBits(d[i]);
    const int e = std::bit_width(m);
    for (int k = 0; k < 4; ++k) {
        unsigned word = unsigned(exponentBit(e, k)) << 15;
        for (int j = 0; j < 15; ++j)
            word |= unsigned(d[15 * k + j] < 0) << j;
        putWord(dst + 2 * k, word);
    }
}

} // namespace

void scaleBlock(int16_t* dst, const int16_t* src, int shift) {
    if (shift == 0) {
        if (dst != src) std::copy(src, src + COMP_BLOCK_SAMPLES, dst);
    } else if (shift > 0) {
        // A shift of 16 already saturates every sample that is not 0.
        const int32_t gain = int32_t(1) << std::min(shift, 16);
        for (int i = 0; i < COMP_BLOCK_SAMPLES; ++i)
            dst[i] = saturate16(src[i] * gain);
    } else {
        const int right = std::min(-shift, 15);
        for (int i = 0; i < COMP_BLOCK_SAMPLES; ++i)
            dst[i] = static_cast<int16_t>(src[i] >> right);
    }
}

void encodeLowGroups(const int16_t* src, uint8_t* dst, int n, LowGroupEncoder encodeGroup) {
    for (int at = 0; at < n; at += LOW_GROUP_SAMPLES, dst += LOW_GROUP_BYTES) {
        const int count = std::min(LOW_GROUP_SAMPLES, n - at);
        int32_t s[LOW_GROUP_SAMPLES] = {};
        for (int i = 0; i < count; ++i)
            s[i] = src[at + i];
        encodeGroup(s, dst);
    }
}

void encodeLow(const int16_t* src, uint8_t* dst, int n) {
    encodeLowGroups(src, dst, n, encodeLowGroup);
}

void decodeLow(const uint8_t* src, int16_t* dst, int n) {
    for (int at = 0; at < n; at += LOW_GROUP_SAMPLES, src += LOW_GROUP_BYTES)
        decodeLowGroup(src, dst + at, std::min(LOW_GROUP_SAMPLES, n - at));
}

void packLevels(const uint8_t* levels, uint8_t* dst, int scale) {
    for (int r = 0; r < 8; ++r, levels += 24, dst += 8) {
        const uint32_t a = base6(levels);
        const uint32_t b = base6(levels + 12);
        unsigned w = ((a >> 24) * 130 + (b >> 24)) & 0x7FFF;
        w |= unsigned((scale >> (7 - r)) & 1) << 15;
        dst[0] = static_cast<uint8_t>(a);
        dst[1] = static_cast<uint8_t>(a >> 8);
        dst[2] = static_cast<uint8_t>(a >> 16);
        dst[3] = static_cast<uint8_t>(w);
        dst[4] = static_cast<uint8_t>(b);
        dst[5] = static_cast<uint8_t>(b >> 8);
        dst[6] = static_cast<uint8_t>(b >> 16);
        dst[7] = static_cast<uint8_t>(w >> 8);
    }
}

int unpackLevels(const uint8_t* src, uint8_t* levels) {
    int scale = 0;
    for (int r = 0; r < 8; ++r, src += 8, levels += 24) {
        const unsigned w = unsigned(src[7]) << 8 | src[3];
        scale = scale << 1 | int(w >> 15);
        const uint32_t rest = w & 0x7FFF;
        const uint32_t a =
            (rest / 130) << 24 | uint32_t(src[2]) << 16 | uint32_t(src[1]) << 8 | src[0];
        const uint32_t b =
            (rest % 130) << 24 | uint32_t(src[6]) << 16 | uint32_t(src[5]) << 8 | src[4];
        digits6(a, levels);
        digits6(b, levels + 12);
    }
    return scale;
}

void encodeMedium(int16_t* src, uint8_t* dst, int n, int32_t& state) {
    const bool trace = volsTraceOn();
    int64_t prev = state;
    for (int i = 0; i < n; ++i) {
        const int32_t s = src[i];
        src[i] = saturate16(s - prev);
        prev = s;
    }
    state = static_cast<int32_t>(prev);

    for (int at = 0; at < n; at += MEDIUM_GROUP_SAMPLES, dst += MEDIUM_GROUP_BYTES) {
        const int count = std::min(MEDIUM_GROUP_SAMPLES, n - at);
        int16_t padded[MEDIUM_GROUP_SAMPLES] = {};
        const int16_t* d = src + at;
        if (count < MEDIUM_GROUP_SAMPLES) {
            std::copy(d, d + count, padded);
            d = padded;
        }
        uint8_t levels[MEDIUM_GROUP_SAMPLES];
        const int scale = quantiseMediumGroup(d, levels);
        if (trace) output(NoConsole, "%02xs ", scale);
        packLevels(levels, dst, scale);
    }
}

void decodeMedium(const uint8_t* src, int16_t* dst, int n, int32_t& state) {
    const bool trace = volsTraceOn();
    int32_t acc = state;
    for (int at = 0; at < n; at += MEDIUM_GROUP_SAMPLES, src += MEDIUM_GROUP_BYTES) {
        uint8_t levels[MEDIUM_GROUP_SAMPLES];
        const int scale = unpackLevels(src, levels);
        if (trace) output(NoConsole, "%02xr ", scale);
        const int32_t step = (scale & 63) << (((scale >> 5) & 6) + 3);
        int16_t value[6];
        for (int level = 0; level < 6; ++level)
            value[level] = static_cast<int16_t>(((13106 * level - 32765) * step) >> 15);
        const int count = std::min(MEDIUM_GROUP_SAMPLES, n - at);
        for (int i = 0; i < count; ++i) {
            acc = (acc >> 1) + value[levels[i]];
            dst[at + i] = saturate16(acc);
        }
    }
    state = acc;
}

void encodeHigh(int16_t* src, uint8_t* dst, int n, int32_t& state) {
    int64_t prev = state;
    for (int i = 0; i < n; ++i) {
        const int32_t s = src[i];
        src[i] = static_cast<int16_t>((s - prev) >> 1);
        prev = s;
    }
    state = static_cast<int32_t>(prev);

    for (int at = 0; at < n; at += HIGH_GROUP_SAMPLES, dst += HIGH_GROUP_BYTES) {
        const int count = std::min(HIGH_GROUP_SAMPLES, n - at);
        if (count == HIGH_GROUP_SAMPLES) {
            encodeHighGroup(src + at, dst);
        } else {
            int16_t padded[HIGH_GROUP_SAMPLES] = {};
            std::copy(src + at, src + at + count, padded);
            encodeHighGroup(padded, dst);
        }
    }
}

void decodeHigh(const uint8_t* src, int16_t* dst, int n, int32_t& state) {
    int64_t acc = state;
    for (int at = 0; at < n; at += HIGH_GROUP_SAMPLES, src += HIGH_GROUP_BYTES) {
        const int e = spreadExponent(src);
        const int32_t up = (int32_t(1) << e) - 1;
        const int32_t down = -(int32_t(1) << e);
        const int count = std::min(HIGH_GROUP_SAMPLES, n - at);
        for (int i = 0; i < count; ++i) {
            const unsigned word = getWord(src + 2 * (i / 15));
            acc = (acc + ((word >> (i % 15)) & 1 ? down : up)) >> 1;
            dst[at + i] = static_cast<int16_t>(acc);
        }
    }
    state = static_cast<int32_t>(acc);
}

} // namespace tc
