#include "support/program_process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <pty.h>
#include <random>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace tc::test {

void ProgramProcess::holdOutput(bool hold) {
    std::lock_guard lock(mutex_);
    held_ = hold;
    changed_.notify_all();
}

void ProgramProcess::finish() {
    if (pid_ >= 0 && !reaped_) ::kill(pid_, SIGKILL), waitExit(5000);
    holdOutput(false);
    if (!terminal_) closeInput();
    for (std::thread* reader : {&outReader_, &errReader_})
        if (reader->joinable()) reader->join();
    closeInput();
}

bool ProgramProcess::start(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& env, bool terminal) {
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
    if (!terminal && (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)))
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
        ::close(in[0]), ::close(out[1]), ::close(err[1]);
        errReader_ = std::thread([this, fd = err[0]] { readLoop(fd, &err_); });
    }
    if (pid_ < 0) return false;
    outReader_ = std::thread([this, fd = out[0]] { readLoop(fd, &out_); });
    return true;
}

ProgramProcess& ProgramProcess::runToEnd(const std::string& program,
                                         const std::vector<std::string>& args,
                                         const std::vector<std::string>& env, int timeoutMs) {
    if (start(program, args, env)) waitExit(timeoutMs);
    finish();
    return *this;
}

void ProgramProcess::readLoop(int fd, std::string* sink) {
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

bool ProgramProcess::wait(std::string_view text, int timeoutMs, bool moveCursor) {
    std::unique_lock lock(mutex_);
    size_t found = 0;
    bool ok = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return (found = out_.find(text, moveCursor ? cursor_ : 0)) != std::string::npos;
    });
    if (ok && moveCursor) cursor_ = found + text.size();
    return ok;
}

std::string ProgramProcess::locked(const std::string& text) const {
    std::lock_guard lock(mutex_);
    return text;
}

bool ProgramProcess::sendKeys(std::string_view text) {
    while (stdinFd_ >= 0 && !text.empty()) {
        ssize_t n = ::write(stdinFd_, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<size_t>(n));
    }
    return stdinFd_ >= 0;
}

bool ProgramProcess::readsKeys() const {
    termios mode{};
    return terminal_ && ::tcgetattr(stdinFd_, &mode) == 0 && (mode.c_lflag & ICANON) == 0;
}

void ProgramProcess::closeInput() {
    if (stdinFd_ >= 0) ::close(std::exchange(stdinFd_, -1));
}

int ProgramProcess::waitExit(int timeoutMs) {
    auto reaped = [&] {
        int status = 0;
        if (!reaped_ && ::waitpid(pid_, &status, WNOHANG) == pid_)
            reaped_ = true,
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return reaped_;
    };
    return pid_ >= 0 && eventually(reaped, timeoutMs) ? exitStatus_ : -1;
}

bool ProgramProcess::sanitizerReported() const {
    const std::string text = errors();
    for (const char* report :
         {"ThreadSanitizer", "AddressSanitizer", "LeakSanitizer", "runtime error:"})
        if (text.find(report) != std::string::npos) return true;
    return false;
}

// Ports below the system's range for outgoing connections (32768 and up by default).
int freePort() {
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
