#include "core/startup.h"

#include <mutex>

namespace tc {

StartupState startupState;

namespace {

std::mutex reaperMutex;
std::vector<std::thread> reaperSlots;

} // namespace

void retireThread(std::thread thread) {
    std::lock_guard lock(reaperMutex);
    // A list rather than a fixed table of handles, so no retired thread is ever lost.
    reaperSlots.push_back(std::move(thread));
}

void reapThreads() {
    std::vector<std::thread> finished;
    {
        std::lock_guard lock(reaperMutex);
        finished.swap(reaperSlots);
    }
    for (auto& t : finished)
        if (t.joinable()) t.join();
}

void shutdown() { startupState.shutdownRequested = true; }

} // namespace tc
