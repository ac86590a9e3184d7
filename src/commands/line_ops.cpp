#include "commands/line_ops.h"

#include <vector>

#include "core/line_table.h"
#include "core/output.h"
#include "core/protocol.h"
#include "core/window_hooks.h"

namespace tc {

namespace {

constexpr int32_t PER_LINE_BITS = LINEOP_TALK | LINEOP_HOLD | LINEOP_DROP;
constexpr int32_t ALL_LINES_BITS = LINEOP_TALK_ALL | LINEOP_HOLD_ALL | LINEOP_DROP_ALL;

// Switches automatic redial off on both sides and makes the line's threads close the call. The
// line is ending before the courtesy packet, which never waits for a peer that stopped reading.
void dropLine(int n) {
    LineRecord& r = lineTable[n];
    r.autoRetry = 0;
    r.droppedHere = 1;
    r.ending = 1;
    sendPacketNoWait(n, nullptr, PKT_AUTORETRY, 0);
}

// Talk or hold on one line; a line that is not yet accepted is left alone.
void setActive(int n, bool talk, bool hold) {
    LineRecord& r = lineTable[n];
    if (!r.accepted) return;
    if (hold) r.active = 0;
    if (talk) r.active = 1;
}

void applyToAllLines(int32_t ops) {
    for (int n = 0; n < MAX_LINES; ++n) {
        if (!lineTable[n].inUse) continue;
        if (ops & LINEOP_DROP_ALL) dropLine(n);
        setActive(n, ops & LINEOP_TALK_ALL, ops & LINEOP_HOLD_ALL);
    }
}

void applyToLines(const std::vector<int>& lines, int32_t ops) {
    for (int n : lines) {
        if (ops & LINEOP_DROP) dropLine(n);
        setActive(n, ops & LINEOP_TALK, ops & LINEOP_HOLD);
    }
}

} // namespace

int lineOp(int32_t code) {
    int32_t ops = code & (PER_LINE_BITS | ALL_LINES_BITS);
    std::vector<int> chosen;
    if (!(code & LINEOP_NUMBERED)) {
        if (ops & PER_LINE_BITS) {
            chosen = getSelectedLines();
            if (chosen.empty()) {
                message("No Line Selected\n");
                return 1;
            }
        }
    } else {
        int flags = (code >> 8) & 0x7F;
        int line = static_cast<int16_t>(static_cast<uint32_t>(code) >> 16);
        if (line >= 0) {
            if (line >= MAX_LINES) {
                output(flags, "Invalid Line Number\n");
                return 1;
            }
            if (!lineTable[line].inUse) {
                output(flags, "Line Not In Use\n");
                return 1;
            }
            chosen.push_back(line);
        } else {
            if (ops & ALL_LINES_BITS) {
                output(flags, "Invalid Line Number\n");
                return 1;
            }
            // A negative number means every line: each per-line bit becomes its all-lines bit.
            ops = (ops & PER_LINE_BITS) << 3;
        }
    }
    if (ops & ALL_LINES_BITS) applyToAllLines(ops);
    if (ops & PER_LINE_BITS) applyToLines(chosen, ops);
    displayDirty = 1;
    return 0;
}

} // namespace tc
