#include <clocale>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "core/command_line.h"
#include "core/program.h"
#include "core/settings.h"
#include "platform/store.h"

namespace {

// Writes the text and a line break to stdout; 0 when it all arrived.
int printLine(const std::string& text) {
    std::string line = text + "\n";
    bool ok = std::fwrite(line.data(), 1, line.size(), stdout) == line.size();
    return std::fflush(stdout) == 0 && ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    // A peer that vanishes ends its line (the send fails), never the program.
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> args(argv + 1, argv + argc);
    tc::LaunchOptions options = tc::takeLongOptions(args);
    if (options.help) return printLine(tc::syntaxText());
    if (options.version) return printLine(tc::BANNER);

    tc::launchOptions = options;
    tc::setStorePath(options.config);
    return tc::runProgram(options, args);
}
