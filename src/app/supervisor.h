#pragma once

namespace tc {

// The supervisor: idles while no line is in use, runs an audio period while lines exist, and
// returns once shutdown() has been called. Every 500 ms it refreshes the display and reaps
// finished threads.
void supervisorLoop();

} // namespace tc
