#include "support/program_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tc::test {

namespace {

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

ProgramProcess::~ProgramProcess() {
    finish();
}

void ProgramProcess::finish() {
    kill();
    closeInput();
    if (outReader_.joinable()) outReader_.join();
    if (errReader_.joinable()) errReader_.join();
}

bool ProgramProcess::start(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& env) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return false;
    if (::pipe2(out, O_CLOEXEC) != 0) return false;
    if (::pipe2(err, O_CLOEXEC) != 0) return false;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

    std::vector<std::string> argStore{program};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e)
        envStore.emplace_back(*e);
    envStore.insert(envStore.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        pid_ = -1;
        ::close(in[1]);
        ::close(out[0]);
        ::close(err[0]);
        return false;
    }
    stdinFd_ = in[1];
    outReader_ = std::thread([this, fd = out[0]] { readLoop(fd, &out_); });
    errReader_ = std::thread([this, fd = err[0]] { readLoop(fd, &err_); });
    return true;
}

void ProgramProcess::readLoop(int fd, std::string* sink) {
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        {
            std::lock_guard lock(mutex_);
            sink->append(buffer, static_cast<size_t>(n));
        }
        changed_.notify_all();
    }
    ::close(fd);
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

size_t ProgramProcess::cursor() const {
    std::lock_guard lock(mutex_);
    return cursor_;
}

bool ProgramProcess::sendLine(std::string_view line) {
    if (stdinFd_ < 0) return false;
    std::string text(line);
    text += '\n';
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = ::write(stdinFd_, text.data() + sent, text.size() - sent);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

void ProgramProcess::closeInput() {
    if (stdinFd_ >= 0) ::close(stdinFd_);
    stdinFd_ = -1;
}

int ProgramProcess::waitExit(int timeoutMs) {
    if (pid_ < 0) return -1;
    int64_t until = nowMs() + timeoutMs;
    while (!reaped_) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (nowMs() >= until) return -1;
        ::usleep(10 * 1000);
    }
    return exitStatus_;
}

bool ProgramProcess::running() {
    return pid_ >= 0 && waitExit(0) == -1;
}

void ProgramProcess::kill() {
    if (pid_ < 0 || reaped_) return;
    ::kill(pid_, SIGKILL);
    waitExit(5000);
}

bool ProgramProcess::sanitizerReported() const {
    std::lock_guard lock(mutex_);
    return err_.find("ThreadSanitizer") != std::string::npos ||
           err_.find("AddressSanitizer") != std::string::npos ||
           err_.find("LeakSanitizer") != std::string::npos ||
           err_.find("runtime error:") != std::string::npos;
}

int freePort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        int tcp = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (::bind(tcp, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
            ::getsockname(tcp, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            ::close(tcp);
            continue;
        }
        int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
        bool udpFree = ::bind(udp, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
        ::close(udp);
        ::close(tcp);
        if (udpFree) return ntohs(addr.sin_port);
    }
    return 0;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tc-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data())) path_ = buffer.data();
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    if (DIR* dir = ::opendir(path_.c_str())) {
        while (dirent* e = ::readdir(dir)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") ::unlink((path_ + "/" + name).c_str());
        }
        ::closedir(dir);
    }
    ::rmdir(path_.c_str());
}

} // namespace tc::test
