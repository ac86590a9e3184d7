#include "core/program.h"

namespace tc {

LaunchOptions launchOptions;

int runProgram(const LaunchOptions& options, const std::vector<std::string>& args) {
    (void)options;
    (void)args;
    return 0;
}

} // namespace tc
