// The maintenance commands X, Y, Z, "+" and "&": texts printed, settings and stored values.
#include "commands/command_fixture.h"

namespace tc::test {
namespace {

using Maintenance = CommandFixture;

// One sequence: each command with exactly what it prints. '"' folds onto "+" and "#" onto "&".
TEST_F(Maintenance, CommandsPrintTheirTexts) {
    int menuRefreshes = 0;
    windowHooks.refreshMenuChecks = [&] { ++menuRefreshes; };
    store("http://u.invalid/x", "old");
    const std::pair<std::string, std::string> steps[] = {
        {"X 9 5", "Values: 0 8 8 0 10 8 0 [15]\n\n"},
        {"X 0 1", "diag: 0 -> 1\nValues: 1 8 8 0 10 8 0 [15]\n\n"},
        {"x 1 4", "low : 8 -> 4\nValues: 1 4 8 0 10 8 0 [15]\n\n"},
        {"X 4 0", "minsleep: 10 -> 1\nValues: 1 4 8 0 1 8 0 [15]\n\n"}, // kept within 1 to 32
        {"X 4 2147483647", "minsleep: 1 -> 32\nValues: 1 4 8 0 32 8 0 [15]\n\n"},
        {"X 4 20", "minsleep: 32 -> 20\nValues: 1 4 8 0 20 8 0 [15]\n\n"},
        {"X 5", "dump: 8 -> 0\nValues: 1 4 8 0 20 0 0 [15]\n\n"},
        {"X 6 6", "cp: 0 -> 6\nComp Level: 15 -> 6\nValues: 1 4 8 0 20 0 6 [6]\n\n"},
        {"X 6 5", "Invalid Comp Code\n"},
        {"Y   spaced   out\n", ""},
        {"+ ?\n", "Cannot Retrieve Old Startup String\nStartup:  []\n\n"},
        {"+ -Call host 8192\n", "Cannot Retrieve Old Startup String\n"
                                "Startup Changed From: []  To: [-Call host 8192]\n\n"},
        {"\" ?", "Startup:  [-Call host 8192]\n\n"},
        {"+ " + std::string(300, 'a'), "Cannot Set Startup\n\n"},
        {"+ ?", "Startup:  [-Call host 8192]\n\n"},
        {"& ?\n", "DNS Update URL:  [http://u.invalid/x]\nDNS Name:        [old]\n\n"},
        {"& -\n", "DNS Name Missing\n\n"},
        {"# - me.invalid\n", "DNS Update URL Changed From: [http://u.invalid/x]  To: []\n"
                             "DNS Name Changed From: [old]  To: [me.invalid]\n\n"},
        {"& ?", "DNS Update URL:  []\nDNS Name:        [me.invalid]\n\n"}};
    for (const auto& [command, printed] : steps)
        EXPECT_EQ(run(command), printed) << command;
    EXPECT_EQ(menuRefreshes, 1); // the new compression level's check mark
    EXPECT_EQ(settings.callPassword.get() + settings.dnsName.get(), "spaced   outme.invalid");
    // A store whose folder cannot be made: its name is taken by the store file written above.
    setStorePath(dir.file("conf/talkcircle.conf/talkcircle.conf"));
    EXPECT_EQ(run("+ ?") + run("& - -"),
              "Cannot Create Registry Key\n\nCannot Create Registry Key\n\n");
}

TEST_F(Maintenance, ZSendsTheScreenToALine) {
    // What was written makes the screen: "hidden" lands on row 48, which is not sent.
    console.write("hello\n" + std::string(CONSOLE_COLUMNS, '*') + std::string(47, '\n') + "hidden");
    useLine({3});
    EXPECT_EQ(run("Z 3"), "");
    // 48 rows, each sent after a "\r"; blank ones as 20 spaces.
    std::vector<std::string> rows(CONSOLE_ROWS - 2, "\r" + std::string(20, ' '));
    rows[0] = "\rhello" + std::string(15, ' ');
    rows[1] = "\r" + std::string(CONSOLE_COLUMNS, '*');
    for (const std::string& row : rows)
        EXPECT_EQ(sent(3), packet(PKT_MESSAGE, 0, row));
    EXPECT_EQ(sent(3, 50), "");
    ::shutdown(lineTable[3].sock, SHUT_WR); // a send that fails ends the dump
    EXPECT_EQ(run("Z 3"), "Dump Failed\n");
}

} // namespace
} // namespace tc::test
