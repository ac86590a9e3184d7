#include "calls/send.h"

#include <bit>
#include <cstring>

#include "calls/call_out.h"
#include "core/codec.h"
#include "core/launch_options.h"
#include "core/line_table.h"
#include "core/protocol.h"
#include "core/window_hooks.h"

namespace tc {

namespace {

constexpr int TX_WAIT_MS = 500;

void blockToPayload(const int16_t* block, uint8_t* payload) {
    static_assert(std::endian::native == std::endian::little);
    std::memcpy(payload, block, BLOCK_BYTES);
}

// Compresses the first `code` pending blocks into the packet payload. The closed-loop encoders
// keep in txCodecState the far decoder's state; the reference ones the last sample sent.
void compressPending(LineRecord& r, int code, bool closedLoop) {
    int16_t* pending = &r.txPending[0][0];
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

void sendThread(int n) {
    LineRecord& r = lineTable[n];
    int pending = 0;
    const bool closedLoop = launchOptions.encoder != "reference";
    while (!r.ending) {
        int code = r.compCode;
        if (!r.txReady.load(std::memory_order_acquire)) {
            txEvent[n].wait(TX_WAIT_MS);
            continue;
        }
        int16_t block[BLOCK_SAMPLES];
        scaleBlock(block, r.txBlock, r.micGain);
        r.txPacket.setValue(static_cast<int32_t>(r.txSeq.load()));
        if (code != COMP_NONE)
            std::memcpy(r.txPending[pending++], block, BLOCK_BYTES);
        else
            pending = 0;
        r.txReady.store(0, std::memory_order_release);
        if (code != COMP_NONE) {
            if (pending < code) continue;
            compressPending(r, code, closedLoop);
            pending = 0;
        } else {
            blockToPayload(block, r.txPacket.payload);
        }
        r.txPacket.setType(code);
        bool webCall = !r.incoming && r.port == webCallPort;
        if (!webCall && sendLinePacket(n, r.txPacket) < 1) break;
    }
    r.ending |= 1;
    displayDirty = 1;
}

} // namespace tc
