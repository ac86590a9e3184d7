#pragma once
#include <string>
#include <vector>

#include "core/launch_options.h"

namespace tc {

// Runs the program after the long options were taken off: start-up, the long-lived threads and
// the supervisor, until shutdown. `args` are the remaining command-line words. Returns the exit
// code.
int runProgram(const LaunchOptions& options, const std::vector<std::string>& args);

} // namespace tc
