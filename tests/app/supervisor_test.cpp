// The supervisor loop over fake devices, with its pauses taken over by the test: the retries of
// failed opens, the audio periods, the tone and the ways it ends; and the reaper of threads that
// end on their own.
#include <gtest/gtest.h>

#include "app/supervisor.h"
#include "audio/audio_engine.h"
#include "audio/audio_period.h"
#include "core/launch_options.h"
#include "core/lifecycle.h"
#include "core/output.h"
#include "core/settings.h"
#include "support/fake_console.h"
#include "support/fake_dialogs.h"
#include "support/fake_streams.h"
#include "support/wait_until.h"

namespace tc {
namespace {

class SupervisorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (auto reset : {resetSettings, resetLineTable, resetAudioState, resetAudioPeriodState,
                           resetStartupState, resetOutput})
            reset();
        attachConsole(&console);
        setDialogs(&dialogs);
        audioState.waveIn.reset(new WaveIn(std::unique_ptr<CaptureStream>(mic), true));
        audioState.waveOut.reset(new WaveOut(std::unique_ptr<PlaybackStream>(speaker), true));
        audioPeriodState.pause = [this](int ms) {
            if (++paused[ms] > 20) shutdown(); // a fault that retries for ever ends the test
            if (onPause) onPause(ms);
        };
    }

    FakeConsole console;
    test::FakeDialogs dialogs;
    FakeCaptureStream* mic = new FakeCaptureStream;
    FakePlaybackStream* speaker = new FakePlaybackStream;
    int paused[5001] = {}; // how often each pause was taken
    std::function<void(int)> onPause;
};

TEST_F(SupervisorTest, InputOpensAreRetriedWithABeepWhileALineIsLeftThenTheIdleLoopReapsAndQuits) {
    // Threads that retire at the same moment: no handle is lost, and the idle loop joins them.
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(startRetiringThread([] {}), 0);
    ASSERT_TRUE(test::eventually([] { return retiringThreadsRunning() == 0; }));
    EXPECT_EQ(retiredThreadCount(), 20u);
    int hookCalls = 0;
    setShutdownHook([&hookCalls] { ++hookCalls; });

    mic->failOpens = 1000;
    claimLine(false);
    onPause = [this](int ms) {
        if (ms == 2000 && paused[2000] == 3) releaseLine(0);
        // /T while idle waits for a call; Quit (2) ends the idle loop.
        if (ms == 500) settings.terminateMode = paused[500];
    };
    supervisorLoop();
    // Pauses of 2 s, errors, beeps, idle pauses and threads left to reap.
    EXPECT_EQ(std::tuple(paused[2000], console.count("Audio Input Open Error\n"),
                         dialogs.beeps.load(), paused[500], retiredThreadCount()),
              std::tuple(3, 3, 3, 2, 0u));
    shutdown();
    EXPECT_EQ(hookCalls, 1) << "Quit shut down, once";
}

TEST_F(SupervisorTest, OutputRetriesThenThePeriodRunsEndsAndTheNextCallOpensTheDevicesAgain) {
    speaker->failOpens = 2;
    claimLine(false);
    onPause = [this](int ms) {
        if (ms == 500 && audioState.waveOut->isOpen()) releaseLine(0); // the period runs
        if (ms == 500 && !audioState.audioOpen && linesInUse() == 0) claimLine(false);
        if (ms == 1000 && paused[1000] == 2) settings.terminateMode = 1; // /T: end after it
    };
    supervisorLoop();
    EXPECT_EQ(std::tuple(paused[2000], console.count("Audio Output Open Error\n"),
                         console.count("No Calls Active\n")),
              std::tuple(2, 2, 2));
    EXPECT_EQ(panelText().find("No Calls Active"), std::string::npos) << "on the console only";
    // Opened again, so closed after the first period (and its audio thread joined, or starting
    // the next one would have ended the program).
    EXPECT_EQ(mic->opens, 2);
    EXPECT_TRUE(startupState.shutdownRequested);
}

TEST_F(SupervisorTest, ToneRepeatsWhileOneLineWaitsAndSoundsOnceWithMore) {
    settings.terminateMode = 1;
    claimLine(true);
    audioState.toneRequest = 1;
    onPause = [this](int ms) {
        if (ms == 5) audioState.waveOut->pumpOnce(); // the device plays
        if (ms == 500 && paused[500] == 2) claimLine(true);
        if (ms == 500 && paused[500] >= 4) releaseLine(paused[500] - 4);
    };
    supervisorLoop();
    EXPECT_EQ(speaker->takeWritten().size(), 3u) << "two passes with one line, one with two";
}

TEST_F(SupervisorTest, UnreadableCaptureFileEndsTheProgramAtStart) {
    resetAudioState();                    // the devices come from the launch options
    launchOptions.capture = TC_TEST_DATA; // a folder, not a sound file
    supervisorLoop();
    EXPECT_EQ(console.text().rfind("Sound Setup Error: capture file " TC_TEST_DATA, 0), 0u);
    EXPECT_EQ(
        std::tuple(paused[5000], int(startupState.shutdownRequested), int(startupState.exitCode)),
        std::tuple(1, 1, 1));
}

} // namespace
} // namespace tc
