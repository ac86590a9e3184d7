#pragma once
// Runs a copy of the program as a child process for integration tests: stdin, stdout and
// stderr are pipes; what the copy prints is collected by a reader thread and can be waited for
// with a time limit. The destructor kills the copy if it is still running.
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace tc::test {

class ProgramProcess {
  public:
    ProgramProcess() = default;
    ~ProgramProcess();
    ProgramProcess(const ProgramProcess&) = delete;
    ProgramProcess& operator=(const ProgramProcess&) = delete;

    // Starts `program` with the arguments (argv[0] is added). Extra environment entries are
    // "NAME=value". Returns false when the process could not be started.
    bool start(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env = {});

    // Waits until the collected output holds `text` at or after the cursor; on success the
    // cursor moves past it, so the next wait looks for a later occurrence.
    bool waitFor(std::string_view text, int timeoutMs = 10000);
    // The same without moving the cursor.
    bool waitForAnywhere(std::string_view text, int timeoutMs = 10000);
    // How often `text` appears in the whole output so far.
    size_t count(std::string_view text) const;
    // Everything printed on stdout so far, and on stderr.
    std::string output() const;
    std::string errors() const;
    // Position of the cursor (bytes of output already passed by waitFor).
    size_t cursor() const;

    // Types one line (a line feed is added).
    bool sendLine(std::string_view line);
    void closeInput();

    // Waits for the process to end; returns its exit code, 128 + signal when killed by one, or
    // -1 when it is still running after the time.
    int waitExit(int timeoutMs = 10000);
    bool running();
    void kill();
    // Kills the process if it still runs and waits until all its output is collected.
    void finish();
    pid_t pid() const { return pid_; }

    // A sanitizer report on stderr (ThreadSanitizer, AddressSanitizer, UndefinedBehavior).
    bool sanitizerReported() const;

  private:
    void readLoop(int fd, std::string* sink);

    pid_t pid_ = -1;
    int stdinFd_ = -1;
    int exitStatus_ = -1;
    bool reaped_ = false;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_;
    std::string err_;
    size_t cursor_ = 0;
    std::thread outReader_;
    std::thread errReader_;
};

// A TCP and UDP port on which nothing listens right now (the kernel picks it).
int freePort();

// A fresh private directory under the system's temporary directory, removed with its files by
// the destructor.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

} // namespace tc::test
