#pragma once
#include "core/line_table.h"

namespace tc {

// Turning the blocks the audio engine hands a line (txBlock) into the line's audio packets. The
// caller holds the line's txLock.

// True when the block in txBlock completes a compressed packet, which then has to be encoded.
bool txBlockCompletesPacket(const LineRecord& r);
// Takes the block in txBlock: collects it in txPending with the microphone gain applied and stamps
// the packet with txSeq. Returns the code of the packet that is due (a raw one at once, a
// compressed one when its last block came), which buildTxPacket then fills, or -1.
int takeTxBlock(LineRecord& r);
// Fills txPacket from the collected blocks (encoding them for a compressed code). The
// closed-loop encoders keep in txCodecState the far decoder's state; the reference ones the
// last sample sent.
void buildTxPacket(LineRecord& r, int code);

} // namespace tc
