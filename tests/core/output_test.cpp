#include "ui/line_list.h"
#include "core/output.h"

#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "core/line_table.h"
#include "core/protocol.h"
#include "core/settings.h"
#include "platform/dialogs.h"
#include "platform/terminal_console.h"
#include "support/fake_console.h"
#include "ui/window_model.h"

namespace tc {
namespace {

std::string readFile(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return "<missing>";
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        text.append(buf, n);
    fclose(f);
    return text;
}

// The ten panel rows as shown, top first.
std::vector<std::string> panelLines() {
    std::vector<std::string> lines;
    std::istringstream in(panelText());
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

class OutputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetOutput();
        resetWindowModel();
        installWindowHooks();
        char pattern[] = "/tmp/tc_output_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        attachConsole(nullptr);
        setConsoleHooks({});
        closeLogFile();
        resetOutput();
        for (const auto& f : files)
            ::unlink(f.c_str());
        ::rmdir(dir.c_str());
    }
    std::string file(const std::string& name) {
        files.push_back(dir + "/" + name);
        return files.back();
    }
    std::string dir;
    std::vector<std::string> files;
};

// ---- the panel ----

TEST_F(OutputTest, PanelRowsOf75CharactersCarryOverAndScroll) {
    panelAppend(std::string(200, 'x').c_str());
    auto lines = panelLines();
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[6], "");
    EXPECT_EQ(lines[7], std::string(75, 'x'));
    EXPECT_EQ(lines[8], std::string(75, 'x'));
    EXPECT_EQ(lines[9], std::string(50, 'x')); // nothing is lost at the row ends
    // Exactly 75 characters and a line break make one complete row, not an empty one after it.
    panelAppend(("\n" + std::string(75, 'y') + "\nz").c_str());
    EXPECT_STREQ(outputState.panelRows[8], (std::string(75, 'y') + "\n").c_str());
    EXPECT_STREQ(outputState.panelRows[9], "z");

    // After eleven complete lines the first is no longer shown.
    for (int i = 1; i <= 11; ++i)
        panelAppend(("\nline " + std::to_string(i)).c_str());
    lines = panelLines();
    EXPECT_EQ(lines[0], "line 2");
    EXPECT_EQ(lines[9], "line 11");
    EXPECT_EQ(controlText(Control::panelWindow), panelText());
}

TEST_F(OutputTest, PanelContinuesTheCurrentRowUntilALineBreak) {
    panelAppend("\n"); // on an empty panel: a complete empty row
    EXPECT_STREQ(outputState.panelRows[9], "\n");
    EXPECT_STREQ(outputState.panelRows[8], "");
    panelAppend("abc");
    panelAppend("def\n");
    panelAppend("ghi");
    EXPECT_STREQ(outputState.panelRows[7], "\n");
    EXPECT_STREQ(outputState.panelRows[8], "abcdef\n");
    EXPECT_STREQ(outputState.panelRows[9], "ghi");
    EXPECT_EQ(panelText(), std::string(7, '\n') + "\nabcdef\nghi\n");
    panelAppend(""); // only shows the panel again
    EXPECT_STREQ(outputState.panelRows[9], "ghi");
}

TEST_F(OutputTest, TopRowBuildsUpUntilALineBreakThenStartsAfresh) {
    output(TopRow | NoPanel | NoConsole | NoLog, "#0 In %d", 12);
    output(TopRow | NoPanel | NoConsole | NoLog, "  Out %d", 34);
    output(TopRow | NoPanel | NoConsole | NoLog, "\n");
    EXPECT_EQ(panelLines()[0], "#0 In 12  Out 34");
    output(TopRow | NoPanel | NoConsole | NoLog, "#1 In 5");
    EXPECT_EQ(panelLines()[0], "#1 In 5");
    // The top row takes at most 127 characters.
    output(TopRow | NoPanel | NoConsole | NoLog, "%s", std::string(200, 'y').c_str());
    EXPECT_EQ(panelLines()[0], "#1 In 5" + std::string(120, 'y'));
    // It scrolls away like any other row.
    for (int i = 0; i < 10; ++i)
        panelAppend("row\n");
    EXPECT_EQ(panelLines()[0], "row");
}

// ---- where texts go ----

TEST_F(OutputTest, WithoutConsoleOrLogOnlyThePanelChanges) {
    message("Call #%d Disconnected\n", 2);
    EXPECT_EQ(panelLines()[9], "Call #2 Disconnected");
    std::string before = panelText();
    output(NoPanel, "No Calls Active\n");
    EXPECT_EQ(panelText(), before);
}

