#include "platform/terminal_console.h"

#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "core/output.h"
#include "core/settings.h"
#include "platform/screen_buffer.h"

namespace tc {
namespace {

using Clock = std::chrono::steady_clock;

std::string row(const std::string& text) {
    return text + std::string(80 - text.size(), ' ');
}

// ---- the shadow screen ----

TEST(ScreenBuffer, WrapsAtTheLastColumnAndBreaksLines) {
    ScreenBuffer screen;
    screen.write(std::string(80, 'a') + "\n"); // a full row and its break take one row
    screen.write(std::string(81, 'b'));        // one more than a row wraps
    screen.write("\nx\ty\rZ");
    screen.write("12\b3");
    auto rows = screen.rows();
    ASSERT_EQ(rows.size(), 50u);
    EXPECT_EQ(rows[0], std::string(80, 'a'));
    EXPECT_EQ(rows[1], std::string(80, 'b'));
    EXPECT_EQ(rows[2], row("b"));
    EXPECT_EQ(rows[3], row("Z13     y"));
    EXPECT_EQ(screen.cursorRow(), 3);
    EXPECT_EQ(screen.cursorColumn(), 3);
}

TEST(ScreenBuffer, ScrollsAtTheBottomAndIgnoresControlBytes) {
    ScreenBuffer screen;
    for (int i = 0; i < 52; ++i)
        screen.write("line " + std::to_string(i) + "\n");
    screen.write("\x1b[2Jend\x07");
    auto rows = screen.rows();
    EXPECT_EQ(rows[0], row("line 3"));
    EXPECT_EQ(rows[47], row("line 50"));
    EXPECT_EQ(rows[48], row("line 51"));
    EXPECT_EQ(rows[49], row("[2Jend"));
}

TEST(ScreenBuffer, FixedRowsStayWhileTheRestScrolls) {
    ScreenBuffer screen;
    screen.write("early\n");
    std::vector<std::string> status(12);
    status[0] = "clock row";
    status[3] = std::string(90, 's'); // cut at the width
    status[5] = "tab\there";
    screen.setFixedRows(status);
    EXPECT_EQ(screen.cursorRow(), 12); // moved out of the fixed rows
    for (int i = 0; i < 45; ++i)
        screen.write("msg " + std::to_string(i) + "\n");
    auto rows = screen.rows();
    EXPECT_EQ(rows[0], row("clock row"));
    EXPECT_EQ(rows[3], std::string(80, 's'));
    EXPECT_EQ(rows[5], row("tab here"));
    EXPECT_EQ(rows[11], row(""));
    EXPECT_EQ(rows[12], row("msg 8")); // "early" and msg 0..7 scrolled away below the fixed rows
    EXPECT_EQ(rows[48], row("msg 44"));
    EXPECT_EQ(rows[49], row(""));
}

// ---- the console on pipes ----

struct Pipe {
    int readEnd = -1;
    int writeEnd = -1;
    Pipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) == 0) {
            readEnd = fds[0];
            writeEnd = fds[1];
        }
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    void closeRead() {
        if (readEnd >= 0) ::close(readEnd);
        readEnd = -1;
    }
    void closeWrite() {
        if (writeEnd >= 0) ::close(writeEnd);
        writeEnd = -1;
    }
    void send(std::string_view text) const {
        ASSERT_EQ(::write(writeEnd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
};

// Reads what is there now (waiting up to timeoutMs for the first byte).
std::string drain(int fd, int timeoutMs = 200) {
    std::string text;
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, text.empty() ? timeoutMs : 50) > 0) {
        char buf[4096];
        ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

// Reads into `seen` until `needle` has arrived at or after `from` (or the time is up); returns
// where it was found.
size_t readUntil(int fd, std::string& seen, std::string_view needle, size_t from = 0,
                 int timeoutMs = 3000) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (seen.find(needle, from) == std::string::npos && Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        char buf[4096];
        ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n <= 0) break;
        seen.append(buf, static_cast<size_t>(n));
    }
    return seen.find(needle, from);
}

TEST(TerminalConsoleOnPipes, WritesExactlyTheTextAndKeepsAScreen) {
    Pipe in, out;
    TerminalConsole console(in.readEnd, out.writeEnd);
    console.write("lost\n"); // not open yet
    ASSERT_EQ(console.open(), 0);
    EXPECT_EQ(console.open(), 1);
    console.setStatusRows({"status 0", "status 1"}); // only on the screen: not a terminal
    console.write("Call #1 Disconnected\n");
    console.write("raw \x1b[31m bytes\r\n");
    console.write("> ");
    EXPECT_EQ(drain(out.readEnd), "Call #1 Disconnected\nraw \x1b[31m bytes\r\n> ");
    auto rows = console.screen();
    EXPECT_EQ(rows[0], row("status 0"));
    EXPECT_EQ(rows[1], row("status 1"));
    EXPECT_EQ(rows[2], row("Call #1 Disconnected"));
    EXPECT_EQ(rows[3], row("raw [31m bytes"));
    EXPECT_EQ(rows[4], row("> "));
    console.close();
    console.write("after close\n");
    EXPECT_EQ(drain(out.readEnd, 50), "");
}

TEST(TerminalConsoleOnPipes, ReadsLinesThenReportsTheEndOnce) {
    Pipe in, out;
    TerminalConsole console(in.readEnd, out.writeEnd);
    ASSERT_EQ(console.open(), 0);
    std::string tooLong(1500, 'z');
    in.send("Talk 2\nSend 1 hi there\r\n\n" + tooLong + "\nlast");
    in.closeWrite();
    std::string line;
    std::vector<std::string> lines;
    int result;
    while ((result = console.readLine(line)) == 0)
        lines.push_back(line);
    EXPECT_EQ(result, 1);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "Talk 2");
    EXPECT_EQ(lines[1], "Send 1 hi there");
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], std::string(1024, 'z')); // a long line comes in pieces
    EXPECT_EQ(lines[4], std::string(476, 'z'));
    EXPECT_EQ(lines[5], "last");
    EXPECT_TRUE(console.inputEnded());
    // Typed lines show on the screen, as a console echoes them.
    auto rows = console.screen();
    EXPECT_EQ(rows[1], row("Send 1 hi there"));
    EXPECT_EQ(rows[14], std::string(80, 'z'));
    EXPECT_EQ(rows[15], row(std::string(64, 'z')));
    EXPECT_EQ(rows[22], row("last"));

    // The ended input is not read again: the next reader waits until the console closes.
    int late = 99;
    std::thread reader([&] { late = console.readLine(line); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(late, 99);
    auto start = Clock::now();
    console.close();
    reader.join();
    EXPECT_EQ(late, -1);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(console.readLine(line), -1);
    console.write("output still goes out after reopening\n");
    EXPECT_EQ(drain(out.readEnd, 50), "");
    ASSERT_EQ(console.open(), 0);
    console.write("back\n");
    EXPECT_EQ(drain(out.readEnd), "back\n");
    EXPECT_EQ(console.screen()[0], row("back")); // a fresh screen after reopening
    EXPECT_EQ(console.readLine(line), 1);        // the reopened console reports the end once more
}

// ---- in a child process: Ctrl+C and the real terminal ----

// Runs `body` in a child process and returns its pid; the child exits with body's result.
template <typename Body> pid_t runChild(Body body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
}

// Waits for the child's exit code (or kills it after the time is up and returns -1).
int waitChild(pid_t pid, int timeoutMs = 5000) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (Clock::now() < end) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

bool alive(pid_t pid) {
    return waitpid(pid, nullptr, WNOHANG) == 0;
}

// The program's console loop in small: prompt, read, reply, until the end of input.
int consoleLoop() {
    for (;;) {
        output(NoPanel | NoLog, "> ");
        std::string line;
        Console* console = currentConsole();
        int result = console ? console->readLine(line) : -1;
        if (result != 0) {
            output(NoPanel | NoLog, "end %d\n", result);
            closeConsole();
            return result == 1 ? 0 : 3;
        }
        message("got [%s]\n", line.c_str());
    }
}

// A pseudo-terminal whose other end the test types into and reads.
struct PseudoTerminal {
    int master = -1;
    int slave = -1;
    PseudoTerminal(int rows, int columns) {
        winsize size{};
        size.ws_row = static_cast<unsigned short>(rows);
        size.ws_col = static_cast<unsigned short>(columns);
        if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) master = slave = -1;
    }
    ~PseudoTerminal() {
        if (master >= 0) ::close(master);
        if (slave >= 0) ::close(slave);
    }
    void type(std::string_view keys) const {
        ASSERT_EQ(::write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
};

class TerminalConsoleOnATerminal : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tc_console_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        stateDir = pattern;
    }
    void TearDown() override {
        std::string history = stateDir + "/talkcircle/history";
        ::unlink(history.c_str());
        ::rmdir((stateDir + "/talkcircle").c_str());
        ::rmdir(stateDir.c_str());
    }
    std::string stateDir;
};

