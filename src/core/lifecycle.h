#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace tc {

// Process-wide state of start-up and the supervisor.
struct StartupState {
    std::atomic<uint32_t> instanceStamp{0};
    std::atomic<int> listenSocket{-1};
    std::atomic<bool> shutdownRequested{false};
    // Set once the program is ending: open questions close, long-lived threads leave their loops.
    std::atomic<uint8_t> closing{0};
    // Exit code of the process: 0 after Quit or /T, 1 after a start-up failure.
    std::atomic<int> exitCode{0};
};

extern StartupState startupState;

// Puts the start-up state back to its beginning (tests).
void resetStartupState();

// Called by a thread that has finished its work, as its last act, with its own handle: the
// supervisor's reaper joins it.
void retireThread(std::thread thread);
// Joins every retired thread.
void reapThreads();
// Number of retired threads not yet joined (tests).
size_t retiredThreadCount();

// Starts a short-lived worker that hands its own handle to the reaper when `body` returns, so
// nobody has to wait for it. Returns 0 when started, 1 when no thread could be made.
int startRetiringThread(std::function<void()> body);
// Workers started that way which have not yet handed themselves to the reaper.
int retiringThreadsRunning();

// Ends the program: the supervisor and whoever waits in waitForShutdown() wake and return.
void shutdown();
// Waits until shutdown() was called or the time is up; true when it was called.
bool waitForShutdown(int timeoutMs);
// Called once by shutdown() (the window view uses it to leave its event loop).
void setShutdownHook(std::function<void()> hook);

// Pauses for `ms`, returning early (false) once the program is ending.
bool pauseUnlessClosing(int ms);

} // namespace tc
