#pragma once
#include <cstdint>

namespace tc {

constexpr int32_t LINEOP_TALK = 0x01;
constexpr int32_t LINEOP_HOLD = 0x02;
constexpr int32_t LINEOP_DROP = 0x04;
constexpr int32_t LINEOP_TALK_ALL = 0x08;
constexpr int32_t LINEOP_HOLD_ALL = 0x10;
constexpr int32_t LINEOP_DROP_ALL = 0x20;
constexpr int32_t LINEOP_NUMBERED = 0x40;

// Builds a numbered code: the line in the upper half (negative = all lines), the output flags
// for refusals in bits 8 to 14, the operation bits below.
constexpr int32_t lineOpCode(int line, int outputFlags, int32_t ops) {
    return static_cast<int32_t>(static_cast<uint32_t>(line) << 16) + (outputFlags << 8) + ops +
           LINEOP_NUMBERED;
}

// Talk, hold and drop on one line, all lines, or the lines selected in the line list.
// Returns 0 when done, 1 when refused (the refusal is already printed).
int lineOp(int32_t code);

} // namespace tc
