#include "core/lifecycle.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/thread_start.h"

namespace tc {

StartupState startupState;

namespace {

std::mutex reaperMutex;
std::vector<std::thread> reaperSlots;
std::atomic<int> workersRunning{0};

std::mutex shutdownMutex;
std::condition_variable shutdownCond;
std::function<void()> shutdownHook;

} // namespace

void resetStartupState() {
    {
        std::lock_guard lock(shutdownMutex);
        startupState.shutdownRequested = false;
        shutdownHook = nullptr;
    }
    startupState.instanceStamp = 0;
    startupState.listenSocket = -1;
    startupState.closing = 0;
    startupState.exitCode = 0;
}

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
    // A retired thread has nothing left to do but return, so each join is short.
    for (auto& t : finished)
        if (t.joinable()) t.join();
}

size_t retiredThreadCount() {
    std::lock_guard lock(reaperMutex);
    return reaperSlots.size();
}

int startRetiringThread(std::function<void()> body) {
    // The handle lives beside the thread until the thread moves it to the reaper; the lock makes
    // sure it was stored before the thread takes it.
    struct Slot {
        std::mutex mutex;
        std::thread thread;
    };
    auto slot = std::make_shared<Slot>();
    std::lock_guard lock(slot->mutex);
    ++workersRunning;
    auto run = [slot, body = std::move(body)] {
        body();
        std::thread self;
        {
            std::lock_guard own(slot->mutex);
            self = std::move(slot->thread);
        }
        retireThread(std::move(self));
        --workersRunning;
    };
    if (startThread(slot->thread, ThreadKind::retiring, std::move(run)) != 0) {
        --workersRunning;
        return 1;
    }
    return 0;
}

int retiringThreadsRunning() {
    return workersRunning;
}

void shutdown() {
    std::function<void()> hook;
    {
        std::lock_guard lock(shutdownMutex);
        if (startupState.shutdownRequested) return;
        startupState.shutdownRequested = true;
        startupState.closing = 1;
        hook = shutdownHook;
    }
    shutdownCond.notify_all();
    if (hook) hook();
}

bool waitForShutdown(int timeoutMs) {
    std::unique_lock lock(shutdownMutex);
    return shutdownCond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [] { return startupState.shutdownRequested.load(); });
}

void setShutdownHook(std::function<void()> hook) {
    std::lock_guard lock(shutdownMutex);
    shutdownHook = std::move(hook);
}

bool pauseUnlessClosing(int ms) {
    return !waitForShutdown(ms);
}

} // namespace tc
