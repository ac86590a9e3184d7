// A command line through the whole option step: the long options, the word splitter (as for a
// stored start-up text), the option loop, the start-up commands, the trailing ID, port and
// password, and the port number. Byte 0 picks how the words are made.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/command_line.h"
#include "core/output.h"
#include "core/settings.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static tc::fuzz::QuietConsole console;
    if (size < 1) return 0;
    tc::attachConsole(&console);
    tc::resetSettings();
    std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<std::string> words;
    if (data[0] & 1) {
        // Words as the shell passes them: split at line feeds, any bytes inside.
        size_t start = 0;
        while (start <= text.size() && words.size() < 64) {
            size_t end = std::min(text.find('\n', start), text.size());
            words.emplace_back(text.substr(start, end - start));
            start = end + 1;
        }
        (void)tc::takeLongOptions(words);
    } else {
        words = tc::splitWords(text, data[0] >> 1);
        if (words.size() > static_cast<size_t>(data[0] >> 1)) __builtin_trap();
        for (const std::string& word : words)
            if (word.size() > text.size()) __builtin_trap();
    }
    if (data[0] & 2) tc::settings.trayIcon = 1;
    size_t k = tc::parseOptions(words, tc::beginsWithTrayOption(words));
    if (k > words.size()) __builtin_trap();
    k = tc::takeStartupCommands(words, k);
    tc::TrailingArgs trailing = tc::takeTrailingArgs(words, k);
    if (trailing.port && tc::parseListenPort(*trailing.port) == 0 &&
        ntohs(tc::settings.listenAddress.sin_port) != (tc::settings.listenPort & 0xFFFF))
        __builtin_trap();
    tc::applyBufferCount();
    tc::attachConsole(nullptr);
    return 0;
}
