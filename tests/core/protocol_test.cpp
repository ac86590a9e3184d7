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

#include "core/line_table.h"
#include "core/packet_parse.h"
#include "core/protocol.h"
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
    Packet sent[3] = {filledPacket(PKT_MESSAGE, 'a'), filledPacket(-77, 'b'),
                      makePacket(PKT_AUDIO, 33, "third")};
    sent[1].setValue(-22);
    ASSERT_TRUE(call.peer.sendSplit(sent[0], {1, 700, 1024, 1031}));
    ASSERT_TRUE(call.peer.sendMerged(sent[1], sent[2]));
    for (const Packet& expected : sent) {
        Packet got;
        ASSERT_EQ(recvPacket(call.sock, got), PACKET_BYTES);
        EXPECT_EQ(std::memcmp(&got, &expected, sizeof(got)), 0);
    }
}

TEST(PacketStream, CloseMidPacketOrStopEndsTheRead) {
    Packet got;
    for (size_t before : {size_t(0), size_t(600)}) {
        LoopbackCall call;
        call.peer.closeMidPacket(makePacket(PKT_MESSAGE, 0, "torn"), before);
        EXPECT_LT(recvPacket(call.sock, got), 1) << before;
    }
    // A line that is ending stops reading even though a whole packet is waiting.
    LoopbackCall call;
    call.peer.send(makePacket(PKT_MESSAGE, 0, "late"));
    std::atomic<uint8_t> ending{1};
    EXPECT_LT(recvPacket(call.sock, got, &ending), 1);
    ending = 0;
    EXPECT_EQ(recvPacket(call.sock, got, &ending), PACKET_BYTES);
    EXPECT_STREQ(got.text(), "late");
    EXPECT_LT(recvPacket(-1, got), 1);
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
    // The bytes a receiver zeroes: 253 to 255 only in short-text control packets, 958 and 1023
    // in every control packet, none in audio packets (7 counts as audio: zero or positive).
    auto zeroed = [](int type) {
        Packet p = filledPacket(type, 'x');
        forcePayloadZeros(p);
        std::vector<int> at;
        for (int i = 0; i < PAYLOAD_BYTES; ++i)
            if (p.payload[i] != 'x') at.push_back(i);
        return at;
    };
    using V = std::vector<int>;
    for (int type : {PKT_ID, PKT_MESSAGE, PKT_VERSION, PKT_FORWARD, PKT_COMPRESSION, PKT_QUERY,
                     PKT_AUTORETRY, -8, -13, -1000})
        EXPECT_EQ(zeroed(type), (V{253, 254, 255, 958, 1023})) << type;
    for (int type : {PKT_COMMAND, PKT_CONNLIST, PKT_SERVERLIST, PKT_COMMANDREPLY})
        EXPECT_EQ(zeroed(type), (V{958, 1023})) << type;
    for (int type : {0, 3, 6, 7, 15})
        EXPECT_EQ(zeroed(type), V{}) << type;
}

TEST(PacketContents, TextsAreBoundedAsReceived) {
    LoopbackCall call;
    ASSERT_TRUE(call.peer.sendText(PKT_MESSAGE, 0, std::string(300, 'm')));
    EXPECT_EQ(payloadString(receiveForced(call), 0), std::string(253, 'm'));
    ASSERT_TRUE(call.peer.sendText(PKT_SERVERLIST, 0, std::string(1000, 's')));
    EXPECT_EQ(payloadString(receiveForced(call), 0), std::string(958, 's'));

    using V = std::vector<std::string>;
    auto ids = [](const Packet& p) {
        IdStrings i = parseIdStrings(p);
        return V{i.id, i.password, i.dnsName};
    };
    ASSERT_TRUE(call.peer.send(buildIdPacket("Alice", "secret", "alice.example.net", 8192)));
    Packet p = receiveForced(call);
    EXPECT_EQ(p.type(), PKT_ID);
    EXPECT_EQ(p.value(), 8192);
    EXPECT_EQ(ids(p), (V{"Alice", "secret", "alice.example.net"}));
    ASSERT_TRUE(call.peer.sendText(PKT_ID, 0, "Bob")); // a callee sends only its ID
    EXPECT_EQ(ids(receiveForced(call)), (V{"Bob", "", ""}));
    // The three strings together must lie within the first 253 bytes: what crosses is cut.
    ASSERT_TRUE(call.peer.send(
        buildIdPacket(std::string(126, 'i'), std::string(126, 'p'), std::string(100, 'd'), 1)));
    EXPECT_EQ(ids(receiveForced(call)), (V{std::string(126, 'i'), std::string(126, 'p'), ""}));

    // No zero byte anywhere: the strings stop at the payload's end.
    Packet raw = filledPacket(PKT_ID, 'A');
    EXPECT_EQ(ids(raw), (V{std::string(1024, 'A'), "", ""}));
    forcePayloadZeros(raw);
    EXPECT_EQ(parseIdStrings(raw).id.size(), 253u);
}

TEST(PacketContents, VersionNumbers) {
    EXPECT_EQ(parseVersionNumber("1.1"), 0x01010000u);
    EXPECT_EQ(parseVersionNumber("2.10.3"), 0x020A0300u);
    EXPECT_EQ(parseVersionNumber("1.2.3.4"), 0x01020300u);
    EXPECT_EQ(parseVersionNumber("1.1 beta 9"), 0x01010000u);
    EXPECT_EQ(parseVersionNumber(".5"), 0x00050000u);
    EXPECT_EQ(parseVersionNumber("garbage"), 0u);
    EXPECT_EQ(parseVersionNumber("1.99999999999999999999"), 0x01FF0000u);

    // From a packet: the number starts at byte 28, where the banner has it.
    LoopbackCall call;
    ASSERT_EQ(sendSocketPacket(call.peer.fd(), BANNER, PKT_VERSION, 1234), PACKET_BYTES);
    EXPECT_EQ(parseVersion(receiveForced(call)), 0x01010000u);
    EXPECT_EQ(parseVersion(makePacket(PKT_VERSION, 0, "short")), 0u);
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
    // Each line is 120 + 2 + 5 + 3 + 120 + 2 = 252 characters: three fit, a fourth would not.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
    EXPECT_EQ(text.size(), 3u * 252u);
}

TEST(CommandAuthorisation, LoopbackPasswordAndNoPassword) {
    resetSettings();
    const sockaddr_in loop = address("127.0.0.1");
    const sockaddr_in loop2 = address("127.45.6.7");
    const sockaddr_in remote = address("10.1.2.3");
    const sockaddr_in almost = address("128.0.0.1");

    auto received = [](Packet p) {
        forcePayloadZeros(p);
        return p;
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
}

} // namespace
} // namespace tc
