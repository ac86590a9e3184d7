// The UDP status replies, built from the query bytes, and the service's bind error.
#include "calls/udp_status.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <tuple>
#include <unistd.h>

#include "core/line_table.h"
#include "core/output.h"
#include "core/settings.h"
#include "support/fake_console.h"

namespace tc {
namespace {

class UdpStatusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetSettings();
        resetLineTable();
        attachConsole(&console);
    }
    void TearDown() override { attachConsole(nullptr); }
    FakeConsole console;
};

// One item per letter in either case. A reply over 256 characters is emptied and collected
// afresh; only the first 255 query bytes count, and a NUL ends the query.
TEST_F(UdpStatusTest, RepliesHoldOneItemPerLetterUpTo256Characters) {
    settings.forwardPort.set("123456");
    settings.incomingMode = INCOMING_FORWARD;
    settings.hubMode = HUB_SERVER;
    claimLine(false);
    const std::string id = "ID=Talkcircle\n", id2 = id + id, id8 = id2 + id2 + id2 + id2;
    const std::string port = "Blk=2 Hub=2 Calls=1\n", m238(238, 'm');
    // Query, reply, whether it confirms a dynamic DNS update, the message it is built with.
    const std::tuple<std::string, std::string, bool, std::string> rows[] = {
        {"ipvX\n", id + port + "TALKCIRCLE CONSOLE  Version 1.1\n?\n", false, ""},
        {"m", "M/IP=gone fishing Port=123456\n", false, "gone fishing"},
        {"\r\n*-", "?\n", false, ""}, // ignored bytes only
        {std::string("\0IPV", 4), "?\n", false, ""},
        {std::string("I\0P", 3), id, false, ""},
        {std::string(19, 'I'), "?\n", false, ""}, // 266 characters
        {std::string(21, 'I'), id2, false, ""},
        {std::string(255, 'I') + "P", id8, false, ""},         // 255 = 13 * 19 + 8
        {"M", "M/IP=" + m238 + " Port=123456\n", false, m238}, // 256 characters
        {"M", "?\n", false, m238 + "m"},
        {"MI", id, false, std::string(255, 'm')},
        {"\x04\n", "?\n", true, ""},
        {"$", "?\n", true, ""}, // the same byte in the other case
    };
    for (const auto& [query, reply, verifies, message] : rows) {
        settings.autoMessage.set(message);
        settings.dnsUpdateActive = 1;
        auto bytes = reinterpret_cast<const uint8_t*>(query.data());
        EXPECT_EQ(buildUdpReply(bytes, query.size()), reply) << query;
        EXPECT_EQ(settings.dnsUpdateActive.load(), verifies ? 0 : 1);
        EXPECT_EQ(console.take(), verifies ? "Dynamic DNS Verified\n" : "");
    }
}

TEST_F(UdpStatusTest, TakenPortEndsTheServiceWithTheBindError) {
    int taken = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in& a = settings.listenAddress;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&a), len), 0);
    ASSERT_EQ(::getsockname(taken, reinterpret_cast<sockaddr*>(&a), &len), 0);
    udpStatusThread(); // returns at once
    ::close(taken);
    EXPECT_EQ(console.text(), "UDP Bind Error\n");
    EXPECT_FALSE(udpStatusState.running.load());
}

} // namespace
} // namespace tc
