#include "commands/line_ops.h"

namespace tc {

// Placeholder until the command interpreter lands.
int lineOp(int32_t code) {
    (void)code;
    return 1;
}

} // namespace tc
