// The packet stream and the packet contents, over real sockets.
#include <algorithm>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "calls/line_table.h"
#include "calls/packet_parse.h"
#include "calls/protocol.h"
#include "core/settings.h"
#include "support/scripted_peer.h"

namespace tc {
namespace {

using test::makePacket;
using test::ScriptedPeer;

// A scripted peer and, connected to it over 127.0.0.1, the socket the code under test uses.
struct LoopbackCall {
    ScriptedPeer peer;
    int sock = -1;
    LoopbackCall() {
        int port = peer.listen();
        sock = test::connectLoopback(port);
        peer.accept();
    }
    ~LoopbackCall() {
        if (sock >= 0) ::close(sock);
    }
};

Packet filledPacket(int type, uint8_t fill) {
    Packet p;
    std::memset(&p, fill, sizeof(p));
    p.setType(type);
    p.setValue(0);
    return p;
}

sockaddr_in address(const char* dotted) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, dotted, &a.sin_addr);
    return a;
}

// Receives one packet as a line's receive thread does: whole packet, then the zero forcing.
Packet receiveForced(LoopbackCall& call) {
    Packet p;
    EXPECT_EQ(recvPacket(call.sock, p), PACKET_BYTES);
    forcePayloadZeros(p);
    return p;
}

TEST(PacketStream, SplitAndMergedPacketsArriveWhole) {
    LoopbackCall call;
    ASSERT_GE(call.sock, 0);
    Packet a = filledPacket(PKT_MESSAGE, 'a');
    a.setValue(11);
    Packet b = filledPacket(-77, 'b');
    b.setValue(-22);
    Packet c = makePacket(PKT_AUDIO, 33, "third");

    ASSERT_TRUE(call.peer.sendSplit(a, {1, 700, 1024, 1031}));
    ASSERT_TRUE(call.peer.sendMerged(b, c));
    Packet got;
    ASSERT_EQ(recvPacket(call.sock, got), PACKET_BYTES);
    EXPECT_EQ(std::memcmp(&got, &a, sizeof(a)), 0);
    ASSERT_EQ(recvPacket(call.sock, got), PACKET_BYTES);
    EXPECT_EQ(std::memcmp(&got, &b, sizeof(b)), 0);
    ASSERT_EQ(recvPacket(call.sock, got), PACKET_BYTES);
    EXPECT_EQ(std::memcmp(&got, &c, sizeof(c)), 0);
}

TEST(PacketStream, CloseMidPacketOrStopEndsTheRead) {
    {
        LoopbackCall call;
        call.peer.closeMidPacket(makePacket(PKT_MESSAGE, 0, "torn"), 600);
        Packet got;
        EXPECT_LT(recvPacket(call.sock, got), 1);
    }
    {
        LoopbackCall call;
        call.peer.close();
        Packet got;
        EXPECT_LT(recvPacket(call.sock, got), 1);
    }
    {
        // A line that is ending stops reading even though a whole packet is waiting.
        LoopbackCall call;
        call.peer.send(makePacket(PKT_MESSAGE, 0, "late"));
        std::atomic<uint8_t> ending{1};
        Packet got;
        EXPECT_LT(recvPacket(call.sock, got, &ending), 1);
        ending = 0;
        EXPECT_EQ(recvPacket(call.sock, got, &ending), PACKET_BYTES);
        EXPECT_STREQ(got.text(), "late");
    }
    Packet got;
    EXPECT_LT(recvPacket(-1, got), 1);
}

TEST(PacketStream, ScriptedPeerKeepsPartialPacketsAndSeesTheClose) {
    LoopbackCall call;
    Packet sent = makePacket(PKT_MESSAGE, 5, "in two halves");
    const auto* raw = reinterpret_cast<const char*>(&sent);
    ASSERT_EQ(::send(call.sock, raw, 500, 0), 500);
    Packet got;
    EXPECT_FALSE(call.peer.receive(got, 100)); // half a packet: not yet
    ASSERT_EQ(::send(call.sock, raw + 500, PACKET_BYTES - 500, 0), PACKET_BYTES - 500);
    ASSERT_TRUE(call.peer.receive(got, 1000));
    EXPECT_EQ(std::memcmp(&got, &sent, sizeof(sent)), 0);

    EXPECT_FALSE(call.peer.waitClosed(100));
    ::close(call.sock);
    call.sock = -1;
    EXPECT_TRUE(call.peer.waitClosed(2000));
    EXPECT_FALSE(call.peer.receive(got, 100));
}

