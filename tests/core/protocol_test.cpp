// The packet stream over real sockets, and the packet contents.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "core/line_table.h"
#include "core/packet_parse.h"
#include "core/settings.h"
#include "core/window_hooks.h"
#include "support/scripted_peer.h"

namespace tc {
namespace {

using test::makePacket;
using Strings = std::vector<std::string>;

Packet filledPacket(int type, uint8_t fill, int value = 0) {
    Packet p;
    std::memset(&p, fill, sizeof(p));
    p.setType(type);
    p.setValue(value);
    return p;
}

bool same(const Packet& a, const Packet& b) {
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}

// A packet as a line's receive thread holds it, after the zero forcing.
Packet received(Packet p) {
    forcePayloadZeros(p);
    return p;
}

// Over TCP, where a packet can arrive in pieces and concurrent sends can interleave.
struct TcpLine : ::testing::Test {
    void SetUp() override {
        resetLineTable();
        sock = lineTable[0].sock = test::connectLoopback(peer.listen());
        ASSERT_TRUE(sock >= 0 && peer.accept());
    }
    void TearDown() override { resetLineTable(), ::close(sock); }
    test::ScriptedPeer peer;
    int sock = -1;
};

// Claiming and releasing lines, alone and from many threads at once.
TEST(LineTable, AClaimTakesTheLowestFreeLineClearedAndTheNinthFails) {
    resetSettings();
    resetLineTable();
    settings.defaultCompression = 6;
    for (int n = 0; n < MAX_LINES; ++n)
        EXPECT_EQ(claimLine(n % 2 == 0), n);
    // What an ended call on line 1 leaves behind that would break the next call on the line.
    LineRecord& r = lineTable[1];
    r.ending = r.accepted = r.active = r.autoRetry = r.rxReady = r.txReady = 1;
    r.sock = 77;
    r.txCodecState = r.rxCodecState = 123;
    r.peerId.set("old id");
    releaseLine(1);
    rxEvent[1].set();
    ASSERT_EQ(claimLine(false), 1);
    EXPECT_EQ((std::vector<int>{r.ending, r.accepted, r.active, r.autoRetry, r.rxReady, r.txReady,
                                r.sock, r.txCodecState, r.rxCodecState, r.compCode, r.incoming}),
              (std::vector<int>{0, 0, 0, 0, 0, 0, -1, 0, 0, 6, 0}));
    EXPECT_EQ(r.peerId.get(), "");
    EXPECT_FALSE(rxEvent[1].wait(0));
    // The ninth claim changes nothing: no redraw, all eight in use, no record cleared.
    r.peerPort = 77;
    displayDirty = 0;
    EXPECT_EQ(claimLine(true), -1);
    EXPECT_EQ((std::vector<int>{displayDirty, linesInUse(), r.peerPort}),
              (std::vector<int>{0, MAX_LINES, 77}));
}

TEST(LineTable, ConcurrentClaimsNeverShareALine) {
    resetLineTable();
    // 10 threads claim and release over and over (more claimers than lines, so claims fail
    // too); a claimed line is never held by anyone else at the same time (0: free, t + 1: t's).
    std::atomic<int> owners[MAX_LINES]{}, doubles{0}, claims{0};
    std::vector<std::jthread> threads;
    for (int t = 0; t < 10; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                int n = claimLine(t % 2 == 0), expected = 0;
                if (n < 0) continue;
                ++claims;
                if (!owners[n].compare_exchange_strong(expected, t + 1)) ++doubles;
                owners[n] = 0;
                releaseLine(n);
            }
        });
    threads.clear(); // joins them
    EXPECT_EQ(doubles, 0);
    EXPECT_GT(claims, 0);
    EXPECT_EQ(linesInUse(), 0);
}

