// Scripted peers on loopback doing what a hostile or stuck caller may do: announcing a redial,
// no longer reading, flooding queries, holding lines, provoking redials, leaving a request.
#include <csignal>
#include <cstdio>
#include <filesystem>

#include "copies.h"
#include "core/packet_parse.h"
#include "platform/clock.h"
#include "support/scripted_peer.h"

namespace tc::test {
namespace {

const Packet EVE = buildIdPacket("Eve", "", "", 4444);
const std::string FROM_EVE = "From 127.0.0.1 4444 [Eve]\n";

// Eve calls with the redial announced (or not) and hangs up at the end of the scope.
bool eveCalls(ScriptedPeer& eve, ProgramCopy& bob, bool redial) {
    return eve.connectTo(bob.port()) && (!redial || eve.sendText(PKT_AUTORETRY, 1)) &&
           eve.send(EVE);
}

// Strangers from one address hold two lines at most; an announced redial is put to the user
// after a rejected call, let in once after an accepted call Eve ended, asked again after a Drop.
TEST(HostilePeer, StrangersTwoAtATimeAndAnnouncedRedialsOnlyAfterAnAcceptedCall) {
    TempDir dir;
    ProgramCopy bob(dir, "bob", TC_PROGRAM);
    ASSERT_TRUE(startCopy(bob, {.id = "Bob"}));
    {
        ScriptedPeer callers[3];
        for (int k = 0; k < 2; ++k)
            ASSERT_TRUE(eveCalls(callers[k], bob, false) && says(bob, "Incoming Call #"));
        Packet p;
        ASSERT_TRUE(callers[2].connectTo(bob.port()) && callers[2].receiveType(PKT_MESSAGE, p));
        EXPECT_EQ(std::to_string(p.value()) + p.text(), "1Destination Full - Cannot Complete Call");
        EXPECT_TRUE(callers[2].waitClosed());
        EXPECT_TRUE(says(bob, "Max Number of Connections Exceeded - Call Disconnected\n"));
        for (size_t k = 1; k <= 2; ++k) // the second question shows once the first is answered
            ASSERT_TRUE(
                eventually([&] { return bob.count("Accept Call " + FROM_EVE) == k; }, 9000) &&
                bob.type("N"));
        ASSERT_TRUE(says(bob, "Rejected Call " + FROM_EVE) && says(bob, "Rejected Call "));
    }
    for (const char* answer : {"y", "", "N"}) { // "": let in unasked, then dropped here
        ScriptedPeer eve;
        ASSERT_TRUE(bob.waitCalls(0) && eveCalls(eve, bob, true));
        if (*answer) {
            ASSERT_TRUE(says(bob, "Incoming Call: Accept Call " + FROM_EVE) && bob.type(answer));
            ASSERT_TRUE(
                says(bob, (*answer == 'N' ? "Rejected Call " : "Accepted Call ") + FROM_EVE));
            eve.close();
        } else {
            ASSERT_TRUE(says(bob, "Accepted Call #0 " + FROM_EVE));
            ScriptedPeer again; // the record is used up: a second redial is put to the user
            ASSERT_TRUE(eveCalls(again, bob, true));
            ASSERT_TRUE(says(bob, "Incoming Call: Accept Call " + FROM_EVE) && bob.type("N"));
            ASSERT_TRUE(bob.type("Drop 0"));
        }
        ASSERT_TRUE(says(bob, "Call #0 Disconnected\n"));
    }
    EXPECT_EQ(bob.count("Accepted Call #"), 1u) << "unasked";
}

// A caller that stops reading while the copy sends it audio cannot hold Drop, Quit or SIGTERM;
// left alone, its line ends once the copy's sends have waited 5 seconds.
TEST(HostilePeer, StoppedReaderLetsDropQuitAndSigtermEndInTime) {
    TempDir dir;
    for (const char* action : {"Drop 0", "Quit", "SIGTERM", "nothing"}) {
        ProgramCopy bob(dir, std::string("bob") + action[0], TC_PROGRAM);
        ASSERT_TRUE(
            startCopy(bob, {.id = "Bob", .password = "pw", .capture = speechSignal(2000, 3)}));
        ScriptedPeer mute;
        ASSERT_TRUE(mute.connectTo(bob.port(), 5000, 4096));
        ASSERT_TRUE(mute.send(buildIdPacket("Mute", "pw", "", 4444)));
        ASSERT_TRUE(says(bob, "Accepted Call #0"));
        sleepMs(3000); // the audio fills both socket buffers: the copy's sends wait
        int64_t start = monotonicMs();
        if (action[0] == 'S') ::kill(bob.process().pid(), SIGTERM);
        if (action[0] == 'D' || action[0] == 'Q') {
            ASSERT_TRUE(bob.type(action));
        }
        if (action[0] == 'D' || action[0] == 'n') {
            EXPECT_TRUE(says(bob, "Call #0 Disconnected\n", action[0] == 'D' ? 6000 : 9000));
        } else {
            EXPECT_EQ(bob.process().waitExit(6000), 0) << describe(bob);
        }
        std::printf("%s with a stopped reader: %lld ms\n", action,
                    static_cast<long long>(monotonicMs() - start));
    }
}

size_t threadsOf(ProgramCopy& copy) {
    auto tasks = std::filesystem::directory_iterator(
        "/proc/" + std::to_string(copy.process().pid()) + "/task");
    return size_t(std::distance(tasks, std::filesystem::directory_iterator()));
}

// An accepted caller floods queries: one box, a bounded thread count, a console that still
// runs commands. It leaves a request running: a later call on its line hears no reply.
TEST(HostilePeer, QueryFloodAndRepliesAfterTheRequesterHungUp) {
    TempDir dir;
    ProgramCopy bob(dir, "bob", TC_PROGRAM);
    ASSERT_TRUE(startCopy(bob, {.id = "Bob", .password = "pw"}));
    {
        ScriptedPeer flood;
        ASSERT_TRUE(flood.connectTo(bob.port()) && flood.send(buildIdPacket("F", "pw", "", 1)));
        ASSERT_TRUE(says(bob, "Accepted Call #0"));
        const size_t before = threadsOf(bob);
        for (int i = 0; i < 400; ++i)
            ASSERT_TRUE(flood.sendText(PKT_QUERY, 0, "Q" + std::to_string(i)));
        ASSERT_TRUE(flood.sendText(PKT_MESSAGE, 0, "end"));
        ASSERT_TRUE(says(bob, "Message From #0:  end\n") && bob.sees("Talkcircle Query: Q0\n"));
        EXPECT_LE(threadsOf(bob), before + 4); // the query box's, and the audio period's if late
        EXPECT_EQ(bob.count("Talkcircle Query: "), 1u);
        ASSERT_TRUE(flood.send(buildCommandPacket({"5000", "*"}, "")) && says(bob, "CMD: 5000"));
        ASSERT_TRUE(bob.type("") && bob.type("Drop 0")); // answers the box, then a command runs
        ASSERT_TRUE(says(bob, "Call #0 Disconnected\n"));
    }
    ASSERT_TRUE(bob.waitCalls(0));
    ScriptedPeer next;
    ASSERT_TRUE(next.connectTo(bob.port()) && next.send(buildIdPacket("N", "pw", "", 2)));
    ASSERT_TRUE(says(bob, "Accepted Call #0") && says(bob, "CMD: *"));
    Packet p;
    EXPECT_FALSE(next.receiveType(PKT_COMMANDREPLY, p, 1500)) << p.text();
}

// The callee announces a redial and hangs up: nothing is redialled after a call it never took,
// one redial follows a taken call, and no second one within 10 seconds.
TEST(HostilePeer, CalleeCannotStartARedialStorm) {
    TempDir dir;
    ProgramCopy bob(dir, "bob", TC_PROGRAM);
    ASSERT_TRUE(startCopy(bob, {.id = "Bob"}));
    ScriptedPeer callee;
    const std::string call = "Call 127.0.0.1 " + std::to_string(callee.listen());
    for (auto [dial, take, redialled] :
         {std::tuple{true, false, false}, std::tuple{true, true, true},
          std::tuple{false, true, false}}) {
        if (dial) {
            Packet start; // the greeting's last packet
            ASSERT_TRUE(bob.waitCalls(0) && bob.type(call) && callee.accept() &&
                        callee.receiveType(PKT_AUDIO, start));
        }
        if (take) {
            ASSERT_TRUE(callee.sendText(PKT_AUDIO, 0) && says(bob, "Call Accepted\n"));
        }
        ASSERT_TRUE(callee.sendText(PKT_AUTORETRY, 1));
        callee.close();
        ASSERT_TRUE(says(bob, "Disconnected\n"));
        EXPECT_EQ(callee.accept(4000), redialled) << take; // the last row takes the redial
    }
}

} // namespace
} // namespace tc::test
