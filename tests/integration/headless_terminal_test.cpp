// A headless copy on a pseudo terminal: the prompt and the command list, commands typed with
// line editing, a command recalled from the history with the arrow key, and a clean Quit.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "support/program_process.h"

namespace tc::test {
namespace {

class TerminalCopy {
  public:
    bool start(const TempDir& dir, int port) {
        winsize size{};
        size.ws_row = 50;
        size.ws_col = 80;
        pid_ = forkpty(&master_, nullptr, nullptr, &size);
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            setenv("TERM", "xterm", 1);
            setenv("XDG_STATE_HOME", dir.file("state").c_str(), 1);
            setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
            std::string config = "--config=" + dir.file("talkcircle.conf");
            std::string portText = std::to_string(port);
            execl(TC_PROGRAM, "talkcircle", "--headless", "--audio=null", config.c_str(), "Alice",
                  portText.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        return true;
    }
    ~TerminalCopy() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) ::close(master_);
    }
    // Reads until the output after the cursor holds `text`; moves the cursor past it.
    bool waitFor(const std::string& text, int timeoutMs = 10000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            size_t at = out_.find(text, cursor_);
            if (at != std::string::npos) {
                cursor_ = at + text.size();
                return true;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0 || !readSome(static_cast<int>(left))) return false;
        }
    }
    void type(const std::string& keys) { (void)!::write(master_, keys.data(), keys.size()); }
    int waitExit(int timeoutMs) {
        for (int waited = 0; waited < timeoutMs; waited += 20) {
            int status = 0;
            readSome(0);
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(20000);
        }
        return -1;
    }
    const std::string& output() const { return out_; }

  private:
    bool readSome(int timeoutMs) {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return false;
        char buf[4096];
        ssize_t n = ::read(master_, buf, sizeof(buf));
        if (n <= 0) return false;
        out_.append(buf, static_cast<size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int master_ = -1;
    bool exited_ = false;
    std::string out_;
    size_t cursor_ = 0;
};

TEST(HeadlessTerminal, PromptHistoryAndQuit) {
    TempDir dir;
    TerminalCopy copy;
    ASSERT_TRUE(copy.start(dir, freePort()));
    ASSERT_TRUE(copy.waitFor("TALKCIRCLE CONSOLE  Version 1.1")) << copy.output();
    ASSERT_TRUE(copy.waitFor("ListCommands. (# = -1 = All Lines)\r\n")) << copy.output();
    ASSERT_TRUE(copy.waitFor("Y [NewPswd], + Startup|?, & ?|DNSUpdate DNSName\r\n"))
        << copy.output();
    // The status rows may be redrawn between the command list and the prompt.
    ASSERT_TRUE(copy.waitFor("> ")) << copy.output();

    copy.type("mute y\r");
    ASSERT_TRUE(copy.waitFor("Microphone Muted\r\n")) << copy.output();
    ASSERT_TRUE(copy.waitFor("> ")) << copy.output();
    copy.type("Jump\r");
    ASSERT_TRUE(copy.waitFor("Invalid Command\r\n\r\n")) << copy.output();
    ASSERT_TRUE(copy.waitFor("> ")) << copy.output();

    // Up twice recalls "mute y"; edited at the end of the line into "mute n".
    copy.type("\x1b[A\x1b[A");
    ASSERT_TRUE(copy.waitFor("mute y")) << copy.output();
    copy.type("\x7fn\r");
    ASSERT_TRUE(copy.waitFor("Microphone Enabled\r\n")) << copy.output();
    ASSERT_TRUE(copy.waitFor("> ")) << copy.output();

    copy.type("Quit\r");
    EXPECT_EQ(copy.waitExit(10000), 0) << copy.output();

    std::ifstream history(dir.file("state") + "/talkcircle/history");
    std::stringstream saved;
    saved << history.rdbuf();
    // libedit keeps a space as "\040".
    std::string lines = saved.str();
    for (size_t at; (at = lines.find("\\040")) != std::string::npos;)
        lines.replace(at, 4, " ");
    EXPECT_NE(lines.find("mute y\nJump\nmute n\nQuit\n"), std::string::npos) << lines;
}

} // namespace
} // namespace tc::test
