#include "commands/command_queue.h"

namespace tc {

// Placeholder until the command interpreter lands.
int queueRemoteCommands(const Packet& packet, int line) {
    (void)packet;
    (void)line;
    return 1;
}

int queueWindowCommand(const std::string& text) {
    (void)text;
    return 1;
}

} // namespace tc
