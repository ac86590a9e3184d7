// Claiming and releasing lines, alone and from many threads at once.
#include <gtest/gtest.h>
#include <thread>

#include "core/line_table.h"
#include "core/settings.h"
#include "core/window_hooks.h"

namespace tc {
namespace {

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

} // namespace
} // namespace tc
