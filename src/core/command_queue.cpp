#include "core/command_queue.h"

#include <algorithm>
#include <cstring>

#include "core/line_table.h"
#include "core/output.h"

namespace tc {

CommandState commandState;

int queueRemoteCommands(const Packet& packet, int line) {
    if (line < 0 || line >= MAX_LINES) return 1;
    {
        std::lock_guard lock(commandState.mutex);
        if (outputState.commandSource != -1) return 1;
        CommandQueue& q = commandState.queue;
        std::memcpy(q.commandBuffer, packet.payload, PAYLOAD_BYTES);
        q.commandIndex = 0;
        q.commandCount = packet.value();
        outputState.commandSource = commandSourceOf(line);
    }
    commandState.queueEvent.set();
    return 0;
}

int queueWindowCommand(const std::string& text) {
    {
        std::lock_guard lock(commandState.mutex);
        if (outputState.commandSource != -1) return 1;
        CommandQueue& q = commandState.queue;
        std::memset(q.commandBuffer, 0, PAYLOAD_BYTES);
        size_t length = std::min<size_t>(strnlen(text.c_str(), text.size()), PAYLOAD_BYTES - 1);
        std::memcpy(q.commandBuffer, text.data(), length);
        q.commandIndex = 0;
        q.commandCount = 1;
        outputState.commandSource = -2;
    }
    commandState.queueEvent.set();
    return 0;
}

} // namespace tc
