#pragma once
// One packet through a codec, as a send thread codes it and a receive thread decodes it.
#include <cstdint>
#include <vector>

#include "core/codec.h"

namespace tc::test {

// Codes the samples as one packet at level `code` with the reference or the closed-loop encoder
// and puts back what the decoder plays; `enc` and `dec` carry the codec states between packets.
inline void codePacket(std::vector<int16_t>& packet, int code, bool closedLoop, int32_t& enc,
                       int32_t& dec) {
    uint8_t payload[COMP_PAYLOAD_BYTES];
    const int n = int(packet.size());
    if (code == COMP_LOW) {
        (closedLoop ? encodeLowClosedLoop : encodeLow)(packet.data(), payload, n);
        decodeLow(payload, packet.data(), n);
    } else if (code == COMP_MEDIUM) {
        closedLoop ? encodeMediumClosedLoop(packet.data(), payload, n, enc)
                   : encodeMedium(packet.data(), payload, n, enc);
        decodeMedium(payload, packet.data(), n, dec);
    } else if (code == COMP_HIGH) {
        closedLoop ? encodeHighClosedLoop(packet.data(), payload, n, enc)
                   : encodeHigh(packet.data(), payload, n, enc);
        decodeHigh(payload, packet.data(), n, dec);
    }
}

} // namespace tc::test
