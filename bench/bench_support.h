#pragma once
// Helpers of the end-to-end benchmarks: a copy of the program run as a child process with its
// output collected, a private directory, a free port, WAV files and loopback sockets.
#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sndfile.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tc::bench {

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/tc-bench-XXXXXX";
        if (::mkdtemp(pattern)) path_ = pattern;
    }
    ~TempDir() {
        if (DIR* dir = ::opendir(path_.c_str())) {
            while (dirent* e = ::readdir(dir)) {
                std::string name = e->d_name;
                if (name != "." && name != "..") ::unlink((path_ + "/" + name).c_str());
            }
            ::closedir(dir);
        }
        ::rmdir(path_.c_str());
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

inline int freePort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

inline bool writeWav(const std::string& path, const std::vector<int16_t>& samples) {
    SF_INFO info{};
    info.samplerate = 8000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) return false;
    sf_write_short(f, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(f);
    return true;
}

inline std::vector<int16_t> readWav(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return {};
    std::vector<int16_t> samples(static_cast<size_t>(info.frames));
    sf_count_t n = sf_read_short(f, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(f);
    samples.resize(static_cast<size_t>(n < 0 ? 0 : n));
    return samples;
}

// A copy of the program with stdin and stdout on pipes.
class Copy {
  public:
    ~Copy() {
        if (pid_ > 0 && !ended_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (in_ >= 0) ::close(in_);
        if (reader_.joinable()) reader_.join();
    }

    bool start(const std::vector<std::string>& args, const TempDir& dir) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, out[1], 2);
        std::vector<std::string> argStore{TC_PROGRAM};
        argStore.insert(argStore.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argStore)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> envStore;
        for (char** e = environ; *e; ++e)
            envStore.emplace_back(*e);
        envStore.push_back("XDG_RUNTIME_DIR=" + dir.path());
        envStore.push_back("XDG_STATE_HOME=" + dir.path());
        std::vector<char*> envp;
        for (auto& e : envStore)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        int rc = posix_spawn(&pid_, TC_PROGRAM, &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        in_ = in[1];
        reader_ = std::thread([this, fd = out[0]] {
            char buffer[4096];
            ssize_t n;
            while ((n = ::read(fd, buffer, sizeof(buffer))) > 0) {
                std::lock_guard lock(mutex_);
                out_.append(buffer, static_cast<size_t>(n));
                changed_.notify_all();
            }
            ::close(fd);
        });
        return rc == 0;
    }

    bool waitFor(const std::string& text, int timeoutMs) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return out_.find(text) != std::string::npos; });
    }

    std::string output() {
        std::lock_guard lock(mutex_);
        return out_;
    }

    void type(const std::string& line) {
        std::string text = line + "\n";
        if (::write(in_, text.data(), text.size()) < 0) return;
    }

    bool waitExit(int timeoutMs) {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < until) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return ended_ = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // User and system CPU time of the copy so far, in seconds.
    double cpuSeconds() const {
        std::string path = "/proc/" + std::to_string(pid_) + "/stat";
        FILE* f = std::fopen(path.c_str(), "r");
        if (!f) return -1;
        char text[2048] = {};
        size_t n = std::fread(text, 1, sizeof(text) - 1, f);
        std::fclose(f);
        text[n] = 0;
        // Fields after the command name, which ends at the last ')': utime is field 14, stime 15.
        const char* p = std::strrchr(text, ')');
        if (!p) return -1;
        unsigned long utime = 0, stime = 0;
        if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                        &stime) != 2)
            return -1;
        return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
    }

  private:
    pid_t pid_ = -1;
    bool ended_ = false;
    int in_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_;
};

inline int connectLoopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int attempt = 0; attempt < 100; ++attempt) {
        int s = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) return s;
        ::close(s);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

} // namespace tc::bench
