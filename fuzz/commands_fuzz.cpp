// Command lines and remote command packets through the interpreter, with lines whose sockets
// are local socket pairs. Commands that would reach the network, the store, the terminal or
// sleep (Call, "&", "+", Window, Delay) are turned into an invalid command first.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "commands/command_thread.h"
#include "core/command_queue.h"
#include "core/line_table.h"
#include "core/output.h"
#include "core/settings.h"
#include "platform/console.h"

namespace {

using namespace tc;

class QuietConsole : public Console {
  public:
    void write(std::string_view) override {}
    int readLine(std::string& line) override {
        if (lines_ == 0) return 1;
        --lines_;
        line = "typed line";
        return 0;
    }
    std::vector<std::string> screen() const override {
        return std::vector<std::string>(CONSOLE_ROWS, std::string(CONSOLE_COLUMNS, 'x'));
    }
    int lines_ = 0;
};

QuietConsole console;
int peers[MAX_LINES];
int ends[MAX_LINES];

void setUpLines() {
    for (int n = 0; n < MAX_LINES; ++n) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) abort();
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        fcntl(fds[1], F_SETFL, O_NONBLOCK);
        ends[n] = fds[0];
        peers[n] = fds[1];
    }
}

void drainLines() {
    char buf[8192];
    for (int peer : peers)
        while (recv(peer, buf, sizeof(buf), 0) > 0) {
        }
}

bool harmful(char c) {
    if (c >= '0' && c <= '9') return true;
    if (c == '+' || c == '&' || c == '"' || c == '#') return true;
    int key = static_cast<unsigned char>(c) & ~0x20;
    return key == 'C' || key == 'W';
}

// Makes a command harmless in place: both a plain command and one behind "- ".
void defuse(char* command, size_t length) {
    if (length > 0 && harmful(command[0])) command[0] = 'G';
    if (length > 2 && command[0] == '-' && harmful(command[2])) command[2] = 'G';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        setUpLines();
        return true;
    }();
    (void)ready;
    if (size < 2) return 0;
    resetSettings();
    resetCommandState();
    resetLineTable();
    attachConsole(&console);
    uint8_t lines = data[0];
    uint8_t mode = data[1];
    for (int n = 0; n < MAX_LINES; ++n) {
        if (!(lines & (1 << n))) continue;
        lineTable[n].sock = ends[n];
        lineTable[n].inUse = 1;
        lineTable[n].accepted = (mode >> (n % 4)) & 1;
        lineTable[n].peerVersion = (mode & 0x80) ? 0x01000000 : 0x01010000;
    }
    settings.listenPort = (mode & 0x40) ? 8192 : 0;
    console.lines_ = mode & 3;
    data += 2;
    size -= 2;

    if (mode & 0x20) {
        // A remote request: the bytes are the payload, the count comes from the mode byte.
        Packet packet;
        packet.clear();
        std::memcpy(packet.payload, data, std::min(size, sizeof(packet.payload)));
        for (size_t at = 0; at < sizeof(packet.payload);) {
            auto* text = reinterpret_cast<char*>(packet.payload + at);
            size_t length = strnlen(text, sizeof(packet.payload) - at);
            defuse(text, length);
            at += length + 1;
        }
        packet.setType(PKT_COMMAND);
        packet.setValue((mode & 0x10) ? 1000 : (mode & 7));
        queueRemoteCommands(packet, __builtin_ctz(lines | 0x100) & 7);
        while (runNextQueued())
            drainLines();
    } else {
        // Command lines separated by line feeds, run on either role.
        std::string text(reinterpret_cast<const char*>(data), size);
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(start, end - start) + "\n";
            defuse(line.data(), line.size());
            runCommand(line.c_str(), (mode & 0x10) ? ROLE_BUFFER : ROLE_CONSOLE);
            drainLines();
            start = end + 1;
        }
    }
    for (auto& line : lineTable)
        line.sock = -1;
    attachConsole(nullptr);
    return 0;
}
