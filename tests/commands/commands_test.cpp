// Command lines run through the interpreter: the exact console texts and the state after.
#include "commands/command_fixture.h"

#include "core/command_queue.h"

namespace tc::test {
namespace {

using Commands = CommandFixture;

TEST_F(Commands, FirstCharacterChoosesTheCommandInEitherCase) {
    useLine(2);
    for (const char* line : {"t 2", "Talk 2", "TALK 2", "Txyz 2"}) {
        lineTable[2].active = 0;
        EXPECT_EQ(run(line), "") << line;
        EXPECT_EQ(lineTable[2].active, 1) << line;
    }
    // "!" folds onto "/": the hub command.
    EXPECT_EQ(run("! S"), "Server Mode Requires Input Port\n\n");
    EXPECT_EQ(run("!h"), "Invalid Choice\n\n");
    EXPECT_EQ(run("/hub h"), "");
    EXPECT_EQ(settings.hubMode, HUB_HUB);
    EXPECT_EQ(controlText(Control::hubButton), "HUB");
}

TEST_F(Commands, UnknownCommandsPrintInvalidCommandAndABlankLine) {
    for (const char* line :
         {"Jump 2", "G", "o", "u", " Talk 2", "-Talk 2", "?", "", "\x01x", "\xc3\xa9t", ":", "`"}) {
        EXPECT_EQ(run(line), "Invalid Command\n\n") << line;
    }
    // On the command-buffer thread the texts are the same.
    EXPECT_EQ(run("", ROLE_BUFFER), "Invalid Command\n\n");
}

TEST_F(Commands, LineNumbersOutOfRangeOrFreeAreRefused) {
    useLine(1);
    useLine(3, false);
    EXPECT_EQ(run("Talk 8"), "Invalid Line Number\n\n");
    EXPECT_EQ(run("Talk 65536"), "Invalid Line Number\n\n"); // would wrap onto line 0
    EXPECT_EQ(run("Hold 5"), "Line Not In Use\n\n");
    EXPECT_EQ(run("Priv -1"), "Invalid Line Number\n\n");
    EXPECT_EQ(run("ExpReq -1"), "Invalid Line Number\n\n");
    EXPECT_EQ(run("ExpReq 8"), "Invalid Line Number\n\n");
    EXPECT_EQ(run("ExpReq 5"), "Line Not In Use\n\n");
    EXPECT_EQ(run("Drop 99999999999999"), "Invalid Line Number\n\n");
    EXPECT_EQ(lineTable[1].ending, 0);

    // -1 means all lines; a line still ringing is left alone.
    EXPECT_EQ(run("Talk -1"), "");
    EXPECT_EQ(lineTable[1].active, 1);
    EXPECT_EQ(lineTable[3].active, 0);
    EXPECT_EQ(run("Hold -7"), "");
    EXPECT_EQ(lineTable[1].active, 0);

    // A missing or non-numeric number is line 0.
    EXPECT_EQ(run("Talk"), "Line Not In Use\n\n");
    EXPECT_EQ(run("Talk x"), "Line Not In Use\n\n");

    EXPECT_EQ(run("ExpReq 1"), "\n");
    Packet p = packetFrom(1);
    EXPECT_EQ(p.type(), PKT_CONNLIST);
    EXPECT_EQ(p.value(), -1);
}

TEST_F(Commands, PrivNoneAndDrop) {
    useLine(0);
    useLine(2);
    run("All");
    EXPECT_EQ(run("Priv 2"), "");
    EXPECT_EQ(lineTable[0].active, 0);
    EXPECT_EQ(lineTable[2].active, 1);
    run("None");
    EXPECT_EQ(lineTable[2].active, 0);

    // Drop switches the automatic redial off on both sides and ends the line.
    lineTable[0].autoRetry = 1;
    EXPECT_EQ(run("d 0"), "");
    Packet p = packetFrom(0);
    EXPECT_EQ(p.type(), PKT_AUTORETRY);
    EXPECT_EQ(p.value(), 0);
    EXPECT_EQ(lineTable[0].autoRetry, 0);
    EXPECT_EQ(lineTable[0].ending, 1);
    useLine(5, false); // a negative number drops every line, ringing ones too
    EXPECT_EQ(run("Drop -3"), "");
    for (int n : {0, 2, 5}) {
        EXPECT_EQ(packetFrom(n).type(), PKT_AUTORETRY) << n;
        EXPECT_EQ(lineTable[n].ending, 1) << n;
    }
}

TEST_F(Commands, StatusPrintsTwelveRows) {
    settings.ownId.set("Alice");
    useLine(0);
    lineTable[0].active = 1;
    lineTable[0].peerName.set("bob.example");
    lineTable[0].peerId.set("Bob");
    lineTable[0].peerPort = 8192;
    lineTable[0].peerAddr.sin_port = htons(40000);
    for (const char* line : {"\n", "*"}) {
        std::string text = run(line);
        std::vector<std::string> rows;
        for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1)
            rows.push_back(text.substr(start, end - start));
        ASSERT_EQ(rows.size(), 12u) << text;
        EXPECT_NE(rows[0].find("  [Alice]"), std::string::npos);
        EXPECT_EQ(rows[1], "");
        EXPECT_EQ(rows[2], "0:    OUT  ACTIVE       bob.example   8192/40000  [Bob]");
        EXPECT_EQ(rows[3], "");
        EXPECT_EQ(rows[10], std::string(79, '_'));
        EXPECT_EQ(rows[11], "");
    }
    // For a remote requester the ten line rows go back to it; the two bottom rows do not.
    outputState.commandSource = 0;
    run("*", ROLE_BUFFER);
    outputState.commandSource = -1;
    EXPECT_NE(std::string(packetFrom(0).text()).find("  [Alice]"), std::string::npos);
    for (int r = 1; r < 10; ++r)
        EXPECT_EQ(packetFrom(0).type(), PKT_COMMANDREPLY) << r;
    EXPECT_TRUE(nothingFrom(0));
}

TEST_F(Commands, BlockAndTheMissingListeningPort) {
    EXPECT_EQ(run("Block Y"), "\n");
    EXPECT_EQ(settings.incomingMode, INCOMING_BLOCKED);
    EXPECT_EQ(controlText(Control::answerButton), "BLOCKED");
    EXPECT_EQ(controlText(Control::messageLabel), "(No Message)");
    EXPECT_EQ(run("Block x"), "Invalid Choice\n\n");
    EXPECT_EQ(run("blk n"), "\n");
    EXPECT_EQ(settings.incomingMode, INCOMING_ANSWER);
    EXPECT_EQ(controlText(Control::answerButton), "ANSWER");

    settings.incomingMode = INCOMING_NO_PORT;
    EXPECT_EQ(run("Block Y"), "Incoming Calls Disabled\n\n");
    EXPECT_EQ(run("Fwd host 1"), "Incoming Calls Disabled\n\n");
    EXPECT_EQ(settings.incomingMode, INCOMING_NO_PORT);
    EXPECT_TRUE(settings.autoMessage.empty());
}

TEST_F(Commands, ForwardAndReplyShareTheMessage) {
    EXPECT_EQ(run("Fwd relay.example 9000\n"), "");
    EXPECT_EQ(settings.incomingMode, INCOMING_FORWARD);
    EXPECT_EQ(settings.autoMessage.get(), "relay.example");
    EXPECT_EQ(settings.forwardPort.get(), "9000");
    EXPECT_EQ(controlText(Control::answerButton), "FORWARD");
    EXPECT_EQ(controlText(Control::messageLabel), "relay.example");
    EXPECT_EQ(controlText(Control::forwardPortLabel), "9000");

    EXPECT_EQ(run("Reply Gone  fishing\n"), "");
    EXPECT_EQ(settings.autoMessage.get(), "Gone  fishing");
    EXPECT_EQ(controlText(Control::messageLabel), "Gone  fishing");
    EXPECT_EQ(settings.incomingMode, INCOMING_FORWARD);

    EXPECT_EQ(run("Reply\n"), "");
    EXPECT_EQ(controlText(Control::messageLabel), "(No Message)");

    EXPECT_EQ(run("Fwd\n"), "ANSWER Mode\n");
    EXPECT_EQ(settings.incomingMode, INCOMING_ANSWER);
    EXPECT_TRUE(settings.autoMessage.empty());
    EXPECT_TRUE(settings.forwardPort.empty());
    EXPECT_EQ(controlText(Control::answerButton), "ANSWER");
    EXPECT_EQ(controlText(Control::forwardPortLabel), "");

    // Over-long words are cut where they are kept.
    std::string host(5000, 'h');
    run("Fwd " + host + " 123456789");
    EXPECT_EQ(settings.autoMessage.get(), std::string(255, 'h'));
    EXPECT_EQ(settings.forwardPort.get(), "123456");
}

TEST_F(Commands, KompWithAnOldPeerAndTheDefault) {
    useLine(0, true, 0x01000000);
    EXPECT_EQ(run("Komp 0 Y"), "0: Compression Level Not Supported By Other Party\n\n");
    EXPECT_EQ(lineTable[0].compCode, 0);
    EXPECT_TRUE(nothingFrom(0));

    // Medium is understood by an old peer.
    settings.defaultCompLevel = 6;
    EXPECT_EQ(run("k 0 y"), "");
    EXPECT_EQ(lineTable[0].compCode, 6);
    EXPECT_EQ(snapshotWindow().lineRows.at(0).substr(0, 9), "#0: M OUT");
    Packet p = packetFrom(0);
    EXPECT_EQ(p.type(), PKT_COMPRESSION);
    EXPECT_EQ(p.value(), 6);

    EXPECT_EQ(run("Komp 0 Maybe"), "Invalid Choice\n\n");
    EXPECT_EQ(run("Komp 9 N"), "Invalid Line Number\n\n");
    EXPECT_EQ(run("Komp 4 N"), "Line Not In Use\n\n");
    EXPECT_EQ(run("Komp -1 N"), "Compression Default Set To Normal\n\n");
    EXPECT_EQ(settings.defaultCompression, 0);
    EXPECT_EQ(run("Komp -1 Y"), "Compression Default Set To Compress\n\n");
    EXPECT_EQ(settings.defaultCompression, 6);
}

TEST_F(Commands, VolOnAllLinesAndOneLine) {
    EXPECT_EQ(run("Vol -1 M 3"), "");
    EXPECT_EQ(settings.masterMicGain, 0);

    useLine(1);
    EXPECT_EQ(run("Vol -1 M 3"), "");
    EXPECT_EQ(lineTable[1].micGain, 3);
    EXPECT_EQ(settings.masterMicGain, 3);
    EXPECT_EQ(run("Vol 1 S 16"), "");
    EXPECT_EQ(lineTable[1].spkGain, 16);
    EXPECT_EQ(settings.masterSpkGain, 0);
    EXPECT_EQ(run("Vol 1 M 17"), "Invalid Level\n\n");
    EXPECT_EQ(run("Vol 1 M -17"), "Invalid Level\n\n");
    EXPECT_EQ(run("Vol 1 Q 1"), "Invalid Type\n\n");
    EXPECT_EQ(run("Vol 8 M 1"), "Invalid Line Number\n\n");
    EXPECT_EQ(run("Vol 2 M 1"), "Line Not In Use\n\n");
    EXPECT_EQ(lineTable[1].micGain, 3);
}

TEST_F(Commands, SendTakesTheRestOfTheLine) {
    useLine(0);
    useLine(2);
    EXPECT_EQ(run("Send 2"), "No Message\n\n");
    EXPECT_EQ(run("Send 2\n"), "No Message\n\n");
    EXPECT_EQ(run("Send -1 hello  there\n"), "");
    for (int n : {0, 2}) {
        Packet p = packetFrom(n);
        EXPECT_EQ(p.type(), PKT_MESSAGE);
        EXPECT_STREQ(p.text(), "hello  there");
    }
    EXPECT_EQ(run("Send 5 hi"), "Line Not In Use\n\n");
    EXPECT_EQ(run("Send 8 hi"), "Invalid Line Number\n\n");
    EXPECT_EQ(run("Send 2 only two"), "");
    EXPECT_STREQ(packetFrom(2).text(), "only two");
    EXPECT_TRUE(nothingFrom(0));
}

TEST_F(Commands, MuteAndListCommands) {
    EXPECT_EQ(run("Mute Y"), "Microphone Muted\n\n");
    EXPECT_EQ(settings.micMuted, 1);
    EXPECT_EQ(controlText(Control::muteButton), "UNMUTE");
    EXPECT_EQ(run("mute n"), "Microphone Enabled\n\n");
    EXPECT_EQ(controlText(Control::muteButton), "MUTE");
    EXPECT_EQ(run("Mute"), "Invalid Choice\n\n");
    EXPECT_EQ(settings.micMuted, 0);

    EXPECT_EQ(run("ListCommands"), "");
    EXPECT_EQ(commandState.showCommandList, 0);
    run("l");
    EXPECT_EQ(commandState.showCommandList, 1);
}

TEST_F(Commands, ImSendsTypedLinesUntilTheEndOfInput) {
    useLine(0);
    useLine(4);
    EXPECT_EQ(run("IM 0", ROLE_BUFFER), "IM Mode Available From Console Only\n\n");
    EXPECT_EQ(run("IM 8"), "Invalid Line Number\n\n");
    EXPECT_EQ(run("IM 3"), "Line Not In Use\n\n");

    console.type("hello");
    console.type("");
    console.endInput();
    EXPECT_EQ(run("IM -1"), "^Z To End\n> > > IM Mode Ended\n\n");
    for (int n : {0, 4}) {
        EXPECT_STREQ(packetFrom(n).text(), "hello");
        Packet empty = packetFrom(n);
        EXPECT_EQ(empty.type(), PKT_MESSAGE);
        EXPECT_STREQ(empty.text(), "");
    }

    // The line ends while in IM mode: the mode ends at the next line.
    console.type("one");
    int readsBefore = console.reads();
    std::thread ender([this, readsBefore] {
        // Once "one" is taken and the next line is awaited, the line ends.
        console.waitReads(readsBefore + 2);
        lineTable[4].inUse = 0;
        console.type("two");
    });
    std::string text = run("IM 4");
    ender.join();
    EXPECT_EQ(text, "^Z To End\n> > Line Not In Use\n\n");
    EXPECT_STREQ(packetFrom(4).text(), "one");
    EXPECT_TRUE(nothingFrom(4));
}

TEST_F(Commands, QuitDropsEveryLine) {
    useLine(0);
    useLine(6, false);
    EXPECT_EQ(run("Quit"), "");
    EXPECT_EQ(settings.terminateMode, 2);
    for (int n : {0, 6}) {
        EXPECT_EQ(packetFrom(n).type(), PKT_AUTORETRY);
        EXPECT_EQ(lineTable[n].ending, 1);
    }
    EXPECT_FALSE(startupState.shutdownRequested);
    lineTable[0].inUse = 0;
    lineTable[6].inUse = 0;
    run("q");
    EXPECT_TRUE(startupState.shutdownRequested);
}

TEST_F(Commands, DelayPausesTheThread) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run("120"), "");
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    EXPECT_GE(ms, 120);
}

TEST_F(Commands, OverLongLinesAreSafe) {
    std::string line = "Reply " + std::string(100000, 'x') + " " + std::string(5000, 'y');
    EXPECT_EQ(run(line), "");
    EXPECT_EQ(settings.autoMessage.get(), std::string(255, 'x'));
    EXPECT_EQ(run("Vol " + std::string(3000, '9') + " M 1"), "Invalid Line Number\n\n");
    EXPECT_EQ(run("Komp -" + std::string(3000, '9') + " N"),
              "Compression Default Set To Normal\n\n");
}

} // namespace
} // namespace tc::test
