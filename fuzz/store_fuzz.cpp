// A store file edited by hand into anything: its values read back, the start-up text taken from
// it through the word splitter and the option loop, and one value written and deleted again
// (the other lines of the file are kept as they are). Byte 0 picks what is done.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/command_line.h"
#include "core/output.h"
#include "core/settings.h"
#include "core/window_hooks.h"
#include "fuzz_support.h"
#include "platform/store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static tc::fuzz::QuietConsole console;
    static const std::string path = tc::fuzz::scratchFolder() + "/talkcircle.conf";
    if (size < 1) return 0;
    tc::attachConsole(&console);
    tc::resetSettings();
    tc::fuzz::writeFile(path, data + 1, size - 1);
    tc::Store store(path);
    for (const char* name : {tc::STORE_STARTUP, tc::STORE_DNS, tc::STORE_DNS_UPDATE}) {
        std::string value;
        if (store.readValue(name, value) == 0 && value.size() > tc::STORE_VALUE_LIMIT)
            __builtin_trap();
    }
    std::vector<std::string> args;
    if (data[0] & 1) args = {"/S", "Id"};
    std::vector<std::string> words = tc::readStoredStartup(args, store);
    if (words.size() > tc::MAX_COMMAND_WORDS) __builtin_trap();
    size_t k = tc::parseOptions(words, data[0] & 2);
    k = tc::takeStartupCommands(words, k);
    (void)tc::takeTrailingArgs(words, k);
    if (data[0] & 4) {
        std::string back;
        if (store.writeValue("DNS", "name.example") != 0) __builtin_trap();
        if (store.readValue("DNS", back) != 0 || back != "name.example") __builtin_trap();
        if (store.deleteValue("DNS") != 0 || store.readValue("DNS", back) == 0) __builtin_trap();
    }
    tc::attachConsole(nullptr);
    return 0;
}
