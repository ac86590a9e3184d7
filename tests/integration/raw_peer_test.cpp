// A real copy against a scripted peer that sends what a real copy never sends: torn and merged
// packets, unknown types, an unsupported compression code, remote commands, silence, a
// connection that breaks off mid-packet; and the copy's own calls to a scripted callee: the
// automatic redial and a web-page call.
#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "core/codec.h"
#include "core/packet_parse.h"
#include "support/program_copy.h"
#include "support/scripted_peer.h"

namespace tc::test {
namespace {

constexpr int PEER_PORT = 4321;

class RawPeerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CopySetup s;
        s.id = "Bob";
        s.password = "pw";
        ASSERT_TRUE(bob.start(s));
        ASSERT_TRUE(bob.waitReady()) << describe(bob);
    }

    void TearDown() override {
        EXPECT_FALSE(bob.process().sanitizerReported()) << bob.process().errors();
    }

    // Connects and reads the copy's greeting (version, then its ID).
    void connect(ScriptedPeer& peer) {
        ASSERT_TRUE(peer.connectTo(bob.port()));
        Packet p;
        ASSERT_TRUE(peer.receive(p));
        EXPECT_EQ(p.type(), PKT_VERSION);
        EXPECT_STREQ(p.text(), "TALKCIRCLE CONSOLE  Version 1.1");
        ASSERT_TRUE(peer.receive(p));
        EXPECT_EQ(p.type(), PKT_ID);
        EXPECT_STREQ(p.text(), "Bob");
        EXPECT_EQ(p.value(), bob.port());
    }

    // Connects and is accepted by the password.
    void connectAccepted(ScriptedPeer& peer) {
        connect(peer);
        ASSERT_TRUE(peer.send(buildIdPacket("Raw", "pw", "", PEER_PORT)));
        ASSERT_TRUE(bob.waitFor("Accepted Call #0 From 127.0.0.1 4321 [Raw] [*]\n"))
            << describe(bob);
    }

    TempDir dir;
    ProgramCopy bob{dir, "bob", TC_PROGRAM};
};

int localPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

TEST_F(RawPeerTest, TornAndMergedPacketsAreHandledWhole) {
    ScriptedPeer peer;
    connect(peer);
    ASSERT_TRUE(
        peer.sendSplit(buildIdPacket("Raw", "pw", "", PEER_PORT), {1, 300, 1024, 1030}, 60));
    ASSERT_TRUE(bob.waitFor("Accepted Call #0 From 127.0.0.1 4321 [Raw] [*]\n")) << describe(bob);
    ASSERT_TRUE(
        peer.sendMerged(makePacket(PKT_MESSAGE, 0, "one"), makePacket(PKT_MESSAGE, 0, "two")));
    ASSERT_TRUE(bob.waitFor("Message From #0:  one\nMessage From #0:  two\n")) << describe(bob);
    // Accepted, the copy sends its speech: raw audio packets.
    Packet p;
    ASSERT_TRUE(peer.receiveType(PKT_AUDIO, p));
    EXPECT_EQ(bob.count("Received Unknown"), 0u);
}

TEST_F(RawPeerTest, UnknownTypesAreReportedAndTheLineStaysUp) {
    ScriptedPeer peer;
    connectAccepted(peer);
    ASSERT_TRUE(peer.sendText(-8, 0));
    ASSERT_TRUE(peer.sendText(99, 0));
    ASSERT_TRUE(peer.sendText(COMP_MEDIUM, 0));
    ASSERT_TRUE(peer.sendText(PKT_FORWARD, 9000, "127.0.0.1"));
    ASSERT_TRUE(peer.sendText(PKT_QUERY, 9, "what?"));
    ASSERT_TRUE(peer.sendText(PKT_CONNLIST, 9));
    ASSERT_TRUE(peer.sendText(PKT_SERVERLIST, 0, "list"));
    ASSERT_TRUE(peer.sendText(PKT_MESSAGE, 0, "still here"));
    ASSERT_TRUE(bob.waitFor("Message From #0:  still here\n")) << describe(bob);
    std::string out = bob.output();
    for (int type : {-8, 99, PKT_FORWARD, PKT_QUERY, PKT_CONNLIST, PKT_SERVERLIST})
        EXPECT_NE(out.find("Received Unknown or Bad Packet " + std::to_string(type) +
                           " From 127.0.0.1 4321 Raw\n"),
                  std::string::npos)
            << type;
    EXPECT_EQ(bob.count("Received Unknown or Bad Packet"), 6u)
        << "audio of another code is dropped silently";
    EXPECT_EQ(bob.count("Connected\n"), 0u) << "a forward is no request to an incoming line";
    EXPECT_EQ(bob.callsInUse(), 1);
}

