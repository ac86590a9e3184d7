#pragma once
// Runs a copy of the program as a child process for integration tests: stdin, stdout and
// stderr are pipes, or one pseudo terminal of 80 x 50; what the copy prints is collected by a
// reader thread and can be waited for with a time limit. The destructor kills the copy if it is
// still running.
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "support/temp_dir.h"
#include "support/wait_until.h"

namespace tc::test {

class ProgramProcess {
  public:
    ProgramProcess() = default;
    ~ProgramProcess() { finish(); }
    ProgramProcess(const ProgramProcess&) = delete;
    ProgramProcess& operator=(const ProgramProcess&) = delete;

    // Starts `program` with the arguments (argv[0] is added). Extra environment entries are
    // "NAME=value". With `terminal` the copy runs on a pseudo terminal (TERM=xterm): its output
    // and errors arrive together, with the terminal's CR LF. Returns false when the process
    // could not be started.
    bool start(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env = {}, bool terminal = false);
    // Starts the program and lets it run to its end (killed after timeoutMs); the process is left
    // for its exit code (waitExit(0)), output and errors.
    ProgramProcess& runToEnd(const std::string& program, const std::vector<std::string>& args,
                             const std::vector<std::string>& env = {}, int timeoutMs = 20000);

    // Waits until the collected output holds `text` at or after the cursor; on success the
    // cursor moves past it, so the next wait looks for a later occurrence.
    bool waitFor(std::string_view text, int timeoutMs = 10000) {
        return wait(text, timeoutMs, true);
    }
    // The same without moving the cursor.
    bool waitForAnywhere(std::string_view text, int timeoutMs = 10000) {
        return wait(text, timeoutMs, false);
    }
    // How often `text` appears in the whole output so far.
    size_t count(std::string_view text) const { return occurrences(output(), text); }
    // Everything printed on stdout so far, and on stderr.
    std::string output() const { return locked(out_); }
    std::string errors() const { return locked(err_); }
    // While held, the copy's output is not read: its pipe fills and its writes wait.
    void holdOutput(bool hold);
    // Types one line (a line feed is added, a carriage return on a terminal), or raw keys.
    bool sendLine(std::string_view line) {
        return sendKeys(std::string(line) + "\r\n"[!terminal_]);
    }
    bool sendKeys(std::string_view keys);
    // On a terminal: the program reads key by key (a line editor has turned line mode off).
    bool readsKeys() const;

    // Waits for the process to end; returns its exit code, 128 + signal when killed by one, or
    // -1 when it is still running after the time.
    int waitExit(int timeoutMs = 10000);
    // Kills the process if it still runs and waits until all its output is collected.
    void finish();
    pid_t pid() const { return pid_; }

    // A sanitizer report on stderr (ThreadSanitizer, AddressSanitizer, UndefinedBehavior).
    bool sanitizerReported() const;

  private:
    bool wait(std::string_view text, int timeoutMs, bool moveCursor);
    std::string locked(const std::string& text) const; // a copy taken under the lock
    void readLoop(int fd, std::string* sink);
    void closeInput();

    pid_t pid_ = -1;
    int stdinFd_ = -1;
    bool terminal_ = false;
    int exitStatus_ = -1;
    bool reaped_ = false;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_;
    std::string err_;
    size_t cursor_ = 0;
    bool held_ = false;
    std::thread outReader_;
    std::thread errReader_;
};

// A TCP and UDP port on which nothing listens, outside the range the system hands out for
// outgoing connections and port-0 listeners, so no socket of another test takes it meanwhile.
// It stays reserved to this test process (a lock file) until the process ends.
int freePort();

} // namespace tc::test
