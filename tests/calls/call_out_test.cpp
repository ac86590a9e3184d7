// Placing calls in-process against a scripted callee on loopback: the greeting on the wire, the
// failure paths and the teardown of the call thread.
#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "calls/call_out.h"
#include "calls/line_life.h"
#include "core/line_table.h"
#include "core/packet_parse.h"
#include "core/output.h"
#include "core/settings.h"
#include "core/lifecycle.h"
#include "platform/clock.h"
#include "support/fake_console.h"
#include "support/scripted_peer.h"

namespace tc {
namespace {

template <typename F> bool eventually(F condition, int timeoutMs = 5000) {
    int64_t until = monotonicMs() + timeoutMs;
    while (!condition()) {
        if (monotonicMs() > until) return false;
        sleepMs(10);
    }
    return true;
}

// A loopback port that was just free: nothing listens there.
int portWithoutListener() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

class CallOutTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetSettings();
        resetLineTable();
        resetLineHistory();
        resetOutput();
        resetStartupState();
        attachConsole(&console);
    }
    void TearDown() override {
        for (auto& r : lineTable)
            if (r.inUse) r.ending |= 1;
        EXPECT_TRUE(eventually([] { return linesInUse() == 0; }));
        reapThreads();
        attachConsole(nullptr);
    }
    FakeConsole console;
};

TEST_F(CallOutTest, GreetingGoesOutInOrderAndTheLineEndsCleanly) {
    settings.ownId.set("Alice");
    settings.listenPort = 7100;
    settings.dnsName.set("alice.example");
    settings.defaultCompression = 6;
    startupState.instanceStamp = 123456;
    test::ScriptedPeer callee;
    int port = callee.listen();
    ASSERT_EQ(placeCall("127.0.0.1", port, "secret", 1), 0);
    ASSERT_TRUE(callee.accept());
    EXPECT_EQ(console.text(), "Connected\n");

    Packet p;
    ASSERT_TRUE(callee.receive(p));
    EXPECT_EQ(p.type(), PKT_AUTORETRY);
    EXPECT_EQ(p.value(), 1);
    ASSERT_TRUE(callee.receive(p));
    EXPECT_EQ(p.type(), PKT_ID);
    EXPECT_EQ(p.value(), 7100);
    IdStrings id = parseIdStrings(p);
    EXPECT_EQ(id.id, "Alice");
    EXPECT_EQ(id.password, "secret");
    EXPECT_EQ(id.dnsName, "alice.example");
    ASSERT_TRUE(callee.receive(p));
    EXPECT_EQ(p.type(), PKT_VERSION);
    EXPECT_EQ(p.value(), 123456);
    EXPECT_STREQ(p.text(), BANNER);
    ASSERT_TRUE(callee.receive(p));
    EXPECT_EQ(p.type(), PKT_COMPRESSION);
    EXPECT_EQ(p.value(), 6);
    ASSERT_TRUE(callee.receive(p));
    Packet zeros;
    zeros.clear();
    EXPECT_EQ(std::memcmp(&p, &zeros, PACKET_BYTES), 0) << "the start packet is 1032 zero bytes";

    LineRecord& r = lineTable[0];
    EXPECT_EQ(r.inUse.load(), 1);
    EXPECT_EQ(r.incoming.load(), 0);
    EXPECT_EQ(r.peerName.get(), "127.0.0.1");
    EXPECT_EQ(r.compCode.load(), 6);
    EXPECT_TRUE(eventually([&] { return r.active.load() == 1; }));

    // Switched off by the peer, the line is not redialled when it ends.
    ASSERT_TRUE(callee.sendText(PKT_AUTORETRY, 0));
    ASSERT_TRUE(eventually([&] { return r.autoRetry.load() == 0; }));
    r.ending = 1;
    EXPECT_TRUE(callee.waitClosed());
    ASSERT_TRUE(eventually([] { return linesInUse() == 0; }));
    EXPECT_EQ(console.count("Call #0 Disconnected\n"), 1);
    EXPECT_EQ(r.ending.load(), 1);
    EXPECT_FALSE(callee.accept(200));
    reapThreads();
    EXPECT_EQ(retiredThreadCount(), 0u);
}

TEST_F(CallOutTest, RefusedCallGivesTheLineBackAfterThePause) {
    int port = portWithoutListener();
    int64_t started = monotonicMs();
    EXPECT_EQ(placeCall("127.0.0.1", port, "", 0), 1);
    EXPECT_GE(monotonicMs() - started, 1900);
    EXPECT_EQ(console.text(), "Connection Request Refused\n");
    EXPECT_EQ(linesInUse(), 0);
    EXPECT_EQ(lineTable[0].ending.load(), 1);
}

TEST_F(CallOutTest, NinthCallOpensNothing) {
    for (int k = 0; k < MAX_LINES; ++k)
        ASSERT_EQ(claimLine(false), k);
    test::ScriptedPeer callee;
    int port = callee.listen();
    EXPECT_EQ(placeCall("127.0.0.1", port, "", 0), 1);
    EXPECT_EQ(console.text(), "Maximum Number of Connections Exceeded\n");
    EXPECT_FALSE(callee.accept(200));
    EXPECT_EQ(linesInUse(), MAX_LINES);
    for (int k = 0; k < MAX_LINES; ++k)
        releaseLine(k);
}

} // namespace
} // namespace tc