TEST_F(RawPeerTest, UnsupportedCompressionEndsTheCallWithAQuery) {
    ScriptedPeer peer;
    connectAccepted(peer);
    ASSERT_TRUE(peer.sendText(PKT_COMPRESSION, 5));
    Packet p;
    ASSERT_TRUE(peer.receiveType(PKT_QUERY, p));
    EXPECT_EQ(p.value(), 0);
    EXPECT_STREQ(p.text(), "Unsupported Compression Mode Requested\n");
    EXPECT_TRUE(peer.waitClosed());
    ASSERT_TRUE(bob.waitFor("Unsupported Compression Mode Requested\n")) << describe(bob);
    ASSERT_TRUE(bob.waitFor("Call #0 Disconnected\n")) << describe(bob);
    EXPECT_TRUE(bob.waitCalls(0));
}

TEST_F(RawPeerTest, RemoteCommandsRunAndReplyFromLoopback) {
    ScriptedPeer peer;
    connectAccepted(peer);
    // From a loopback address the password area is not checked; the copy's own password works
    // as well as any other.
    for (const char* password : {"pw", "not the password"}) {
        SCOPED_TRACE(password);
        ASSERT_TRUE(peer.send(buildCommandPacket({"Mute Y", "Talk 9"}, password)));
        Packet p;
        ASSERT_TRUE(peer.receiveType(PKT_COMMANDREPLY, p));
        EXPECT_EQ(p.value(), 1);
        EXPECT_STREQ(p.text(), "Mute Y");
        ASSERT_TRUE(peer.receiveType(PKT_COMMANDREPLY, p));
        EXPECT_EQ(p.value(), 1);
        EXPECT_STREQ(p.text(), "Talk 9");
        ASSERT_TRUE(peer.receiveType(PKT_COMMANDREPLY, p));
        EXPECT_EQ(p.value(), 2);
        EXPECT_STREQ(p.text(), "Invalid Line Number");
        ASSERT_TRUE(peer.receiveType(PKT_COMMANDREPLY, p));
        EXPECT_EQ(p.value(), 0);
        ASSERT_TRUE(bob.waitFor("Microphone Muted\n")) << describe(bob);
    }
}

TEST_F(RawPeerTest, SilentCallerIsPutToTheUserWithItsSourcePort) {
    ScriptedPeer peer;
    ASSERT_TRUE(peer.connectTo(bob.port()));
    const std::string source = std::to_string(localPort(peer.fd()));
    // Six seconds waiting for an ID, then the alert tone, then the question.
    ASSERT_TRUE(bob.waitFor("Incoming Call: Accept Call From 127.0.0.1 " + source + " []\n", 12000))
        << describe(bob);
    ASSERT_TRUE(bob.type("N"));
    ASSERT_TRUE(bob.waitFor("Rejected Call From 127.0.0.1 " + source + " []\n")) << describe(bob);
    EXPECT_TRUE(peer.waitClosed());
    ASSERT_TRUE(bob.waitFor("Call #0 Disconnected\n")) << describe(bob);
    EXPECT_TRUE(bob.waitCalls(0));
}