TEST(PacketStream, SendersWriteLittleEndianTypeValueAndZeroPadding) {
    resetLineTable();
    LoopbackCall call;
    ASSERT_EQ(sendSocketPacket(call.sock, "hello", PKT_VERSION, 0x01020304), PACKET_BYTES);
    std::string longText(2000, 'z');
    lineTable[3].sock = call.sock;
    ASSERT_EQ(sendPacket(3, longText.c_str(), PKT_QUERY, -2), PACKET_BYTES);
    ASSERT_EQ(sendPacket(3, nullptr, PKT_AUTORETRY, 1), PACKET_BYTES);

    Packet p;
    ASSERT_TRUE(call.peer.receive(p));
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(&p);
    const uint8_t tail[8] = {0xFD, 0xFF, 0xFF, 0xFF, 0x04, 0x03, 0x02, 0x01};
    EXPECT_EQ(std::memcmp(raw + 1024, tail, 8), 0);
    EXPECT_EQ(std::string(p.text()), "hello");
    for (int i = 5; i < PAYLOAD_BYTES; ++i)
        ASSERT_EQ(p.payload[i], 0) << i;

    ASSERT_TRUE(call.peer.receive(p));
    EXPECT_EQ(p.type(), PKT_QUERY);
    EXPECT_EQ(p.value(), -2);
    EXPECT_EQ(payloadString(p, 0), std::string(1023, 'z'));

    ASSERT_TRUE(call.peer.receive(p));
    EXPECT_EQ(p.type(), PKT_AUTORETRY);
    EXPECT_EQ(p.payload[0], 0);
    EXPECT_EQ(sendPacket(8, "x", PKT_MESSAGE, 0), -1);
    lineTable[3].sock = -1;
}

