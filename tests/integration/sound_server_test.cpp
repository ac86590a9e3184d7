// A call through the real PortAudio backend and a private PulseAudio daemon with two null
// sinks. ALSA's default device and two named ones point at the daemon: a copy plays on the
// speaker sink and captures the microphone sink's monitor. A tone that the other copy captures
// from a file comes out of the speaker clean and at its level, and speech played into the
// microphone sink reaches the other copy's speaker file intact. --list-devices and the device
// choices are checked against the same daemon.
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <numeric>
#include <unistd.h>

#include "copies.h"
#include "core/command_line.h"

namespace tc::test {
namespace {

using SoundServerTest = Copies;

TEST_F(SoundServerTest, CallThroughPulseAudioCarriesAToneAndSpeechIntact) {
#if defined(__SANITIZE_THREAD__)
    // ALSA's pulse plugin and libpulse run threads ThreadSanitizer cannot follow (they are not
    // instrumented), which it reports even for a device listing.
    GTEST_SKIP() << "not under ThreadSanitizer";
#endif
    // Where Debian installs the sound server's programs.
    for (const char* tool :
         {"/usr/bin/pulseaudio", "/usr/bin/pactl", "/usr/bin/parecord", "/usr/bin/paplay"})
        if (::access(tool, X_OK) != 0) GTEST_SKIP() << tool << " is not installed";
    // The daemon's home, runtime folder and socket are the test's own; no session bus. ALSA's
    // pulse plugin leaks what it allocates, in a library unloaded before the leak check could
    // name it: leak checks are off for the programs that use it.
    const std::string h = dir.file("home"), r = dir.file("run"), socket = r + "/native";
    std::filesystem::create_directories(r), std::filesystem::create_directories(h);
    std::ofstream(h + "/.asoundrc") << "pcm.!default { type pulse }\n"
                                       "ctl.!default { type pulse }\n"
                                       "pcm.tc_speaker { type pulse device speaker }\n"
                                       "pcm.tc_mic { type pulse device mic.monitor }\n";
    const std::vector<std::string> env =
        splitWords("HOME=" + h + " XDG_CONFIG_HOME=" + h + " XDG_RUNTIME_DIR=" + r +
                   " PULSE_RUNTIME_PATH=" + r + " PULSE_SERVER=unix:" + socket +
                   " DBUS_SESSION_BUS_ADDRESS=unix:path=" + r +
                   " DISPLAY= WAYLAND_DISPLAY= ASAN_OPTIONS=detect_leaks=0");
    const std::string sink = " rate=8000 channels=1 format=s16le";
    ProgramProcess daemon; // as root it needs --system=no to run for one user
    ASSERT_TRUE(daemon.start(
        "/usr/bin/pulseaudio",
        {"--daemonize=no", "-n", "--system=no", "--exit-idle-time=-1", "--use-pid-file=no",
         "--realtime=no", "--high-priority=no", "--disable-shm=yes", "--log-target=stderr",
         "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket,
         "--load=module-null-sink sink_name=speaker" + sink,
         "--load=module-null-sink sink_name=mic" + sink},
        env));
    ASSERT_TRUE(eventually(
        [&] {
            return daemon.waitExit(0) == -1 &&
                   ProgramProcess().runToEnd("/usr/bin/pactl", {"info"}, env).waitExit(0) == 0;
        },
        10000, 200))
        << "PulseAudio did not start:\n"
        << daemon.errors();

    // ALSA's devices, which lead to the daemon, listed and chosen.
    ProgramProcess list;
    const std::string listed = list.runToEnd(TC_PROGRAM, {"--list-devices"}, env).output();
    const size_t outputs = listed.find("Output devices:\n"), mic = listed.find(" tc_mic\n");
    EXPECT_EQ(list.waitExit(0), 0);
    for (std::string name : {" tc_mic\n", " tc_speaker\n", " default (default)\n"})
        EXPECT_TRUE(listed.find(name) < outputs && listed.rfind(name) > outputs) << listed;
    const std::string micIndex = std::to_string(std::atoi(&listed[listed.rfind('\n', mic) + 1]));
    for (auto [option, error] : std::vector<std::pair<std::string, std::string>>{
             {"--input-device=TC_", "input device \"TC_\" is ambiguous: tc_speaker, tc_mic"},
             {"--output-device=no", "no output device matches \"no\" (see --list-devices)"}}) {
        ProgramProcess chosen;
        EXPECT_EQ(chosen.runToEnd(TC_PROGRAM, {option, "Alice"}, env).waitExit(0), 2) << option;
        EXPECT_EQ(chosen.errors(), "talkcircle: " + error + "\n");
    }

    // Alice on the daemon, by the microphone's index and a part of the speaker's name; Bob on
    // files, sending a tone. More audio blocks than usual ride out a busy machine.
    ASSERT_TRUE(
        startCopy(alice, {.password = "pw",
                          .options = {"/X", "64"},
                          .devices = {"--input-device=" + micIndex, "--output-device=SPEAK"},
                          .env = env}));
    ProgramProcess speaker;
    ASSERT_TRUE(speaker.start(
        "/usr/bin/parecord",
        {"--raw", "--device=speaker.monitor", "--rate=8000", "--channels=1", "--format=s16le"},
        env));
    std::vector<int16_t> tone(6 * 8000);
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] =
            int16_t(std::lround(8000 * std::sin(2 * std::numbers::pi * 440.0 * double(i) / 8000)));
    ASSERT_TRUE(bob.start({.id = "Bob",
                           .options = {"/X", "64"},
                           .commands = {"-" + callLine(alice, "pw")},
                           .capture = tone}));
    ASSERT_TRUE(says(bob, "Call Accepted\n")) << describe(alice);