TEST_F(RawPeerTest, PeerClosingMidPacketEndsTheLine) {
    ScriptedPeer peer;
    connectAccepted(peer);
    peer.closeMidPacket(makePacket(PKT_MESSAGE, 0, "never whole"), 500);
    ASSERT_TRUE(bob.waitFor("Call #0 Disconnected\n")) << describe(bob);
    EXPECT_EQ(bob.count("never whole"), 0u);
    EXPECT_TRUE(bob.waitCalls(0));
}

TEST_F(RawPeerTest, AnnouncedRedialHappensOnceAndNotAfterItWasSwitchedOff) {
    ScriptedPeer callee;
    int port = callee.listen();
    ASSERT_TRUE(bob.type("Call 127.0.0.1 " + std::to_string(port) + " secret"));
    ASSERT_TRUE(callee.accept());
    Packet p;
    ASSERT_TRUE(callee.receive(p));
    EXPECT_EQ(p.type(), PKT_ID) << "a first call announces no redial";
    // The rest of the greeting is read, so that the close is an orderly one.
    ASSERT_TRUE(callee.receiveType(PKT_AUDIO, p));
    ASSERT_TRUE(callee.sendText(PKT_AUTORETRY, 1));
    callee.close();

    // The line ends and is called again at once, announcing the redial before its ID.
    ASSERT_TRUE(callee.accept());
    ASSERT_TRUE(callee.receive(p));
    EXPECT_EQ(p.type(), PKT_AUTORETRY);
    EXPECT_EQ(p.value(), 1);
    ASSERT_TRUE(callee.receive(p));
    EXPECT_EQ(p.type(), PKT_ID);
    IdStrings id = parseIdStrings(p);
    EXPECT_EQ(id.id, "Bob");
    EXPECT_EQ(id.password, "secret");
    EXPECT_EQ(p.value(), bob.port());
    ASSERT_TRUE(callee.receiveType(PKT_AUDIO, p));
    ASSERT_TRUE(bob.waitFor("Call #0 Disconnected\n")) << describe(bob);

    // Switched off by the peer, the redialled line ends for good.
    ASSERT_TRUE(callee.sendText(PKT_AUTORETRY, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    callee.close();
    ASSERT_TRUE(bob.waitFor("Call #1 Disconnected\n")) << describe(bob);
    EXPECT_FALSE(callee.accept(1500));
    EXPECT_TRUE(bob.waitCalls(0));
    EXPECT_EQ(bob.count("Connected\n"), 2u);
}

// A listener on 127.0.0.1:80, when this user may open one.
int listenOnWebPort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(80);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || ::listen(s, 1) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

TEST_F(RawPeerTest, WebPageCallSendsOnlyTheRequestAndListensAfterTheMarker) {
    int server = listenOnWebPort();
    if (server < 0) GTEST_SKIP() << "port 80 cannot be opened here";
    ASSERT_TRUE(bob.type("Call 127.0.0.1 80 talk/page.bin"));
    int conn = ::accept(server, nullptr, nullptr);
    ::close(server);
    ASSERT_GE(conn, 0);
    timeval tv{1, 0};
    ::setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    const std::string request = "GET /talk/page.bin HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    std::string got(request.size(), '\0');
    ASSERT_EQ(::recv(conn, got.data(), got.size(), MSG_WAITALL),
              static_cast<ssize_t>(request.size()));
    EXPECT_EQ(got, request);

    std::string reply = "HTTP/1.0 200 OK\r\n\r\n" + std::string(2000, 'x') + "\x1A";
    Packet message = makePacket(PKT_MESSAGE, 0, "from the page");
    reply.append(reinterpret_cast<const char*>(&message), sizeof(message));
    ASSERT_EQ(::send(conn, reply.data(), reply.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(reply.size()));
    ASSERT_TRUE(bob.waitFor("Message From #0:  from the page\n")) << describe(bob);
    // Nothing but the request ever goes to a web server.
    char extra;
    EXPECT_LT(::recv(conn, &extra, 1, 0), 1);
    ::close(conn);
    ASSERT_TRUE(bob.waitFor("Call #0 Disconnected\n")) << describe(bob);
}

} // namespace
} // namespace tc::test
