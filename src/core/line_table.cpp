#include "core/line_table.h"

#include <cstring>

#include "core/settings.h"
#include "core/window_hooks.h"

namespace tc {

LineRecord lineTable[MAX_LINES];
AutoResetEvent rxEvent[MAX_LINES];
AutoResetEvent txEvent[MAX_LINES];

namespace {

std::mutex claimMutex;

// Clears everything but the thread handles.
void clearRecord(LineRecord& r) {
    r.sock = -1;
    r.port = 0;
    r.peerPort = 0;
    r.rxAudioCount = 0;
    r.peerVersion = 0;
    r.txCodecState = 0;
    r.txPendingCount = 0;
    r.rxCodecState = 0;
    r.peerName.clear();
    r.peerId.clear();
    r.password.clear();
    r.peerAddr.set({});
    std::memset(r.rxBlock, 0, sizeof(r.rxBlock));
    std::memset(r.txBlock, 0, sizeof(r.txBlock));
    r.txSeq = 0;
    r.txPacket.clear();
    r.txRestBytes = 0;
    r.rxPacket.clear();
    std::memset(r.hubRing, 0, sizeof(r.hubRing));
    std::memset(r.rxDecoded, 0, sizeof(r.rxDecoded));
    std::memset(r.txPending, 0, sizeof(r.txPending));
    r.active = 0;
    r.rxReady = 0;
    r.txReady = 0;
    r.txDirect = 0;
    r.accepted = 0;
    r.ending = 0;
    r.incoming = 0;
    r.micGain = 0;
    r.spkGain = 0;
    r.compCode = 0;
    r.autoRetry = 0;
    r.droppedHere = 0;
    r.sendStuck = 0;
    r.queryOpen = 0;
    r.questionClosed = 0;
    r.badPasswords = 0;
    r.commandsFrom = 0;
    r.listRequested = 0;
    r.listAnsweredMs = 0;
}

constexpr uint32_t SOURCE_SERIAL_MASK = 0x0FFFFFFF;

} // namespace

int claimLine(bool incoming) {
    std::lock_guard lock(claimMutex);
    for (int n = 0; n < MAX_LINES; ++n) {
        LineRecord& r = lineTable[n];
        if (r.inUse) continue;
        clearRecord(r);
        r.micGain = static_cast<int8_t>(settings.masterMicGain.load());
        r.spkGain = static_cast<int8_t>(settings.masterSpkGain.load());
        r.compCode = static_cast<int8_t>(settings.defaultCompression.load());
        r.incoming = incoming ? 1 : 0;
        rxEvent[n].reset();
        txEvent[n].reset();
        r.inUse = 1;
        displayDirty = 1;
        return n;
    }
    return -1;
}

int commandSourceOf(int line) {
    return static_cast<int>(((lineTable[line].callSerial & SOURCE_SERIAL_MASK) << 3) |
                            static_cast<uint32_t>(line));
}

int lineOfCommandSource(int source) {
    if (source < 0) return -1;
    int line = source & 7;
    const LineRecord& r = lineTable[line];
    bool same = (r.callSerial & SOURCE_SERIAL_MASK) == (static_cast<uint32_t>(source) >> 3);
    return same && r.inUse && !r.ending ? line : -1;
}

void releaseLine(int line) {
    if (line < 0 || line >= MAX_LINES) return;
    lineTable[line].inUse = 0;
    displayDirty = 1;
}

int linesInUse() {
    int count = 0;
    for (auto& r : lineTable)
        if (r.inUse) ++count;
    return count;
}

void resetLineTable() {
    std::lock_guard lock(claimMutex);
    for (int n = 0; n < MAX_LINES; ++n) {
        clearRecord(lineTable[n]);
        lineTable[n].inUse = 0;
        rxEvent[n].reset();
        txEvent[n].reset();
    }
}

} // namespace tc
