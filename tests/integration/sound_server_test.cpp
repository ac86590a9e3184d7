// A call through the real PortAudio backend and a private PulseAudio daemon with two null
// sinks. ALSA's default device and two named ones point at the daemon: a copy plays on the
// speaker sink and captures the microphone sink's monitor. A tone that the other copy captures
// from a file comes out of the speaker clean and at its level, and speech played into the
// microphone sink reaches the other copy's speaker file intact. --list-devices and the device
// choices are checked against the same daemon.
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <numeric>
#include <unistd.h>

#include "copies.h"

namespace tc::test {
namespace {

// The full path of a program on PATH; empty when there is none.
std::string onPath(const std::string& name) {
    std::string dirs = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
    for (size_t at = 0, end = 0; end != std::string::npos; at = end + 1) {
        end = dirs.find(':', at);
        std::string file = dirs.substr(at, end - at) + "/" + name;
        if (::access(file.c_str(), X_OK) == 0) return file;
    }
    return {};
}

struct Finished {
    int code;
    std::string out, err;
};

Finished run(const std::string& program, const std::vector<std::string>& args,
             const std::vector<std::string>& env, int timeoutMs = 20000) {
    ProgramProcess p;
    if (!p.start(program, args, env)) return {-1, "", "cannot start " + program};
    int code = p.waitExit(timeoutMs);
    p.finish();
    return {code, p.output(), p.errors()};
}

// A PulseAudio daemon of the test's own: its runtime folder, home and socket in the temporary
// folder, no session bus, nothing of the user's sound server touched. Stopped on destruction.
class PulseDaemon {
  public:
    explicit PulseDaemon(const TempDir& dir) : dir_(dir) {
        std::string home = dir.file("home"), runtime = dir.file("run");
        std::filesystem::create_directories(runtime);
        std::filesystem::create_directories(home);
        std::ofstream(home + "/.asoundrc") << "pcm.!default { type pulse }\n"
                                              "ctl.!default { type pulse }\n"
                                              "pcm.tc_speaker { type pulse device speaker }\n"
                                              "pcm.tc_mic { type pulse device mic.monitor }\n";
        env = {"HOME=" + home,
               "XDG_RUNTIME_DIR=" + runtime,
               "PULSE_RUNTIME_PATH=" + runtime + "/pulse",
               "XDG_CONFIG_HOME=" + home + "/.config",
               "PULSE_SERVER=unix:" + runtime + "/native",
               "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/no-bus",
               "DISPLAY=",
               "WAYLAND_DISPLAY="};
    }
    ~PulseDaemon() { stop(); }

    // Starts the daemon and waits until it answers; false (with the reason in `problem`) when
    // it does not.
    bool start(std::string& problem) {
        const std::string sink = " rate=8000 channels=1 format=s16le";
        // As root the daemon needs --system=no to run for one user.
        daemon_.start(onPath("pulseaudio"),
                      {"--daemonize=no", "-n", "--system=no", "--exit-idle-time=-1",
                       "--use-pid-file=no", "--realtime=no", "--high-priority=no",
                       "--disable-shm=yes", "--log-target=stderr",
                       "--load=module-native-protocol-unix auth-anonymous=1 socket=" +
                           dir_.file("run/native"),
                       "--load=module-null-sink sink_name=speaker" + sink,
                       "--load=module-null-sink sink_name=mic" + sink},
                      env);
        bool up = eventually(
            [&] { return daemon_.waitExit(0) == -1 && tool("pactl", {"info"}).code == 0; }, 10000,
            200);
        if (!up) problem = "PulseAudio did not start:\n" + daemon_.errors();
        return up;
    }
    // Ends the daemon with SIGTERM; true when it ended within 5 seconds.
    bool stop() {
        if (daemon_.waitExit(0) != -1) return true;
        ::kill(daemon_.pid(), SIGTERM);
        return daemon_.waitExit(5000) != -1;
    }
    Finished tool(const std::string& name, const std::vector<std::string>& args) {
        return run(onPath(name), args, env);
    }