TEST_F(TcpLine, SplitAndMergedPacketsArriveWholeAndATornOneEndsTheRead) {
    const Packet sent[3] = {filledPacket(PKT_MESSAGE, 'a'), filledPacket(-77, 'b', -22),
                            makePacket(PKT_AUDIO, 33, "third")};
    // The first in pieces, a pause after each, then the other two in one write.
    const auto* bytes = reinterpret_cast<const uint8_t*>(sent);
    size_t from = 0;
    for (size_t to : {1, 700, 1024, 1031, 1032, 3 * 1032}) {
        ASSERT_TRUE(peer.sendBytes(bytes + from, to - from));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        from = to;
    }
    Packet got;
    for (const Packet& expected : sent) {
        ASSERT_EQ(recvPacket(sock, got), PACKET_BYTES);
        EXPECT_TRUE(same(got, expected));
    }
    // A line that is ending stops reading even though a whole packet is waiting.
    peer.send(makePacket(PKT_MESSAGE, 0, "late"));
    std::atomic<uint8_t> ending{1};
    EXPECT_LT(recvPacket(sock, got, &ending), 1);
    ending = 0;
    EXPECT_EQ(recvPacket(sock, got, &ending), PACKET_BYTES);
    const Packet torn = makePacket(PKT_MESSAGE, 0, "torn");
    peer.sendBytes(&torn, 600);
    peer.close();
    EXPECT_LT(recvPacket(sock, got), 1);
}

