// CPU time of a copy carrying eight lines in HUB mode for 30 s. Eight loopback callers give the
// password and then talk and listen like a copy: one raw audio packet every 64 ms each, and they
// read everything the hub sends them. Only the copy's own CPU time is counted: over the whole
// 30 s, and the median and least of its six 5 s windows (a virtual machine's host can charge a
// window with time it took itself; the median shows what the copy costs). Its context switches
// per second, which host load does not change, are counted too.
#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "core/packet_parse.h"
#include "core/protocol.h"
#include "support/program_process.h"
#include "support/scripted_peer.h"

namespace tc::test {
namespace {

constexpr int LINES = 8;
constexpr int MEASURE_S = 30;
constexpr int WINDOWS = 6;
constexpr int BLOCK_MS = 64;

// User and system CPU time of the process so far, in seconds (-1 when it cannot be read).
double cpuSeconds(pid_t pid) {
    std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!f) return -1;
    char text[2048] = {};
    size_t n = std::fread(text, 1, sizeof(text) - 1, f);
    std::fclose(f);
    text[n] = 0;
    // Fields after the command name, which ends at the last ')': utime is field 14, stime 15.
    const char* p = std::strrchr(text, ')');
    unsigned long utime = 0, stime = 0;
    if (!p || std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                          &stime) != 2)
        return -1;
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

// Run time of the process's threads so far, in seconds, to the nanosecond (the scheduler's own
// count; threads that have ended are not in it).
double runSeconds(pid_t pid) {
    long long total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
        std::ifstream schedstat(task.path() / "schedstat");
        long long ns = 0;
        if (schedstat >> ns) total += ns;
    }
    return double(total) / 1e9;
}

// Context switches of all the process's threads so far.
long contextSwitches(pid_t pid) {
    long total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line))
            if (line.find("ctxt_switches:") != std::string::npos)
                total += std::stol(line.substr(line.find(':') + 1));
    }
    return total;
}

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
        ProgramProcess hub;
        hub.start(TC_PROGRAM,
                  {"--headless", "--audio=null", "--config=" + dir.file("conf"), "/H", "Hub",
                   std::to_string(port), "pw"},
                  {"XDG_RUNTIME_DIR=" + dir.path(), "XDG_STATE_HOME=" + dir.path()});
        if (!hub.waitForAnywhere("> ")) {
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
        bool allIn = hub.waitForAnywhere("Accepted Call #7", 20000);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const long switchesBefore = contextSwitches(hub.pid());
        const double before = cpuSeconds(hub.pid());
        std::vector<double> marks{runSeconds(hub.pid())};
        for (int w = 0; w < WINDOWS; ++w) {
            std::this_thread::sleep_for(std::chrono::seconds(MEASURE_S / WINDOWS));
            marks.push_back(runSeconds(hub.pid()));
        }
        const double after = cpuSeconds(hub.pid());
        const long switches = contextSwitches(hub.pid()) - switchesBefore;
        stop = true;
        for (auto& t : callers)
            t.join();
        hub.sendLine("Quit");
        hub.waitExit(15000);
        if (!allIn) {
            std::fprintf(stderr, "%s\n", hub.output().c_str());
            state.SkipWithError("not all eight callers were accepted");
            break;
        }
        std::vector<double> windows;
        for (int w = 0; w < WINDOWS; ++w)
            windows.push_back((marks[w + 1] - marks[w]) * 100.0 * WINDOWS / MEASURE_S);
        std::sort(windows.begin(), windows.end());
        state.counters["cpu_percent"] = (after - before) * 100.0 / MEASURE_S;
        state.counters["cpu_median"] = (windows[WINDOWS / 2 - 1] + windows[WINDOWS / 2]) / 2;
        state.counters["cpu_least"] = windows.front();
        state.counters["switches_per_s"] = double(switches) / MEASURE_S;
        state.counters["lines"] = LINES;
    }
}

BENCHMARK(HubCpu)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace
} // namespace tc::test
