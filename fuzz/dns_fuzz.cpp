// The dynamic DNS client's two readers of outside bytes: the stored update URL (up to the first
// NUL of the input) and the update server's reply (the rest), read from a socket until it ends.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <unistd.h>

#include "commands/dns.h"
#include "core/output.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static tc::fuzz::QuietConsole console;
    const void* nul = std::memchr(data, 0, size);
    size_t urlSize = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - data) : size;
    tc::UpdateUrl url;
    if (tc::parseUpdateUrl(std::string(reinterpret_cast<const char*>(data), urlSize), url) == 0) {
        if (url.port < 0 || url.port > 65535) __builtin_trap();
        if (url.host.size() + url.path.size() > urlSize) __builtin_trap();
    }
    if (!nul) return 0;
    tc::attachConsole(&console);
    int sock = tc::fuzz::streamOf(data + urlSize + 1, size - urlSize - 1);
    tc::scanUpdateReply(sock);
    close(sock);
    tc::attachConsole(nullptr);
    return 0;
}
