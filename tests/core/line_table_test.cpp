// Claiming and releasing lines, alone and from many threads at once.
#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <tuple>
#include <vector>

#include "core/line_table.h"
#include "core/settings.h"
#include "ui/window_model.h"

namespace tc {
namespace {

struct LineTableTest : ::testing::Test {
    void SetUp() override {
        resetSettings();
        resetLineTable();
    }
    void TearDown() override {
        resetSettings();
        resetLineTable();
    }
};

// Leaves traces of an old call in every field a claim must clear.
void dirty(LineRecord& r) {
    r.sock = 77;
    r.port = 5;
    r.peerPort = 6;
    r.rxAudioCount = 7;
    r.peerVersion = 0x01010000;
    r.txCodecState = 123;
    r.rxCodecState = -456;
    r.peerName.set("old name");
    r.peerId.set("old id");
    r.password.set("old pw");
    r.peerAddr.sin_port = 99;
    r.rxBlock[3] = 1;
    r.txBlock[511] = 2;
    r.txSeq = 9;
    r.txPacket.payload[0] = 1;
    r.rxPacket.setType(-3);
    r.hubRing[7][511] = 3;
    r.rxDecoded[14][0] = 4;
    r.txPending[0][0] = 5;
    r.active = 1;
    r.rxReady = 1;
    r.txReady = 1;
    r.accepted = 1;
    r.ending = 3;
    r.incoming = 1;
    r.micGain = -3;
    r.spkGain = 4;
    r.compCode = 15;
    r.autoRetry = 1;
}

// The fields of a record that a claim clears, as one comparable value.
auto contents(const LineRecord& r) {
    return std::tuple(r.sock.load(), r.port.load(), r.peerPort.load(), r.rxAudioCount.load(),
                      r.peerVersion.load(), r.txCodecState, r.rxCodecState, r.peerName.get(),
                      r.peerId.get(), r.password.get(), r.peerAddr.sin_port, r.rxBlock[3],
                      r.txBlock[511], r.txSeq.load(), r.txPacket.payload[0], r.rxPacket.type(),
                      r.hubRing[7][511], r.rxDecoded[14][0], r.txPending[0][0], r.active.load(),
                      r.rxReady.load(), r.txReady.load(), r.accepted.load(), r.ending.load(),
                      r.incoming.load(), r.autoRetry.load());
}

TEST_F(LineTableTest, LowestFreeLineIsTakenAndTheNinthClaimFails) {
    for (int n = 0; n < 3; ++n)
        EXPECT_EQ(claimLine(false), n);
    releaseLine(1);
    EXPECT_EQ(linesInUse(), 2);
    EXPECT_EQ(claimLine(true), 1);
    for (int n = 3; n < MAX_LINES; ++n)
        EXPECT_EQ(claimLine(false), n);

    for (int n = 0; n < MAX_LINES; ++n)
        dirty(lineTable[n]);
    auto before = contents(lineTable[5]);
    displayDirty = 0;
    EXPECT_EQ(claimLine(true), -1);
    EXPECT_EQ(linesInUse(), MAX_LINES);
    EXPECT_EQ(displayDirty, 0);
    EXPECT_EQ(contents(lineTable[0]), before);
    EXPECT_EQ(contents(lineTable[7]), before);
    releaseLine(-1); // out of range: nothing changes
    releaseLine(MAX_LINES);
    EXPECT_EQ(linesInUse(), MAX_LINES);
}

TEST_F(LineTableTest, ReleaseKeepsTheContentsAndAClaimStartsFromZeros) {
    settings.masterMicGain = -2;
    settings.masterSpkGain = 5;
    settings.defaultCompression = 6;
    ASSERT_EQ(claimLine(true), 0);
    dirty(lineTable[0]);
    auto old = contents(lineTable[0]);
    displayDirty = 0;
    releaseLine(0);
    EXPECT_EQ(lineTable[0].inUse, 0);
    EXPECT_EQ(displayDirty, 1);
    EXPECT_EQ(contents(lineTable[0]), old);
    rxEvent[0].set();
    txEvent[0].set();

    displayDirty = 0;
    ASSERT_EQ(claimLine(false), 0);
    const LineRecord& r = lineTable[0];
    EXPECT_EQ(displayDirty, 1);
    EXPECT_EQ(r.inUse, 1);
    LineRecord clean;
    EXPECT_EQ(contents(r), contents(clean)); // no socket yet (-1), everything else 0
    EXPECT_EQ(r.micGain, -2);
    EXPECT_EQ(r.spkGain, 5);
    EXPECT_EQ(r.compCode, 6);
    EXPECT_FALSE(rxEvent[0].wait(0));
    EXPECT_FALSE(txEvent[0].wait(0));
    EXPECT_EQ(claimLine(true), 1);
    EXPECT_EQ(lineTable[1].incoming, 1);
}

TEST_F(LineTableTest, ConcurrentClaimsNeverShareALine) {
    // 10 threads claim and release over and over (more claimers than lines, so claims fail
    // too); a claimed line is never held by anyone else at the same time.
    std::atomic<int> owners[MAX_LINES];
    for (auto& o : owners)
        o = -1;
    std::vector<std::thread> threads;
    std::atomic<int> doubles{0};
    std::atomic<int> claims{0};
    for (int t = 0; t < 10; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                int n = claimLine(t % 2 == 0);
                if (n < 0) continue;
                ++claims;
                int expected = -1;
                if (!owners[n].compare_exchange_strong(expected, t)) ++doubles;
                lineTable[n].peerPort = t; // the holder writes its record undisturbed
                if (lineTable[n].peerPort != t) ++doubles;
                owners[n] = -1;
                releaseLine(n);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(doubles, 0);
    EXPECT_GT(claims, 0);
    EXPECT_EQ(linesInUse(), 0);
}

} // namespace
} // namespace tc
