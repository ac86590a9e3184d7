// The supervisor loop over fake devices, with its pauses taken over by the test: the retries
// of failed opens, the audio period, the tone, the line statistics and the ways it ends.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <vector>

#include "support/fake_streams.h"
#include "core/line_table.h"
#include "audio/audio_engine.h"
#include "core/launch_options.h"
#include "core/output.h"
#include "core/settings.h"
#include "core/lifecycle.h"
#include "app/supervisor.h"
#include "audio/audio_period.h"
#include "platform/dialogs.h"
#include "support/program_process.h"
#include "support/fake_console.h"

namespace tc {
namespace {

class CountingDialogs : public Dialogs {
  public:
    int ask(const std::string&, const std::string&, DialogButtons,
            const std::atomic<uint8_t>*) override {
        return DIALOG_CLOSED;
    }
    void beep() override { ++beeps; }
    int beeps = 0;
};

class SupervisorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetSettings();
        resetOutput();
        resetLineTable();
        resetAudioState();
        resetAudioPeriodState();
        startupState.shutdownRequested = false;
        attachConsole(&console);
        setDialogs(&dialogs_);
        auto in = std::make_unique<FakeCaptureStream>();
        auto out = std::make_unique<FakePlaybackStream>();
        mic = in.get();
        speaker = out.get();
        audioState.waveIn = std::make_unique<WaveIn>(std::move(in), true);
        audioState.waveOut = std::make_unique<WaveOut>(std::move(out), true);
        audioPeriodState.pause = [this](int ms) {
            pauses.push_back(ms);
            if (onPause) onPause(ms);
        };
    }

    void TearDown() override {
        resetAudioPeriodState();
        resetAudioState();
        resetLineTable();
        setDialogs(nullptr);
        resetOutput();
        startupState.shutdownRequested = false;
    }

    int count(int ms) const {
        return static_cast<int>(std::count(pauses.begin(), pauses.end(), ms));
    }
    bool periodRunning() const { return audioState.audioOpen && audioState.waveOut->isOpen(); }
    void releaseAll() {
        for (int n = 0; n < MAX_LINES; ++n)
            if (lineTable[n].inUse) releaseLine(n);
    }

    FakeConsole console;
    CountingDialogs dialogs_;
    FakeCaptureStream* mic = nullptr;
    FakePlaybackStream* speaker = nullptr;
    std::vector<int> pauses;
    std::function<void(int)> onPause;
};

TEST_F(SupervisorTest, InputOpenFailureRetriesWithBeepUntilNoLineIsLeft) {
    mic->failOpens = 1000;
    claimLine(false);
    onPause = [this](int ms) {
        if (ms == 2000 && count(2000) == 3) releaseLine(0);
        if (ms == 500 && linesInUse() == 0) shutdown();
    };
    supervisorLoop();
    EXPECT_EQ(console.count("Audio Input Open Error\n"), 3);
    EXPECT_EQ(dialogs_.beeps, 3);
    EXPECT_EQ(console.count("No Calls Active"), 0) << "no audio period ran";
    EXPECT_EQ((std::vector<int>{2000, 2000, 2000, 500}), pauses) << "back to idle afterwards";
    EXPECT_EQ(audioState.audioOpen.load(), 0);
    EXPECT_FALSE(audioState.waveOut->isOpen());

    // After /T the program ends as soon as the lines are gone.
    startupState.shutdownRequested = false;
    pauses.clear();
    settings.terminateMode = 1;
    claimLine(false);
    onPause = [this](int ms) {
        if (ms == 2000) releaseLine(0);
    };
    supervisorLoop();
    EXPECT_EQ(std::vector<int>{2000}, pauses);
    EXPECT_TRUE(startupState.shutdownRequested);
}

TEST_F(SupervisorTest, OutputOpenFailureRetriesThenThePeriodRunsAndEnds) {
    settings.terminateMode = 1;
    speaker->failOpens = 2;
    int line = claimLine(false);
    lineTable[line].accepted = 1;
    lineTable[line].active = 1;
    int periodPasses = 0;
    onPause = [&](int ms) {
        if (ms == 500 && periodRunning() && ++periodPasses == 3) releaseLine(line);
    };
    supervisorLoop();
    EXPECT_EQ(console.count("Audio Output Open Error\n"), 2);
    EXPECT_EQ(dialogs_.beeps, 0);
    EXPECT_EQ(console.count("No Calls Active\n"), 1);
    EXPECT_EQ(panelText().find("No Calls Active"), std::string::npos);
    EXPECT_EQ((std::vector<int>{2000, 2000, 500, 500, 500, 1000}), pauses);
    EXPECT_FALSE(audioPeriodState.audio.joinable()) << "the audio thread was joined";
    EXPECT_FALSE(audioState.waveIn->isOpen());
    EXPECT_FALSE(audioState.waveOut->isOpen());
    EXPECT_FALSE(mic->isOpen);
    EXPECT_EQ(audioState.waveIn->queued(), 0);
    EXPECT_TRUE(startupState.shutdownRequested);
}

