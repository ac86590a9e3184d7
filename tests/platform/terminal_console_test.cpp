// The shadow screen, and the terminal console on pipes. The console on a real terminal (line
// editing, Ctrl+C, the status-row escapes, the history file) is covered by the integration test
// that runs the program on a pseudo terminal.
#include "platform/terminal_console.h"

#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

#include "support/wait_until.h"

namespace tc {
namespace {

const auto row = [](const std::string& text) { return text + std::string(80 - text.size(), ' '); };

TEST(ScreenBuffer, WrapsScrollsAndKeepsFixedRows) {
    ScreenBuffer screen;
    screen.write(std::string(80, 'a') + "\n"); // a full row and its break take one row
    screen.write(std::string(81, 'b'));        // one more than a row wraps
    screen.write("\nx\ty\rZ12\b3\x1b\x07");    // other control bytes are not shown
    auto rows = screen.rows();
    EXPECT_EQ(rows[2], row("b"));
    EXPECT_EQ(rows[3], row("Z13     y"));

    // Fixed rows stay while the rows below them scroll.
    screen.clear();
    screen.write("early\n");
    std::vector<std::string> status(12);
    status[3] = std::string(90, 's'); // cut at the width
    screen.setFixedRows(status);
    for (int i = 0; i < 45; ++i)
        screen.write("msg " + std::to_string(i) + "\n");
    rows = screen.rows();
    EXPECT_EQ(rows[3], std::string(80, 's'));
    EXPECT_EQ(rows[12], row("msg 8")); // "early" was moved below them; msg 0..7 scrolled away
}

// Both ends are pipes. Every console write is one write(2), so what was written can be read at
// once from the output pipe, which does not block.
TEST(TerminalConsoleOnPipes, PassesTextReadsLinesReportsTheEndOnceAndCloseWakesTheReader) {
    int in[2], out[2];
    ASSERT_FALSE(pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC | O_NONBLOCK));
    std::string typed = "Talk 2\nSend 1 hi\r\n\n" + std::string(1500, 'z') + "\nlast";
    ASSERT_EQ(::write(in[1], typed.data(), typed.size()), ssize_t(typed.size()));
    ::close(in[1]);
    TerminalConsole console(in[0], out[1]);
    ASSERT_EQ(console.open(), 0);
    console.setStatusRows({"status 0", "status 1"}); // only on the screen: not a terminal
    console.write("raw \x1b[31m bytes\r\n> ");
    char buf[64];
    EXPECT_EQ(std::string(buf, std::max(::read(out[0], buf, 64), 0L)), "raw \x1b[31m bytes\r\n> ");

    std::string line;
    std::vector<std::string> lines;
    while (console.readLine(line) == 0)
        lines.push_back(line);
    EXPECT_TRUE(console.inputEnded());
    EXPECT_EQ(lines, (std::vector<std::string>{"Talk 2", "Send 1 hi", "", std::string(1024, 'z'),
                                               std::string(476, 'z'), "last"}));
    EXPECT_EQ(console.screen()[3], row("> Talk 2")) << "typed lines are echoed on the screen";

    // The ended input is not read again: the next reader waits until the console closes.
    std::atomic<int> late{99};
    std::thread reader([&] {
        std::string ignored;
        late = console.readLine(ignored);
    });
    EXPECT_FALSE(test::eventually([&] { return late != 99; }, 200));
    console.close();
    // A reader that is not woken ends the test here (its thread is never joined).
    ASSERT_TRUE(test::eventually([&] { return late == -1; }));
    reader.join();
    EXPECT_EQ(console.readLine(line), -1);
}

} // namespace
} // namespace tc
