#include "support/program_process.h"
#include "support/wait_until.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <random>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace tc::test {

ProgramProcess::~ProgramProcess() {
    finish();
}

void ProgramProcess::holdOutput(bool hold) {
    {
        std::lock_guard lock(mutex_);
        held_ = hold;
    }
    changed_.notify_all();
}

void ProgramProcess::finish() {
    kill();
    holdOutput(false);
    if (!terminal_) closeInput();
    if (outReader_.joinable()) outReader_.join();
    if (errReader_.joinable()) errReader_.join();
    closeInput();
}

namespace {

// The test's own environment, where the extra entries replace those of the same name.
std::vector<std::string> withEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> all;
    for (char** e = environ; *e; ++e) {
        std::string_view entry(*e);
        std::string_view name = entry.substr(0, entry.find('=') + 1);
        if (std::none_of(extra.begin(), extra.end(), [&](const std::string& x) {
                return x.compare(0, name.size(), name) == 0;
            }))
            all.emplace_back(entry);
    }
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> list;
    for (auto& t : texts)
        list.push_back(t.data());
    list.push_back(nullptr);
    return list;
}

} // namespace

bool ProgramProcess::start(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& env, bool terminal) {
    std::vector<std::string> argStore{program};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<std::string> envStore = withEnvironment(env);
    if (terminal) envStore.emplace_back("TERM=xterm");
    std::vector<char*> argv = pointers(argStore);
    std::vector<char*> envp = pointers(envStore);
    int in[2], out[2], err[2];
    if (terminal) {
        winsize size{50, 80, 0, 0};
        pid_ = ::forkpty(&out[0], nullptr, nullptr, &size);
    } else {
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
            ::pipe2(err, O_CLOEXEC) != 0)
            return false;
        pid_ = ::fork();
    }
    if (pid_ == 0) {
        if (!terminal) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
        }
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    terminal_ = terminal;
    if (!terminal) {
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        stdinFd_ = in[1];
        errReader_ = std::thread([this, fd = err[0]] { readLoop(fd, &err_); });
    } else {
        stdinFd_ = out[0]; // the terminal's one descriptor takes the keys too
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
        if (sink == &out_) {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return !held_; });
        }
        ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        {
            std::lock_guard lock(mutex_);
            sink->append(buffer, static_cast<size_t>(n));
        }
        changed_.notify_all();
    }
    // The terminal's one descriptor is also the input, closed by closeInput().
    if (!terminal_) ::close(fd);
}

bool ProgramProcess::waitFor(std::string_view text, int timeoutMs) {
    std::unique_lock lock(mutex_);
    size_t found = std::string::npos;
    bool ok = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        found = out_.find(text, cursor_);
        return found != std::string::npos;
    });
    if (ok) cursor_ = found + text.size();
    return ok;
}

bool ProgramProcess::waitForAnywhere(std::string_view text, int timeoutMs) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return out_.find(text) != std::string::npos; });
}

size_t ProgramProcess::count(std::string_view text) const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (size_t at = out_.find(text); at != std::string::npos;
         at = out_.find(text, at + text.size()))
        ++n;
    return n;
}

std::string ProgramProcess::output() const {
    std::lock_guard lock(mutex_);
    return out_;
}

std::string ProgramProcess::errors() const {
    std::lock_guard lock(mutex_);
    return err_;
}

bool ProgramProcess::sendLine(std::string_view line) {
    std::string text(line);
    text += terminal_ ? '\r' : '\n';
    return sendKeys(text);
}

bool ProgramProcess::sendKeys(std::string_view text) {
    if (stdinFd_ < 0) return false;
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = ::write(stdinFd_, text.data() + sent, text.size() - sent);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool ProgramProcess::readsKeys() const {
    termios mode{};
    return terminal_ && ::tcgetattr(stdinFd_, &mode) == 0 && (mode.c_lflag & ICANON) == 0;
}

void ProgramProcess::closeInput() {
    if (stdinFd_ >= 0) ::close(stdinFd_);
    stdinFd_ = -1;
}

int ProgramProcess::waitExit(int timeoutMs) {
    if (pid_ < 0) return -1;
    eventually(
        [&] {
            int status = 0;
            if (!reaped_ && ::waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            return reaped_;
        },
        timeoutMs);
    return reaped_ ? exitStatus_ : -1;
}

void ProgramProcess::kill() {
    if (pid_ < 0 || reaped_) return;
    ::kill(pid_, SIGKILL);
    waitExit(5000);
}

bool ProgramProcess::sanitizerReported() const {
    std::lock_guard lock(mutex_);
    for (const char* report :
         {"ThreadSanitizer", "AddressSanitizer", "LeakSanitizer", "runtime error:"})
        if (err_.find(report) != std::string::npos) return true;
    return false;
}

namespace {

// Ports below the system's range for outgoing connections (32768 and up by default).
constexpr int FIRST_TEST_PORT = 20000;
constexpr int TEST_PORTS = 12000;

bool bindable(int type, int port) {
    int fd = ::socket(AF_INET, type, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
}

// Binds an abstract local socket named after the port and keeps it open until the process
// ends: tests running in parallel never pick the same port, and nothing is left on disk.
bool reserve(int port) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::string name = "talkcircle-test-port-" + std::to_string(port);
    std::memcpy(a.sun_path + 1, name.data(), name.size()); // sun_path[0] = 0: abstract
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) == 0) return true; // kept open
    ::close(fd);
    return false;
}

} // namespace

int freePort() {
    static std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 200; ++attempt) {
        int port = FIRST_TEST_PORT + static_cast<int>(random() % TEST_PORTS);
        if (reserve(port) && bindable(SOCK_STREAM, port) && bindable(SOCK_DGRAM, port)) return port;
    }
    return 0;
}

} // namespace tc::test
