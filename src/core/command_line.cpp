#include "core/command_line.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "core/output.h"
#include "core/settings.h"
#include "core/window_hooks.h"
#include "platform/store.h"

namespace tc {

LaunchOptions launchOptions;

namespace {

constexpr int MIN_AUDIO_BUFFERS = 2;
constexpr int MAX_AUDIO_BUFFERS = 64;

// Takes "--name=value" when `word` starts with `prefix` ("--name="); the value may be empty.
bool takeValue(const std::string& word, std::string_view prefix, std::string& value) {
    if (word.compare(0, prefix.size(), prefix) != 0) return false;
    value = word.substr(prefix.size());
    return true;
}

// Takes one long option; false for a word that is none. A value outside the option's choices
// sets options.error.
bool takeLongOption(const std::string& word, LaunchOptions& options) {
    if (word == "--help") return options.help = true;
    if (word == "--version") return options.version = true;
    if (word == "--headless") return options.headless = true;
    if (word == "--list-devices") return options.listDevices = true;
    if (takeValue(word, "--audio=", options.audio)) {
        if (options.audio != "portaudio" && options.audio != "null")
            options.error = "unknown value in " + word + " (portaudio or null)";
        return true;
    }
    if (takeValue(word, "--encoder=", options.encoder)) {
        if (options.encoder != "closed-loop" && options.encoder != "reference")
            options.error = "unknown value in " + word + " (closed-loop or reference)";
        return true;
    }
    return takeValue(word, "--capture=", options.capture) ||
           takeValue(word, "--playback=", options.playback) ||
           takeValue(word, "--config=", options.config) ||
           takeValue(word, "--input-device=", options.inputDevice) ||
           takeValue(word, "--output-device=", options.outputDevice);
}

// A decimal number read the way "%d" reads it: leading blanks, an optional sign, at least one
// digit; anything after the digits is ignored. False when there is no number or it does not fit
// in 32 bits.
bool readDecimal(const std::string& word, int& value) {
    const char* start = word.c_str();
    char* end = nullptr;
    errno = 0;
    long n = std::strtol(start, &end, 10);
    if (end == start || errno == ERANGE || n < INT_MIN || n > INT_MAX) return false;
    value = static_cast<int>(n);
    return true;
}

// The character at `index` without regard to case (ASCII only, whatever the locale).
char upperAt(const std::string& word, size_t index) {
    if (index >= word.size()) return '\0';
    char c = word[index];
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

void setDefaultCompression(int level) {
    settings.defaultCompLevel = level;
    settings.defaultCompression = level;
    refreshMenuChecks();
}

void applyCompressionOption(const std::string& word) {
    switch (upperAt(word, 2)) {
    case 'L':
        setDefaultCompression(3);
        break;
    case 'M':
        setDefaultCompression(6);
        break;
    case 'H':
        setDefaultCompression(15);
        break;
    default: // compression on at the current level
        settings.defaultCompression = settings.defaultCompLevel.load();
        break;
    }
}

void applyBlockedOption(const std::string& text) {
    settings.incomingMode = INCOMING_BLOCKED;
    settings.autoMessage.set(text);
    setWindowText(WindowText::answerButton, "BLOCKED");
    std::string shown = settings.autoMessage.get();
    setWindowText(WindowText::messageLabel, shown.empty() ? "(No Message)" : shown);
}

void applyForwardOption(const std::string& address, const std::string& port) {
    settings.incomingMode = INCOMING_FORWARD;
    settings.autoMessage.set(address);
    settings.forwardPort.set(port); // cut to 6 characters
    setWindowText(WindowText::messageLabel, settings.autoMessage.get());
    setWindowText(WindowText::forwardPortLabel, settings.forwardPort.get());
    setWindowText(WindowText::answerButton, "FORWARD");
}

void applyDefaultCallOption(const std::string& address, const std::string& port,
                            const std::string& password) {
    settings.defaultCallAddress.set(address);
    settings.defaultCallPort.set(port);         // cut to 6 characters
    settings.defaultCallPassword.set(password); // cut to 126 characters
    if (settings.diagBits & DIAG_NO_ERASE) return;
    setWindowText(WindowText::hostField, settings.defaultCallAddress.get());
    setWindowText(WindowText::portField, settings.defaultCallPort.get());
    setWindowText(WindowText::pswdField, settings.defaultCallPassword.get());
}

void applyMinimizeOption() {
    if (settings.trayIcon == 0) {
        settings.showCommand = 6; // minimised
    } else {
        settings.showCommand = 0; // hidden, only the tray icon is left
        settings.trayIcon = 2;
    }
}

void applyBufferCountOption(const std::string& word) {
    int n = 0;
    if (!readDecimal(word, n)) return;
    // Fewer than two blocks cannot play while capturing, and the audio memory grows with N.
    if (n < MIN_AUDIO_BUFFERS) n = MIN_AUDIO_BUFFERS;
    if (n > MAX_AUDIO_BUFFERS) n = MAX_AUDIO_BUFFERS;
    settings.audioBufferCount = n;
    settings.audioBufferTotal = 2 * n;
}

// Number of argument words each option letter takes; -1 for a letter that is not an option.
int argumentCount(char letter) {
    switch (letter) {
    case 'A':
    case 'B':
    case 'X':
        return 1;
    case 'F':
        return 2;
    case 'D':
        return 3;
    case 'C':
    case 'H':
    case 'I':
    case 'M':
    case 'S':
    case 'T':
    case 'W':
        return 0;
    default:
        return -1;
    }
}

// Applies one option whose arguments are present at words[k + 1 ...].
void applyOption(char letter, const std::vector<std::string>& words, size_t k) {
    const std::string& word = words[k];
    switch (letter) {
    case 'A':
        settings.addressBookFile.set(words[k + 1]);
        break;
    case 'B':
        applyBlockedOption(words[k + 1]);
        break;
    case 'C':
        applyCompressionOption(word);
        break;
    case 'D':
        applyDefaultCallOption(words[k + 1], words[k + 2], words[k + 3]);
        break;
    case 'F':
        applyForwardOption(words[k + 1], words[k + 2]);
        break;
    case 'H':
        settings.hubMode = HUB_HUB;
        setWindowText(WindowText::hubButton, "HUB");
        break;
    case 'I':
        message("/I Option Must Be First\n");
        break;
    case 'M':
        applyMinimizeOption();
        break;
    case 'S':
        settings.hubMode = HUB_SERVER;
        setWindowText(WindowText::hubButton, "SERVER");
        break;
    case 'T':
        settings.terminateMode = 1;
        break;
    case 'W':
        settings.dnsUpdateActive = 1;
        break;
    case 'X':
        applyBufferCountOption(words[k + 1]);
        break;
    default:
        break;
    }
}

// The arguments written back as one command line, quoting words that hold a space or are empty.
std::string joinWords(const std::vector<std::string>& args) {
    std::string line;
    for (const std::string& arg : args) {
        if (!line.empty()) line += ' ';
        bool quote = arg.empty() || arg.find(' ') != std::string::npos;
        line += quote ? "\"" + arg + "\"" : arg;
    }
    return line;
}

std::string syntaxRow(const char* syntax, int spaces, const char* description) {
    return std::string(syntax) + std::string(static_cast<size_t>(spaces), ' ') + description + "\n";
}

} // namespace

LaunchOptions takeLongOptions(std::vector<std::string>& args) {
    LaunchOptions options;
    // Long options are taken wherever they stand before the ID: between the options (past
    // their arguments) and the start-up commands too, where a "--" word would otherwise become
    // a command and shift the ID and Port words.
    size_t k = 0;
    while (k < args.size() && options.error.empty()) {
        const std::string& word = args[k];
        if (word.starts_with("--")) {
            if (!takeLongOption(word, options)) options.error = "unknown option " + word;
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(k));
        } else if (word.starts_with("/")) {
            k += 1 + static_cast<size_t>(std::max(argumentCount(upperAt(word, 1)), 0));
        } else if (word.starts_with("-")) {
            ++k;
        } else {
            break;
        }
    }
    if (args.size() == 1 && args[0] == "/?") options.help = true;
    return options;
}

CommandChoice chooseCommandText(const std::string& stored, bool hasStored,
                                const std::string& systemCommandLine) {
    CommandChoice choice;
    if (!hasStored || stored.empty()) {
        choice.text = systemCommandLine;
    } else if (stored[0] == '+') {
        choice.text = stored.size() > 2 ? stored.substr(2) : std::string();
        choice.fromStored = true;
        choice.echo = 0;
    } else if (systemCommandLine.empty()) {
        choice.text = stored;
        choice.fromStored = true;
    } else {
        choice.text = systemCommandLine;
    }
    return choice;
}

std::vector<std::string> readStoredStartup(const std::vector<std::string>& args) {
    return readStoredStartup(args, Store());
}

std::vector<std::string> readStoredStartup(const std::vector<std::string>& args,
                                           const Store& store) {
    std::string stored;
    bool hasStored = store.readValue(STORE_STARTUP, stored) == 0;
    CommandChoice choice = chooseCommandText(stored, hasStored, joinWords(args));
    settings.echoStartupCommands = choice.echo;

    std::string dns;
    settings.dnsName.clear();
    if (store.readValue(STORE_DNS, dns) == 0) settings.dnsName.set(dns);

    if (choice.fromStored) return splitWords(choice.text);
    // The arguments already are words: the shell did the quoting.
    size_t n = std::min(args.size(), MAX_COMMAND_WORDS);
    return std::vector<std::string>(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(n));
}

std::vector<std::string> splitWords(std::string_view text, size_t maxWords) {
    enum class State { between, plain, quoted };
    std::vector<std::string> words;
    State state = State::between;
    std::string word;
    for (char c : text) {
        if (c == '\0') break;
        if (state == State::between) {
            if (words.size() >= maxWords) break;
            if (c == ' ') continue;
            word.clear();
            if (c == '"') {
                state = State::quoted;
            } else {
                word += c;
                state = State::plain;
            }
            continue;
        }
        if ((state == State::plain && c == ' ') || (state == State::quoted && c == '"')) {
            words.push_back(std::move(word));
            word.clear();
            state = State::between;
            continue;
        }
        word += c;
    }
    if (state != State::between) words.push_back(std::move(word)); // runs to the end of the text
    return words;
}

bool beginsWithTrayOption(const std::vector<std::string>& args) {
    return !args.empty() && args[0].size() >= 2 && args[0][0] == '/' && upperAt(args[0], 1) == 'I';
}

size_t parseOptions(const std::vector<std::string>& words, bool trayIconFirst) {
    size_t n = words.size();
    size_t k = 0;
    // The leading "/I" was acted on at program entry. Only that word is passed over: when the
    // stored start-up text replaced the command line, its first word is a real option.
    if (trayIconFirst && beginsWithTrayOption(words)) k = 1;
    while (k < n && !words[k].empty() && words[k][0] == '/') {
        const std::string& word = words[k];
        char letter = upperAt(word, 1);
        int needs = argumentCount(letter);
        if (needs < 0) {
            message("Invalid Option %s Ignored\n", word.c_str());
            ++k;
            continue;
        }
        if (k + static_cast<size_t>(needs) >= n) {
            message("Missing Arguments %s Ignnored\n", word.c_str());
            return n;
        }
        applyOption(letter, words, k);
        k += 1 + static_cast<size_t>(needs);
    }
    return k;
}

size_t takeStartupCommands(const std::vector<std::string>& words, size_t index) {
    settings.startupCommands.clear();
    while (index < words.size() && !words[index].empty() && words[index][0] == '-')
        settings.startupCommands.push_back(words[index++]);
    settings.startupCommandCount = static_cast<int>(settings.startupCommands.size());
    return index;
}

TrailingArgs takeTrailingArgs(const std::vector<std::string>& words, size_t index) {
    TrailingArgs trailing;
    if (index < words.size()) trailing.id = words[index];
    if (index + 1 < words.size()) trailing.port = words[index + 1];
    if (index + 2 < words.size()) trailing.pswd = words[index + 2];
    return trailing;
}

int parseListenPort(const std::string& word) {
    int port = 0;
    if (!readDecimal(word, port)) return 1;
    settings.listenPort = port;
    settings.listenAddress.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
    return 0;
}

void applyBufferCount() {
    int half = settings.audioBufferCount / 2;
    settings.thresh1 = half;
    settings.thresh2 = half;
    settings.dumpLim = half;
}

TrailingArgs parseCommandLine(const std::vector<std::string>& args) {
    std::vector<std::string> words = readStoredStartup(args);
    size_t k = parseOptions(words, settings.trayIcon != 0);
    k = takeStartupCommands(words, k);
    return takeTrailingArgs(words, k);
}

std::string syntaxText() {
    std::string text;
    text += "TALKCIRCLE CONSOLE  Version 1.1\n";
    text += "\n";
    text += "TALKCIRCLE [ /? ] [ /I ] [ option .... ] [ command .... ] [ ID [ Port [ Pswd ]]]\n";
    text += "\n";
    text += syntaxRow("/?", 24, "Show Syntax");
    text += syntaxRow("/I", 25, "Use Status Icon Instead of Taskbar");
    text += "\n";
    text += "Options:\n";
    text += "\n";
    text += syntaxRow("/A FileName", 8, "Set Default Address Book");
    text += syntaxRow("/C[L | M | H]", 9, "Set Compressed Mode (Level)");
    text += syntaxRow("/D IP Port Pswd", 2, "Set Default Call Settings");
    text += syntaxRow("/B Message", 8, "Set Blocked Mode");
    text += syntaxRow("/F IP Port", 12, "Set Forwaring Mode");
    text += syntaxRow("/H", 23, "Set Hub Mode");
    text += syntaxRow("/M", 23, "Minimize Window");
    text += syntaxRow("/S", 23, "Set Server Mode");
    text += syntaxRow("/T", 23, "Terminate After Last Call Ends");
    text += syntaxRow("/W", 22, "Get Dynamic DNS Web Page");
    text += "\n";
    text += syntaxRow("Commands:", 9, "\"  -  Command [ Arg .... ] \"");
    text += "\n";
    text += syntaxRow("Blk Y|N", 15, "Block Incoming Calls");
    text += syntaxRow("Call IP Port [ID]", 3, "Place Call");
    text += syntaxRow("Drop #", 16, "Drop Call ( -1 = All )");
    text += syntaxRow("Exp #", 18, "Export Call List Request");
    text += syntaxRow("Fwd IP Port", 9, "Forward Incoming Calls");
    text += syntaxRow("Hold #", 16, "Hold Call ( -1 = All  or use \"N\" )");
    text += syntaxRow("Komp # Y|N", 8, "Set Compression Mode ( -1 = Set Default )");
    text += syntaxRow("Mute Y|N", 12, "Mutes/Enables Microphone");
    text += syntaxRow("Priv #", 18, "Isolate Call");
    text += syntaxRow("Quit", 21, "Quit");
    text += syntaxRow("Reply [Mess]", 7, "Set Automatic Reply Message");
    text += syntaxRow("Send # Mess", 6, "Send Message ( -1 = All )");
    text += syntaxRow("Talk #", 17, "Activate Line ( -1 = All  or use \"A\" )");
    text += syntaxRow("Vol L# M|S V#", 4, "Set Mike or Speaker Volume ( -1 = Master+All )");
    text += syntaxRow("Win", 21, "Activate DOS Console Window");
    text += syntaxRow("/Hub H|S|N", 9, "Hub or Server Mode");
    text += syntaxRow("#", 25, "Delay in MilliSeconds");
    text.pop_back(); // no line break after the last line
    return text;
}

} // namespace tc
