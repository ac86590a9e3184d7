#pragma once
// One headless copy of the program for integration tests: its own port, WAV files for the
// microphone and the speaker, and its own config, lock and history places inside a private
// directory, so copies of parallel tests never meet.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "support/program_process.h"
#include "support/wav_files.h"

namespace tc::test {

struct CopySetup {
    std::string id = "Alice";
    bool withPort = true;
    int port = 0; // 0: a free one is picked
    std::string password{};
    std::vector<std::string> options{};  // "/T", "/S", "/CL" ...
    std::vector<std::string> commands{}; // start-up commands: "-Call 127.0.0.1 9000 pw"
    std::vector<int16_t> capture{};      // what the microphone hears (silence when empty)
    bool headless = true;                // false: a window when a display answers
    std::vector<std::string> devices{};  // sound options in place of the WAV files
    std::vector<std::string> env{};      // more environment: "NAME=value"
};

class ProgramCopy {
  public:
    // `program` is the program's path (by default the one built with the tests).
    ProgramCopy(const TempDir& dir, std::string name, std::string program = TC_PROGRAM)
        : dir_(dir), name_(std::move(name)), program_(std::move(program)) {}
    // Ends the copy if it still runs; a sanitizer report on its error output fails the test.
    ~ProgramCopy() {
        process_.finish();
        if (process_.sanitizerReported())
            ADD_FAILURE() << name_ << " reported:\n" << process_.errors();
    }

    // Starts the copy; false when it could not be started.
    bool start(const CopySetup& setup) {
        port_ = setup.withPort ? (setup.port != 0 ? setup.port : freePort()) : 0;
        capture_ = dir_.file(name_ + "_in.wav");
        playback_ = dir_.file(name_ + "_out.wav");
        std::vector<int16_t> capture = setup.capture;
        if (capture.empty()) capture.assign(TEST_BLOCK, 0);
        if (!writeWav(capture_, capture)) return false;

        std::vector<std::string> args{"--audio=null", "--capture=" + capture_,
                                      "--playback=" + playback_};
        if (!setup.devices.empty()) args = setup.devices;
        if (setup.headless) args.insert(args.begin(), "--headless");
        args.push_back("--config=" + dir_.file(name_ + ".conf"));
        args.insert(args.end(), setup.options.begin(), setup.options.end());
        args.insert(args.end(), setup.commands.begin(), setup.commands.end());
        args.push_back(setup.id);
        if (setup.withPort) {
            args.push_back(std::to_string(port_));
            if (!setup.password.empty()) args.push_back(setup.password);
        }
        std::vector<std::string> env{"XDG_RUNTIME_DIR=" + dir_.path(),
                                     "XDG_STATE_HOME=" + dir_.path(),
                                     "XDG_CONFIG_HOME=" + dir_.path(), "LC_ALL=C"};
        env.insert(env.end(), setup.env.begin(), setup.env.end());
        return process_.start(program_, args, env);
    }
    // Waits for the console's first prompt: start-up (and its start-up commands) is done.
    bool waitReady(int timeoutMs = 10000) { return sees("> ", timeoutMs); }

    ProgramProcess& process() { return process_; }
    int port() const { return port_; }
    std::string portText() const { return std::to_string(port_); }
    const std::string& capturePath() const { return capture_; }
    const std::string& playbackPath() const { return playback_; }

    bool sees(std::string_view text, int timeoutMs = 10000) {
        return process_.waitForAnywhere(text, timeoutMs);
    }
    size_t count(std::string_view text) const { return process_.count(text); }
    bool type(std::string_view line) { return process_.sendLine(line); }
    std::string output() const { return process_.output(); }

    // Sends one UDP status query to the copy and returns the reply ("" after the time limit).
    std::string udpQuery(const std::string& query, int timeoutMs = 2000) const {
        int s = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{AF_INET, htons(static_cast<uint16_t>(port_)), {htonl(INADDR_LOOPBACK)}, {}};
        std::string reply(1024, '\0');
        ssize_t n = -1;
        pollfd p{s, POLLIN, 0};
        if (::sendto(s, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&to),
                     sizeof(to)) >= 0 &&
            ::poll(&p, 1, timeoutMs) > 0)
            n = ::recv(s, reply.data(), reply.size(), 0);
        if (s >= 0) ::close(s);
        reply.resize(static_cast<size_t>(std::max<ssize_t>(n, 0)));
        return reply;
    }
    // Waits until the copy's status service reports `calls` lines in use.
    bool waitCalls(int calls, int timeoutMs = 10000) const {
        const std::string wanted = "Calls=" + std::to_string(calls) + "\n";
        return eventually([&] { return udpQuery("P").ends_with(wanted); }, timeoutMs, 100);
    }

    // Types Quit and waits for the copy to end; returns its exit code (-1 when it did not end).
    int quit(int timeoutMs = 15000) {
        return process_.sendLine("Quit"), process_.waitExit(timeoutMs);
    }

  private:
    const TempDir& dir_;
    std::string name_;
    std::string program_;
    int port_ = 0;
    std::string capture_;
    std::string playback_;
    ProgramProcess process_;
};

// What a failing integration test should show: the copy's output and any sanitizer report.
inline std::string describe(ProgramCopy& copy) {
    return "--- output ---\n" + copy.output() + "\n--- errors ---\n" + copy.process().errors();
}

} // namespace tc::test