TEST_F(SupervisorTest, NextCallOpensTheDevicesAgain) {
    claimLine(false);
    int periods = 0;
    onPause = [&](int ms) {
        if (ms == 500 && periodRunning()) releaseAll();
        if (ms == 1000) ++periods;
        if (ms == 500 && !audioState.audioOpen && linesInUse() == 0) {
            if (periods == 1)
                claimLine(false);
            else
                shutdown();
        }
    };
    supervisorLoop();
    EXPECT_EQ(periods, 2);
    EXPECT_EQ(mic->opens, 2);
    EXPECT_EQ(speaker->opens, 2);
    EXPECT_EQ(console.count("No Calls Active\n"), 2);
    EXPECT_FALSE(audioState.waveIn->isOpen());
}

TEST_F(SupervisorTest, ToneRepeatsWhileOneLineWaitsAndSoundsOnceWithMore) {
    claimLine(true);
    audioState.toneRequest = 1;
    int passes = 0;
    onPause = [&](int ms) {
        if (ms == 5) audioState.waveOut->pumpOnce(); // the device plays
        if (ms != 500) return;
        if (!audioState.audioOpen) shutdown();
        if (!periodRunning()) return;
        if (++passes == 2) claimLine(true);
        if (passes == 4) releaseAll();
    };
    supervisorLoop();
    auto played = speaker->takeWritten();
    ASSERT_EQ(played.size(), 3u) << "two passes with one line, one more with two";
    EXPECT_EQ(audioState.toneRequest.load(), 0);
    const std::vector<int16_t>& tone = played[2];
    EXPECT_EQ(played[0], tone);
    // Bytes 0, 8, 16, ... read as little-endian samples: a saw-tooth of 16 samples (500 Hz).
    EXPECT_EQ(tone[0], 0x0800);
    EXPECT_EQ(tone[1], 0x1810);
    EXPECT_EQ(static_cast<uint16_t>(tone[15]), 0xF8F0);
    for (int i = 16; i < BLOCK_SAMPLES; ++i)
        ASSERT_EQ(tone[i], tone[i - 16]);
}

TEST_F(SupervisorTest, LineStatisticsShowEachActiveLinesShareOfPlayedBlocks) {
    settings.diagBits = 0x2000;
    settings.terminateMode = 1;
    for (int n = 0; n < 3; ++n)
        claimLine(false);
    lineTable[0].active = 1;
    lineTable[0].rxAudioCount = 150;
    lineTable[1].rxAudioCount = 40; // on hold: not shown, but counted afresh
    lineTable[2].active = 1;
    lineTable[2].rxAudioCount = 7;
    audioState.playedBlocks = 99;
    int passes = 0;
    onPause = [&](int ms) {
        if (ms != 500 || !periodRunning()) return;
        if (++passes == 1) {
            EXPECT_EQ(lineTable[0].rxAudioCount.load(), 150u) << "fewer than 100 blocks";
            audioState.playedBlocks = 200;
        } else {
            releaseAll();
        }
    };
    supervisorLoop();
    EXPECT_EQ(console.text(), "0=75  2= 3  \nNo Calls Active\n");
    for (int n = 0; n < 3; ++n)
        EXPECT_EQ(lineTable[n].rxAudioCount.load(), 0u) << n;
    EXPECT_EQ(audioState.playedBlocks.load(), 0);
}

TEST_F(SupervisorTest, QuitWhileIdleEndsAtOnceButTerminateWaitsForACall) {
    settings.terminateMode = 2;
    supervisorLoop();
    EXPECT_TRUE(startupState.shutdownRequested);
    EXPECT_TRUE(pauses.empty());

    startupState.shutdownRequested = false;
    settings.terminateMode = 1;
    onPause = [this](int) {
        if (pauses.size() == 3) shutdown();
    };
    supervisorLoop();
    EXPECT_EQ((std::vector<int>{500, 500, 500}), pauses);
    EXPECT_EQ(mic->opens, 0);
}

TEST_F(SupervisorTest, UnreadableCaptureFileEndsTheProgramAtStart) {
    resetAudioState(); // devices come from the launch options
    test::TempDir dir;
    std::ofstream(dir.file("speech.wav")) << "not a sound file";
    LaunchOptions saved = launchOptions;
    launchOptions.capture = dir.file("speech.wav");
    launchOptions.playback = dir.file("out.wav");
    claimLine(false);
    supervisorLoop();
    launchOptions = saved;

    std::string text = console.text();
    EXPECT_EQ(text.rfind("Sound Setup Error: capture file ", 0), 0u) << text;
    EXPECT_NE(text.find("speech.wav"), std::string::npos);
    EXPECT_EQ((std::vector<int>{5000}), pauses);
    EXPECT_TRUE(startupState.shutdownRequested);
    EXPECT_EQ(audioState.waveIn, nullptr);
}

} // namespace
} // namespace tc
