#pragma once
#include <string>
#include <vector>

#include "core/launch_options.h"

namespace tc {

// Blocks the signals that end the program as Quit does (SIGTERM, SIGHUP, and SIGINT unless
// headless) in the calling thread, so that only the program's watcher takes them. Called before
// any thread starts (the window's toolkit makes threads of its own), since threads inherit it.
void blockTerminationSignals(bool headless);

// Runs the program after the long options were taken off: start-up, the long-lived threads and
// the supervisor, until shutdown. `args` are the remaining command-line words. Returns the exit
// code.
int runProgram(const LaunchOptions& options, const std::vector<std::string>& args);

} // namespace tc
