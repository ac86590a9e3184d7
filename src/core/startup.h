#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace tc {

// Process-wide state of start-up and the supervisor.
struct StartupState {
    std::atomic<uint32_t> instanceStamp{0};
    std::atomic<int> listenSocket{-1};
    std::atomic<bool> shutdownRequested{false};
};

extern StartupState startupState;

// Called by a thread that has finished its work, as its last act, with its own handle: the
// supervisor's reaper joins it.
void retireThread(std::thread thread);
// Joins every retired thread.
void reapThreads();
// Ends the program: the main thread wakes and exits.
void shutdown();

} // namespace tc
