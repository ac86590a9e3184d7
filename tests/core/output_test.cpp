#include "core/output.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <thread>

#include "core/settings.h"
#include "core/window_hooks.h"
#include "support/fake_console.h"
#include "support/fake_dialogs.h"
#include "support/temp_dir.h"

namespace tc {
namespace {

// The panel text for these rows at the bottom, empty rows above them.
std::string rows(std::vector<std::string> shown) {
    std::string text(PANEL_ROWS - shown.size(), '\n');
    for (const std::string& row : shown)
        text += row + "\n";
    return text;
}

class OutputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetOutput();
        attachConsole(&console);
        // Messages from several threads show the panel at once, as in the window model.
        windowHooks.setText = [this](WindowText which, const std::string& text) {
            std::lock_guard lock(panelMutex);
            if (which == WindowText::panel) shownPanel = text;
        };
    }
    void TearDown() override {
        closeLogFile();
        resetOutput();
        setConsoleHooks({});
        setDialogs(nullptr);
        resetWindowHooks();
    }
    FakeConsole console;
    test::TempDir dir;
    std::mutex panelMutex;
    std::string shownPanel;
};

TEST_F(OutputTest, PanelRowsCarryOverScrollAndTakeATopRow) {
    const std::string x75(75, 'x'), y75(75, 'y'), nine(9, '\n');
    // Each step goes to the panel, or to the top row when it starts with '^'.
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        // Nothing is lost at the row ends: 200 characters make rows of 75, 75 and 50.
        {{std::string(200, 'x')}, rows({x75, x75, std::string(50, 'x')})},
        // 75 characters and a line break are one complete row, not one plus an empty row.
        {{y75 + "\nz"}, rows({y75, "z"})},
        {{"abc", "def\n", "ghi"}, rows({"abcdef", "ghi"})},
        {{"a\nb\nc\nd\ne\nf\ng\nh\ni\nj\nk\n"},
         rows({"b", "c", "d", "e", "f", "g", "h", "i", "j", "k"})},
        // The top row builds up until a line break, then starts afresh; it holds 127 characters.
        {{"^#0 In 12", "^  Out 34", "^\n"}, "#0 In 12  Out 34\n" + nine},
        {{"^#0\n", "^#1 In 5", "^" + std::string(200, 'y')},
         "#1 In 5" + std::string(120, 'y') + "\n" + nine},
    };
    for (auto& [steps, shown] : cases) {
        resetOutput();
        for (const std::string& step : steps) {
            const bool top = step[0] == '^';
            output((top ? TopRow | NoPanel : 0) | NoConsole | NoLog, "%s", step.c_str() + top);
        }
        EXPECT_EQ(panelText(), shown) << steps[0];
        EXPECT_EQ(shownPanel, shown);
    }
}

TEST_F(OutputTest, FlagsRouteEachTextOnceCutTo511AndTheBannerOnlyToTheConsole) {
    test::FakeDialogs dialogs;
    setDialogs(&dialogs);
    dialogs.chooseFile(dir.file("flags.log"));
    chooseLogFile();
    struct stat logStat {};
    ASSERT_EQ(::stat(dir.file("flags.log").c_str(), &logStat), 0);
    EXPECT_EQ(logStat.st_mode & 0777, 0600u) << "the log records passwords";
    // A console opened through the hooks starts with the banner, which only it gets.
    setConsoleHooks({[this]() -> Console* { return &console; }, [](Console*) {}});
    closeConsole();
    ASSERT_EQ(openConsole(), 0);
    message("A\n");
    output(NoConsole, "B\n");
    output(NoLog, "C\n");
    output(NoPanel, "D\n");
    output(NoPanel | NoLog, "> ");
    output(ToCommander, "E\n");                        // no command running: like flags 0
    EXPECT_TRUE(consoleControl(ConsoleEvent::ctrlC));  // a fresh prompt, not on the panel
    EXPECT_FALSE(consoleControl(ConsoleEvent::close)); // the caller ends the program
    EXPECT_EQ(panelText(), rows({"A", "B", "C", "E"}));
    message("%s", std::string(600, 'm').c_str());
    dialogs.chooseFile(""); // choosing again, cancelled: no log from now on
    chooseLogFile();
    EXPECT_EQ(outputState.logFile, -1);
    const std::string cut(511, 'm');
    EXPECT_EQ(console.text(), std::string(14, '\n') + BANNER + "\nA\nC\nD\n> E\n\n> " + cut);
    EXPECT_EQ(console.writeCount(), 9u); // one write per text
    EXPECT_EQ(test::TempDir::read(dir.file("flags.log")),
              "A\nB\nD\nE\n\n> " + cut);                    // nothing added
    EXPECT_EQ(openLogFile(dir.file("no/such/dir.log")), 1); // cannot be created: none
    EXPECT_EQ(outputState.logFile, -1);
    closeConsole();
    setConsoleHooks({[] { return static_cast<Console*>(nullptr); }, {}});
    EXPECT_EQ(openConsole(), 1);
}

TEST_F(OutputTest, ConcurrentMessagesStayWholeOnTheConsoleAndTheLog) {
    ASSERT_EQ(openLogFile(dir.file("threads.log")), 0);
    std::vector<std::string> expected; // 4 threads x 100 texts of up to 400 characters
    for (int i = 0; i < 400; ++i)
        expected.push_back(std::to_string(i) + std::string(size_t(i * 37 % 400), 'a'));
    std::vector<std::jthread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([t, &expected] {
            for (size_t i = size_t(t); i < 400; i += 4)
                message("%s\n", expected[i].c_str());
        });
    writers.clear(); // joins them
    std::sort(expected.begin(), expected.end());
    for (const std::string& text : {console.text(), test::TempDir::read(dir.file("threads.log"))}) {
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        std::sort(lines.begin(), lines.end());
        EXPECT_EQ(lines, expected); // every text whole and once
    }
}

// A console that takes nothing while the test holds its gate, as a pipe nobody reads.
struct StuckConsole : FakeConsole {
    std::mutex gate;
    void write(std::string_view text) override {
        std::lock_guard lock(gate);
        FakeConsole::write(text);
    }
};

TEST_F(OutputTest, ConsoleThatDoesNotKeepUpLosesLaterMessagesOnlyThereAndIsToldHowMany) {
    StuckConsole stuck;
    stuck.gate.lock();
    attachConsole(&stuck);
    ASSERT_EQ(openLogFile(dir.file("all.log")), 0);
    ASSERT_EQ(startConsoleWriter(), 0);
    std::string all;
    for (int i = 0; i < 400; ++i) {
        message("m%d\n", i);
        all += "m" + std::to_string(i) + "\n";
    }
    EXPECT_EQ(test::TempDir::read(dir.file("all.log")), all) << "the log has each one at once";
    stuck.gate.unlock();
    ASSERT_TRUE(stuck.waitForText("messages not shown]\n", 3000));
    message("after\n");
    ASSERT_TRUE(stopConsoleWriter(3000));
    // The first ones in order, one write each, then the count of the rest once it drained.
    std::string text = stuck.text();
    size_t notice = text.find('[');
    ASSERT_NE(notice, std::string::npos) << text;
    auto shown = size_t(std::count(text.begin(), text.begin() + long(notice), '\n'));
    EXPECT_GE(shown, 256u);
    EXPECT_EQ(text.substr(0, notice), all.substr(0, notice));
    EXPECT_EQ(text.substr(notice),
              "[" + std::to_string(400 - shown) + " messages not shown]\nafter\n");
    EXPECT_EQ(stuck.writeCount(), shown + 2);
}

} // namespace
} // namespace tc
