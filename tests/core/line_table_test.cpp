// Claiming and releasing lines, alone and from many threads at once.
#include <gtest/gtest.h>
#include <thread>

#include "core/line_table.h"
#include "core/settings.h"
#include "core/window_hooks.h"

namespace tc {
namespace {

TEST(LineTable, LowestFreeLineIsTakenAndTheNinthClaimFails) {
    resetLineTable();
    for (int n = 0; n < 3; ++n)
        EXPECT_EQ(claimLine(false), n);
    releaseLine(1);
    EXPECT_EQ(claimLine(true), 1);
    for (int n = 3; n < MAX_LINES; ++n)
        EXPECT_EQ(claimLine(false), n);
    lineTable[5].peerPort = 77;
    displayDirty = 0;
    EXPECT_EQ(claimLine(true), -1);
    // Nothing changes: no redraw, all eight in use, no record cleared.
    EXPECT_EQ((std::vector<int>{displayDirty, linesInUse(), lineTable[5].peerPort}),
              (std::vector<int>{0, MAX_LINES, 77}));
}

TEST(LineTable, AClaimClearsWhatTheLastCallOnTheLineLeft) {
    resetSettings();
    resetLineTable();
    settings.defaultCompression = 6;
    LineRecord& r = lineTable[claimLine(true)];
    // What an ended call leaves behind that would break the next call on the line.
    r.ending = r.accepted = r.active = r.autoRetry = r.rxReady = r.txReady = 1;
    r.sock = 77;
    r.txCodecState = r.rxCodecState = 123;
    r.peerId.set("old id");
    releaseLine(0);
    rxEvent[0].set();
    ASSERT_EQ(claimLine(false), 0);
    EXPECT_EQ((std::vector<int>{r.ending, r.accepted, r.active, r.autoRetry, r.rxReady, r.txReady,
                                r.sock, r.txCodecState, r.rxCodecState, r.compCode, r.incoming}),
              (std::vector<int>{0, 0, 0, 0, 0, 0, -1, 0, 0, 6, 0}));
    EXPECT_EQ(r.peerId.get(), "");
    EXPECT_FALSE(rxEvent[0].wait(0));
}

TEST(LineTable, ConcurrentClaimsNeverShareALine) {
    resetLineTable();
    // 10 threads claim and release over and over (more claimers than lines, so claims fail
    // too); a claimed line is never held by anyone else at the same time.
    std::atomic<int> owners[MAX_LINES], doubles{0}, claims{0};
    for (auto& o : owners)
        o = -1;
    std::vector<std::thread> threads;
    for (int t = 0; t < 10; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                int n = claimLine(t % 2 == 0), expected = -1;
                if (n < 0) continue;
                ++claims;
                if (!owners[n].compare_exchange_strong(expected, t)) ++doubles;
                owners[n] = -1;
                releaseLine(n);
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(doubles, 0);
    EXPECT_GT(claims, 0);
    EXPECT_EQ(linesInUse(), 0);
}

} // namespace
} // namespace tc
