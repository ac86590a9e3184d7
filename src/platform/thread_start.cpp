#include "platform/thread_start.h"

#include <pthread.h>

namespace tc {

ThreadStartFaults threadStartFaults;

void resetThreadStartFaults() {
    threadStartFaults.remaining = 0;
    threadStartFaults.kind = static_cast<int>(ThreadKind::any);
    threadStartFaults.refused = 0;
}

void failThreadStarts(ThreadKind kind, int count) {
    threadStartFaults.remaining = 0;
    threadStartFaults.kind = static_cast<int>(kind);
    threadStartFaults.remaining = count;
}

bool threadStartRefused(ThreadKind kind) {
    auto& f = threadStartFaults;
    int planned = f.kind;
    if (planned != static_cast<int>(ThreadKind::any) && planned != static_cast<int>(kind))
        return false;
    for (int left = f.remaining; left > 0;)
        if (f.remaining.compare_exchange_weak(left, left - 1)) {
            ++f.refused;
            return true;
        }
    return false;
}

void nameThread(std::thread& thread, ThreadKind kind) {
    static const char* const names[] = {"tc-any",     "tc-owner",  "tc-receive", "tc-send",
                                        "tc-allow",   "tc-worker", "tc-audio",   "tc-device",
                                        "tc-console", "tc-writer", "tc-program"};
    pthread_setname_np(thread.native_handle(), names[static_cast<int>(kind)]);
}

} // namespace tc