TEST_F(OutputTest, FlagsChooseConsoleLogAndPanel) {
    FakeConsole console;
    attachConsole(&console);
    std::string log = file("flags.log");
    ASSERT_EQ(openLogFile(log), 0);
    EXPECT_EQ(outputState.logFileName.get(), log);
    message("A\n");
    output(NoConsole, "B\n");
    output(NoLog, "C\n");
    output(NoPanel, "D\n");
    output(NoPanel | NoLog, "> ");
    output(ToCommander, "E\n"); // no command running: like flags 0
    auto lines = panelLines();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 5, lines.end()),
              (std::vector<std::string>{"", "A", "B", "C", "E"}));
    message("%s", std::string(600, 'm').c_str());
    closeLogFile();
    const std::string cut(511, 'm'); // the formatted text is cut to 511 characters
    EXPECT_EQ(console.text(), "A\nC\nD\n> E\n" + cut);
    EXPECT_EQ(console.writeCount(), 6u);            // one write per text
    EXPECT_EQ(readFile(log), "A\nB\nD\nE\n" + cut); // exactly what was printed, nothing added

    // Opening again starts an empty log; a log that cannot be created leaves none.
    ASSERT_EQ(openLogFile(log), 0);
    message("new\n");
    closeLogFile();
    EXPECT_EQ(readFile(log), "new\n");
    EXPECT_EQ(openLogFile(dir + "/missing/dir.log"), 1);
    EXPECT_EQ(outputState.logFile, -1);
}

// Texts of different lengths, some well above one pipe write's usual chunk.
std::string bodyOf(int t, int i) {
    return std::string(static_cast<size_t>((i * 37 + t * 11) % 400), char('a' + t));
}

TEST_F(OutputTest, ConcurrentMessagesStayWholeOnTheConsoleAndTheLog) {
    // The real terminal console on a pipe, drained by a reader thread.
    int toReader[2];
    ASSERT_EQ(pipe(toReader), 0);
    int devNull = ::open("/dev/null", O_RDONLY);
    TerminalConsole console(devNull, toReader[1]);
    ASSERT_EQ(console.open(), 0);
    attachConsole(&console);
    std::string log = file("threads.log");
    ASSERT_EQ(openLogFile(log), 0);
    std::string consoleText;
    std::thread reader([&] {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(toReader[0], buf, sizeof(buf))) > 0)
            consoleText.append(buf, size_t(n));
    });
    constexpr int THREADS = 6;
    constexpr int EACH = 300;
    std::vector<std::thread> writers;
    for (int t = 0; t < THREADS; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < EACH; ++i)
                message("T%d-%03d %s\n", t, i, bodyOf(t, i).c_str());
        });
    }
    for (auto& w : writers)
        w.join();
    attachConsole(nullptr);
    console.close();
    ::close(toReader[1]);
    reader.join();
    ::close(toReader[0]);
    ::close(devNull);
    closeLogFile();

    // Every text arrives whole, once.
    for (const std::string& text : {consoleText, readFile(log)}) {
        std::set<std::string> seen;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            int t = -1, i = -1, at = 0;
            ASSERT_EQ(sscanf(line.c_str(), "T%d-%d %n", &t, &i, &at), 2) << line;
            ASSERT_EQ(line.substr(at), bodyOf(t, i)) << "mixed line: " << line;
            EXPECT_TRUE(seen.insert(line).second) << line;
        }
        EXPECT_EQ(seen.size(), static_cast<size_t>(THREADS * EACH));
    }
}

TEST_F(OutputTest, ToCommanderSendsTheTextWithoutItsLineBreakToTheCommandingLine) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    lineTable[3].sock = pair[0];
    outputState.commandSource = 3;
    output(ToCommander, "Invalid Line Number\n");
    output(ToCommander, "two\nlines");
    message("not for the line\n");
    output(0, "nor this\n");
    outputState.commandSource = -2; // a local command: nothing goes to a line
    output(ToCommander, "local\n");
    outputState.commandSource = -1;
    lineTable[3].sock = -1;
    ::shutdown(pair[0], SHUT_WR);

    std::vector<Packet> packets;
    for (Packet p; recvPacket(pair[1], p) == PACKET_BYTES;)
        packets.push_back(p);
    ::close(pair[0]);
    ::close(pair[1]);
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].type(), PKT_COMMANDREPLY);
    EXPECT_EQ(packets[0].value(), 2);
    EXPECT_STREQ(packets[0].text(), "Invalid Line Number");
    EXPECT_EQ(packets[0].payload[PAYLOAD_BYTES - 1], 0);
    EXPECT_STREQ(packets[1].text(), "two\nlines");
    EXPECT_EQ(packets[1].value(), 2);
}

