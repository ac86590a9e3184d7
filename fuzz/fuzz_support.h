// What several fuzz targets share: a console and dialogs that answer at once and keep nothing,
// a private scratch folder, and files and socket pairs filled with the input bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "core/line_table.h"
#include "platform/console.h"
#include "platform/dialogs.h"

namespace tc::fuzz {

class QuietConsole : public Console {
  public:
    void write(std::string_view) override {}
    int readLine(std::string&) override { return 1; }
    std::vector<std::string> screen() const override {
        return std::vector<std::string>(CONSOLE_ROWS, std::string(CONSOLE_COLUMNS, ' '));
    }
};

// Every question is closed unanswered and no file is chosen.
class QuietDialogs : public Dialogs {
  public:
    int ask(const std::string&, const std::string&, DialogButtons,
            const std::atomic<uint8_t>*) override {
        return DIALOG_CLOSED;
    }
};

// A folder of this process under /dev/shm (or /tmp), made once and removed at exit; the process
// works in it.
inline const std::string& scratchFolder() {
    static const std::string folder = [] {
        std::string pattern =
            access("/dev/shm", W_OK) == 0 ? "/dev/shm/tcfuzz.XXXXXX" : "/tmp/tcfuzz.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr || chdir(pattern.c_str()) != 0) abort();
        static char made[64]; // outlives the string, which is destroyed before the handler runs
        std::snprintf(made, sizeof made, "%s", pattern.c_str());
        std::atexit([] { std::filesystem::remove_all(made); });
        return pattern;
    }();
    return folder;
}

// Writes the bytes as the whole content of `path`.
inline void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) abort();
    for (size_t done = 0; done < size;) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) abort();
        done += static_cast<size_t>(n);
    }
    close(fd);
}

// A socket pair whose first end will read the bytes and then the end of the stream.
// Returns that end; the other one is closed.
inline int streamOf(const uint8_t* data, size_t size) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) abort();
    int buffer = static_cast<int>(size) + 65536;
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
    setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
    for (size_t done = 0; done < size;) {
        ssize_t n = send(fds[1], data + done, size - done, MSG_NOSIGNAL);
        if (n <= 0) abort();
        done += static_cast<size_t>(n);
    }
    close(fds[1]);
    return fds[0];
}

} // namespace tc::fuzz
