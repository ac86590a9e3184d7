#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/program.h"
#include "core/command_line.h"
#include "core/settings.h"
#include "platform/display_probe.h"
#include "platform/store.h"
#include "platform/wave_backends.h"

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

// A one-line error on stderr; returns `status`.
int printError(const std::string& text, int status) {
    std::string line = "talkcircle: " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    return status;
}

// --list-devices prints the sound devices (returns 0); --input-device and --output-device are
// turned into the names of the devices they choose. -1 to go on, 1 when the sound system did not
// start, 2 for a choice that names no device or several.
int chooseSoundDevices(tc::LaunchOptions& options) {
    struct Choice {
        std::string& device;
        const std::string& file; // a WAV file replaces the device
        bool capture;
    } choices[] = {{options.inputDevice, options.capture, true},
                   {options.outputDevice, options.playback, false}};
    bool choose = false;
    for (const Choice& c : choices)
        choose = choose || (!c.device.empty() && c.file.empty() && options.audio == "portaudio");
    if (!options.listDevices && !choose) return -1;
    std::vector<tc::SoundDevice> devices;
    std::string error;
    if (tc::listSoundDevices(devices, error) != 0) return printError(error, 1);
    if (options.listDevices) {
        std::string text = tc::soundDeviceText(devices);
        text.pop_back(); // printLine ends the last line
        return printLine(text);
    }
    for (const Choice& c : choices) {
        std::string name;
        if (c.device.empty() || !c.file.empty()) continue;
        if (tc::findSoundDevice(devices, c.device, c.capture, name, error) != 0)
            return printError(error, 2);
        c.device = name;
    }
    return -1;
}

// A window can be shown: a Qt platform chosen outright (offscreen, ...), or an X or Wayland
// display that answers. A display that is named but does not answer counts as none: the toolkit
// would end the process when it cannot connect.
bool displayAvailable() {
#ifdef TC_HAVE_QT
    const char* chosen = std::getenv("QT_QPA_PLATFORM");
    std::string platform = chosen ? std::string(chosen, std::strcspn(chosen, ":")) : "";
    bool wayland = platform.rfind("wayland", 0) == 0;
    if (!platform.empty() && !wayland && platform != "xcb") return true;
    bool waylandAnswers = platform != "xcb" && tc::waylandDisplayAnswers();
    bool xAnswers = !wayland && tc::xDisplayAnswers();
    // Only Wayland answers: the toolkit must not try X first.
    if (waylandAnswers && !xAnswers && platform.empty()) setenv("QT_QPA_PLATFORM", "wayland", 1);
    return waylandAnswers || xAnswers;
#else
    return false;
#endif
}

} // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    // A peer that vanishes ends its line (the send fails), never the program.
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> args(argv + 1, argv + argc);
    tc::LaunchOptions options = tc::takeLongOptions(args);
    if (!options.error.empty()) return printError(options.error, 2);
    if (options.help) {
        std::string text = tc::syntaxText();
        int printed = printLine(text);
#ifdef TC_HAVE_QT
        if (tc::syntaxBoxWanted(options.headless) && displayAvailable())
            tc::showSyntaxBox(argc, argv, text);
#endif
        return printed;
    }
    if (options.version) return printLine(tc::BANNER);
    if (int status = chooseSoundDevices(options); status >= 0) return status;

    // "/I" first: the window lives in the tray, decided before the window is made.
    if (tc::beginsWithTrayOption(args)) tc::settings.trayIcon = 1;
    // Without a window the terminal is the console.
    bool window = !options.headless && displayAvailable();
    options.headless = !window;
    tc::launchOptions = options;
    tc::setStorePath(options.config);
    // Before the toolkit starts threads of its own.
    tc::blockTerminationSignals(options.headless);
#ifdef TC_HAVE_QT
    if (window) return tc::runQtProgram(argc, argv, [&] { return tc::runProgram(options, args); });
#endif
    return tc::runProgram(options, args);
}
