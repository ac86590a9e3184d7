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
    if (!options.error.empty()) return printError(options.error, 2);
    if (options.help) {
        std::string text = tc::syntaxText();
        int printed = printLine(text);
#ifdef TC_HAVE_QT
        if (tc::syntaxBoxWanted(options.headless)) tc::showSyntaxBox(argc, argv, text);
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
#ifdef TC_HAVE_QT
    if (window) return tc::runQtProgram(argc, argv, [&] { return tc::runProgram(options, args); });
#endif
    return tc::runProgram(options, args);
}