TEST(PacketStream, PacketsFromManyThreadsOnOneLineNeverInterleave) {
    resetLineTable();
    LoopbackCall call;
    // Modest buffers, so a packet often goes out in several pieces while others wait to send.
    setNoDelay(call.sock);
    int small = 65536;
    setsockopt(call.sock, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    setsockopt(call.peer.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    lineTable[0].sock = call.sock;
    constexpr int kThreads = 4;
    constexpr int kEach = 150;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([t] {
            Packet p;
            std::memset(p.payload, 'A' + t, sizeof(p.payload));
            p.setType(-50 - t);
            p.setValue(t);
            for (int i = 0; i < kEach; ++i)
                sendLinePacket(0, p);
        });
    }
    int counts[kThreads] = {};
    Packet p;
    for (int i = 0; i < kThreads * kEach; ++i) {
        ASSERT_TRUE(call.peer.receive(p, 10000));
        int t = p.value();
        ASSERT_TRUE(t >= 0 && t < kThreads);
        ASSERT_EQ(p.type(), -50 - t);
        ASSERT_EQ(p.payload[0], 'A' + t);
        ASSERT_EQ(p.payload[PAYLOAD_BYTES - 1], 'A' + t);
        ++counts[t];
    }
    for (auto& s : senders)
        s.join();
    for (int c : counts)
        EXPECT_EQ(c, kEach);
    lineTable[0].sock = -1;
}

TEST(PacketContents, ZeroForcingByType) {
    const int shortTextTypes[] = {
        PKT_ID,    PKT_MESSAGE,   PKT_VERSION, PKT_FORWARD, PKT_COMPRESSION,
        PKT_QUERY, PKT_AUTORETRY, -8,          -13,         -1000};
    for (int type : shortTextTypes) {
        Packet p = filledPacket(type, 'x');
        forcePayloadZeros(p);
        for (int i = 0; i < PAYLOAD_BYTES; ++i) {
            bool zero = i == 253 || i == 254 || i == 255 || i == 958 || i == 1023;
            ASSERT_EQ(p.payload[i], zero ? 0 : 'x') << "type " << type << " byte " << i;
        }
    }
    for (int type : {PKT_COMMAND, PKT_CONNLIST, PKT_SERVERLIST, PKT_COMMANDREPLY}) {
        Packet p = filledPacket(type, 'x');
        forcePayloadZeros(p);
        for (int i = 0; i < PAYLOAD_BYTES; ++i) {
            bool zero = i == 958 || i == 1023;
            ASSERT_EQ(p.payload[i], zero ? 0 : 'x') << "type " << type << " byte " << i;
        }
    }
    for (int type : {0, 3, 6, 7, 15}) {
        Packet p = filledPacket(type, 'x');
        forcePayloadZeros(p);
        for (int i = 0; i < PAYLOAD_BYTES; ++i)
            ASSERT_EQ(p.payload[i], 'x') << "audio type " << type << " byte " << i;
    }
}

TEST(PacketContents, LongMessageIsCutTo253Characters) {
    LoopbackCall call;
    std::string text(300, 'm');
    ASSERT_TRUE(call.peer.sendText(PKT_MESSAGE, 0, text));
    Packet p = receiveForced(call);
    EXPECT_EQ(payloadString(p, 0), std::string(253, 'm'));

    ASSERT_TRUE(call.peer.sendText(PKT_SERVERLIST, 0, std::string(1000, 's')));
    p = receiveForced(call);
    EXPECT_EQ(payloadString(p, 0), std::string(958, 's'));
}

TEST(PacketContents, IdStrings) {
    LoopbackCall call;
    ASSERT_TRUE(call.peer.send(buildIdPacket("Alice", "secret", "alice.example.net", 8192)));
    Packet p = receiveForced(call);
    EXPECT_EQ(p.type(), PKT_ID);
    EXPECT_EQ(p.value(), 8192);
    IdStrings ids = parseIdStrings(p);
    EXPECT_EQ(ids.id, "Alice");
    EXPECT_EQ(ids.password, "secret");
    EXPECT_EQ(ids.dnsName, "alice.example.net");

    // A callee sends only its ID.
    ASSERT_TRUE(call.peer.sendText(PKT_ID, 0, "Bob"));
    ids = parseIdStrings(receiveForced(call));
    EXPECT_EQ(ids.id, "Bob");
    EXPECT_EQ(ids.password, "");
    EXPECT_EQ(ids.dnsName, "");

    // The three strings together must lie within the first 253 bytes: what crosses is cut.
    ASSERT_TRUE(call.peer.send(
        buildIdPacket(std::string(126, 'i'), std::string(126, 'p'), std::string(100, 'd'), 1)));
    ids = parseIdStrings(receiveForced(call));
    EXPECT_EQ(ids.id, std::string(126, 'i'));
    EXPECT_EQ(ids.password, std::string(126, 'p'));
    EXPECT_EQ(ids.dnsName, "");

    // No zero byte anywhere: the strings stop at the payload's end.
    Packet raw = filledPacket(PKT_ID, 'A');
    ids = parseIdStrings(raw);
    EXPECT_EQ(ids.id.size(), 1024u);
    EXPECT_EQ(ids.password, "");
    EXPECT_EQ(ids.dnsName, "");
    forcePayloadZeros(raw);
    EXPECT_EQ(parseIdStrings(raw).id.size(), 253u);
}

TEST(PacketContents, VersionNumbers) {
    EXPECT_EQ(parseVersionNumber("1.1"), 0x01010000u);
    EXPECT_EQ(parseVersionNumber("2.10.3"), 0x020A0300u);
    EXPECT_EQ(parseVersionNumber("1.2.3.4"), 0x01020300u);
    EXPECT_EQ(parseVersionNumber("7"), 0x07000000u);
    EXPECT_EQ(parseVersionNumber("1.1 beta 9"), 0x01010000u);
    EXPECT_EQ(parseVersionNumber(".5"), 0x00050000u);
    EXPECT_EQ(parseVersionNumber("garbage"), 0u);
    EXPECT_EQ(parseVersionNumber(""), 0u);
    EXPECT_EQ(parseVersionNumber("1.99999999999999999999"), 0x01FF0000u);

    LoopbackCall call;
    ASSERT_EQ(sendSocketPacket(call.peer.fd(), BANNER, PKT_VERSION, 1234), PACKET_BYTES);
    EXPECT_EQ(parseVersion(receiveForced(call)), 0x01010000u);
    ASSERT_TRUE(call.peer.sendText(PKT_VERSION, 0, "TALKCIRCLE CONSOLE  Version 2.10.3"));
    EXPECT_EQ(parseVersion(receiveForced(call)), 0x020A0300u);
    ASSERT_TRUE(call.peer.sendText(PKT_VERSION, 0, "short"));
    EXPECT_EQ(parseVersion(receiveForced(call)), 0u);
    Packet digits = filledPacket(PKT_VERSION, '9');
    EXPECT_EQ(parseVersion(digits), 0xFF000000u);
}

// Puts a line in use with the given state.
void setLine(int n, bool accepted, bool active, const std::string& id, const char* addr, int port) {
    LineRecord& r = lineTable[n];
    r.inUse = 1;
    r.accepted = accepted;
    r.active = active;
    r.peerId.set(id);
    r.peerName.set(addr);
    r.peerAddr = address(addr);
    r.peerPort = port;
}

struct ConnListTest : ::testing::Test {
    void SetUp() override {
        resetSettings();
        resetLineTable();
    }
    void TearDown() override {
        resetSettings();
        resetLineTable();
    }
};

TEST_F(ConnListTest, EntriesOnTheWireAndAsPrinted) {
    settings.hubMode = HUB_P2P;
    setLine(0, true, true, "Other0", "10.0.0.1", 1000);
    setLine(1, false, true, "NotAccepted", "10.0.0.2", 1001);
    setLine(2, true, true, "Asker", "192.168.1.20", 8192);
    setLine(3, true, false, "Held", "10.0.0.4", 1003);
    setLine(5, true, true, "Other5", "10.0.0.6", 65535);

    LoopbackCall call;
    Packet list;
    EXPECT_EQ(buildConnList(2, list), 3);
    ASSERT_EQ(sendWholePacket(call.peer.fd(), list), PACKET_BYTES);
    Packet p = receiveForced(call);
    EXPECT_EQ(p.type(), PKT_CONNLIST);
    EXPECT_EQ(p.value(), 3);
    // Entry 0: the asking line, address bytes in dotted order, port little-endian, offset +80.
    const uint8_t entry0[8] = {192, 168, 1, 20, 0x00, 0x20, 80, 0};
    EXPECT_EQ(std::memcmp(p.payload, entry0, 8), 0);
    EXPECT_EQ(payloadString(p, 80), "Asker");

    std::vector<std::string> lines = formatConnList(p, "host.example", 4444, "Far");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "host.example 4444 [Far] Connected To: * 192.168.1.20  8192  [Asker]\n");
    EXPECT_EQ(lines[1], "host.example 4444 [Far] Connected To:   10.0.0.1  1000  [Other0]\n");
    EXPECT_EQ(lines[2], "host.example 4444 [Far] Connected To:   10.0.0.6  65535  [Other5]\n");

    // A line on hold is marked with a negative offset.
    lineTable[2].active = 0;
    buildConnList(2, p);
    EXPECT_EQ(parseConnList(p)[0].offset, -80);
    EXPECT_EQ(formatConnList(p, "h", 1, "f")[0],
              "h 1 [f] Connected To: H 192.168.1.20  8192  [Asker]\n");
}