    std::vector<std::string> env; // for the daemon and its clients

  private:
    const TempDir& dir_;
    ProgramProcess daemon_;
};

std::vector<int16_t> samplesOf(const std::string& raw) {
    std::vector<int16_t> samples(raw.size() / 2);
    std::memcpy(samples.data(), raw.data(), samples.size() * 2);
    return samples;
}

// How many 50 ms windows of the sound in `samples` (its first and last block left out) hold a
// clean 440 Hz tone of `rms` (nearly all the energy in the 440 Hz bin, level within 0.5 dB),
// and how many windows there are.
std::pair<int, int> cleanToneWindows(const std::vector<int16_t>& samples, double rms) {
    constexpr size_t N = 400; // exactly 22 periods of 440 Hz at 8000 Hz
    auto first = std::find_if(samples.begin(), samples.end(), [](int16_t s) { return s != 0; });
    auto last = std::find_if(samples.rbegin(), samples.rend(), [](int16_t s) { return s != 0; });
    int clean = 0, windows = 0;
    for (auto w = first + TEST_BLOCK; w + N <= last.base() - TEST_BLOCK; w += N, ++windows) {
        double energy = 0, re = 0, im = 0;
        for (size_t i = 0; i < N; ++i) {
            double phase = 2 * std::numbers::pi * 440.0 * double(i) / 8000.0;
            energy += double(w[i]) * w[i];
            re += w[i] * std::cos(phase);
            im += w[i] * std::sin(phase);
        }
        double inBin = 2 * (re * re + im * im) / N / energy;
        double level = 20 * std::log10(std::sqrt(energy / N) / rms);
        clean += inBin > 0.99 && std::abs(level) < 0.5;
    }
    return {clean, windows};
}

// The correlation of each whole second of `sent` with what was received. The received samples
// are put back, in stretches of 64, where they occur in `sent`: samples that a late thread lost
// or padded on a busy machine spoil only the stretch they fall in, while speech that was bent
// or replaced on its way matches nowhere.
std::vector<double> correlationBySecond(const std::vector<int16_t>& sent,
                                        const std::vector<int16_t>& received) {
    constexpr long STRETCH = 64;
    std::vector<int16_t> rebuilt(sent.size());
    for (auto r = received.begin(); received.end() - r >= STRETCH; r += STRETCH) {
        auto found = std::search(sent.begin(), sent.end(), r, r + STRETCH);
        if (found != sent.end())
            std::copy(r, r + STRETCH, rebuilt.begin() + (found - sent.begin()));
    }
    std::vector<double> result;
    for (size_t from = 0; from + 8000 <= sent.size(); from += 8000) {
        double xy = 0, xx = 0, yy = 0;
        for (size_t i = from; i < from + 8000; ++i)
            xy += double(sent[i]) * rebuilt[i], xx += double(sent[i]) * sent[i],
                yy += double(rebuilt[i]) * rebuilt[i];
        result.push_back(xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : 0);
    }
    return result;
}

TEST(SoundServerTest, CallThroughPulseAudioCarriesAToneAndSpeechIntact) {
    for (const char* tool : {"pulseaudio", "pactl", "parecord", "paplay"})
        if (onPath(tool).empty()) GTEST_SKIP() << tool << " is not installed";
    TempDir dir;
    PulseDaemon pulse(dir);
    std::string problem;
    ASSERT_TRUE(pulse.start(problem)) << problem;

    // The listing shows ALSA's devices, which lead to the daemon; choices are checked in it.
    Finished list = run(TC_PROGRAM, {"--list-devices"}, pulse.env);
    ASSERT_EQ(list.code, 0) << list.err;
    size_t outputs = list.out.find("Output devices:\n");
    ASSERT_EQ(list.out.find("Input devices:\n"), 0u) << list.out;
    for (std::string name : {" tc_mic\n", " tc_speaker\n", " default (default)\n"})
        EXPECT_TRUE(list.out.find(name) < outputs && list.out.rfind(name) > outputs) << list.out;
    const std::string micIndex =
        std::to_string(std::atoi(&list.out[list.out.rfind('\n', list.out.find(" tc_mic\n")) + 1]));
    for (auto [option, error] : std::vector<std::pair<std::string, std::string>>{
             {"--input-device=TC_", "input device \"TC_\" is ambiguous: tc_"},
             {"--output-device=nowhere",
              "no output device matches \"nowhere\" (see --list-devices)"},
             {"--input-device=99", "no input device matches \"99\""}}) {
        Finished chosen = run(TC_PROGRAM, {option, "--headless", "Alice"}, pulse.env);
        EXPECT_EQ(chosen.code, 2) << option;
        EXPECT_EQ(chosen.err.rfind("talkcircle: " + error, 0), 0u) << chosen.err;
        EXPECT_EQ(std::count(chosen.err.begin(), chosen.err.end(), '\n'), 1) << chosen.err;
    }

    // Alice on the daemon, by the microphone's index and a part of the speaker's name; Bob on
    // files, sending a tone.
    ProgramCopy alice(dir, "alice", TC_PROGRAM), bob(dir, "bob", TC_PROGRAM);
    ASSERT_TRUE(
        startCopy(alice, {.password = "pw",
                          .options = {"/X", "64"},
                          .devices = {"--input-device=" + micIndex, "--output-device=SPEAK"},
                          .env = pulse.env}));
    ProgramProcess speaker;
    ASSERT_TRUE(speaker.start(
        onPath("parecord"),
        {"--raw", "--device=speaker.monitor", "--rate=8000", "--channels=1", "--format=s16le"},
        pulse.env));
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
    EXPECT_EQ(
        pulse.tool("paplay", {"--device=mic", "--latency-msec=20", dir.file("speech.wav")}).code,
        0);
    // Done when Bob's speaker file has stopped growing in sound for a second.
    auto heard = [&] { return soundBlocks(readWav(bob.playbackPath())).size(); };
    size_t last = 0;
    EXPECT_TRUE(eventually(
        [&] {
            size_t now = heard();
            return std::exchange(last, now) == now && now > 0;
        },
        15000, 1000));
    EXPECT_EQ(alice.quit(), 0) << describe(alice);
    EXPECT_EQ(bob.quit(), 0) << describe(bob);
    ::kill(speaker.pid(), SIGTERM);
    EXPECT_NE(speaker.waitExit(5000), -1);
    speaker.finish();
    EXPECT_TRUE(pulse.stop());

    // At least a second of the tone, nearly every window of it clean (a late block on a busy
    // machine is a gap).
    auto [clean, windows] = cleanToneWindows(samplesOf(speaker.output()), 8000 / std::sqrt(2.0));
    EXPECT_GE(windows, 20);
    EXPECT_GE(clean * 10, windows * 8) << clean << " of " << windows << " windows clean";
    // The speech as heard, the playback's silent blocks (nothing had arrived) left out. What
    // arrives must be the very samples sent (on an idle machine every second correlates above
    // 0.99). On a busy one late threads lose blocks (6% of a second each); with a load of 15 on
    // two cores up to a quarter of a second was lost, so the bounds leave room for that.
    std::vector<int16_t> received;
    for (const auto& block : soundBlocks(readWav(bob.playbackPath())))
        received.insert(received.end(), block.begin(), block.end());
    std::vector<double> seconds = correlationBySecond(speech, received);
    ASSERT_EQ(seconds.size(), 4u);
    double mean = std::accumulate(seconds.begin(), seconds.end(), 0.0) / 4;
    EXPECT_TRUE(mean > 0.8 && *std::min_element(seconds.begin(), seconds.end()) > 0.7)
        << ::testing::PrintToString(seconds);
}

} // namespace
} // namespace tc::test
