#pragma once
#include <cstdint>
#include <string>

#include "core/protocol.h"

namespace tc {

// Reads line n's stream packet by packet and acts on each, until the line ends, the connection
// closes or a forward was followed.
void receiveThread(int line);

// What the receive thread does next after a packet.
enum class RxNext { next, stop };
// Acts on the packet in line n's rxPacket (its text bytes already bounded).
RxNext actOnPacket(int line);

// Shows a query box that arrived on line n and sends the answer back while the same call is
// still up. kind: 0 OK (no reply), 1 OK, 2 Yes/No, 3 Yes/No/Cancel.
void queryThread(int line, uint32_t serial, std::string question, int kind);

} // namespace tc
