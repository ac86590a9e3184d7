#pragma once
#include <cstdint>

namespace tc {

// Compression codes: each is the number of 512-sample blocks one packet carries.
constexpr int COMP_NONE = 0;
constexpr int COMP_LOW = 3;
constexpr int COMP_MEDIUM = 6;
constexpr int COMP_HIGH = 15;

constexpr int COMP_BLOCK_SAMPLES = 512;
constexpr int COMP_PAYLOAD_BYTES = 1024;

// Samples carried by one full packet at each level.
constexpr int COMP_NONE_SAMPLES = COMP_BLOCK_SAMPLES;
constexpr int COMP_LOW_SAMPLES = COMP_LOW * COMP_BLOCK_SAMPLES;       // 1536
constexpr int COMP_MEDIUM_SAMPLES = COMP_MEDIUM * COMP_BLOCK_SAMPLES; // 3072
constexpr int COMP_HIGH_SAMPLES = COMP_HIGH * COMP_BLOCK_SAMPLES;     // 7680

// Group sizes: samples in, bytes out.
constexpr int LOW_GROUP_SAMPLES = 12;
constexpr int LOW_GROUP_BYTES = 8;
constexpr int MEDIUM_GROUP_SAMPLES = 192;
constexpr int MEDIUM_GROUP_BYTES = 64;
constexpr int HIGH_GROUP_SAMPLES = 60;
constexpr int HIGH_GROUP_BYTES = 8;

// Samples per packet for a compression code; 0 for a code that is not one of the four.
constexpr int samplesPerPacket(int code) {
    switch (code) {
    case COMP_NONE:
        return COMP_NONE_SAMPLES;
    case COMP_LOW:
        return COMP_LOW_SAMPLES;
    case COMP_MEDIUM:
        return COMP_MEDIUM_SAMPLES;
    case COMP_HIGH:
        return COMP_HIGH_SAMPLES;
    default:
        return 0;
    }
}

// Applies a gain of 2^shift to one 512-sample block. Left shifts saturate to the 16-bit range;
// right shifts are arithmetic (16 or more gives 0 or -1). dst may equal src.
void scaleBlock(int16_t* dst, const int16_t* src, int shift);

// Every operation works on n samples in whole groups (ceil(n / group) groups). A last, partial
// group is encoded as if padded with silence, and only n samples are decoded from it. Payload
// words are little-endian.

// Block floating point: 12 samples -> four words holding a shared exponent and 5-bit mantissas.
void encodeLow(const int16_t* src, uint8_t* dst, int n);
// Cuts n samples into Low groups (the last padded with zeros) and codes each with `encodeGroup`.
using LowGroupEncoder = void (*)(const int32_t* samples, uint8_t* dst);
void encodeLowGroups(const int16_t* src, uint8_t* dst, int n, LowGroupEncoder encodeGroup);
void decodeLow(const uint8_t* src, int16_t* dst, int n);

// Delta coding with a six-level quantiser packed in base 6. The encoder overwrites src with
// the differences it computes. state: encoder = last input sample, decoder = integrator value.
void encodeMedium(int16_t* src, uint8_t* dst, int n, int32_t& state);
void decodeMedium(const uint8_t* src, int16_t* dst, int n, int32_t& state);

// 192 levels (0..5) plus the scale code -> 64 bytes, and back; unpackLevels returns the scale
// code and always yields levels of 0..5.
void packLevels(const uint8_t* levels, uint8_t* dst, int scale);
int unpackLevels(const uint8_t* src, uint8_t* levels);

// Sign-only delta coding. The encoder overwrites src with the half differences it computes.
void encodeHigh(int16_t* src, uint8_t* dst, int n, int32_t& state);
void decodeHigh(const uint8_t* src, int16_t* dst, int n, int32_t& state);

// Closed-loop encoders: within the same bitstream they choose the bits whose decoding by the
// decoders above comes closest to the input (analysis by synthesis). src is left unchanged.
// state is the far decoder's own state (its rxCodecState), shared by Medium and High exactly as
// the decoder shares it, so encoder and decoder stay in step across packets and level changes.
void encodeLowClosedLoop(const int16_t* src, uint8_t* dst, int n);
void encodeMediumClosedLoop(const int16_t* src, uint8_t* dst, int n, int32_t& state);
void encodeHighClosedLoop(const int16_t* src, uint8_t* dst, int n, int32_t& state);

} // namespace tc
