// A conference server copy under 200 hostile connections, 10 at a time: garbage, torn packets,
// silence, floods of valid packets of any type, hang-ups at any point, also while the copy
// sends. Afterwards no call is left and its threads, descriptors and memory are back where they
// were. The randomness is seeded and the seed printed (TC_SOAK_SEED repeats a run).
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

#include "copies.h"
#include "support/scripted_peer.h"

namespace tc::test {
namespace {

using SoakTest = Copies;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers keep freed memory (quarantine, shadow), so memory is checked in the plain build.
constexpr long MEMORY_SLACK_KB = 1L << 30;
#else
constexpr long MEMORY_SLACK_KB = 2048;
#endif

// Threads, descriptors and VmRSS (kB) of a process.
std::array<long, 3> usageOf(pid_t pid) {
    std::string proc = "/proc/" + std::to_string(pid), word;
    std::array<long, 3> u{};
    for (size_t i : {0, 1})
        u[i] = std::distance(std::filesystem::directory_iterator(proc + (i ? "/fd" : "/task")), {});
    for (std::ifstream status(proc + "/status"); status >> word;)
        if (word == "VmRSS:") status >> u[2];
    return u;
}

// One hostile connection, all of it drawn from a generator seeded with `seed`.
void hostileConnection(int port, unsigned seed) {
    std::mt19937 random(seed);
    auto pick = [&](int n) { return int(random() % unsigned(n)); };
    auto pause = [&](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(pick(ms))); };
    int fd = connectLoopback(port, 3000), small = 2048, kind = pick(5);
    timeval limit{0, 500000}; // a send the copy does not take within this gives up
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    auto sendPacket = [&](int type, int value, int bytes = PACKET_BYTES, bool garbage = false) {
        Packet p = makePacket(type, value, type == PKT_ID ? "Soak" : "text");
        for (auto& b : p.payload)
            b = garbage || type >= 0 ? uint8_t(random()) : b;
        return ::send(fd, &p, size_t(bytes), MSG_NOSIGNAL) == bytes;
    };
    // Every control type but the command and its reply, then audio of three codes.
    const int types[] = {-1, -2, -3, -4, -6, -7, -9, -10, -11, 0, 1, 3};
    if (kind == 4) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small); // never read
    if (kind >= 3 && pick(2)) sendPacket(PKT_ID, 9000); // identified: accepted at once
    if (kind == 0)                                      // garbage
        sendPacket(pick(100) - 50, pick(100), 1 + pick(PACKET_BYTES), true);
    for (int i = kind == 1 ? pick(6) : -1; i >= 0; --i) { // torn packets, a hang-up inside one
        int cut = 1 + pick(PACKET_BYTES - 1);
        sendPacket(types[pick(12)], pick(12) - 2, cut);
        pause(40);
        sendPacket(types[pick(12)], pick(12) - 2, i ? PACKET_BYTES - cut : cut / 2);
    }
    for (int i = kind == 3 ? 50 + pick(400) : 0; i > 0; --i) // a flood of valid packets
        if (!sendPacket(types[pick(12)], pick(12) - 2)) break;
    if (kind == 2 || kind == 4) pause(600); // silence, or not reading while the copy sends
    linger reset{1, 0};                     // half the time the hang-up is a reset
    if (pick(2)) ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);
}

TEST_F(SoakTest, TwoHundredHostileConnectionsLeaveNothingBehind) {
    const char* given = std::getenv("TC_SOAK_SEED");
    const unsigned seed = given ? unsigned(std::stoul(given)) : std::random_device{}();
    std::printf("soak seed %u\n", seed);
    ASSERT_TRUE(startCopy(server, {.id = "Server", .options = {"/S"}}));
    { // a first call sets up what stays for the program's life (thread stacks, allocator arenas)
        ScriptedPeer warm;
        ASSERT_TRUE(warm.connectTo(server.port()) && warm.sendText(PKT_ID, 9000, "Warm"));
        ASSERT_TRUE(server.waitCalls(1));
    }
    ASSERT_TRUE(server.waitCalls(0) && says(server, "No Calls Active")); // audio period over
    std::array<long, 3> before{-1, -1, -1}, after = before;
    ASSERT_TRUE(eventually( // the first call's threads are gone: the figures stay as they are
        [&] {
            after = std::exchange(before, usageOf(server.process().pid()));
            return after[0] == before[0] && after[1] == before[1];
        },
        12000, 3000));
    const auto started = std::chrono::steady_clock::now();

    std::atomic<int> next{0};
    std::vector<std::jthread> workers(10); // joined when cleared
    for (auto& w : workers)
        w = std::jthread([&] {
            for (int i; (i = next++) < 200;)
                hostileConnection(server.port(), seed + unsigned(i));
        });
    workers.clear();
    std::printf("200 connections in %.1f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());

    EXPECT_TRUE(server.waitCalls(0, 20000)) << describe(server);
    EXPECT_TRUE(eventually(
        [&] {
            after = usageOf(server.process().pid());
            return after[0] == before[0] && after[1] == before[1] &&
                   after[2] <= before[2] + MEMORY_SLACK_KB;
        },
        15000, 200))
        << "threads, descriptors, VmRSS kB: " << before[0] << " " << before[1] << " " << before[2]
        << " -> " << after[0] << " " << after[1] << " " << after[2];
    ASSERT_TRUE(server.type("*") && says(server, "[Server]  SERVER")); // the console answers
    EXPECT_EQ(server.quit(), 0) << describe(server);
}

} // namespace
} // namespace tc::test
