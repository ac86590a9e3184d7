#pragma once
// Shared set-up of the window tests: a clean window model wired to the lower layers' hooks, a
// recording console, scripted dialogs, a private store file, and lines in use whose sockets are
// one end of a socket pair (the test keeps the other end).
#include <gtest/gtest.h>

#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "commands/command_thread.h"
#include "core/lifecycle.h"
#include "core/line_table.h"
#include "core/output.h"
#include "platform/store.h"
#include "support/fake_console.h"
#include "support/fake_dialogs.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"
#include "ui/address_book.h"
#include "ui/line_list.h"
#include "ui/window_actions.h"

namespace tc::test {

class UiFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        for (auto reset :
             {resetSettings, resetOutput, resetLineTable, resetCommandState, resetWindowHooks,
              resetWindowModel, resetAddressBook, installWindowHooks})
            reset();
        attachConsole(&console);
        setDialogs(&dialogs);
        setStorePath(dir.file("talkcircle.conf"));
    }
    void TearDown() override {
        reapThreads();
        setDialogs(nullptr);
        attachConsole(nullptr);
        for (int fd : sockets)
            ::close(fd);
    }

    // Puts line n in use, talking to 127.0.0.1:9000+n over a connected socket; `row` gives it its
    // row in the line list.
    void useLine(int n, bool row = true, bool accepted = true) {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        sockets.insert(sockets.end(), fds, fds + 2);
        lineTable[n].sock = fds[0];
        lineTable[n].peerName.set("127.0.0.1");
        lineTable[n].peerPort = 9000 + n;
        peer[n] = fds[1];
        lineTable[n].accepted = accepted;
        lineTable[n].inUse = 1;
        if (row) applyRowUpdate(n);
    }
    // Whether the next packet sent on line n (the actions send before they return) is exactly
    // this one; type 0 and value 0 stand for no packet at all.
    bool sent(int n, int type, int value, std::string_view text = {}) {
        Packet p{}, wanted = type ? makePacket(type, value, text) : Packet{};
        ::recv(peer[n], &p, sizeof p, MSG_DONTWAIT);
        return std::memcmp(&p, &wanted, sizeof p) == 0;
    }

    // The three fields at the bottom as "host|port|password".
    static std::string fields() {
        return controlText(Control::hostField) + "|" + controlText(Control::portField) + "|" +
               controlText(Control::pswdField);
    }

    FakeConsole console;
    FakeDialogs dialogs;
    TempDir dir;
    int peer[MAX_LINES] = {};
    std::vector<int> sockets; // both ends of every pair
};

} // namespace tc::test
