// Dynamic DNS: the update URL, the request sent to the update server, the page printed, the
// failure texts, and the check datagram answered by the program's own UDP status service.
#include "commands/dns.h"

#include <poll.h>

#include "calls/udp_status.h"
#include "commands/command_fixture.h"
#include "support/page_server.h"
#include "support/program_process.h"

namespace tc::test {
namespace {

// With a UDP socket where the status service would be, to see the check datagrams.
class DnsTest : public CommandFixture {
  protected:
    void SetUp() override {
        CommandFixture::SetUp();
        dnsTimings.checkWaitMs = 100, dnsTimings.settleWaitMs = 50;
        settings.listenPort = freePort();
        sockaddr_in a{AF_INET, htons(settings.listenPort), {htonl(INADDR_LOOPBACK)}, {}};
        ASSERT_EQ(::bind(udp, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    }
    void TearDown() override {
        ::close(udp);
        resetDnsTimings();
        CommandFixture::TearDown();
    }
    // The check datagrams that arrive until none has come for 200 ms.
    std::string checks() {
        std::string got, buf(64, '\0');
        for (pollfd p{udp, POLLIN, 0}; ::poll(&p, 1, 200) == 1;)
            got.append(buf, 0, std::max<ssize_t>(::recv(udp, buf.data(), buf.size(), 0), 0));
        return got;
    }
    int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
};

// The reply is scanned for "<html" through a 64-byte window that keeps its last 32 bytes; mode 2
// sends one check, after the request. Then the URL parts (the port is the leading digits after
// the last colon before the path, and a huge one does not overflow), the failures and their
// results.
TEST_F(DnsTest, RequestBytesPagePrintedAndOnlyTheClosingCheck) {
    EXPECT_EQ(dnsUpdate(2) + dnsCheck(), 2); // nothing stored: nothing to do, nothing printed
    const std::string head = "HTTP/1.0 200 OK\r\n\r\n", notHtml = "DNS Update Web Page Not HTML\n",
                      page = "<html><p>" + std::string(150, 'z') + "</p></html>";
    const std::tuple<std::string, std::string, std::string, std::string> cases[] = {
        {"http://127.0.0.1:%/nic/update?h=me&ip=1", head + "<HTML>good</HTML>\r\n\x1b[2J",
         "<HTML>good</HTML>???[2J",
         "GET /nic/update?h=me&ip=1 HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"},
        {"HTTP://127.0.0.1:%", head + std::string(42, '.') + page, page, // tag across two windows
         "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"},
        {"localhost:%/up?a=b", head + std::string(300, 'x') + "<htm", notHtml,
         "GET /up?a=b HTTP/1.0\r\nHost: localhost\r\n\r\n"},
        {"127.0.0.1:%/x", "<html>", "<html>", "GET /x HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"},
        {"127.0.0.1:%", head + page + std::string(3000, 'y'), // printed up to 2048 bytes
         page + std::string(2048 - page.size(), 'y') + "\n",
         "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"}};
    for (auto [url, reply, printed, request] : cases) {
        PageServer server({reply});
        store(url.replace(url.find('%'), 1, std::to_string(server.port())));
        EXPECT_EQ(dnsUpdate(2), 1);
        EXPECT_EQ(server.requests(), std::vector<std::string>{request});
        EXPECT_EQ(console.take(), printed);
        EXPECT_EQ(checks(), std::string("\x04\x0A", 2));
    }
    UpdateUrl u;
    EXPECT_EQ(parseUpdateUrl("a:1:81abc/x:9", u), 0);
    EXPECT_EQ(std::tuple(u.host, u.port, u.path), std::tuple("a", 81, "x:9"));
    EXPECT_TRUE(parseUpdateUrl("h:99999999999999999999", u) == 0 && u.port >= 0 && u.port < 65536);
    store("https://127.0.0.1/x");
    EXPECT_EQ(dnsUpdate(1), 1);
    // A name with an empty label is refused by the resolver without asking any server.
    store("http://no..such..host/update", "no..such..host");
    EXPECT_EQ(dnsUpdate(2) + dnsCheck(), 0);
    // Mode 0 checks first; a refused connection is final and gets no closing check.
    store("http://127.0.0.1:" + std::to_string(freePort()) + "/update");
    settings.dnsUpdateActive = 1;
    EXPECT_EQ(dnsUpdate(0), 1);
    EXPECT_EQ(checks(), std::string("\x04\x0A", 2));
    EXPECT_EQ(console.take(), "Only HTTP Protocol Supported for DNS Update Web Page\n"
                              "DNS Update HostName Error\nDynamic DNS HostName Error\n"
                              "DNS Update Connection Request Refused\n");
    // A page dripped for 5 s is read only until the reply's time limit.
    dnsTimings.replyTimeoutMs = 300;
    PageServer drip(std::vector<std::string>(100, "<html>"), 0, 50);
    store("127.0.0.1:" + std::to_string(drip.port()));
    EXPECT_TRUE(dnsUpdate(2) == 1 && console.take().size() < 300u);
}

// Mode 1 raises the flag itself and the service clears it; the thread of /W ends once verified.
TEST_F(DnsTest, VerifiedByTheOwnStatusServiceInModeOneAndByTheThread) {
    PageServer server({"<html>updated"});
    settings.listenAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::thread service(udpStatusThread);
    ASSERT_TRUE(eventually([] { return udpStatusState.running.load(); }));
    settings.listenPort = udpStatusState.boundPort.load();
    store("127.0.0.1:" + std::to_string(server.port()) + "/u");
    dnsTimings.checkWaitMs = 3000;
    EXPECT_EQ(dnsUpdate(1), 1);
    settings.dnsUpdateActive = 1;
    auto updater = std::async(std::launch::async, dnsThread);
    EXPECT_EQ(updater.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    stopUdpStatus();
    service.join();
    EXPECT_EQ(console.text(), "Dynamic DNS Verified\nDynamic DNS Verified\n");
    EXPECT_TRUE(settings.dnsUpdateActive == 0 && server.requests().empty());
}

} // namespace
} // namespace tc::test
