// The wave devices over fake streams, pumped by hand: headers, done flags, queue order, reset
// and close.
#include <gtest/gtest.h>

#include <vector>

#include "platform/wave_device.h"

namespace tc {
namespace {

struct Blocks {
    std::vector<int16_t> memory = std::vector<int16_t>(4 * WAVE_BLOCK_SAMPLES, 0);
    WaveHeader headers[4];
    Blocks() {
        for (int i = 0; i < 4; ++i) {
            headers[i].data = memory.data() + i * WAVE_BLOCK_SAMPLES;
            headers[i].length = WAVE_BLOCK_BYTES;
        }
    }
};

std::vector<int16_t> filled(int value) {
    return std::vector<int16_t>(WAVE_BLOCK_SAMPLES, value);
}

TEST(WaveInTest, FillsQueuedHeadersInOrderAndDropsBlocksNobodyWaitsFor) {
    auto stream = std::make_unique<FakeCaptureStream>();
    FakeCaptureStream* mic = stream.get();
    WaveIn in(std::move(stream), true);
    Blocks b;
    EXPECT_EQ(in.prepare(b.headers[0]), 1) << "a closed device prepares nothing";
    ASSERT_EQ(in.open(), 0);
    EXPECT_EQ(in.open(), 1) << "already open";
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(in.prepare(b.headers[i]), 0);
        ASSERT_EQ(in.addBuffer(b.headers[i]), 0);
    }
    EXPECT_EQ(in.addBuffer(b.headers[2]), 1) << "not prepared";
    EXPECT_EQ(in.unprepare(b.headers[0]), 1) << "still at the device";

    // Before start() the device records nothing.
    mic->push(filled(1).data());
    in.pumpOnce();
    EXPECT_FALSE(b.headers[0].done());

    ASSERT_EQ(in.start(), 0);
    for (int v : {2, 3, 4}) {
        mic->push(filled(v).data());
        in.pumpOnce();
    }
    EXPECT_TRUE(b.headers[0].done());
    EXPECT_TRUE(b.headers[1].done());
    EXPECT_EQ(b.headers[0].data[0], 2);
    EXPECT_EQ(b.headers[1].data[WAVE_BLOCK_SAMPLES - 1], 3);
    EXPECT_EQ(in.queued(), 0);
    EXPECT_EQ(in.unprepare(b.headers[0]), 0);

    // Re-queued, the header clears its done flag until it is filled again.
    b.headers[0].flags = 0;
    ASSERT_EQ(in.prepare(b.headers[0]), 0);
    ASSERT_EQ(in.addBuffer(b.headers[0]), 0);
    EXPECT_FALSE(b.headers[0].done());
    EXPECT_EQ(in.close(), 1) << "a header is still queued";
    EXPECT_EQ(in.reset(), 0);
    EXPECT_TRUE(b.headers[0].done()) << "reset returns the header";
    EXPECT_EQ(in.queued(), 0);
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
        std::fill(b.headers[i].data, b.headers[i].data + WAVE_BLOCK_SAMPLES, 10 * (i + 1));
        ASSERT_EQ(out.prepare(b.headers[i]), 0);
        ASSERT_EQ(out.write(b.headers[i]), 0);
    }
    EXPECT_EQ(out.write(b.headers[0]), 1) << "already queued";
    out.pumpOnce();
    EXPECT_TRUE(b.headers[0].done());
    EXPECT_FALSE(b.headers[1].done());
    out.pumpOnce();
    out.pumpOnce();
    out.pumpOnce();
    auto played = speaker->takeWritten();
    ASSERT_EQ(played.size(), 4u);
    EXPECT_EQ(played[0], filled(10));
    EXPECT_EQ(played[1], filled(20));
    EXPECT_EQ(played[2], filled(30));
    EXPECT_EQ(played[3], filled(0));

    ASSERT_EQ(out.prepare(b.headers[3]), 0);
    ASSERT_EQ(out.write(b.headers[3]), 0);
    EXPECT_EQ(out.unprepare(b.headers[3]), 1);
    EXPECT_EQ(out.close(), 1);
    out.reset();
    EXPECT_TRUE(b.headers[3].done());
    EXPECT_EQ(out.unprepare(b.headers[3]), 0);
    EXPECT_EQ(out.close(), 0);
    EXPECT_EQ(out.setVolume(1), 1) << "closed";
}

TEST(WaveOutTest, FailingOpenCanBeRetried) {
    auto stream = std::make_unique<FakePlaybackStream>();
    stream->failOpens = 2;
    FakePlaybackStream* speaker = stream.get();
    WaveOut out(std::move(stream), true);
    EXPECT_EQ(out.open(), 1);
    EXPECT_EQ(out.open(), 1);
    EXPECT_FALSE(out.isOpen());
    EXPECT_EQ(out.open(), 0);
    EXPECT_EQ(speaker->opens, 3);
}

TEST(WaveDeviceThreadTest, DeviceThreadFillsHeadersWithoutHelp) {
    auto stream = std::make_unique<FakeCaptureStream>();
    stream->push(filled(77).data());
    WaveIn in(std::move(stream));
    Blocks b;
    ASSERT_EQ(in.open(), 0);
    ASSERT_EQ(in.prepare(b.headers[0]), 0);
    ASSERT_EQ(in.addBuffer(b.headers[0]), 0);
    ASSERT_EQ(in.start(), 0);
    for (int i = 0; i < 1000 && !b.headers[0].done(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(b.headers[0].done());
    EXPECT_EQ(b.headers[0].data[0], 77);
    in.reset();
    EXPECT_EQ(in.close(), 0);
}

} // namespace
} // namespace tc
