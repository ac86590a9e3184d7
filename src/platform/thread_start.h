#pragma once
#include <atomic>
#include <exception>
#include <thread>
#include <utility>

namespace tc {

// What a thread is for; tests make the starts of one kind fail.
enum class ThreadKind {
    any,      // matches every kind (faults only)
    owner,    // call or hold thread of a line
    receive,  // receive thread of a line
    send,     // send thread of a line
    allow,    // incoming-call question
    retiring, // short-lived worker handed to the reaper (query box, release, window call)
    audio,    // audio engine
    pump,     // sound device pump
    console,  // terminal console watcher
    writer,   // console writer
    program,  // long-lived threads of the program
};

// Thread starts that are made to fail (tests): the next `remaining` starts of `kind`.
struct ThreadStartFaults {
    std::atomic<int> kind{static_cast<int>(ThreadKind::any)};
    std::atomic<int> remaining{0};
    std::atomic<int> refused{0}; // starts refused so far
};

extern ThreadStartFaults threadStartFaults;

void resetThreadStartFaults();
// Makes the next `count` starts of `kind` fail.
void failThreadStarts(ThreadKind kind, int count);
// True when this start of `kind` is to fail (it uses up one of the planned faults).
bool threadStartRefused(ThreadKind kind);
// Names the thread after its kind ("tc-receive", ...), as `top -H` and debuggers show it.
void nameThread(std::thread& thread, ThreadKind kind);

// Starts `body(args...)` on a new thread stored in `slot` (which holds no thread). Returns 0 when
// it runs, 1 when it could not be started; no exception leaves it.
template <class F, class... A>
int startThread(std::thread& slot, ThreadKind kind, F&& body, A&&... args) {
    if (threadStartRefused(kind)) return 1;
    try {
        slot = std::thread(std::forward<F>(body), std::forward<A>(args)...);
    } catch (const std::exception&) {
        return 1;
    }
    nameThread(slot, kind);
    return 0;
}

} // namespace tc
