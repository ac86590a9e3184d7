#include "core/tx_packet.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/codec.h"
#include "core/launch_options.h"

namespace tc {

namespace {

void compressPending(LineRecord& r, int code) {
    int16_t* pending = &r.txPending[0][0];
    const bool closedLoop = launchOptions.encoder != "reference";
    if (closedLoop) {
        if (code == COMP_LOW)
            encodeLowClosedLoop(pending, r.txPacket.payload, COMP_LOW_SAMPLES);
        else if (code == COMP_MEDIUM)
            encodeMediumClosedLoop(pending, r.txPacket.payload, COMP_MEDIUM_SAMPLES,
                                   r.txCodecState);
        else
            encodeHighClosedLoop(pending, r.txPacket.payload, COMP_HIGH_SAMPLES, r.txCodecState);
    } else if (code == COMP_LOW)
        encodeLow(pending, r.txPacket.payload, COMP_LOW_SAMPLES);
    else if (code == COMP_MEDIUM)
        encodeMedium(pending, r.txPacket.payload, COMP_MEDIUM_SAMPLES, r.txCodecState);
    else
        encodeHigh(pending, r.txPacket.payload, COMP_HIGH_SAMPLES, r.txCodecState);
}

} // namespace

bool txBlockCompletesPacket(const LineRecord& r) {
    const int code = r.compCode;
    return code != COMP_NONE && r.txPendingCount + 1 >= code;
}

int takeTxBlock(LineRecord& r) {
    const int code = r.compCode;
    if (code == COMP_NONE) r.txPendingCount = 0; // a raw block ends a group being collected
    scaleBlock(r.txPending[r.txPendingCount++], r.txBlock, r.micGain);
    r.txPacket.setValue(static_cast<int32_t>(r.txSeq.load()));
    return r.txPendingCount >= std::max(code, 1) ? code : -1;
}

void buildTxPacket(LineRecord& r, int code) {
    static_assert(std::endian::native == std::endian::little);
    if (code == COMP_NONE) // the samples are little-endian on the wire and in memory here
        std::memcpy(r.txPacket.payload, r.txPending[0], BLOCK_BYTES);
    else
        compressPending(r, code);
    r.txPendingCount = 0;
    r.txPacket.setType(code);
}

} // namespace tc