TEST_F(ConnListTest, PartyDependsOnHubMode) {
    setLine(0, true, true, "A0", "10.0.0.1", 1);
    setLine(1, true, false, "H1", "10.0.0.2", 2);
    setLine(2, true, false, "H2", "10.0.0.3", 3);
    setLine(3, true, true, "A3", "10.0.0.4", 4);
    auto ids = [](int line) {
        Packet p;
        buildConnList(line, p);
        std::vector<std::string> out;
        for (const ConnEntry& e : parseConnList(p))
            out.push_back(e.id);
        return out;
    };
    using V = std::vector<std::string>;
    settings.hubMode = HUB_P2P;
    EXPECT_EQ(ids(1), (V{"H1", "A0", "A3"})); // P to P: the active lines, whatever R is
    EXPECT_EQ(ids(0), (V{"A0", "A3"}));
    settings.hubMode = HUB_HUB;
    EXPECT_EQ(ids(1), (V{"H1", "H2"})); // hub: the lines in R's hub
    EXPECT_EQ(ids(3), (V{"A3", "A0"}));
    settings.hubMode = HUB_SERVER;
    EXPECT_EQ(ids(2), (V{"H2", "H1"}));
}

TEST_F(ConnListTest, LongIdsNeverRunPastThePayload) {
    settings.hubMode = HUB_HUB;
    for (int n = 0; n < MAX_LINES; ++n)
        setLine(n, true, true, std::string(n == 4 ? 20 : 255, char('a' + n)), "10.1.1.1", n);

    for (int asker : {0, 7}) {
        Packet p;
        std::memset(&p, 0xEE, sizeof(p)); // nothing of an old packet may survive
        int count = buildConnList(asker, p);
        EXPECT_EQ(p.value(), count);
        Packet received = p;
        forcePayloadZeros(received);
        std::vector<ConnEntry> entries = parseConnList(received);
        ASSERT_EQ(static_cast<int>(entries.size()), count);
        // 80 + 3 x 256 bytes of 255-character IDs reach 848; the 20-character one still fits.
        EXPECT_EQ(count, 4);
        for (const ConnEntry& e : entries) {
            ASSERT_GE(e.offset, 80);
            EXPECT_LE(e.offset + static_cast<int>(e.id.size()), LONG_TEXT_END);
            EXPECT_TRUE(e.id.size() == 255 || e.id.size() == 20);
            EXPECT_EQ(e.id, std::string(e.id.size(), e.id[0]));
            EXPECT_EQ(e.port, e.id[0] - 'a'); // each entry's port belongs to its own line
        }
        EXPECT_EQ(entries[0].id[0], 'a' + asker);
        EXPECT_EQ(entries.back().id, std::string(20, 'e'));
        for (int i = 8 * count; i < 80; ++i)
            ASSERT_EQ(p.payload[i], 0);
    }
}