TEST_F(TerminalConsoleOnATerminal, StatusRowsEditingRedrawAndCtrlC) {
    PseudoTerminal tty(30, 80);
    ASSERT_GE(tty.master, 0);
    Pipe trigger;
    pid_t pid = runChild([&] {
        ::close(tty.master);
        ::close(trigger.writeEnd);
        setsid();
        ioctl(tty.slave, TIOCSCTTY, 0); // Ctrl+C typed on the terminal signals this process
        dup2(tty.slave, STDIN_FILENO);
        dup2(tty.slave, STDOUT_FILENO);
        setenv("XDG_STATE_HOME", stateDir.c_str(), 1);
        setenv("TERM", "xterm", 1);
        setlocale(LC_ALL, "C.UTF-8");
        if (openConsole() != 0) return 2;
        std::vector<std::string> rows(12);
        rows[0] = "STATUS ROW 0 \x1b]0;title\x07";
        rows[10] = std::string(79, '_');
        currentConsole()->setStatusRows(rows);
        // Another thread prints a message whenever the test asks for one.
        std::thread messenger([&] {
            char byte;
            while (::read(trigger.readEnd, &byte, 1) == 1)
                message("Call #%d Disconnected\n", 4);
        });
        messenger.detach();
        return consoleLoop();
    });
    ASSERT_GT(pid, 0);
    ::close(tty.slave);
    tty.slave = -1;
    trigger.closeRead();
    std::string seen;
    auto expect = [&](std::string_view needle, size_t from) {
        size_t at = readUntil(tty.master, seen, needle, from);
        EXPECT_NE(at, std::string::npos) << "waiting for [" << needle << "] in [" << seen << "]";
        return at == std::string::npos ? seen.size() : at + needle.size();
    };

    // The status rows: a scroll region below twelve rows, each row drawn at its place and the
    // cursor put back; the escape bytes of a row's text are not passed to the terminal.
    size_t at = expect(BANNER, 0);
    at = expect("\0337\033[13;30r\033[1;1H\033[2KSTATUS ROW 0 ?]0;title\033[2;1H", at);
    at = expect("\033[11;1H\033[2K" + std::string(79, '_') + "\033[12;1H\033[2K\0338", at);

    // A message that arrives while a line is typed: the line is erased, the message printed,
    // and prompt and typed text drawn again below it.
    at = expect("> ", at);
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the editor takes over
    tty.type("Talk");
    at = expect("Talk", at);
    trigger.send("m");
    at = expect("\r\033[JCall #4 Disconnected\r\n", at);
    at = expect("> Talk", at);
    tty.type(" 3\r");
    at = expect("got [Talk 3]\r\n> ", at);

    // Ctrl+C drops the typed text and gives a new prompt; the process lives on.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    tty.type("Drop");
    at = expect("Drop", at);
    tty.type("\x03");
    at = expect("\r\n> ", at);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(alive(pid));
    tty.type("Hold 2\r");
    at = expect("got [Hold 2]\r\n> ", at);
    EXPECT_EQ(seen.find("DropHold"), std::string::npos);

    // History: the arrow key brings back the last line.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    tty.type("\033[A");
    at = expect("Hold 2", at);
    tty.type("\r");
    at = expect("got [Hold 2]\r\n> ", at);

    // Ctrl+D on an empty line is the end of input; closing gives the terminal its full scroll
    // area back.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    tty.type("\x04");
    at = expect("end 1\r\n", at);
    expect("\0337\033[r\0338", at);
    EXPECT_EQ(waitChild(pid), 0);

    std::string historyFile = stateDir + "/talkcircle/history";
    struct stat info {};
    ASSERT_EQ(stat(historyFile.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    FILE* f = fopen(historyFile.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char buf[512] = {};
    size_t n = fread(buf, 1, sizeof(buf) - 1, f);
    fclose(f);
    std::string history(buf, n);
    EXPECT_NE(history.find("Talk\\0403"), std::string::npos) << history;
    EXPECT_NE(history.find("Hold\\0402"), std::string::npos) << history;
}

TEST(TerminalConsolePaths, HistoryFollowsTheStateDirectory) {
    const char* oldState = std::getenv("XDG_STATE_HOME");
    std::string saved = oldState ? oldState : "";
    std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("XDG_STATE_HOME", "/var/tmp/state", 1);
    EXPECT_EQ(TerminalConsole::historyPath(), "/var/tmp/state/talkcircle/history");
    setenv("XDG_STATE_HOME", "relative/ignored", 1);
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(TerminalConsole::historyPath(), "/home/someone/.local/state/talkcircle/history");
    setenv("HOME", savedHome.c_str(), 1);
    if (oldState) {
        setenv("XDG_STATE_HOME", saved.c_str(), 1);
    } else {
        unsetenv("XDG_STATE_HOME");
    }
}

} // namespace
} // namespace tc
