// Mouth-to-ear latency of a real call between two copies on loopback, with the file backends at
// default settings, uncompressed and at each compression level (closed-loop encoders).
//
// The caller's microphone hears clicks; the called copy plays them. A click travels the whole
// road (capture, engine, send thread, TCP, receive thread, mixing, playback) and is found again
// in the called copy's playback file. The two copies' files count time from their own audio
// periods, so the bench finds when each period began on the wall clock: it watches both playback
// files grow (each is written in real time, one block per 64 ms) and takes, over many looks, the
// earliest `time of look - samples written / 8000`. That instant is the same fixed distance from
// the start of either file, so it cancels in the difference. The latency of each click is then
// the distance between its wall-clock times in the caller's capture and the called playback.
#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <sys/stat.h>
#include <thread>

#include "core/codec.h"
#include "support/program_copy.h"

namespace tc::test {
namespace {

constexpr int RATE = 8000;
constexpr int CLICKS = 16;
constexpr int FIRST_CLICK = 3 * RATE; // the call is up by then
// 1.6 s: longer than the latency at the highest level (a packet holds 960 ms), so a click is never
// taken for the one before it; the odd part puts every click at another phase of its block.
constexpr int CLICK_SPACING = 12800;
constexpr int CLICK_LENGTH = 16;
constexpr int16_t CLICK_LEVEL = 20000;
constexpr int FOUND_LEVEL = 8000;
constexpr int WAV_HEADER_BYTES = 44;

std::vector<int> clickPositions() {
    std::vector<int> at;
    for (int k = 0; k < CLICKS; ++k)
        at.push_back(FIRST_CLICK + k * CLICK_SPACING + (k * 37) % 512);
    return at;
}

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Tracks the wall-clock start of a file written in real time at 8000 samples per second.
struct FileClock {
    std::string path;
    double start = 1e30;
    void look() {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || st.st_size <= WAV_HEADER_BYTES) return;
        const double written = double(st.st_size - WAV_HEADER_BYTES) / 2 / RATE;
        start = std::min(start, nowSeconds() - written);
    }
};

void CallLatency(benchmark::State& state) {
    const int code = int(state.range(0));
    std::vector<double> latencies;
    for (auto _ : state) {
        TempDir dir;
        std::vector<int> clicks = clickPositions();
        ProgramCopy caller(dir, "caller", TC_PROGRAM), called(dir, "called", TC_PROGRAM);
        if (!called.start({.id = "Called", .password = "pw", .options = {"/T"}}) ||
            !called.waitReady()) {
            state.SkipWithError("the called copy did not start");
            break;
        }
        CopySetup talk{.id = "Caller",
                       .commands = {"-Call 127.0.0.1 " + called.portText() + " pw"}};
        if (code == COMP_LOW) talk.options = {"/CL"};
        if (code == COMP_MEDIUM) talk.options = {"/CM"};
        if (code == COMP_HIGH) talk.options = {"/CH"};
        talk.capture.assign(size_t(clicks.back() + 3 * RATE), 0);
        for (int at : clicks)
            for (int i = 0; i < CLICK_LENGTH; ++i)
                talk.capture[size_t(at + i)] = CLICK_LEVEL;
        if (!caller.start(talk) || !caller.sees("Call Accepted")) {
            state.SkipWithError("the call was not accepted");
            break;
        }
        FileClock from{caller.playbackPath()}, to{called.playbackPath()};
        const double end = nowSeconds() + double(clicks.back() + 2 * RATE) / RATE;
        while (nowSeconds() < end) {
            from.look();
            to.look();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        caller.quit();
        called.process().waitExit(15000);

        const double offset = to.start - from.start; // the called file's start, caller's time
        std::vector<int16_t> played = readWav(called.playbackPath());
        for (int at : clicks) {
            const long first = std::max(0L, long(at - offset * RATE));
            for (long j = first; j < long(played.size()) && j < first + CLICK_SPACING; ++j) {
                if (std::abs(played[size_t(j)]) >= FOUND_LEVEL) {
                    latencies.push_back((double(j) / RATE + offset - double(at) / RATE) * 1000);
                    break;
                }
            }
        }
    }
    if (latencies.empty()) return;
    std::sort(latencies.begin(), latencies.end());
    state.counters["clicks"] = double(latencies.size());
    state.counters["median_ms"] = latencies[latencies.size() / 2];
    state.counters["p95_ms"] =
        latencies[std::min(latencies.size() - 1, latencies.size() * 95 / 100)];
    state.counters["min_ms"] = latencies.front();
    state.counters["max_ms"] = latencies.back();
}

BENCHMARK(CallLatency)
    ->Arg(COMP_NONE)
    ->Arg(COMP_LOW)
    ->Arg(COMP_MEDIUM)
    ->Arg(COMP_HIGH)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace
} // namespace tc::test
