// The wave devices over fake streams, pumped by hand: headers, done flags, queue order, reset
// and close.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "support/fake_streams.h"
#include "platform/wave_device.h"

namespace tc {
namespace {

struct Blocks {
    std::vector<int16_t> memory = std::vector<int16_t>(4 * WAVE_BLOCK_SAMPLES, 0);
    WaveHeader h[4];
    Blocks() {
        for (int i = 0; i < 4; ++i) {
            h[i].data = memory.data() + i * WAVE_BLOCK_SAMPLES;
            h[i].length = WAVE_BLOCK_BYTES;
        }
    }
};

std::vector<int16_t> filled(int value) {
    return std::vector<int16_t>(WAVE_BLOCK_SAMPLES, static_cast<int16_t>(value));
}

TEST(WaveInTest, FillsQueuedHeadersInOrderAndDropsBlocksNobodyWaitsFor) {
    auto stream = std::make_unique<FakeCaptureStream>();
    FakeCaptureStream* mic = stream.get();
    mic->failOpens = 1;
    WaveIn in(std::move(stream), true);
    Blocks b;
    EXPECT_EQ(in.prepare(b.h[0]), 1) << "a closed device prepares nothing";
    EXPECT_EQ(in.open(), 1) << "no device";
    ASSERT_EQ(in.open(), 0) << "a failed open can be retried";
    EXPECT_EQ(in.open(), 1) << "already open";
    for (int i = 0; i < 2; ++i)
        ASSERT_FALSE(in.prepare(b.h[i]) || in.addBuffer(b.h[i]));
    EXPECT_EQ(in.addBuffer(b.h[2]), 1) << "not prepared";
    EXPECT_EQ(in.unprepare(b.h[0]), 1) << "still at the device";

    // Before start() the device records nothing; after it, blocks nobody waits for are lost.
    for (int v : {1, 2, 3, 4}) {
        if (v == 2) {
            ASSERT_EQ(in.start(), 0);
        }
        mic->push(filled(v).data());
        in.pumpOnce();
    }
    EXPECT_TRUE(b.h[0].done() && b.h[1].done());
    EXPECT_EQ(b.h[0].data[0], 2);
    EXPECT_EQ(b.h[1].data[WAVE_BLOCK_SAMPLES - 1], 3);
    EXPECT_EQ(in.queued(), 0);
    EXPECT_EQ(in.unprepare(b.h[0]), 0);

    // Queued again, the header is not done until filled; reset returns it.
    b.h[0].flags = 0;
    ASSERT_FALSE(in.prepare(b.h[0]) || in.addBuffer(b.h[0]));
    EXPECT_FALSE(b.h[0].done());
    EXPECT_EQ(in.close(), 1) << "a header is still queued";
    EXPECT_EQ(in.reset(), 0);
    EXPECT_TRUE(b.h[0].done());
    EXPECT_EQ(in.close(), 0);
    EXPECT_FALSE(mic->isOpen);
}

TEST(WaveOutTest, PlaysWrittenBlocksInOrderAndSilenceWhenNoneIsQueued) {
    auto stream = std::make_unique<FakePlaybackStream>();
    FakePlaybackStream* speaker = stream.get();
    WaveOut out(std::move(stream), true);
    Blocks b;
    ASSERT_EQ(out.open(), 0);
    EXPECT_EQ(out.setVolume(0xFFFFFFFF), 0);
    for (int i = 0; i < 3; ++i) {
        std::fill(b.h[i].data, b.h[i].data + WAVE_BLOCK_SAMPLES, 10 * (i + 1));
        ASSERT_FALSE(out.prepare(b.h[i]) || out.write(b.h[i]));
    }
    EXPECT_EQ(out.write(b.h[0]), 1) << "already queued";
    out.pumpOnce();
    EXPECT_TRUE(b.h[0].done());
    EXPECT_FALSE(b.h[1].done());
    for (int i = 0; i < 3; ++i)
        out.pumpOnce();
    EXPECT_EQ(speaker->takeWritten(),
              (std::vector<std::vector<int16_t>>{filled(10), filled(20), filled(30), filled(0)}));

    ASSERT_FALSE(out.prepare(b.h[3]) || out.write(b.h[3]));
    EXPECT_EQ(out.unprepare(b.h[3]), 1);
    EXPECT_EQ(out.close(), 1);
    out.reset();
    EXPECT_TRUE(b.h[3].done());
    EXPECT_EQ(out.unprepare(b.h[3]), 0);
    EXPECT_EQ(out.close(), 0);
    EXPECT_EQ(out.setVolume(1), 1) << "closed";
}

TEST(WaveDeviceThreadTest, DeviceThreadFillsHeadersWithoutHelp) {
    auto stream = std::make_unique<FakeCaptureStream>();
    stream->push(filled(77).data());
    WaveIn in(std::move(stream));
    Blocks b;
    ASSERT_FALSE(in.open() || in.prepare(b.h[0]) || in.addBuffer(b.h[0]) || in.start());
    for (int i = 0; i < 1000 && !b.h[0].done(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(b.h[0].done());
    EXPECT_EQ(b.h[0].data[0], 77);
    in.reset();
    EXPECT_EQ(in.close(), 0);
}

} // namespace
} // namespace tc
