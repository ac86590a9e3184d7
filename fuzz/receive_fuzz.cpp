// The receive thread's packet handling: the input's bytes arrive on one end of a socket pair
// and the receive path runs on the other, for a line set up in the line table, until the stream
// ends or a packet ends the line. Byte 0 sets the line up (direction, accepted, active, mode, a
// web call, a list asked for, a peer from afar with a password). A forward would dial out and a
// second command request would wait for the first to be run, so those become messages.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>
#include <unistd.h>
#include <vector>

#include "calls/call_out.h"
#include "calls/line_life.h"
#include "calls/receive.h"
#include "commands/command_thread.h"
#include "core/lifecycle.h"
#include "core/line_table.h"
#include "core/output.h"
#include "core/settings.h"
#include "fuzz_support.h"
#include "platform/clock.h"

namespace {

// Packets start at 0, or after the end of a web page's preamble.
void defuse(std::vector<uint8_t>& stream, size_t start) {
    bool command = false;
    for (size_t at = start; at + tc::PACKET_BYTES <= stream.size(); at += tc::PACKET_BYTES) {
        auto* packet = reinterpret_cast<tc::Packet*>(stream.data() + at);
        int type = packet->type();
        if (type == tc::PKT_FORWARD || (type == tc::PKT_COMMAND && command))
            packet->setType(tc::PKT_MESSAGE);
        command |= type == tc::PKT_COMMAND;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static tc::fuzz::QuietConsole console;
    static tc::fuzz::QuietDialogs dialogs;
    if (size < 1) return 0;
    const uint8_t setup = data[0];
    tc::resetSettings();
    tc::resetLineTable();
    tc::resetLineHistory();
    tc::resetCommandState();
    tc::attachConsole(&console);
    tc::setDialogs(&dialogs);
    tc::settings.hubMode = (setup >> 3) & 3;
    if (setup & 0x80) tc::settings.callPassword.set("pw");

    bool incoming = setup & 1, web = !incoming && (setup & 0x20);
    std::vector<uint8_t> stream(data + 1, data + size);
    size_t start = 0;
    if (web) {
        auto end = std::find(stream.begin(), stream.end(), uint8_t(0x1A));
        start = end == stream.end() ? stream.size() : size_t(end - stream.begin()) + 1;
    }
    defuse(stream, start);

    int n = tc::claimLine(incoming);
    tc::LineRecord& r = tc::lineTable[n];
    r.sock = tc::fuzz::streamOf(stream.data(), stream.size());
    r.accepted = (setup >> 1) & 1;
    r.active = (setup >> 2) & 1;
    r.port = web ? tc::webCallPort : 8192;
    r.listRequested = (setup >> 6) & 1;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = htonl((setup & 0x80) ? 0x0A010203 : INADDR_LOOPBACK);
    r.peerAddr.set(peer);
    r.peerName.set("peer");
    tc::startCallSerial(n);
    // The audio engine's part: takes every block handed over.
    std::atomic<bool> done{false};
    std::thread engine([&] {
        while (!done)
            if (r.rxReady.exchange(0))
                tc::rxEvent[n].set();
            else
                std::this_thread::sleep_for(std::chrono::microseconds(50));
    });
    tc::receiveThread(n);
    done = true;
    engine.join();

    // Query boxes run on threads of their own; they answer at once.
    while (tc::retiringThreadsRunning() > 0)
        tc::sleepMs(1);
    tc::reapThreads();
    close(r.sock.exchange(-1));
    tc::releaseLine(n);
    tc::resetCommandState();
    tc::setDialogs(nullptr);
    tc::attachConsole(nullptr);
    return 0;
}
