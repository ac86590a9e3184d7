#include "calls/line_life.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

#include "core/lifecycle.h"
#include "core/line_table.h"
#include "core/settings.h"
#include "core/window_hooks.h"
#include "platform/clock.h"

namespace tc {

namespace {

// A bound on each wait for a line to end.
// Every assignment to `ending` wakes the waiters; the timeout only bounds a missed wake.
constexpr int ENDING_CHECK_MS = 10000;

std::mutex threadLocks[MAX_LINES];

struct EndedLine {
    uint32_t addr = 0;
    std::string id;
    int64_t endedAt = 0;
    bool valid = false;
};

std::mutex historyMutex;
EndedLine history[MAX_LINES * 2];
size_t historyNext = 0;

struct Redial {
    uint32_t addr = 0;
    int64_t at = 0;
};
Redial redials[MAX_LINES]; // under historyMutex

} // namespace

std::mutex& lineThreadsLock(int line) {
    return threadLocks[line];
}

uint32_t startCallSerial(int line) {
    return lineTable[line].callSerial.fetch_add(1) + 1;
}

uint32_t callSerial(int line) {
    return lineTable[line].callSerial;
}

bool callStillUp(int line, uint32_t serial) {
    const LineRecord& r = lineTable[line];
    return r.callSerial == serial && r.inUse && !r.ending;
}

void noteLineEnded(int line) {
    const LineRecord& r = lineTable[line];
    if (!r.accepted || r.droppedHere) return;
    std::lock_guard lock(historyMutex);
    history[historyNext] = {r.peerAddr.get().sin_addr.s_addr, r.peerId.get(), monotonicMs(), true};
    historyNext = (historyNext + 1) % std::size(history);
}

bool takeRedialRecord(const in_addr& peer, const std::string& id) {
    int64_t now = monotonicMs();
    std::lock_guard lock(historyMutex);
    for (auto& e : history) {
        if (!e.valid || e.addr != peer.s_addr || e.id != id) continue;
        if (now - e.endedAt > REDIAL_WINDOW_MS) continue;
        e.valid = false;
        return true;
    }
    return false;
}

bool redialAllowed(const in_addr& peer) {
    int64_t now = monotonicMs();
    std::lock_guard lock(historyMutex);
    Redial* oldest = &redials[0];
    for (Redial& d : redials) {
        if (d.at != 0 && d.addr == peer.s_addr && now - d.at < REDIAL_GAP_MS) return false;
        if (d.at < oldest->at) oldest = &d;
    }
    *oldest = {peer.s_addr, now};
    return true;
}

void resetLineHistory() {
    std::lock_guard lock(historyMutex);
    for (auto& e : history)
        e = {};
    for (auto& d : redials)
        d = {};
    historyNext = 0;
}

int wakeLineSocket(int line) {
    int s = lineTable[line].sock;
    if (s < 0) return 0;
    if (::shutdown(s, SHUT_RDWR) == 0 || errno == ENOTCONN) return 0;
    return 1;
}

void joinLineThreads(int line) {
    LineRecord& r = lineTable[line];
    txEvent[line].set(); // the send thread waits for work and looks at `ending` after it
    std::lock_guard lock(threadLocks[line]);
    if (r.recvThread.joinable()) r.recvThread.join();
    if (r.sendThread.joinable()) r.sendThread.join();
}

void releaseOwnedLine(int line) {
    LineRecord& r = lineTable[line];
    // An open query box of the call closes by itself now that the line is ending.
    for (int i = 0; i < 100 && r.queryOpen; ++i)
        sleepMs(20);
    std::thread self;
    {
        std::lock_guard lock(threadLocks[line]);
        self = std::move(r.ownerThread);
        int s = r.sock.exchange(-1);
        if (s >= 0) {
            // Taken under the send lock, so no sender writes to a number that is being reused.
            std::lock_guard send(r.sendLock);
            ::close(s);
        }
    }
    // Handed on first: whoever waits for the line to be free finds the thread with the reaper.
    retireThread(std::move(self));
    releaseLine(line);
}

void restoreMainWindow() {
    showMainWindow(true);
    int expected = 2;
    settings.trayIcon.compare_exchange_strong(expected, 1);
}

std::string dottedAddress(const in_addr& addr) {
    const auto* b = reinterpret_cast<const uint8_t*>(&addr.s_addr);
    char text[20];
    std::snprintf(text, sizeof(text), "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    return text;
}

bool sleepUnlessEnding(int line, int ms) {
    LineRecord& r = lineTable[line];
    int64_t until = monotonicMs() + ms;
    while (!r.ending) {
        int64_t left = until - monotonicMs();
        if (left <= 0) return false;
        r.ending.waitSet(static_cast<int>(left));
    }
    return true;
}

void waitUntilEnding(int line) {
    LineRecord& r = lineTable[line];
    while (!r.ending.waitSet(ENDING_CHECK_MS)) {
    }
}

} // namespace tc