// ---- opening and closing the console, Ctrl+C, the log menu item ----

TEST_F(OutputTest, OpeningTheConsoleWritesTheBannerOnlyThere) {
    FakeConsole console;
    int opens = 0, closes = 0;
    setConsoleHooks({[&]() -> Console* {
                         ++opens;
                         console.reopen();
                         return &console;
                     },
                     [&](Console* c) {
                         EXPECT_EQ(c, &console);
                         ++closes;
                         static_cast<FakeConsole*>(c)->close();
                     }});
    std::string log = file("banner.log");
    ASSERT_EQ(openLogFile(log), 0);
    std::string panelBefore = panelText();
    ASSERT_EQ(openConsole(), 0);
    EXPECT_EQ(currentConsole(), &console);
    EXPECT_EQ(console.text(), std::string(14, '\n') + "TALKCIRCLE CONSOLE  Version 1.1\n");
    EXPECT_EQ(console.screen()[14].substr(0, 32), "TALKCIRCLE CONSOLE  Version 1.1 ");
    EXPECT_EQ(panelText(), panelBefore);

    // Closed: output stops going there.
    closeConsole();
    EXPECT_EQ(currentConsole(), nullptr);
    console.clearText();
    message("while closed\n");
    EXPECT_EQ(console.text(), "");
    closeConsole(); // nothing open: nothing happens
    EXPECT_EQ(closes, 1);

    ASSERT_EQ(openConsole(), 0);
    EXPECT_EQ(opens, 2);
    EXPECT_TRUE(consoleControl(ConsoleEvent::ctrlC));
    EXPECT_TRUE(consoleControl(ConsoleEvent::ctrlBreak));
    EXPECT_FALSE(consoleControl(ConsoleEvent::close));
    EXPECT_FALSE(consoleControl(ConsoleEvent::shutdown));
    EXPECT_EQ(console.text(), std::string(14, '\n') + BANNER + "\n\n> \n> ");
    closeLogFile();
    EXPECT_EQ(readFile(log), "while closed\n\n> \n> ");
    EXPECT_EQ(panelText(), std::string(9, '\n') + "while closed\n");

    setConsoleHooks({[] { return static_cast<Console*>(nullptr); }, {}});
    closeConsole();
    EXPECT_EQ(openConsole(), 1);
}

class ScriptedDialogs : public Dialogs {
  public:
    int ask(const std::string&, const std::string&, DialogButtons,
            const std::atomic<uint8_t>*) override {
        return DIALOG_OK;
    }
    std::string saveFile(const std::string& title, const std::string& suffix) override {
        asked.push_back(title + "|" + suffix);
        return answer;
    }
    std::string answer;
    std::vector<std::string> asked;
};

TEST_F(OutputTest, ChoosingTheLogAlwaysStartsANewOneAndCancelLeavesNone) {
    ScriptedDialogs dialogs;
    setDialogs(&dialogs);
    std::string log = file("chosen.log");
    dialogs.answer = log;
    chooseLogFile();
    EXPECT_TRUE(menuChecked(MenuCheck::log));
    EXPECT_EQ(outputState.logFileName.get(), log);
    message("first\n");

    dialogs.answer = log; // the same file again: emptied
    chooseLogFile();
    message("second\n");
    EXPECT_EQ(readFile(log), "second\n");

    dialogs.answer.clear(); // cancelled
    chooseLogFile();
    EXPECT_EQ(outputState.logFile, -1);
    EXPECT_EQ(outputState.logFileName.get(), "");
    EXPECT_FALSE(menuChecked(MenuCheck::log));
    message("third\n");
    EXPECT_EQ(readFile(log), "second\n");

    dialogs.answer = dir + "/no/such/dir.log"; // cannot be created: no log, nothing printed
    chooseLogFile();
    EXPECT_EQ(outputState.logFile, -1);
    EXPECT_FALSE(menuChecked(MenuCheck::log));
    EXPECT_EQ(dialogs.asked, std::vector<std::string>(4, "LOG FILE|log"));
    setDialogs(nullptr);
}

} // namespace
} // namespace tc