TEST_F(TcpLine, PacketsFromManyThreadsOnOneLineNeverInterleave) {
    // Modest buffers, so a packet often goes out in several pieces while others wait to send.
    int small = 65536;
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    setsockopt(peer.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    std::vector<std::jthread> senders; // joined when cleared
    for (int t = 0; t < 4; ++t)
        senders.emplace_back([t] {
            for (int i = 0; i < 150; ++i)
                sendLinePacket(0, filledPacket(-50 - t, uint8_t('A' + t), t));
        });
    // Each sender's packets are whole; 600 of them means none was lost or torn apart.
    Packet p;
    for (int i = 0; i < 4 * 150; ++i) {
        ASSERT_TRUE(peer.receive(p, 10000));
        const int t = p.value() & 3;
        ASSERT_TRUE(same(p, filledPacket(-50 - t, uint8_t('A' + t), t))) << i;
    }
    senders.clear();
}

using PacketStream = TcpLine; // the senders, over the same line

TEST_F(PacketStream, SendersWriteLittleEndianTypeValueAndZeroPadding) {
    ASSERT_EQ(sendSocketPacket(sock, "hello", PKT_VERSION, 0x01020304), PACKET_BYTES);
    ASSERT_EQ(sendPacket(0, std::string(2000, 'z').c_str(), PKT_QUERY, -2), PACKET_BYTES);
    ASSERT_EQ(sendPacket(0, nullptr, PKT_AUTORETRY, 1), PACKET_BYTES);
    EXPECT_EQ(sendPacket(8, "x", PKT_MESSAGE, 0), -1);
    Packet p[3];
    for (Packet& one : p)
        ASSERT_TRUE(peer.receive(one));
    const uint8_t tail[8] = {0xFD, 0xFF, 0xFF, 0xFF, 0x04, 0x03, 0x02, 0x01};
    EXPECT_EQ(std::memcmp(reinterpret_cast<uint8_t*>(&p[0]) + PAYLOAD_BYTES, tail, 8), 0);
    EXPECT_TRUE(same(p[0], makePacket(PKT_VERSION, 0x01020304, "hello"))); // zeros after the text
    EXPECT_TRUE(same(p[1], makePacket(PKT_QUERY, -2, std::string(1023, 'z'))));
    EXPECT_TRUE(same(p[2], makePacket(PKT_AUTORETRY, 1)));
}

TEST(PacketContents, ZeroForcingByTypeAndTextsBoundedAsReceived) {
    // The bytes a receiver zeroes: 253 to 255 only in short-text control packets, 958 and 1023
    // in every control packet, none in audio packets (7 counts as audio: zero or positive).
    auto zeroed = [](int type) {
        Packet p = received(filledPacket(type, 'x'));
        std::vector<int> at;
        for (int i = 0; i < PAYLOAD_BYTES; ++i)
            if (p.payload[i] != 'x') at.push_back(i);
        return at;
    };
    for (int type : {PKT_ID, PKT_MESSAGE, PKT_VERSION, PKT_FORWARD, PKT_COMPRESSION, PKT_QUERY,
                     PKT_AUTORETRY, -8, -13, -1000})
        EXPECT_EQ(zeroed(type), (std::vector<int>{253, 254, 255, 958, 1023})) << type;
    for (int type : {PKT_COMMAND, PKT_CONNLIST, PKT_SERVERLIST, PKT_COMMANDREPLY})
        EXPECT_EQ(zeroed(type), (std::vector<int>{958, 1023})) << type;
    for (int type : {0, 3, 6, 7, 15})
        EXPECT_EQ(zeroed(type), std::vector<int>{}) << type;

    EXPECT_EQ(payloadString(received(filledPacket(PKT_MESSAGE, 'm')), 0), std::string(253, 'm'));
    EXPECT_EQ(payloadString(received(filledPacket(PKT_SERVERLIST, 's')), 0), std::string(958, 's'));
    EXPECT_EQ(payloadString(filledPacket(PKT_AUDIO, 'a'), 1000), std::string(24, 'a'));
    // The three ID strings must lie within the first 253 bytes: what crosses is cut.
    auto ids = [](const Packet& p) {
        IdStrings i = parseIdStrings(received(p));
        return Strings{i.id, i.password, i.dnsName};
    };
    Packet p =
        buildIdPacket(std::string(126, 'i'), std::string(126, 'p'), std::string(100, 'd'), 1);
    EXPECT_EQ(ids(p), (Strings{std::string(126, 'i'), std::string(126, 'p'), ""}));
    EXPECT_EQ(ids(filledPacket(PKT_ID, 'A')), (Strings{std::string(253, 'A'), "", ""}));
}

TEST(PacketContents, VersionNumbers) {
    EXPECT_EQ(parseVersionNumber("2.10.3 beta 9"), 0x020A0300u);
    EXPECT_EQ(parseVersionNumber("1.2.3.4"), 0x01020300u);
    EXPECT_EQ(parseVersionNumber("1.99999999999999999999"), 0x01FF0000u); // each number at most 255
    EXPECT_EQ(parseVersionNumber("garbage"), 0u);
    // From a packet: the number starts at byte 28, where the banner has it.
    EXPECT_EQ(parseVersion(makePacket(PKT_VERSION, 0, BANNER)), 0x01010000u);
}

// Puts line n in use, accepted, with the given activity, ID and port (address 10.0.0.n).
void setLine(int n, bool accepted, bool active, const std::string& id, int port = 0) {
    LineRecord& r = lineTable[n];
    r.inUse = 1;
    r.accepted = accepted;
    r.active = active;
    r.peerPort = port;
    r.peerId.set(id);
    r.peerName.set("10.0.0." + std::to_string(n));
    r.peerAddr.set({AF_INET, 0, {htonl(0x0A000000u + uint32_t(n))}, {}});
}

// The IDs of the connection list about `line`, as received.
Strings listIds(int line) {
    Packet p;
    buildConnList(line, p);
    Strings out;
    for (const ConnEntry& e : parseConnList(received(p)))
        out.push_back(e.id);
    return out;
}

TEST(ConnList, EntriesOfTheAskersPartyOnTheWireAsPrintedAndTheServerList) {
    resetSettings();
    resetLineTable();
    setLine(0, true, true, "A0", 1000);
    setLine(1, false, false, "NotAccepted");
    setLine(2, true, true, "Asker", 8192);
    setLine(3, true, false, "H3", 1003);
    setLine(5, true, true, "A5", 65535);
    setLine(6, true, false, "H6");
    Packet p;
    EXPECT_EQ(buildConnList(2, p), 3);
    // Entry 0: the asking line, address bytes in dotted order, port little-endian, ID at +80.
    const uint8_t entry0[8] = {10, 0, 0, 2, 0x00, 0x20, 80, 0};
    EXPECT_EQ(std::memcmp(p.payload, entry0, 8), 0);
    EXPECT_EQ(formatConnList(received(p), "h", 1, "f")[0],
              "h 1 [f] Connected To: * 10.0.0.2  8192  [Asker]\n");
    buildConnList(3, p); // an asker on hold: a negative offset
    EXPECT_EQ(formatConnList(p, "h", 1, "f")[0], "h 1 [f] Connected To: H 10.0.0.3  1003  [H3]\n");
    // The party: in P to P every active line, whatever the asker is; in a hub or server the
    // lines on the asker's side (held or active).
    EXPECT_EQ(listIds(3), (Strings{"H3", "A0", "Asker", "A5"}));
    settings.hubMode = HUB_HUB;
    EXPECT_EQ(listIds(3), (Strings{"H3", "H6"}));
    EXPECT_EQ(listIds(0), (Strings{"A0", "Asker", "A5"}));
    settings.hubMode = HUB_SERVER;
    EXPECT_EQ(listIds(6), (Strings{"H6", "H3"}));
    // The server list: the held lines that were accepted.
    EXPECT_EQ(buildServerList(), "       10.0.0.3   1003  [H3]\n       10.0.0.6      0  [H6]\n");
}

TEST(ConnList, LongIdsAndReceivedGarbageNeverRunPastThePayload) {
    resetSettings();
    resetLineTable();
    for (int n = 0; n < MAX_LINES; ++n)
        setLine(n, true, true, std::string(n == 4 ? 20 : 255, char('a' + n)), n);
    // 80 + 3 x 256 bytes of 255-character IDs reach 848; the 20-character one still fits.
    const std::string a(255, 'a'), b(255, 'b'), c(255, 'c'), h(255, 'h'), e(20, 'e');
    EXPECT_EQ(listIds(0), (Strings{a, b, c, e}));
    EXPECT_EQ(listIds(7), (Strings{h, a, b, e}));
    Packet p = filledPacket(0, 0xEE); // nothing of an old packet may survive
    buildConnList(7, p);
    for (const ConnEntry& entry : parseConnList(p))
        EXPECT_EQ(entry.port, entry.id[0] - 'a'); // each entry's port belongs to its own line
    EXPECT_EQ(std::vector<uint8_t>(p.payload + 32, p.payload + 80), std::vector<uint8_t>(48, 0));

    p = filledPacket(PKT_CONNLIST, 'q', 8);
    const int16_t offsets[8] = {-32768, 1023, 5000, -1, 0, 1024, 7, 300};
    for (int i = 0; i < 8; ++i)
        std::memcpy(p.payload + 8 * i + 6, &offsets[i], 2); // little-endian, as on the wire
    std::vector<size_t> lengths;
    for (const ConnEntry& entry : parseConnList(p))
        lengths.push_back(entry.id.size());
    // Entry 0 on hold at 32768, 5000, 1024 and a later entry's negative offset lie outside; the
    // others end at a zero byte or at the payload's end.
    EXPECT_EQ(lengths, (std::vector<size_t>{0, 1, 0, 0, 6, 0, 31, 724}));
    for (int value : {9, -1})
        EXPECT_TRUE(parseConnList(filledPacket(PKT_CONNLIST, 'q', value)).empty()) << value;
}

TEST(ConnList, ServerListHoldsWholeLinesUpToByte958) {
    resetLineTable();
    for (int n = 0; n < MAX_LINES; ++n)
        setLine(n, true, false, std::string(255, 'a'));
    // Lines of 15 + 2 + 5 + 3 + 255 + 2 = 282 characters: three fit, a fourth would not.
    EXPECT_EQ(buildServerList().size(), 3u * 282u);
}

TEST(CommandAuthorisation, LoopbackPasswordAndNoPassword) {
    resetSettings();
    // Commands with the right password, a wrong one, none, and garbage, from each address under
    // each call password: whether they may run, as digits. The password must end at byte 1022
    // ("xsecret" would start one byte earlier); without one only loopback clients may run them.
    const Packet packets[] = {buildCommandPacket({"Mute Y", "Talk 9"}, "secret"),
                              buildCommandPacket({"Mute Y"}, "secreT"),
                              buildCommandPacket({"Mute Y"}, ""), filledPacket(PKT_COMMAND, 'g')};
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"secret", "10.1.2.3", "1000"},   {"secret", "128.0.0.1", "1000"},
        {"secret", "127.45.6.7", "1111"}, {"xsecret", "10.1.2.3", "0000"},
        {"", "10.1.2.3", "0000"},         {"", "127.0.0.1", "1111"}};
    for (auto [password, from, allowed] : cases) {
        settings.callPassword.set(password);
        sockaddr_in a{};
        inet_pton(AF_INET, from, &a.sin_addr);
        std::string got;
        for (const Packet& p : packets)
            got += commandAuthorised(received(p), a) ? '1' : '0';
        EXPECT_EQ(got, allowed) << password << " from " << from;
    }
}

TEST(CommandAuthorisation, CommandsStopBeforeByte958AndThePassword) {
    // Nine commands of 100 bytes reach byte 899; one more would pass 958 and is left out and not
    // counted, "last" still fits; the password ends at byte 1022.
    Strings many(10, std::string(99, 'c'));
    many.push_back("last");
    Packet p = buildCommandPacket(many, std::string(10, 'p'));
    EXPECT_EQ(std::tuple(p.value(), payloadString(p, 900), payloadString(p, 1013)),
              std::tuple(10, std::string("last"), std::string(10, 'p')));
}

} // namespace
} // namespace tc
