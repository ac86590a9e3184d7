#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/program.h"
#include "core/command_line.h"
#include "core/settings.h"
#include "platform/store.h"

#ifdef TC_HAVE_QT
#include "ui/qt/qt_program.h"
#endif

namespace {

// Writes the text and a line break to stdout; 0 when it all arrived.
int printLine(const std::string& text) {
    std::string line = text + "\n";
    bool ok = std::fwrite(line.data(), 1, line.size(), stdout) == line.size();
    return std::fflush(stdout) == 0 && ok ? 0 : 1;
}

// A window can be shown: an X or Wayland display, or a Qt platform chosen outright.
bool displayAvailable() {
#ifdef TC_HAVE_QT
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
#endif
    return false;
}

} // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    // A peer that vanishes ends its line (the send fails), never the program.
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> args(argv + 1, argv + argc);
    tc::LaunchOptions options = tc::takeLongOptions(args);
    if (options.help) {
        std::string text = tc::syntaxText();
        int printed = printLine(text);
#ifdef TC_HAVE_QT
        if (tc::syntaxBoxWanted(options.headless)) tc::showSyntaxBox(argc, argv, text);
#endif
        return printed;
    }
    if (options.version) return printLine(tc::BANNER);

    // "/I" first: the window lives in the tray, decided before the window is made.
    if (tc::beginsWithTrayOption(args)) tc::settings.trayIcon = 1;
    // Without a window the terminal is the console.
    bool window = !options.headless && displayAvailable();
    options.headless = !window;
    tc::launchOptions = options;
    tc::setStorePath(options.config);
#ifdef TC_HAVE_QT
    if (window) return tc::runQtProgram(argc, argv, [&] { return tc::runProgram(options, args); });
#endif
    return tc::runProgram(options, args);
}
