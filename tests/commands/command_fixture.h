#pragma once
// Shared set-up of the command tests: a fake console, the window texts the commands write
// (recorded through the window hooks), a store in a temporary folder, and lines in use
// connected to scripted peers.
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <thread>
#include <unistd.h>

#include "commands/command_thread.h"
#include "core/lifecycle.h"
#include "core/line_table.h"
#include "core/output.h"
#include "core/settings.h"
#include "core/window_hooks.h"
#include "platform/store.h"
#include "support/fake_console.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

namespace tc::test {

class CommandFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        for (auto reset :
             {resetSettings, resetOutput, resetLineTable, resetCommandState, resetWindowHooks})
            reset();
        // Written by one command thread at a time, read by the test once the command is done.
        windowHooks.setText = [this](WindowText which, const std::string& t) { texts[which] = t; };
        attachConsole(&console);
        setStorePath(dir.file("conf/talkcircle.conf"));
    }
    void TearDown() override {
        attachConsole(nullptr);
        for (auto& line : lineTable)
            if (int s = line.sock.exchange(-1); s >= 0) ::close(s);
    }
    // Puts the lines in use, each with a TCP connection to its peer.
    void useLine(std::initializer_list<int> lines, bool accepted = true,
                 uint32_t version = 0x01010000) {
        for (int n : lines) {
            lineTable[n].sock = connectLoopback(peer[n].listen());
            ASSERT_TRUE(lineTable[n].sock >= 0 && peer[n].accept());
            lineTable[n].accepted = accepted, lineTable[n].peerVersion = version,
            lineTable[n].inUse = 1;
        }
    }
    // Stores the dynamic DNS update URL and name.
    void store(const std::string& url, const std::string& name = "127.0.0.1") {
        ASSERT_EQ(Store().writeValue(STORE_DNS_UPDATE, url) + Store().writeValue(STORE_DNS, name),
                  0);
    }
    // Runs a command line on the given role and returns what it wrote to the console.
    std::string run(const std::string& line, int role = ROLE_CONSOLE) {
        console.take();
        runCommand(line.c_str(), role);
        return console.take();
    }
    // The next packet from line n within ms as "type value text", or "" when none comes.
    std::string sent(int n, int ms = 3000) {
        Packet p;
        return peer[n].receive(p, ms) ? packet(p.type(), p.value(), p.text()) : "";
    }
    static std::string packet(int type, int value, const std::string& text = "") {
        return std::to_string(type) + " " + std::to_string(value) + " " + text;
    }

    TempDir dir; // holds the store file
    FakeConsole console;
    ScriptedPeer peer[MAX_LINES];
    std::map<WindowText, std::string> texts;
};

} // namespace tc::test
