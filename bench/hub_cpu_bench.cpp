// CPU time of a copy carrying eight lines in HUB mode for 30 s. Eight loopback callers give the
// password and then talk and listen like a copy: one raw audio packet every 64 ms each, and they
// read everything the hub sends them. Only the copy's own CPU time is counted.
#include <atomic>
#include <benchmark/benchmark.h>
#include <cmath>
#include <cstring>
#include <netinet/tcp.h>

#include "bench_support.h"
#include "core/packet_parse.h"
#include "core/protocol.h"

namespace tc::bench {
namespace {

constexpr int LINES = 8;
constexpr int MEASURE_S = 30;
constexpr int BLOCK_MS = 64;

// One caller: sends its greeting, then an audio packet per block, and drains what comes back.
void caller(int port, int index, const std::atomic<bool>& stop) {
    int s = connectLoopback(port);
    if (s < 0) {
        std::fprintf(stderr, "caller %d could not connect\n", index);
        return;
    }
    int on = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    Packet id = buildIdPacket("Caller" + std::to_string(index), "pw", "", 30000 + index);
    sendWholePacket(s, id);
    Packet audio;
    audio.clear();
    audio.setType(0);
    auto next = std::chrono::steady_clock::now();
    uint32_t seq = 0;
    double phase = 0;
    char sink[16384];
    while (!stop) {
        for (int i = 0; i < 512; ++i) {
            phase += 2 * M_PI * (300 + 50 * index) / 8000.0;
            int16_t v = static_cast<int16_t>(6000 * std::sin(phase));
            std::memcpy(audio.payload + 2 * i, &v, 2);
        }
        audio.setValue(static_cast<int32_t>(++seq));
        if (sendWholePacket(s, audio) < 1) {
            std::fprintf(stderr, "caller %d: send failed\n", index);
            break;
        }
        next += std::chrono::milliseconds(BLOCK_MS);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                next - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{s, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) > 0 &&
                ::recv(s, sink, sizeof(sink), 0) <= 0) {
                ::close(s);
                return;
            }
        }
    }
    ::close(s);
}

void HubCpu(benchmark::State& state) {
    for (auto _ : state) {
        TempDir dir;
        int port = freePort();
        Copy hub;
        hub.start({"--headless", "--audio=null", "--config=" + dir.file("conf"), "/H", "Hub",
                   std::to_string(port), "pw"},
                  dir);
        if (!hub.waitFor("> ", 10000)) {
            state.SkipWithError("the copy did not start");
            break;
        }
        std::atomic<bool> stop{false};
        std::vector<std::thread> callers;
        // Callers come one after the other, as people joining a call do: the listening backlog
        // is two connections deep.
        for (int k = 0; k < LINES; ++k) {
            callers.emplace_back(caller, port, k, std::cref(stop));
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
        bool allIn = hub.waitFor("Accepted Call #7", 20000);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        double before = hub.cpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(MEASURE_S));
        double after = hub.cpuSeconds();
        stop = true;
        for (auto& t : callers)
            t.join();
        hub.type("Quit");
        hub.waitExit(15000);
        if (!allIn) {
            std::fprintf(stderr, "%s\n", hub.output().c_str());
            state.SkipWithError("not all eight callers were accepted");
            break;
        }
        state.counters["cpu_percent"] = (after - before) * 100.0 / MEASURE_S;
        state.counters["lines"] = LINES;
    }
}

BENCHMARK(HubCpu)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace
} // namespace tc::bench
