// Command lines run through the interpreter: the exact console texts, the window texts and
// what reaches the peers; the window's lineOp codes; the maintenance commands' settings and
// stored values.
#include "commands/command_fixture.h"

#include <sstream>

#include "commands/line_ops.h"

namespace tc::test {
namespace {

using Commands = CommandFixture;

// The maintenance commands X, Y, Z, "+" and "&" in one sequence: each command with exactly what it
// prints. '"' folds onto "+" and "#" onto "&".
TEST_F(Commands, MaintenanceCommandsPrintTheirTexts) {
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

TEST_F(Commands, ZSendsTheScreenToALine) {
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

// Run with lines 1 and 2 (accepted) and 3 (ringing) in use and no listening port. "Talk 65536"
// must not wrap onto line 0 (free, so it would print "Line Not In Use"); "Talk x" is line 0;
// "!" selects the hub command as "/" does.
TEST_F(Commands, RefusalsPrintTheirTextAndChangeNothing) {
    const std::pair<const char*, std::vector<const char*>> cases[] = {
        {"Invalid Command", {"Jump 2", " Talk 2", "-Talk 2", "?", "\x01x", "`", "", "\xc3\xa9t"}},
        {"Invalid Line Number",
         {"Talk 8", "Talk 65536", "Drop 99999999999999", "Priv -1", "ExpReq -1", "ExpReq 8",
          "Komp 9 N", "Vol 8 M 1", "Send 8 hi", "IM 8", "Z 8", "Z -1"}},
        {"Line Not In Use",
         {"Hold 5", "Talk x", "ExpReq 5", "Komp 4 N", "Vol 6 M 1", "Send 5 hi", "IM 5", "Z 4"}},
        {"Invalid Choice", {"!h", "Mute", "Komp 0 Maybe"}},
        {"Server Mode Requires Input Port", {"! S"}},
        {"Incoming Calls Disabled", {"Block Y", "Fwd host 1"}},
        {"Invalid Level", {"Vol 1 M 17", "Vol 1 M -17"}},
        {"Invalid Type", {"Vol 1 Q 1"}},
        {"No Message", {"Send 2", "Send 1\n"}},
        {"2: Compression Level Not Supported By Other Party", {"Komp 2 Y"}}};
    useLine({1});
    useLine({2}, true, 0x01000000); // a peer older than High compression
    useLine({3}, false);
    settings.incomingMode = INCOMING_NO_PORT;
    for (const auto& [printed, lines] : cases)
        for (const char* line : lines)
            EXPECT_EQ(run(line), printed + std::string("\n\n")) << line;
    EXPECT_EQ(run("IM 1", ROLE_BUFFER), "IM Mode Available From Console Only\n\n");
    // No window text but the panel (the refusals themselves), no message.
    EXPECT_EQ(texts.size() + settings.autoMessage.get().size(), texts.count(WindowText::panel));
    EXPECT_EQ(lineTable[1].ending + lineTable[1].active + lineTable[1].micGain, 0);
    EXPECT_EQ(sent(1, 50) + sent(2, 50) + sent(3, 50), "");
}

// Commands and the window's lineOp codes (INV, PRIV: no line number) on lines 0 and 1 and the
// ringing line 3, which is left alone; lines 1 and 3 are selected in the window's list. Each
// step is a command line (printing nothing) or a code (returning 0), then the active flags of
// lines 0, 1 and 3 as digits.
TEST_F(Commands, TalkHoldPrivNoneInvVolAndLineOpCodes) {
    useLine({0, 1});
    useLine({3}, false);
    // Refusals printed through the output flags carried in the code.
    for (int32_t code :
         {LINEOP_TALK, lineOpCode(5, 0, LINEOP_HOLD), lineOpCode(5, NoConsole, LINEOP_DROP),
          lineOpCode(-1, NoConsole, LINEOP_HOLD_ALL | LINEOP_TALK)})
        EXPECT_EQ(lineOp(code), 1) << code;
    EXPECT_EQ(console.take(), "No Line Selected\nLine Not In Use\n");
    windowHooks.selectedLines = [] { return std::vector<int>{1, 3}; };
    const int32_t inv = LINEOP_TALK_ALL + LINEOP_HOLD, priv = LINEOP_HOLD_ALL + LINEOP_TALK;
    const std::tuple<const char*, int32_t, int> steps[] = {
        {"t -1", 0, 110},  {"HOLD -7", 0, 0}, {"Txyz 1", 0, 10}, {"All", 0, 110},
        {"Priv 1", 0, 10}, {"None", 0, 0},    {"", inv, 100},    {"", priv, 10}};
    for (auto [line, code, want] : steps) {
        SCOPED_TRACE(std::string(line) + std::to_string(code));
        EXPECT_EQ(code ? lineOp(code) : int(run(line).size()), 0);
        EXPECT_EQ(lineTable[0].active * 100 + lineTable[1].active * 10 + lineTable[3].active, want);
    }
    EXPECT_EQ(run("Vol -1 M 3"), "");
    EXPECT_EQ(lineTable[0].micGain + lineTable[1].micGain + settings.masterMicGain, 9);
}

// Drop switches the redial off on both sides; a negative number drops ringing lines too. IM
// sends typed lines until the end of input; Quit drops every line, and ends the program once
// they have ended.
TEST_F(Commands, WhatReachesThePeersImAndQuitInTwoPhases) {
    useLine({0, 2});
    useLine({5}, false);
    lineTable[0].autoRetry = 1;
    // A typed line longer than a message holds goes out whole in several, cut between characters.
    const std::string a(252, 'a'), b(300, 'b');
    console.pushLine(a + "é" + b);
    console.pushEndOfInput();
    EXPECT_EQ(run("IM 2"), "^Z To End\n> > IM Mode Ended\n\n");
    for (const std::string& piece : {a, "é" + b.substr(49), b.substr(251)})
        EXPECT_EQ(sent(2), packet(PKT_MESSAGE, 0, piece));
    console.pushLine("hello");
    console.pushEndOfInput();
    const std::tuple<const char*, const char*, std::string_view, std::string> cases[] = {
        {"IM -1", "^Z To End\n> > IM Mode Ended\n\n", "025", packet(PKT_MESSAGE, 0, "hello")},
        {"Send -1 hello  there\n", "", "025", packet(PKT_MESSAGE, 0, "hello  there")},
        {"Send 2 only two", "", "2", packet(PKT_MESSAGE, 0, "only two")},
        {"ExpReq 2", "\n", "2", packet(PKT_CONNLIST, -1)},
        {"d 0", "", "0", packet(PKT_AUTORETRY, 0)},
        {"Drop -3", "", "025", packet(PKT_AUTORETRY, 0)}};
    for (const auto& [line, printed, to, expected] : cases) {
        EXPECT_EQ(run(line), printed) << line;
        for (char n : to) // a packet to another line shows up in place of a later one
            EXPECT_EQ(sent(n - '0'), expected) << line << " to " << n;
    }
    EXPECT_EQ(lineTable[0].autoRetry * 10 + lineTable[5].ending, 1);
    auto delay = std::async(std::launch::async, [] { runCommand("600000", ROLE_CONSOLE); });
    EXPECT_EQ(run("Quit"), "");
    EXPECT_EQ(delay.wait_for(std::chrono::seconds(5)), std::future_status::ready); // Delay ended
    EXPECT_EQ(sent(0) + sent(5), packet(PKT_AUTORETRY, 0) + packet(PKT_AUTORETRY, 0));
    EXPECT_EQ(settings.terminateMode * 10 + startupState.shutdownRequested, 20);
    lineTable[0].inUse = lineTable[2].inUse = lineTable[5].inUse = 0;
    run("q");
    EXPECT_TRUE(startupState.shutdownRequested);
}

// Twelve rows printed; the two bottom rows are not sent.
TEST_F(Commands, StatusSendsTenRowsToARemoteRequester) {
    useLine({0});
    outputState.commandSource = 0;
    std::istringstream printed(run("*", ROLE_BUFFER));
    int r = 0;
    for (std::string row; std::getline(printed, row); ++r)
        EXPECT_EQ(sent(0, r < 10 ? 3000 : 50), r < 10 ? packet(PKT_COMMANDREPLY, 2, row) : "") << r;
    EXPECT_EQ(r, 12);
}

// Texts the commands write in the window, through the window hooks.
TEST_F(Commands, CommandsWriteTheWindowTexts) {
    const std::tuple<const char*, WindowText, const char*> steps[] = {
        {"Block Y", WindowText::messageLabel, "(No Message)"},
        {"Fwd relay 9000\n", WindowText::answerButton, "FORWARD"},
        {"Mute Y", WindowText::muteButton, "UNMUTE"},
        {"/hub h", WindowText::hubButton, "HUB"}};
    for (auto [line, which, text] : steps)
        EXPECT_EQ((run(line), texts[which]), text) << line;
}

} // namespace
} // namespace tc::test
