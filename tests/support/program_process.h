#pragma once
// Runs a copy of the program as a child process for integration tests: stdin, stdout and
// stderr are pipes, or one pseudo terminal of 80 x 50; what the copy prints is collected by a
// reader thread and can be waited for with a time limit. The destructor kills the copy if it is
// still running.
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <pty.h>
#include <random>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>
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
               const std::vector<std::string>& env = {}, bool terminal = false) {
        std::vector<std::string> argStore{program}, envStore;
        argStore.insert(argStore.end(), args.begin(), args.end());
        // The test's own environment, where the extra entries replace those of the same name.
        for (char** e = environ; *e; ++e)
            if (std::none_of(env.begin(), env.end(), [&](const std::string& x) {
                    return std::strncmp(*e, x.c_str(), x.find('=') + 1) == 0;
                }))
                envStore.emplace_back(*e);
        envStore.insert(envStore.end(), env.begin(), env.end());
        if (terminal) envStore.emplace_back("TERM=xterm");
        std::vector<char*> argv, envp;
        for (auto [texts, list] : {std::pair{&argStore, &argv}, {&envStore, &envp}}) {
            for (std::string& t : *texts)
                list->push_back(t.data());
            list->push_back(nullptr);
        }
        int in[2], out[2], err[2];
        winsize size{50, 80, 0, 0};
        if (!terminal &&
            (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)))
            return false;
        pid_ = terminal ? ::forkpty(&out[0], nullptr, nullptr, &size) : ::fork();
        if (pid_ == 0) {
            if (!terminal) ::dup2(in[0], 0), ::dup2(out[1], 1), ::dup2(err[1], 2);
            ::execve(program.c_str(), argv.data(), envp.data());
            ::_exit(127);
        }
        terminal_ = terminal;
        stdinFd_ = terminal ? out[0] : in[1]; // the terminal's one descriptor takes the keys too
        if (!terminal) {
            ::close(in[0]);
            ::close(out[1]);
            ::close(err[1]);
            errReader_ = std::thread([this, fd = err[0]] { readLoop(fd, &err_); });
        }
        if (pid_ < 0) return false;
        outReader_ = std::thread([this, fd = out[0]] { readLoop(fd, &out_); });
        return true;
    }
    // Starts the program and lets it run to its end (killed after timeoutMs); the process is left
    // for its exit code (waitExit(0)), output and errors.
    ProgramProcess& runToEnd(const std::string& program, const std::vector<std::string>& args,
                             const std::vector<std::string>& env = {}, int timeoutMs = 20000) {
        if (start(program, args, env)) waitExit(timeoutMs);
        finish();
        return *this;
    }

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
    void holdOutput(bool hold) {
        std::lock_guard lock(mutex_);
        held_ = hold;
        changed_.notify_all();
    }
    // Types one line (a line feed is added, a carriage return on a terminal), or raw keys.
    bool sendLine(std::string_view line) {
        return sendKeys(std::string(line) + "\r\n"[!terminal_]);
    }
    bool sendKeys(std::string_view text) {
        while (stdinFd_ >= 0 && !text.empty()) {
            ssize_t n = ::write(stdinFd_, text.data(), text.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            text.remove_prefix(static_cast<size_t>(n));
        }
        return stdinFd_ >= 0;
    }
    // On a terminal: the program reads key by key (a line editor has turned line mode off).
    bool readsKeys() const {
        termios mode{};
        return terminal_ && ::tcgetattr(stdinFd_, &mode) == 0 && (mode.c_lflag & ICANON) == 0;
    }

    // Waits for the process to end; returns its exit code, 128 + signal when killed by one, or
    // -1 when it is still running after the time.
    int waitExit(int timeoutMs = 10000) {
        auto reaped = [&] {
            int status = 0;
            if (!reaped_ && ::waitpid(pid_, &status, WNOHANG) == pid_)
                reaped_ = true,
                exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return reaped_;
        };
        return pid_ >= 0 && eventually(reaped, timeoutMs) ? exitStatus_ : -1;
    }
    // Kills the process if it still runs and waits until all its output is collected.
    void finish() {
        if (pid_ >= 0 && !reaped_) ::kill(pid_, SIGKILL), waitExit(5000);
        holdOutput(false);
        if (!terminal_) closeInput();
        for (std::thread* reader : {&outReader_, &errReader_})
            if (reader->joinable()) reader->join();
        closeInput();
    }
    pid_t pid() const { return pid_; }

    // A sanitizer report on stderr (ThreadSanitizer, AddressSanitizer, UndefinedBehavior).
    bool sanitizerReported() const {
        const std::string text = errors();
        for (const char* report :
             {"ThreadSanitizer", "AddressSanitizer", "LeakSanitizer", "runtime error:"})
            if (text.find(report) != std::string::npos) return true;
        return false;
    }

  private:
    bool wait(std::string_view text, int timeoutMs, bool moveCursor) {
        std::unique_lock lock(mutex_);
        size_t found = 0;
        bool ok = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            return (found = out_.find(text, moveCursor ? cursor_ : 0)) != std::string::npos;
        });
        if (ok && moveCursor) cursor_ = found + text.size();
        return ok;
    }
    // A copy taken under the lock.
    std::string locked(const std::string& text) const {
        std::lock_guard lock(mutex_);
        return text;
    }
    void readLoop(int fd, std::string* sink) {
        char buffer[4096];
        for (;;) {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return !held_ || sink != &out_; });
            lock.unlock();
            ssize_t n = ::read(fd, buffer, sizeof(buffer));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            lock.lock();
            sink->append(buffer, static_cast<size_t>(n));
            changed_.notify_all();
        }
        // The terminal's one descriptor is also the input, closed by closeInput().
        if (!terminal_) ::close(fd);
    }
    void closeInput() {
        if (stdinFd_ >= 0) ::close(std::exchange(stdinFd_, -1));
    }

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
// Ports below the system's range for outgoing connections (32768 and up by default).
inline int freePort() {
    static std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int port = 20000 + static_cast<int>(random() % 12000);
        // An abstract local socket named after the port, kept open until the process ends: tests
        // running in parallel never pick the same port, and nothing is left on disk.
        sockaddr_un name{AF_UNIX, {}};
        int length = std::snprintf(name.sun_path + 1, sizeof(name.sun_path) - 1,
                                   "talkcircle-test-port-%d", port);
        int lock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        auto* address = reinterpret_cast<sockaddr*>(&name);
        if (::bind(lock, address, socklen_t(offsetof(sockaddr_un, sun_path) + 1 + length)) != 0) {
            ::close(lock);
            continue;
        }
        bool bindable = true; // nothing holds the port, for TCP or UDP
        for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
            int fd = ::socket(AF_INET, type, 0);
            sockaddr_in any{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_ANY)}, {}};
            bindable &= ::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof(any)) == 0;
            ::close(fd);
        }
        if (bindable) return port;
    }
    return 0;
}

} // namespace tc::test
