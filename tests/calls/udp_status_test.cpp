#include "calls/udp_status.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "core/line_table.h"
#include "core/output.h"
#include "core/settings.h"
#include "platform/clock.h"
#include "support/fake_console.h"

namespace tc {
namespace {

std::string reply(std::string_view query) {
    return buildUdpReply(reinterpret_cast<const uint8_t*>(query.data()), query.size());
}

class UdpStatusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetSettings();
        resetOutput();
        resetLineTable();
        resetUdpStatus();
        attachConsole(&console);
    }
    void TearDown() override {
        resetLineTable();
        attachConsole(nullptr);
    }
    FakeConsole console;
};

TEST_F(UdpStatusTest, OneItemPerLetterInEitherCase) {
    EXPECT_EQ(reply("P"), "Blk=0 Hub=0 Calls=0\n");
    EXPECT_EQ(reply("ip\n"), "ID=Talkcircle\nBlk=0 Hub=0 Calls=0\n");
    EXPECT_EQ(reply("x"), "?\n");
    EXPECT_EQ(reply("vx"), "TALKCIRCLE CONSOLE  Version 1.1\n?\n");
    EXPECT_EQ(reply("\r\n*-"), "?\n"); // ignored bytes only
    EXPECT_EQ(buildUdpReply(nullptr, 0), "?\n");
    EXPECT_EQ(reply(std::string_view("\0IPV", 4)), "?\n"); // the query ends at a NUL
    EXPECT_EQ(reply(std::string_view("I\0P", 3)), "ID=Talkcircle\n");

    settings.ownId.set("Alice");
    settings.autoMessage.set("gone fishing");
    settings.forwardPort.set("8193");
    settings.incomingMode = INCOMING_FORWARD;
    settings.hubMode = HUB_SERVER;
    claimLine(false);
    claimLine(true);
    EXPECT_EQ(reply("IMP"), "ID=Alice\nM/IP=gone fishing Port=8193\nBlk=2 Hub=2 Calls=2\n");
}

TEST_F(UdpStatusTest, VerificationByteClearsTheUpdateFlag) {
    const char check[2] = {0x04, 0x0A};
    for (std::string_view query : {std::string_view(check, 2), std::string_view("$")}) {
        settings.dnsUpdateActive = 1;
        EXPECT_EQ(reply(query), "?\n");
        EXPECT_EQ(settings.dnsUpdateActive.load(), 0);
        EXPECT_EQ(console.take(), "Dynamic DNS Verified\n");
    }
}

TEST_F(UdpStatusTest, RepliesOver256AreEmptiedAndCollectedAfresh) {
    // "ID=Talkcircle\n" is 14 characters: the 19th item makes 266 > 256, emptying the reply.
    std::string item = "ID=Talkcircle\n";
    EXPECT_EQ(reply(std::string(18, 'I')).size(), 18 * item.size());
    EXPECT_EQ(reply(std::string(19, 'I')), "?\n");
    EXPECT_EQ(reply(std::string(21, 'I')), item + item);
    // Only the first 255 bytes count: 255 = 13 * 19 + 8 items after the last emptying.
    std::string expected;
    for (int i = 0; i < 8; ++i)
        expected += item;
    EXPECT_EQ(reply(std::string(255, 'I')), expected);
    EXPECT_EQ(reply(std::string(255, 'I') + "P"), expected);

    // Message (up to 255) and port (up to 6) make items past the limit: they are built whole
    // and then emptied like any reply over 256 characters.
    settings.forwardPort.set("123456");
    settings.autoMessage.set(std::string(238, 'm'));
    EXPECT_EQ(reply("M"), "M/IP=" + std::string(238, 'm') + " Port=123456\n"); // 256: kept
    settings.autoMessage.set(std::string(239, 'm'));
    EXPECT_EQ(reply("M"), "?\n"); // 257: emptied
    settings.autoMessage.set(std::string(255, 'm'));
    EXPECT_EQ(reply("M"), "?\n");
    EXPECT_EQ(reply("MP"), "Blk=0 Hub=0 Calls=0\n");
    // A 130-character ID item followed by the 273-character M item.
    settings.ownId.set(std::string(126, 'i'));
    EXPECT_EQ(reply("IMP"), "Blk=0 Hub=0 Calls=0\n");
    EXPECT_EQ(reply("MI"), "ID=" + std::string(126, 'i') + "\n");
}

// The service on a real socket: queries from an ephemeral client on 127.0.0.1.
class UdpServiceTest : public UdpStatusTest {
  protected:
    void SetUp() override {
        UdpStatusTest::SetUp();
        settings.listenAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        settings.listenAddress.sin_port = 0;
        service = std::thread(udpStatusThread);
        for (int i = 0; i < 200 && !udpStatusState.running; ++i)
            sleepMs(10);
        ASSERT_TRUE(udpStatusState.running.load());
        client = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(client, 0);
        server.sin_family = AF_INET;
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        server.sin_port = htons(static_cast<uint16_t>(udpStatusState.boundPort.load()));
    }
    void TearDown() override {
        stopUdpStatus();
        if (service.joinable()) service.join();
        if (client >= 0) close(client);
        UdpStatusTest::TearDown();
    }
    // Sends a query and returns the reply datagram ("" when none came within 2 s).
    std::string ask(std::string_view query) {
        sendto(client, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&server),
               sizeof(server));
        pollfd pfd{client, POLLIN, 0};
        if (poll(&pfd, 1, 2000) != 1) return "";
        char buf[1024];
        ssize_t n = recv(client, buf, sizeof(buf), 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }
    std::thread service;
    int client = -1;
    sockaddr_in server{};
};

TEST_F(UdpServiceTest, AnswersQueriesOverLoopback) {
    EXPECT_EQ(ask("P"), "Blk=0 Hub=0 Calls=0\n");
    EXPECT_EQ(ask("iv"), "ID=Talkcircle\nTALKCIRCLE CONSOLE  Version 1.1\n");
    EXPECT_EQ(ask(""), "?\n");
    settings.dnsUpdateActive = 1;
    EXPECT_EQ(ask(std::string_view("\x04\x0A", 2)), "?\n");
    EXPECT_EQ(settings.dnsUpdateActive.load(), 0);
    EXPECT_EQ(console.text(), "Dynamic DNS Verified\n");
    // A datagram longer than the receive buffer: only its first 255 bytes count.
    EXPECT_EQ(ask(std::string(255, '\n') + "IIII"), "?\n");
    EXPECT_EQ(ask(std::string(254, '\n') + "IIII"), "ID=Talkcircle\n");

    // A second service on the same port reports the bind error and leaves the first running.
    int port = udpStatusState.boundPort;
    sockaddr_in saved = settings.listenAddress;
    settings.listenAddress.sin_port = htons(static_cast<uint16_t>(port));
    udpStatusThread(); // returns at once: the port is taken
    settings.listenAddress = saved;
    EXPECT_EQ(console.text(), "Dynamic DNS Verified\nUDP Bind Error\n");
    EXPECT_EQ(ask("p"), "Blk=0 Hub=0 Calls=0\n");
}

} // namespace
} // namespace tc
