#pragma once
#include <cstdint>
#include <mutex>
#include <netinet/in.h>
#include <string>

namespace tc {

// Guards the thread handles of a line record: the thread that starts a line's threads holds it
// while it stores their handles, and the owner thread holds it while it joins or hands them on.
std::mutex& lineThreadsLock(int line);

// Every claim of a line starts a new call serial, so a late reply (a query box answered after
// its call ended) never reaches the next call on the same line.
uint32_t startCallSerial(int line);
uint32_t callSerial(int line);
// True while the call with this serial is still up on the line.
bool callStillUp(int line, uint32_t serial);

// Remembers for a minute the peer address and ID of each ended call that had been accepted and
// was not dropped here: an announced redial is let in without asking only with such a record,
// and each record lets in one call.
constexpr int REDIAL_WINDOW_MS = 60000;
void noteLineEnded(int line);
// True (and the record is used up) when a matching record exists.
bool takeRedialRecord(const in_addr& peer, const std::string& id);
// True (and the redial is noted) when no automatic call went to this address in the last
// REDIAL_GAP_MS.
constexpr int REDIAL_GAP_MS = 10000;
bool redialAllowed(const in_addr& peer);
void resetLineHistory();

// Shuts the line's socket down both ways, so its blocked receive and send return. Returns 0 when
// done (or the peer had already gone), 1 on failure.
int wakeLineSocket(int line);
// Joins the line's receive and send threads (they leave within half a second once the line is
// ending and its socket is shut down).
void joinLineThreads(int line);
// The last step of an owner thread: closes the socket, releases the record and hands the owner
// thread's own handle to the reaper.
void releaseOwnedLine(int line);

// Restores the main window (it comes up from the tray, and counts as shown).
void restoreMainWindow();

// The caller's address as "%d.%d.%d.%d".
std::string dottedAddress(const in_addr& addr);

// Sleeps up to `ms` and returns early once the line is ending; true when the line is ending.
bool sleepUnlessEnding(int line, int ms);
// Waits until the line is ending.
void waitUntilEnding(int line);

} // namespace tc
