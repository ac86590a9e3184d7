#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "core/protocol.h"
#include "platform/event.h"

namespace tc {

// The command queue, laid out as a Packet (payload, type, value) so that an accepted
// PKT_COMMAND whose type is set to 0 fills all three at once. Guarded by `mutex`; producers set
// commandSource (in the output state) last, under the same lock.
struct CommandQueue {
    char commandBuffer[PAYLOAD_BYTES];
    int32_t commandIndex;
    int32_t commandCount;
};
static_assert(sizeof(CommandQueue) == sizeof(Packet));
static_assert(offsetof(CommandQueue, commandIndex) == offsetof(Packet, typeBytes));
static_assert(offsetof(CommandQueue, commandCount) == offsetof(Packet, valueBytes));

struct CommandState {
    std::mutex mutex;
    CommandQueue queue{};
    std::string lastCommand; // the request's latest command, for its closing reply
    std::atomic<int> showCommandList{1};
    std::atomic<bool> stopRequested{false};
    AutoResetEvent queueEvent; // set when commands are queued or the threads must stop
    AutoResetEvent idleEvent;  // set to wake an idle console thread (console opened, stop)
};

extern CommandState commandState;

// Queues the commands of an authorised PKT_COMMAND that arrived on `line`: the payload becomes
// the command buffer and the value the command count. Returns 0 when queued, 1 when the queue is
// still busy with earlier commands (nothing is overwritten).
int queueRemoteCommands(const Packet& packet, int line);
// Queues one command line from the window (Tools, Execute; CALL with "- "). Returns 0 or 1 as
// above.
int queueWindowCommand(const std::string& text);

} // namespace tc
