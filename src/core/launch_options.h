#pragma once
#include <string>
#include <vector>

namespace tc {

// The Linux long options, taken off the front of the command line before the classic options.
struct LaunchOptions {
    bool help = false;                   // --help, or a command line of exactly "/?"
    bool version = false;                // --version
    bool headless = false;               // --headless (also chosen when no display is available)
    std::string audio = "portaudio";     // --audio=portaudio|null
    std::string capture;                 // --capture=FILE.wav
    std::string playback;                // --playback=FILE.wav
    std::string config;                  // --config=FILE
    std::string encoder = "closed-loop"; // --encoder=closed-loop|reference
    bool listDevices = false;            // --list-devices
    std::string inputDevice;             // --input-device=INDEX|NAME (empty: the default device)
    std::string outputDevice;            // --output-device=INDEX|NAME
    std::string error;                   // an unknown long option or a bad value, as reported
};

extern LaunchOptions launchOptions;

} // namespace tc
