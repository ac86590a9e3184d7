// Closed-loop (analysis by synthesis) encoders. Each runs the decoder's own integer arithmetic
// while it chooses its bits, so what the far end plays follows the input as closely as the
// bitstream allows. The decoders in codec.cpp are the reference: every step below repeats theirs.
#include <algorithm>
#include <bit>
#include <cstdint>

#include "core/codec.h"
#include "core/output.h"
#include "core/settings.h"

namespace tc {

namespace {

inline void putWord(uint8_t* dst, unsigned word) {
    dst[0] = static_cast<uint8_t>(word);
    dst[1] = static_cast<uint8_t>(word >> 8);
}

inline int16_t saturate16(int32_t v) {
    return static_cast<int16_t>(std::clamp<int32_t>(v, -32768, 32767));
}

inline int64_t squared(int32_t e) {
    return int64_t(e) * e;
}

// Delayed-decision search over one group: keeps the `K` cheapest distinct decoder states after
// each sample (K = 1 is the greedy choice) and returns the cheapest path's total squared error.
// `next(acc, b)` is the decoder's step for branch b and `out(acc)` the sample it plays. On return
// `acc` is the decoder's state after the group and choice[i] the branch for sample i.
template <int K, int B, int N, typename Next, typename Out>
int64_t searchGroup(const int16_t* s, int n, int32_t& acc, uint8_t* choice, Next next, Out out) {
    struct Node {
        int32_t acc;
        int64_t cost;
    };
    Node cur[K], nxt[K];
    uint8_t parent[N][K], branch[N][K];
    int live = 1;
    cur[0] = {acc, 0};
    for (int i = 0; i < n; ++i) {
        int count = 0;
        for (int p = 0; p < live; ++p) {
            for (int b = 0; b < B; ++b) {
                const int32_t a = next(cur[p].acc, b);
                const int64_t cost = cur[p].cost + squared(s[i] - out(a));
                // Two paths that reach the same state have the same future: keep the cheaper.
                int at = count;
                for (int q = 0; q < count; ++q)
                    if (nxt[q].acc == a) at = q;
                if (at < count) {
                    if (nxt[at].cost <= cost) continue;
                } else if (count < K) {
                    ++count;
                } else if (cost >= nxt[K - 1].cost) {
                    continue;
                } else {
                    at = K - 1;
                }
                // Move the entry at `at` up to its place by cost.
                while (at > 0 && nxt[at - 1].cost > cost) {
                    nxt[at] = nxt[at - 1];
                    parent[i][at] = parent[i][at - 1];
                    branch[i][at] = branch[i][at - 1];
                    --at;
                }
                nxt[at] = {a, cost};
                parent[i][at] = static_cast<uint8_t>(p);
                branch[i][at] = static_cast<uint8_t>(b);
            }
        }
        std::copy(nxt, nxt + count, cur);
        live = count;
    }
    acc = cur[0].acc;
    for (int i = n - 1, p = 0; i >= 0; --i) {
        choice[i] = branch[i][p];
        p = parent[i][p];
    }
    return cur[0].cost;
}

// ---- Low -------------------------------------------------------------------------------------

// The 5-bit mantissa whose value f << e is nearest to s (e at most 11, so f << e never wraps).
inline int32_t nearestMantissa(int32_t s, int e) {
    const int32_t half = e > 0 ? int32_t(1) << (e - 1) : 0;
    return std::clamp((s + half) >> e, -16, 15);
}

// Tries the exponents from the smallest that holds the group without clipping, one below it
// (clipping a lone peak can cost less than coarser steps) and two above; picks the least error.
void encodeLowGroupClosed(const int32_t* s, uint8_t* dst) {
    uint32_t m = 0;
    for (int i = 0; i < LOW_GROUP_SAMPLES; ++i)
        m |= static_cast<uint32_t>(s[i] ^ (s[i] >> 31));
    const int fit = m > 15 ? std::bit_width(m) - 4 : 0;
    int best = fit;
    int64_t bestError = INT64_MAX;
    for (int e = std::max(0, fit - 1); e <= std::min(11, fit + 2); ++e) {
        int64_t error = 0;
        for (int i = 0; i < LOW_GROUP_SAMPLES; ++i)
            error += squared(s[i] - nearestMantissa(s[i], e) * (int32_t(1) << e));
        if (error < bestError) bestError = error, best = e;
    }
    for (int k = 0; k < 4; ++k) {
        unsigned word = unsigned((best >> (3 - k)) & 1) << 15;
        for (int j = 0; j < 3; ++j)
            word |= (static_cast<unsigned>(nearestMantissa(s[3 * k + j], best)) & 31)
                    << (10 - 5 * j);
        putWord(dst + 2 * k, word);
    }
}

// ---- Medium ----------------------------------------------------------------------------------

// Two paths gain about 0.3 dB on speech over the greedy choice; more gain little and cost much.
constexpr int MEDIUM_PATHS = 2;

// The divisor S the decoder takes from scale code c.
inline int32_t mediumStep(int c) {
    return (c & 63) << (((c >> 5) & 6) + 3);
}

// The smallest scale code whose S is at least `target` (S reaches 32256 at most).
int mediumCodeFor(int32_t target) {
    if (target <= 504) return (target + 7) >> 3;
    if (target <= 2016) return 64 + ((target + 31) >> 5);
    if (target <= 8064) return 128 + ((target + 127) >> 7);
    return 192 + std::min(63, (target + 511) >> 9);
}

struct MediumLevels {
    int32_t value[6];
    explicit MediumLevels(int c) {
        const int32_t step = mediumStep(c);
        for (int level = 0; level < 6; ++level)
            value[level] = static_cast<int16_t>(((13106 * level - 32765) * step) >> 15);
    }
};

template <int K>
int64_t searchMedium(const int16_t* s, int n, int32_t& acc, uint8_t* levels, int c) {
    const MediumLevels l(c);
    return searchGroup<K, 6, MEDIUM_GROUP_SAMPLES>(
        s, n, acc, levels, [&l](int32_t a, int b) { return (a >> 1) + l.value[b]; },
        [](int32_t a) { return saturate16(a); });
}

// The error of the greedy choice (each level the one nearest to what the sample needs) with
// scale code c: a quick measure to rank scale codes by.
int64_t greedyMediumError(const int16_t* s, int n, int32_t acc, int c) {
    const MediumLevels l(c);
    int32_t mid[5];
    for (int k = 0; k < 5; ++k)
        mid[k] = (l.value[k] + l.value[k + 1]) >> 1;
    int64_t error = 0;
    for (int i = 0; i < n; ++i) {
        const int32_t base = acc >> 1;
        const int32_t t = s[i] - base;
        const int level = (t > mid[0]) + (t > mid[1]) + (t > mid[2]) + (t > mid[3]) + (t > mid[4]);
        acc = base + l.value[level];
        error += squared(s[i] - saturate16(acc));
    }
    return error;
}

// Chooses the scale code by the greedy error of a few codes around the peak of the steps the
// decoder needs, then the levels for it by the delayed-decision search.
int encodeMediumGroupClosed(const int16_t* s, int n, int32_t& acc, uint8_t* levels) {
    int32_t peak = 0;
    int32_t prev = saturate16(acc);
    for (int i = 0; i < n; ++i) {
        peak = std::max(peak, std::abs(s[i] - (prev >> 1)));
        prev = s[i];
    }
    static constexpr int FRACTIONS[] = {3, 4, 5, 6, 8, 10}; // eighths of the peak
    int best = 0, last = -1;
    int64_t bestError = INT64_MAX;
    for (int f : FRACTIONS) {
        const int c = mediumCodeFor(peak * f / 8);
        if (c == last) continue;
        last = c;
        const int64_t error = greedyMediumError(s, n, acc, c);
        if (error < bestError) bestError = error, best = c;
    }
    searchMedium<MEDIUM_PATHS>(s, n, acc, levels, best);
    return best;
}

// ---- High ------------------------------------------------------------------------------------

// Two paths gain about 0.2 dB on speech over the greedy choice.
constexpr int HIGH_PATHS = 2;

template <int K> int64_t searchHigh(const int16_t* s, int n, int32_t& acc, uint8_t* signs, int e) {
    const int32_t y[2] = {(int32_t(1) << e) - 1, -(int32_t(1) << e)};
    return searchGroup<K, 2, HIGH_GROUP_SAMPLES>(
        s, n, acc, signs,
        [&y](int32_t a, int b) { return static_cast<int32_t>((int64_t(a) + y[b]) >> 1); },
        [](int32_t a) { return static_cast<int16_t>(a); });
}

// The error of the greedy choice of signs with exponent e.
int64_t greedyHighError(const int16_t* s, int n, int32_t acc, int e) {
    const int32_t up = (int32_t(1) << e) - 1, down = -(int32_t(1) << e);
    int64_t error = 0;
    for (int i = 0; i < n; ++i) {
        const int32_t a = static_cast<int32_t>((int64_t(acc) + up) >> 1);
        const int32_t b = static_cast<int32_t>((int64_t(acc) + down) >> 1);
        const int64_t ea = squared(s[i] - int16_t(a)), eb = squared(s[i] - int16_t(b));
        acc = ea <= eb ? a : b;
        error += std::min(ea, eb);
    }
    return error;
}

// The decoder's output moves halfway towards +-2^e each sample, so e must reach the group's
// peak; a few exponents around that are ranked by their greedy error, and the signs for the
// best one chosen with look-ahead.
int encodeHighGroupClosed(const int16_t* s, int n, int32_t& acc, uint8_t* signs) {
    uint32_t m = 0;
    for (int i = 0; i < n; ++i)
        m |= static_cast<uint32_t>(s[i] ^ (s[i] >> 15));
    const int fit = std::bit_width(m & 0x7FFF);
    int best = fit;
    int64_t bestError = INT64_MAX;
    for (int e = std::max(0, fit - 2); e <= std::min(15, fit + 1); ++e) {
        const int64_t error = greedyHighError(s, n, acc, e);
        if (error < bestError) bestError = error, best = e;
    }
    searchHigh<HIGH_PATHS>(s, n, acc, signs, best);
    return best;
}

} // namespace

void encodeLowClosedLoop(const int16_t* src, uint8_t* dst, int n) {
    encodeLowGroups(src, dst, n, encodeLowGroupClosed);
}

void encodeMediumClosedLoop(const int16_t* src, uint8_t* dst, int n, int32_t& state) {
    const bool trace = (settings.diagBits.load(std::memory_order_relaxed) & DIAG_VOLS) != 0;
    for (int at = 0; at < n; at += MEDIUM_GROUP_SAMPLES, dst += MEDIUM_GROUP_BYTES) {
        const int count = std::min(MEDIUM_GROUP_SAMPLES, n - at);
        uint8_t levels[MEDIUM_GROUP_SAMPLES];
        std::fill(levels + count, levels + MEDIUM_GROUP_SAMPLES, uint8_t(2)); // never decoded
        const int scale = encodeMediumGroupClosed(src + at, count, state, levels);
        if (trace) output(NoConsole, "%02xs ", scale);
        packLevels(levels, dst, scale);
    }
}

void encodeHighClosedLoop(const int16_t* src, uint8_t* dst, int n, int32_t& state) {
    for (int at = 0; at < n; at += HIGH_GROUP_SAMPLES, dst += HIGH_GROUP_BYTES) {
        const int count = std::min(HIGH_GROUP_SAMPLES, n - at);
        uint8_t signs[HIGH_GROUP_SAMPLES] = {};
        const int e = encodeHighGroupClosed(src + at, count, state, signs);
        for (int k = 0; k < 4; ++k) {
            unsigned word = unsigned((e >> (3 - k)) & 1) << 15;
            for (int j = 0; j < 15; ++j)
                word |= unsigned(signs[15 * k + j]) << j;
            putWord(dst + 2 * k, word);
        }
    }
}

} // namespace tc