TEST_F(ConnListTest, ReceivedGarbageIsReadWithinThePayload) {
    Packet p = filledPacket(PKT_CONNLIST, 'q');
    const int16_t offsets[8] = {-32768, 1023, 5000, -1, 0, 1024, 7, 300};
    for (int i = 0; i < 8; ++i) {
        auto off = static_cast<uint16_t>(offsets[i]);
        p.payload[8 * i + 6] = uint8_t(off);
        p.payload[8 * i + 7] = uint8_t(off >> 8);
    }
    p.setValue(8);
    std::vector<ConnEntry> e = parseConnList(p);
    ASSERT_EQ(e.size(), 8u);
    EXPECT_EQ(e[0].id, "");  // on hold at 32768: outside
    EXPECT_EQ(e[1].id, "q"); // the last byte, no zero after it
    EXPECT_EQ(e[2].id, "");  // outside
    EXPECT_EQ(e[3].id, "");  // negative offset of a later entry: outside
    EXPECT_EQ(e[5].id, "");  // outside
    EXPECT_EQ(e[7].id, std::string(724, 'q'));
    for (int value : {9, -1, 1000}) {
        p.setValue(value);
        EXPECT_TRUE(parseConnList(p).empty()) << value;
    }
    p.setValue(0);
    EXPECT_TRUE(formatConnList(p, "a", 1, "b").empty());
}

TEST_F(ConnListTest, ServerListHoldsHeldAcceptedLinesCutAtAWholeLine) {
    setLine(0, true, false, "Bob", "127.0.0.1", 8192);
    setLine(1, true, true, "Talking", "10.0.0.2", 1);
    setLine(2, false, false, "Waiting", "10.0.0.3", 2);
    setLine(4, true, false, "Carol", "somewhere.example.org", 65000);
    EXPECT_EQ(buildServerList(), "      127.0.0.1   8192  [Bob]\n"
                                 "somewhere.example.org  65000  [Carol]\n");

    resetLineTable();
    for (int n = 0; n < MAX_LINES; ++n)
        setLine(n, true, false, std::string(120, char('a' + n)), "10.0.0.9", n);
    for (LineRecord& r : lineTable)
        r.peerName.set(std::string(120, 'n'));
    std::string text = buildServerList();
    EXPECT_LE(text.size(), 958u);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    // Each line is 120 + 2 + 5 + 3 + 120 + 2 = 252 characters: three fit, a fourth would not.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
    EXPECT_EQ(text.size(), 3u * 252u);

    LoopbackCall call;
    ASSERT_EQ(sendSocketPacket(call.peer.fd(), text.c_str(), PKT_SERVERLIST, 0), PACKET_BYTES);
    EXPECT_EQ(payloadString(receiveForced(call), 0), text);
}

