#pragma once
#include <string>

#include "calls/protocol.h"

namespace tc {

// Queues the commands of an authorised PKT_COMMAND that arrived on `line`: the payload becomes
// the command buffer and the value the command count. Returns 0 when queued, 1 when the queue is
// still busy with earlier commands (nothing is overwritten).
int queueRemoteCommands(const Packet& packet, int line);
// Queues one command line from the window (Tools, Execute; CALL with "- "). Returns 0 or 1 as
// above.
int queueWindowCommand(const std::string& text);

} // namespace tc
