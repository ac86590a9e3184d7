// Threads that finish on their own are handed to the reaper and joined there; shutdown wakes
// whoever waits for the end of the program.
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

#include "core/lifecycle.h"
#include "platform/clock.h"

namespace tc {
namespace {

class ReaperTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reapThreads();
        resetStartupState();
    }
    void TearDown() override {
        reapThreads();
        resetStartupState();
    }
};

TEST_F(ReaperTest, RetiringWorkersEndUpJoinedByTheReaper) {
    std::atomic<int> ran{0};
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(startRetiringThread([&ran] { ++ran; }), 0);
    int64_t until = monotonicMs() + 5000;
    while (retiringThreadsRunning() > 0 && monotonicMs() < until)
        sleepMs(5);
    EXPECT_EQ(retiringThreadsRunning(), 0);
    EXPECT_EQ(ran.load(), 20);
    // No handle is lost, however many retire at the same moment.
    EXPECT_EQ(retiredThreadCount(), 20u);
    reapThreads();
    EXPECT_EQ(retiredThreadCount(), 0u);
}

TEST_F(ReaperTest, ShutdownWakesTheWaiterAndCallsTheHookOnce) {
    std::atomic<int> hookCalls{0};
    setShutdownHook([&hookCalls] { ++hookCalls; });
    EXPECT_FALSE(waitForShutdown(20));
    EXPECT_TRUE(pauseUnlessClosing(20));
    std::thread closer([] {
        sleepMs(50);
        shutdown();
        shutdown();
    });
    auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(waitForShutdown(5000));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
    closer.join();
    EXPECT_EQ(hookCalls.load(), 1);
    EXPECT_EQ(startupState.closing.load(), 1);
    EXPECT_FALSE(pauseUnlessClosing(1000));
}

} // namespace
} // namespace tc
