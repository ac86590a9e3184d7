// Decodes arbitrary payloads with every packet decoder, and codes them as samples with the
// closed-loop encoders. The input is cut into 1024-byte payloads
// (the last one padded with zeros) decoded in turn, so the decoder state carries over as it does
// on a line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/codec.h"

namespace {

using namespace tc;

void decodePayload(const uint8_t* payload, int32_t& mediumState, int32_t& highState) {
    static int16_t samples[COMP_HIGH_SAMPLES];

    decodeLow(payload, samples, COMP_LOW_SAMPLES);
    decodeMedium(payload, samples, COMP_MEDIUM_SAMPLES, mediumState);
    decodeHigh(payload, samples, COMP_HIGH_SAMPLES, highState);

    for (int group = 0; group < COMP_PAYLOAD_BYTES / MEDIUM_GROUP_BYTES; ++group) {
        uint8_t levels[MEDIUM_GROUP_SAMPLES];
        const int scale = unpackLevels(payload + group * MEDIUM_GROUP_BYTES, levels);
        if (scale < 0 || scale > 255) abort();
        for (uint8_t level : levels)
            if (level > 5) abort();
    }
}

// Codes the payload's bytes, read as samples, with the closed-loop encoders from the given
// decoder state: the encoder's state must come out as the decoder's.
void encodeClosedLoop(const uint8_t* payload, int32_t state) {
    static int16_t samples[COMP_HIGH_SAMPLES];
    static uint8_t packet[COMP_PAYLOAD_BYTES];
    for (int i = 0; i < COMP_HIGH_SAMPLES; ++i)
        memcpy(&samples[i], payload + 2 * (i % (COMP_PAYLOAD_BYTES / 2)), 2);
    encodeLowClosedLoop(samples, packet, COMP_LOW_SAMPLES);
    int32_t tx = state, rx = state;
    encodeMediumClosedLoop(samples, packet, COMP_MEDIUM_SAMPLES, tx);
    int16_t out[COMP_MEDIUM_SAMPLES];
    decodeMedium(packet, out, COMP_MEDIUM_SAMPLES, rx);
    if (tx != rx) abort();
    encodeHighClosedLoop(samples, packet, COMP_HIGH_SAMPLES, tx);
    static int16_t played[COMP_HIGH_SAMPLES];
    decodeHigh(packet, played, COMP_HIGH_SAMPLES, rx);
    if (tx != rx) abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Decoder states start from 0 on a line; the first eight bytes also try any other start.
    int32_t mediumState = 0;
    int32_t highState = 0;
    if (size >= 8) {
        memcpy(&mediumState, data, 4);
        memcpy(&highState, data + 4, 4);
    }
    uint8_t payload[COMP_PAYLOAD_BYTES];
    for (size_t at = 0; at < size || at == 0; at += COMP_PAYLOAD_BYTES) {
        const size_t take = size - at < COMP_PAYLOAD_BYTES ? size - at : COMP_PAYLOAD_BYTES;
        memset(payload, 0, sizeof payload);
        if (take > 0) memcpy(payload, data + at, take);
        decodePayload(payload, mediumState, highState);
        encodeClosedLoop(payload, mediumState);
    }
    return 0;
}
