// Mouth-to-ear latency of a real call on loopback with the file backends at default settings.
//
// One copy calls itself: its outgoing line carries the microphone to its own incoming line,
// whose speech is played. So a click in the capture file travels the whole road (capture,
// engine, send thread, TCP, receive thread, mixing, playback) and is found again in the playback
// file, and both files count time from the same audio period. The latency of each click is the
// distance between its sample in the capture file and its first sample in the playback file.
#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/program_copy.h"

namespace tc::test {
namespace {

constexpr int RATE = 8000;
constexpr int CLICKS = 24;
constexpr int FIRST_CLICK = 2 * RATE; // the call is up by then
constexpr int CLICK_SPACING = 2400;   // 300 ms: every click meets a block at another phase
constexpr int CLICK_LENGTH = 16;
constexpr int16_t CLICK_LEVEL = 20000;
constexpr int FOUND_LEVEL = 10000;

std::vector<int> clickPositions() {
    std::vector<int> at;
    for (int k = 0; k < CLICKS; ++k)
        at.push_back(FIRST_CLICK + k * CLICK_SPACING + (k * 37) % 512);
    return at;
}

void CallLatency(benchmark::State& state) {
    std::vector<double> latencies;
    for (auto _ : state) {
        TempDir dir;
        std::vector<int> clicks = clickPositions();
        CopySetup echo;
        echo.id = "Echo";
        echo.port = freePort();
        echo.password = "pw";
        echo.options = {"/T"};
        echo.commands = {"-Call 127.0.0.1 " + std::to_string(echo.port) + " pw"};
        echo.capture.assign(size_t(clicks.back() + 2 * RATE), 0);
        for (int at : clicks)
            for (int i = 0; i < CLICK_LENGTH; ++i)
                echo.capture[size_t(at + i)] = CLICK_LEVEL;

        ProgramCopy copy(dir, "echo", TC_PROGRAM);
        if (!copy.start(echo) || !copy.waitFor("Call Accepted")) {
            state.SkipWithError("the call was not accepted");
            break;
        }
        std::this_thread::sleep_for(
            std::chrono::milliseconds(1000 * (clicks.back() + RATE) / RATE));
        copy.quit();

        std::vector<int16_t> played = readWav(copy.playbackPath());
        for (int at : clicks) {
            for (size_t j = size_t(at); j < played.size() && j < size_t(at + CLICK_SPACING); ++j) {
                if (std::abs(played[j]) >= FOUND_LEVEL) {
                    latencies.push_back(double(j - size_t(at)) * 1000.0 / RATE);
                    break;
                }
            }
        }
    }
    if (latencies.empty()) return;
    std::sort(latencies.begin(), latencies.end());
    state.counters["clicks"] = double(latencies.size());
    state.counters["median_ms"] = latencies[latencies.size() / 2];
    state.counters["min_ms"] = latencies.front();
    state.counters["max_ms"] = latencies.back();
}

BENCHMARK(CallLatency)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
} // namespace tc::test