TEST(CommandAuthorisation, LoopbackPasswordAndNoPassword) {
    resetSettings();
    const sockaddr_in loop = address("127.0.0.1");
    const sockaddr_in loop2 = address("127.45.6.7");
    const sockaddr_in remote = address("10.1.2.3");
    const sockaddr_in almost = address("128.0.0.1");

    LoopbackCall call;
    auto received = [&](const Packet& sent) {
        EXPECT_TRUE(call.peer.send(sent));
        return receiveForced(call);
    };
    Packet right = received(buildCommandPacket({"Mute Y", "Talk 9"}, "secret"));
    Packet wrong = received(buildCommandPacket({"Mute Y"}, "secreT"));
    Packet none = received(buildCommandPacket({"Mute Y"}, ""));
    Packet garbage = received(filledPacket(PKT_COMMAND, 'g'));

    settings.callPassword.set("secret");
    EXPECT_TRUE(commandAuthorised(garbage, loop));
    EXPECT_TRUE(commandAuthorised(garbage, loop2));
    EXPECT_TRUE(commandAuthorised(right, remote));
    EXPECT_FALSE(commandAuthorised(wrong, remote));
    EXPECT_FALSE(commandAuthorised(none, remote));
    EXPECT_FALSE(commandAuthorised(garbage, remote));
    EXPECT_TRUE(commandAuthorised(right, almost));
    EXPECT_FALSE(commandAuthorised(wrong, almost));
    // The string must start exactly strlen(password) bytes before byte 1023.
    settings.callPassword.set("xsecret");
    EXPECT_FALSE(commandAuthorised(right, remote));

    // Without a call password only loopback clients may run commands.
    settings.callPassword.set("");
    EXPECT_TRUE(commandAuthorised(none, loop));
    EXPECT_FALSE(commandAuthorised(none, remote));
    EXPECT_FALSE(commandAuthorised(right, remote));
    resetSettings();
}

TEST(CommandAuthorisation, CommandPacketLayout) {
    Packet p = buildCommandPacket({"Mute Y", "Talk 9"}, "pw");
    EXPECT_EQ(p.type(), PKT_COMMAND);
    EXPECT_EQ(p.value(), 2);
    EXPECT_EQ(std::memcmp(p.payload, "Mute Y\0Talk 9\0\0", 15), 0);
    EXPECT_EQ(std::memcmp(p.payload + 1021, "pw\0", 3), 0);

    // Commands that would pass byte 958 or reach the password are left out and not counted.
    std::vector<std::string> many(10, std::string(99, 'c')); // 100 bytes each
    many.push_back("last");
    p = buildCommandPacket(many, std::string(10, 'p'));
    EXPECT_EQ(p.value(), 10); // nine long commands (up to byte 899) and "last"
    EXPECT_EQ(payloadString(p, 800), std::string(99, 'c'));
    EXPECT_EQ(payloadString(p, 900), "last");
    EXPECT_EQ(payloadString(p, 1013), std::string(10, 'p'));
    p = buildCommandPacket(many, std::string(200, 'p'));
    EXPECT_EQ(p.value(), 9); // 8 long commands and "last" end before byte 823
    EXPECT_EQ(payloadString(p, 800), "last");
}

TEST(Sockets, NoDelayIsSetOnACallSocket) {
    LoopbackCall call;
    ASSERT_EQ(setNoDelay(call.sock), 0);
    int on = 0;
    socklen_t len = sizeof(on);
    ASSERT_EQ(getsockopt(call.sock, IPPROTO_TCP, TCP_NODELAY, &on, &len), 0);
    EXPECT_NE(on, 0);
    EXPECT_EQ(setNoDelay(-1), 1);
}

} // namespace
} // namespace tc
