#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

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
    uint64_t generation = 0; // counts the requests queued; a new one replaces the running one
    // Remote requests replaced before they ended: the closing replies they are still owed, as
    // (line, last command), oldest first.
    std::vector<std::pair<int, std::string>> unanswered;
    std::condition_variable wake; // with `mutex`: a request queued, Quit, or stop
    std::atomic<int> showCommandList{1};
    std::atomic<bool> stopRequested{false};
    AutoResetEvent queueEvent; // set when commands are queued or the threads must stop
    AutoResetEvent idleEvent;  // set to wake an idle console thread (console opened, stop)
};

extern CommandState commandState;

// Queues the commands of an authorised PKT_COMMAND that arrived on `line`: the payload becomes
// the command buffer and the value the command count. A request still running is replaced: the
// command it runs finishes (a Delay ends at once) and the rest of it is dropped. Never waits for
// the queue. Returns 0 when queued, 1 for a line number out of range.
int queueRemoteCommands(const Packet& packet, int line);
// Queues one command line from the window (Tools, Execute; CALL with "- "), replacing a running
// request as above. Returns 0.
int queueWindowCommand(const std::string& text);
// Wakes the command threads' Delays so they see Quit or a stop request at once.
void wakeCommandSleeps();

} // namespace tc