    const std::vector<int16_t> speech = speechSignal(64, 3);
    ASSERT_TRUE(writeWav(dir.file("speech.wav"), speech));
    const std::vector<std::string> playSpeech{"--device=mic", "--latency-msec=20",
                                              dir.file("speech.wav")};
    EXPECT_EQ(ProgramProcess().runToEnd("/usr/bin/paplay", playSpeech, env).waitExit(0), 0);
    // Done when Bob's speaker file has stopped growing in sound for a second.
    auto heard = [&] { return soundBlocks(readWav(bob.playbackPath())); };
    size_t last = 0;
    EXPECT_TRUE(eventually(
        [&] {
            size_t now = heard().size();
            return std::exchange(last, now) == now && now > 0;
        },
        15000, 1000));
    EXPECT_EQ(alice.quit(), 0) << describe(alice);
    EXPECT_EQ(bob.quit(), 0) << describe(bob);
    for (ProgramProcess* p : {&speaker, &daemon}) {
        ::kill(p->pid(), SIGTERM);
        EXPECT_NE(p->waitExit(5000), -1) << "still running: " << p->pid();
    }
    speaker.finish();

    // The tone as recorded, its first and last block left out: nearly all its energy at 440 Hz
    // (a late block on a busy machine is a gap) and its level within 1 dB.
    std::string raw = speaker.output();
    size_t first = raw.find_first_not_of('\0') / 2 + TEST_BLOCK,
           end = raw.find_last_not_of('\0') / 2 - TEST_BLOCK;
    ASSERT_GT(end, first + 8000) << "less than a second of the tone";
    std::vector<int16_t> played(end - first);
    std::memcpy(played.data(), raw.data() + 2 * first, 2 * played.size());
    // Its energy in the 440 Hz bin of each stretch of 22 periods (a gap between stretches shifts
    // the phase, not the share), and its RMS level.
    double energy = 0, inBin = 0;
    for (size_t at = 0; at + 400 <= played.size(); at += 400) {
        double re = 0, im = 0;
        for (size_t i = 0; i < 400; ++i) {
            double x = played[at + i], phase = 2 * std::numbers::pi * 440.0 * double(i) / 8000;
            energy += x * x;
            re += x * std::cos(phase);
            im += x * std::sin(phase);
        }
        inBin += 2 * (re * re + im * im) / 400;
    }
    const double share = inBin / energy,
                 rms = std::sqrt(energy / double(played.size() - played.size() % 400));
    EXPECT_GT(share, 0.95);
    EXPECT_LT(std::abs(20 * std::log10(rms * std::sqrt(2.0) / 8000)), 1.0) << rms;

    // The speech as heard, the playback's silent blocks (nothing had arrived) left out. What
    // arrives must be the very samples sent (on an idle machine every second correlates above
    // 0.99). On a busy one late threads lose blocks (6% of a second each); with a load of 15 on
    // two cores up to a quarter of a second was lost, so the bounds leave room for that.
    // The received samples are put back, in stretches of 64, where they occur in what was sent:
    // samples that a late thread lost or padded on a busy machine spoil only the stretch they
    // fall in, while speech that was bent or replaced on its way matches nowhere. Then each whole
    // second of what was put back (the sent speech or silence) is compared with what was sent.
    std::vector<int16_t> received, rebuilt(speech.size());
    for (const auto& block : heard())
        received.insert(received.end(), block.begin(), block.end());
    for (auto at = received.begin(); received.end() - at >= 64; at += 64) {
        auto found = std::search(speech.begin(), speech.end(), at, at + 64);
        if (found != speech.end())
            std::copy(at, at + 64, rebuilt.begin() + (found - speech.begin()));
    }
    std::vector<double> seconds;
    for (size_t from = 0; from + 8000 <= speech.size(); from += 8000) {
        double all = 0, back = 0;
        for (size_t i = from; i < from + 8000; ++i) {
            all += double(speech[i]) * speech[i];
            back += double(rebuilt[i]) * rebuilt[i];
        }
        seconds.push_back(std::sqrt(back / all));
    }
    ASSERT_EQ(seconds.size(), 4u);
    double mean = std::accumulate(seconds.begin(), seconds.end(), 0.0) / 4;
    EXPECT_TRUE(mean > 0.8 && *std::min_element(seconds.begin(), seconds.end()) > 0.7)
        << ::testing::PrintToString(seconds);
}

} // namespace
} // namespace tc::test
