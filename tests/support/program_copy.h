#pragma once
// One headless copy of the program for integration tests: its own port, WAV files for the
// microphone and the speaker, and its own config, lock and history places inside a private
// directory, so copies of parallel tests never meet.
#include <string>
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
    // `program` is the program's path (the tests' TC_PROGRAM).
    ProgramCopy(const TempDir& dir, std::string name, std::string program)
        : dir_(dir), name_(std::move(name)), program_(std::move(program)) {}
    // Ends the copy if it still runs; a sanitizer report on its error output fails the test.
    ~ProgramCopy();

    // Starts the copy; false when it could not be started.
    bool start(const CopySetup& setup);
    // Waits for the console's first prompt: start-up (and its start-up commands) is done.
    bool waitReady(int timeoutMs = 10000);

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
    std::string udpQuery(const std::string& query, int timeoutMs = 2000) const;
    // Waits until the copy's status service reports `calls` lines in use.
    bool waitCalls(int calls, int timeoutMs = 10000) const;

    // Types Quit and waits for the copy to end; returns its exit code (-1 when it did not end).
    int quit(int timeoutMs = 15000);

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
std::string describe(ProgramCopy& copy);

} // namespace tc::test
