#pragma once
// Shared set-up of the command tests: a scripted console that records what is written, and
// lines in use whose sockets are one end of a socket pair, the other end kept by the test.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "ui/line_list.h"
#include "core/line_table.h"
#include "core/protocol.h"
#include "commands/command_thread.h"
#include "core/output.h"
#include "core/settings.h"
#include "core/lifecycle.h"
#include "platform/console.h"
#include "support/fake_console.h"
#include "ui/window_model.h"

namespace tc::test {

// The shared fake console with the short names these tests use.
class ScriptConsole : public FakeConsole {
  public:
    void type(const std::string& line) { pushLine(line); }
    void endInput() { pushEndOfInput(); }
    int reads() const { return readsStarted(); }
    bool waitReads(int count, int timeoutMs = 3000) { return waitForReads(count, timeoutMs); }
    bool waitText(const std::string& part, int timeoutMs = 3000) {
        return waitForText(part, timeoutMs);
    }
    // Takes what was written so far (call while nothing else writes).
    std::string take() {
        std::string written = text();
        clearText();
        return written;
    }
};

// Reads one whole packet from fd within timeoutMs; false on timeout or close.
inline bool readPacket(int fd, Packet& packet, int timeoutMs = 2000) {
    auto* bytes = reinterpret_cast<uint8_t*>(&packet);
    size_t have = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (have < sizeof(packet)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
        ssize_t n = ::recv(fd, bytes + have, sizeof(packet) - have, 0);
        if (n <= 0) return false;
        have += static_cast<size_t>(n);
    }
    return true;
}

class CommandFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        resetSettings();
        resetOutput();
        resetLineTable();
        resetCommandState();
        resetWindowModel();
        installWindowHooks();
        startupState.shutdownRequested = false;
        attachConsole(&console);
    }
    void TearDown() override {
        attachConsole(nullptr);
        for (int n = 0; n < MAX_LINES; ++n) {
            if (peer[n] >= 0) ::close(peer[n]);
            int s = lineTable[n].sock.exchange(-1);
            if (s >= 0) ::close(s);
        }
        resetLineTable();
        resetOutput();
    }

    // Puts line n in use with a connected socket; the test keeps the other end.
    void useLine(int n, bool accepted = true, uint32_t peerVersion = 0x01010000) {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        LineRecord& r = lineTable[n];
        r.sock = fds[0];
        peer[n] = fds[1];
        r.accepted = accepted ? 1 : 0;
        r.peerVersion = peerVersion;
        r.inUse = 1;
    }
    // Runs a command line on the given role and returns what it wrote to the console.
    std::string run(const std::string& line, int role = ROLE_CONSOLE) {
        console.take();
        runCommand(line.c_str(), role);
        return console.take();
    }
    Packet packetFrom(int n) {
        Packet p;
        p.clear();
        EXPECT_TRUE(readPacket(peer[n], p)) << "no packet on line " << n;
        return p;
    }
    bool nothingFrom(int n) {
        Packet p;
        return !readPacket(peer[n], p, 50);
    }

    ScriptConsole console;
    int peer[MAX_LINES] = {-1, -1, -1, -1, -1, -1, -1, -1};
};

} // namespace tc::test
