#include "commands/dns.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <tuple>
#include <unistd.h>

#include "core/output.h"
#include "core/settings.h"
#include "calls/udp_status.h"
#include "platform/clock.h"
#include "platform/store.h"
#include "support/fake_console.h"

namespace tc {
namespace {

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

int boundPort(int sock) {
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    getsockname(sock, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// A web server on 127.0.0.1 that records each request and answers it with `chunks`, sent as
// separate writes with a pause between them, then closes the connection.
class PageServer {
  public:
    explicit PageServer(std::vector<std::string> chunks, int backlog = 4)
        : chunks_(std::move(chunks)) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = loopback(0);
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        listen(listener_, backlog);
        port_ = boundPort(listener_);
    }
    ~PageServer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        close(listener_);
    }
    void serve() {
        thread_ = std::thread([this] { run(); });
    }
    int port() const { return port_; }
    int connections() const { return connections_; }
    std::string request() {
        std::lock_guard lock(mutex_);
        return request_;
    }

  private:
    void run() {
        while (!stop_) {
            pollfd pfd{listener_, POLLIN, 0};
            if (poll(&pfd, 1, 50) != 1) continue;
            int conn = accept(listener_, nullptr, nullptr);
            if (conn < 0) continue;
            ++connections_;
            answer(conn);
            close(conn);
        }
    }
    void answer(int conn) {
        int one = 1;
        setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        std::string got;
        char buf[512];
        for (int i = 0; i < 40 && got.find("\r\n\r\n") == std::string::npos; ++i) {
            pollfd pfd{conn, POLLIN, 0};
            if (poll(&pfd, 1, 50) != 1) continue;
            ssize_t n = recv(conn, buf, sizeof(buf), 0);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        {
            std::lock_guard lock(mutex_);
            request_ = got;
        }
        for (auto& chunk : chunks_) {
            send(conn, chunk.data(), chunk.size(), MSG_NOSIGNAL);
            sleepMs(60);
        }
    }

    std::vector<std::string> chunks_;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::mutex mutex_;
    std::string request_;
};

// A plain UDP socket standing where the status service would be, to see the check datagrams.
class CheckReceiver {
  public:
    CheckReceiver() {
        sock_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = loopback(0);
        bind(sock_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    }
    ~CheckReceiver() { close(sock_); }
    int port() const { return boundPort(sock_); }
    // The next datagram within `ms`, or "" when none came.
    std::string next(int ms) {
        pollfd pfd{sock_, POLLIN, 0};
        if (poll(&pfd, 1, ms) != 1) return "";
        char buf[64];
        ssize_t n = recv(sock_, buf, sizeof(buf), 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }

  private:
    int sock_ = -1;
};

class DnsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetSettings();
        resetOutput();
        resetUdpStatus();
        resetDnsTimings();
        dnsTimings.checkWaitMs = 300;
        dnsTimings.settleWaitMs = 50;
        dnsTimings.retryWaitMs = 100;
        dnsTimings.connectTimeoutMs = 400;
        dnsTimings.receiveTimeoutMs = 2000;
        char dir[] = "/tmp/tc_dns_test_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        storeDir = dir;
        setStorePath(storeDir + "/talkcircle.conf");
        attachConsole(&console);
    }
    void TearDown() override {
        attachConsole(nullptr);
        setStorePath("");
        std::filesystem::remove_all(storeDir);
        resetDnsTimings();
    }
    void storeUrl(const std::string& url) {
        ASSERT_EQ(Store().writeValue(STORE_DNS_UPDATE, url), 0);
    }
    void storeName(const std::string& name) { ASSERT_EQ(Store().writeValue(STORE_DNS, name), 0); }
    std::string base(int port) { return "127.0.0.1:" + std::to_string(port); }

    FakeConsole console;
    std::string storeDir;
};

TEST_F(DnsTest, UrlParts) {
    using Parts = std::tuple<std::string, int, std::string>; // host, port, path
    auto parts = [](const std::string& url) {
        UpdateUrl u;
        EXPECT_EQ(parseUpdateUrl(url, u), 0) << url;
        return Parts{u.host, u.port, u.path};
    };
    EXPECT_EQ(parts("http://dyn.example.org/nic/update?h=me&ip=1"),
              (Parts{"dyn.example.org", 80, "nic/update?h=me&ip=1"}));
    EXPECT_EQ(parts("HTTP://10.1.2.3:8080"), (Parts{"10.1.2.3", 8080, ""}));
    EXPECT_EQ(parts("a:1:81/x:9"), (Parts{"a", 81, "x:9"})); // the last colon before the path
    EXPECT_EQ(parts("host/p:9"), (Parts{"host", 80, "p:9"}));
    EXPECT_EQ(parts("host:82abc"), (Parts{"host", 82, ""}));
    parts("host:99999999999999999999"); // no overflow
    UpdateUrl u;
    for (const char* url : {"https://host/x", "ftp://host/x", "httpx//host"})
        EXPECT_EQ(parseUpdateUrl(url, u), 1) << url;
}

TEST_F(DnsTest, RequestBytesAndPagePrinted) {
    std::string page = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n"
                       "<HTML><body>good 1.2.3.4</body></HTML>\n";
    PageServer server({page});
    server.serve();
    CheckReceiver service;
    settings.listenPort = service.port();
    storeName("127.0.0.1");
    storeUrl("http://" + base(server.port()) + "/nic/update?hostname=me.example&myip=1");

    EXPECT_EQ(dnsUpdate(2), 1);
    EXPECT_EQ(server.request(), "GET /nic/update?hostname=me.example&myip=1 HTTP/1.0\r\n"
                                "Host: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(console.text(), "<HTML><body>good 1.2.3.4</body></HTML>\n");
    // Mode 2 sends no check before the request, only the closing one after it.
    EXPECT_EQ(service.next(1000), std::string("\x04\x0A", 2));
    EXPECT_EQ(service.next(100), "");
}

TEST_F(DnsTest, SchemeInCapitalsNoPathAndNamedHost) {
    PageServer server({"<html>ok"});
    server.serve();
    storeUrl("HTTP://" + base(server.port()));
    EXPECT_EQ(dnsUpdate(2), 1);
    EXPECT_EQ(server.request(), "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(console.text(), "<html>ok");

    storeUrl("localhost:" + std::to_string(server.port()) + "/up?a=b");
    EXPECT_EQ(dnsUpdate(2), 1);
    EXPECT_EQ(server.request(), "GET /up?a=b HTTP/1.0\r\nHost: localhost\r\n\r\n");
}

TEST_F(DnsTest, ReplyScannedForTheTagThroughA64ByteWindow) {
    // The first window fills with 64 bytes ending in "<ht"; the tag completes in the next read.
    std::string first = "HTTP/1.0 200 OK\r\n\r\n";
    first += std::string(64 - first.size() - 3, '.') + "<ht";
    std::string page = "<html><p>" + std::string(150, 'z') + "</p></html>";
    const std::string notHtml = "DNS Update Web Page Not HTML\n";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{first, page.substr(3)}, page},
        {{"HTTP/1.0 200 OK\r\n\r\n" + std::string(300, 'x') + "<htm"}, notHtml},
        {{"hello"}, notHtml},
        {{"<html>"}, "<html>"}, // a reply that ends with the tag still holds it
    };
    for (const auto& [chunks, printed] : cases) {
        PageServer server(chunks);
        server.serve();
        storeUrl(base(server.port()) + "/x");
        EXPECT_EQ(dnsUpdate(2), 1);
        EXPECT_EQ(console.take(), printed);
    }
}

TEST_F(DnsTest, FailuresAndTheirResults) {
    EXPECT_EQ(dnsUpdate(2), 1); // nothing stored: nothing to do, nothing printed
    EXPECT_EQ(dnsCheck(), 1);
    EXPECT_EQ(console.take(), "");
    storeUrl("https://127.0.0.1/x");
    EXPECT_EQ(dnsUpdate(1), 1);
    EXPECT_EQ(console.take(), "Only HTTP Protocol Supported for DNS Update Web Page\n");
    EXPECT_EQ(settings.dnsUpdateActive.load(), 0);

    // A name with an empty label is refused by the resolver without asking any server.
    storeUrl("http://no..such..host/update");
    storeName("no..such..host");
    EXPECT_EQ(dnsUpdate(2), 0);
    EXPECT_EQ(dnsCheck(), 0);
    EXPECT_EQ(console.take(), "DNS Update HostName Error\nDynamic DNS HostName Error\n");

    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    int closedPort = boundPort(probe);
    close(probe);
    CheckReceiver service;
    settings.listenPort = service.port();
    storeName("127.0.0.1");
    storeUrl("http://" + base(closedPort) + "/update");
    EXPECT_EQ(dnsUpdate(2), 1);
    EXPECT_EQ(console.take(), "DNS Update Connection Request Refused\n");
    EXPECT_EQ(service.next(200), ""); // no closing check after a failed connection
}

TEST_F(DnsTest, ConnectionTimeOutChecksFirstAndAsksForRetry) {
    // A listener whose queue is full leaves further connection requests unanswered.
    PageServer server({}, 0);
    int filler = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(server.port());
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    CheckReceiver service;
    settings.listenPort = service.port();
    storeName("127.0.0.1");
    storeUrl(base(server.port()) + "/u");
    settings.dnsUpdateActive = 1;

    int64_t start = monotonicMs();
    EXPECT_EQ(dnsUpdate(0), 0);
    int64_t took = monotonicMs() - start;
    EXPECT_EQ(service.next(100), std::string("\x04\x0A", 2)); // the check before the attempt
    EXPECT_GE(took, 300 + 400 - 20);                          // check wait, then connect limit
    EXPECT_EQ(console.text(), "DNS Update Connection Request Timed Out\n");
    EXPECT_EQ(settings.dnsUpdateActive.load(), 1);
    close(filler);
}

TEST_F(DnsTest, VerifiedByOwnStatusService) {
    PageServer server({"<html>updated"});
    server.serve();
    settings.listenAddress = loopback(0);
    std::thread statusService(udpStatusThread);
    for (int i = 0; i < 200 && !udpStatusState.running; ++i)
        sleepMs(10);
    ASSERT_TRUE(udpStatusState.running.load());
    settings.listenPort = udpStatusState.boundPort.load();
    storeName("127.0.0.1");
    storeUrl(base(server.port()) + "/u");

    // Mode 1 starts with the flag at 0: the check lands, nothing is requested.
    dnsTimings.checkWaitMs = 3000;
    EXPECT_EQ(dnsUpdate(1), 1);
    EXPECT_EQ(console.text(), "Dynamic DNS Verified\n");
    EXPECT_EQ(settings.dnsUpdateActive.load(), 0);
    EXPECT_EQ(server.connections(), 0);

    // The thread of /W ends after the first verified check.
    settings.dnsUpdateActive = 1;
    std::thread updater(dnsThread);
    updater.join();
    EXPECT_EQ(console.text(), "Dynamic DNS Verified\nDynamic DNS Verified\n");
    EXPECT_EQ(server.connections(), 0);

    // Mode 2 requests the page, then the closing check is verified.
    EXPECT_EQ(dnsUpdate(2), 1);
    for (int i = 0; i < 200 && console.text().find("updatedDynamic") == std::string::npos; ++i)
        sleepMs(10);
    EXPECT_EQ(console.text(), "Dynamic DNS Verified\nDynamic DNS Verified\n<html>updated"
                              "Dynamic DNS Verified\n");
    EXPECT_EQ(server.connections(), 1);

    stopUdpStatus();
    statusService.join();
}

TEST_F(DnsTest, ThreadRetriesUntilFlagCleared) {
    storeUrl("http://no..such..host/update");
    settings.dnsUpdateActive = 1;
    std::thread updater(dnsThread);
    std::string twice = "DNS Update HostName Error\nDNS Update HostName Error\n";
    for (int i = 0; i < 300 && console.text().find(twice) == std::string::npos; ++i)
        sleepMs(10);
    settings.dnsUpdateActive = 0;
    int64_t start = monotonicMs();
    updater.join();
    EXPECT_LT(monotonicMs() - start, 1000);
    EXPECT_EQ(console.text().substr(0, twice.size()), twice);
}

} // namespace
} // namespace tc
