#include "calls/send.h"

#include "core/line_table.h"
#include "core/protocol.h"
#include "core/tx_packet.h"
#include "core/window_hooks.h"

namespace tc {

namespace {

// The owner wakes the thread when the line ends; the timeout only bounds a missed wake.
constexpr int TX_WAIT_MS = 5000;

// Takes the block the engine left for this thread, and sends the packet it completes.
int sendBlock(int n, bool webCall) {
    LineRecord& r = lineTable[n];
    std::lock_guard tx(r.txLock);
    int code = takeTxBlock(r);
    // The engine may fill txBlock again from here on.
    r.txReady.store(0, std::memory_order_release);
    if (code < 0 || webCall) return 1;
    buildTxPacket(r, code);
    return sendLinePacket(n, r.txPacket);
}

} // namespace

void sendThread(int n) {
    LineRecord& r = lineTable[n];
    const bool webCall = isWebCall(r);
    // The engine sends raw packets of a call itself while it can do so without waiting.
    if (!webCall) r.txDirect.store(1, std::memory_order_release);
    while (!r.ending) {
        int sent = 1;
        if (r.txRestBytes > 0)
            sent = finishLineSend(n);
        else if (r.txReady.load(std::memory_order_acquire))
            sent = sendBlock(n, webCall);
        else
            txEvent[n].wait(TX_WAIT_MS);
        if (sent < 1) break;
    }
    r.txDirect = 0;
    r.ending |= 1;
    displayDirty = 1;
}

} // namespace tc
