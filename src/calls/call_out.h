#pragma once
#include <string>

namespace tc {

// Places a call: claims a line, connects, sends the greeting and starts the call thread.
// Blocks for the connection attempt. Returns 0 when the call thread was started, 1 on failure.
int placeCall(const std::string& host, int port, const std::string& password, int autoRetry);

// Owns outgoing line n: starts its receive and send threads, waits until the line ends, tears it
// down and redials once when the line is marked for it.
void callThread(int line);

} // namespace tc
