#include "core/command_queue.h"

#include <algorithm>
#include <cstring>

#include "core/line_table.h"
#include "core/output.h"

namespace tc {

CommandState commandState;

namespace {

// Closing replies kept for replaced requests; a flood of requests beyond this gets none.
constexpr size_t MAX_UNANSWERED = 32;

// Under the queue lock: the running request, if any, gives way to a new one. A remote requester
// is still owed its closing reply, which the command-buffer thread sends.
void replaceRunningRequest() {
    int source = outputState.commandSource;
    auto& owed = commandState.unanswered;
    if (source >= 0 && owed.size() < MAX_UNANSWERED)
        owed.emplace_back(source, commandState.lastCommand);
    commandState.lastCommand.clear();
    ++commandState.generation;
}

void announceRequest() {
    commandState.wake.notify_all();
    commandState.queueEvent.set();
}

} // namespace

int queueRemoteCommands(const Packet& packet, int line) {
    if (line < 0 || line >= MAX_LINES) return 1;
    {
        std::lock_guard lock(commandState.mutex);
        replaceRunningRequest();
        CommandQueue& q = commandState.queue;
        std::memcpy(q.commandBuffer, packet.payload, PAYLOAD_BYTES);
        q.commandIndex = 0;
        q.commandCount = packet.value();
        outputState.commandSource = commandSourceOf(line);
    }
    announceRequest();
    return 0;
}

int queueWindowCommand(const std::string& text) {
    {
        std::lock_guard lock(commandState.mutex);
        replaceRunningRequest();
        CommandQueue& q = commandState.queue;
        std::memset(q.commandBuffer, 0, PAYLOAD_BYTES);
        size_t length = std::min<size_t>(strnlen(text.c_str(), text.size()), PAYLOAD_BYTES - 1);
        std::memcpy(q.commandBuffer, text.data(), length);
        q.commandIndex = 0;
        q.commandCount = 1;
        outputState.commandSource = -2;
    }
    announceRequest();
    return 0;
}

void wakeCommandSleeps() {
    std::lock_guard lock(commandState.mutex);
    commandState.wake.notify_all();
}

} // namespace tc
