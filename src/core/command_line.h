#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/launch_options.h"

namespace tc {

class Store;

// At most this many words of a command line are taken; the rest is ignored.
constexpr size_t MAX_COMMAND_WORDS = 31;

// Takes the long options (--help, --version, --headless, --audio=, --capture=, --playback=,
// --config=, --list-devices, --input-device=, --output-device=, --encoder=) out of `args`: those
// in front and those among the options and start-up commands, up to the ID. A "--" word that is
// none of them, or a value outside an option's choices, sets the result's error and ends the
// scan. A remaining command line of exactly "/?" also asks for help.
LaunchOptions takeLongOptions(std::vector<std::string>& args);

// The command text chosen from the stored start-up text and the system command line.
struct CommandChoice {
    std::string text;        // the text to split into words
    bool fromStored = false; // the stored text was chosen
    int echo = 1;            // the new value of Settings.echoStartupCommands
};

// A stored text beginning with "+" always wins (from its third character on, without echo);
// any other stored text is used only when the system command line is empty.
CommandChoice chooseCommandText(const std::string& stored, bool hasStored,
                                const std::string& systemCommandLine);

// Reads "Startup" and "DNS" from the store, sets Settings.echoStartupCommands and
// Settings.dnsName, and returns the words to parse: the stored text cut by splitWords when it
// was chosen, otherwise the program's own arguments (at most MAX_COMMAND_WORDS of them).
std::vector<std::string> readStoredStartup(const std::vector<std::string>& args);
std::vector<std::string> readStoredStartup(const std::vector<std::string>& args,
                                           const Store& store);

// Cuts a text into words: only the space separates, a word that starts with a double quotation
// mark runs to the next one (spaces included), a mark inside a plain word is an ordinary
// character. At most `maxWords` words are taken.
std::vector<std::string> splitWords(std::string_view text, size_t maxWords = MAX_COMMAND_WORDS);

// True when the system command line begins with "/I" (either case): the program then uses the
// status icon (Settings.trayIcon = 1, set by the caller before the options are applied).
bool beginsWithTrayOption(const std::vector<std::string>& args);

// Applies the options ("/" words) from the front of `words` to the settings and the window
// model. With `trayIconFirst` a leading "/I" word is passed over. Returns the index of the first
// word after the options (words.size() when option processing ended early).
size_t parseOptions(const std::vector<std::string>& words, bool trayIconFirst);

// Records the "-" words from `index` on as Settings.startupCommands; returns the index of the
// first trailing argument.
size_t takeStartupCommands(const std::vector<std::string>& words, size_t index);

// The trailing ID, Port and Pswd words; later words are ignored.
struct TrailingArgs {
    std::optional<std::string> id;
    std::optional<std::string> port;
    std::optional<std::string> pswd;
};
TrailingArgs takeTrailingArgs(const std::vector<std::string>& words, size_t index);

// Reads the Port word as a decimal number into Settings.listenPort and the port of
// Settings.listenAddress (its low 16 bits). Returns 0 when the word is a number, 1 when it is
// not: the caller then goes on as if no port had been given.
int parseListenPort(const std::string& word);

// Sets thresh1, thresh2 and dumpLim from Settings.audioBufferCount (N / 2); run after the
// options, so /X changes them too.
void applyBufferCount();

// The whole command-line step of start-up: reads the stored start-up text, applies the options
// (passing over a leading "/I" when Settings.trayIcon is set) and records the start-up
// commands. Returns the trailing arguments for start-up to act on.
TrailingArgs parseCommandLine(const std::vector<std::string>& args);

// The text of the syntax box, 39 lines, without a line break after the last.
std::string syntaxText();

} // namespace tc
