#include "calls/call_out.h"
#include "ui/ui_fixture.h"

namespace tc::test {
namespace {

using WindowActions = UiFixture;

TEST_F(WindowActions, LineActionsAndGainsNeedSelectedRowsAndActOnThoseOnly) {
    useLine(1);
    useLine(4);
    lineTable[4].active = 1;
    setControlText(Control::hostField, "see you");
    pressControl(Control::sendMessageButton);
    for (char key : {'E', 'R', 'D'}) // export, auto retry, drop
        lineListKey(key);
    selectAllLineRows();
    lineListKey('E');
    menuCommand(MENU_SET_RETRY); // marks the talking lines among the selected ones
    EXPECT_EQ(lineTable[1].autoRetry + 10 * lineTable[4].autoRetry, 10);
    EXPECT_EQ(console.take(), "No Line Selected\nNo Line Selected\nNo Line Selected\n"
                              "No Line Selected\nOnly One Request at a Time\nAuto Retry Set\n");
    setLineRowSelected(0, false); // row 1, line 4 alone
    lineListKey('E');
    EXPECT_TRUE(sent(4, PKT_CONNLIST, -1));
    pressControl(Control::sendMessageButton);
    EXPECT_TRUE(sent(4, PKT_MESSAGE, 0, "see you"));
    EXPECT_TRUE(sent(1, 0, 0)) << "nothing to line 1";

    // PRIV; "T" acts like TALK, "I" like INV PRIV; "C", "S" and "F" clear, select and flip; keys
    // outside A to T and those without an action do nothing: "D" then has no line to drop.
    lineTable[1].active = 1;
    pressControl(Control::privateButton);
    for (char key : {'C', 'T', 'I', 'S', 'F', 'B', 'G', 'J', 'L', 'O', 'U', 'Z', '1', 'D'}) {
        EXPECT_EQ(lineTable[1].active + 10 * lineTable[4].active, key == 'I' ? 11 : 10) << key;
        lineListKey(key);
        if (key == 'C') setLineRowSelected(0, true);
    }
    EXPECT_EQ(console.take(), "Message From ME:  see you\nNo Line Selected\n");

    // Gains: checked against the range; with a row selected for that line only (the field
    // shows the master again), with none for every line record and the master.
    setControlText(Control::micGainField, "20");
    pressControl(Control::micButton);
    setControlText(Control::spkGainField, "loud");
    pressControl(Control::spkButton);
    EXPECT_EQ(console.take(), "Invalid Microphone Gain\nInvalid Speaker Gain\n");
    setLineRowSelected(1, true);
    setControlText(Control::micGainField, "-7");
    pressControl(Control::micButton);
    EXPECT_EQ(lineTable[1].micGain + lineTable[4].micGain + settings.masterMicGain, -7);
    EXPECT_EQ(controlText(Control::micGainField), "0");
    clearLineRowSelection();
    setControlText(Control::spkGainField, "15");
    pressControl(Control::spkButton);
    EXPECT_EQ(lineTable[0].spkGain + lineTable[7].spkGain + settings.masterSpkGain, 45);
}

TEST_F(WindowActions, HubAndAnswerButtonsCycleWithTheirRefusals) {
    // Listen port, the button, then its text, the message label and the console's words.
    const std::tuple<int, Control, std::string> presses[] = {
        {0, Control::answerButton, "BLOCKED|(No Message)|"},
        {0, Control::answerButton, "FORWARD|(No IP)|Cannot Forward Without IP and Port\n"},
        {0, Control::answerButton, "ANSWER||"},
        {0, Control::hubButton, "HUB||"},
        {0, Control::hubButton, "P to P||Server Mode Requires Input Port\n"},
        {9000, Control::hubButton, "HUB||"},
        {9000, Control::hubButton, "SERVER||"},
        {9000, Control::hubButton, "P to P||"},
    };
    for (const auto& [port, button, after] : presses) {
        settings.listenPort = port;
        pressControl(button);
        EXPECT_EQ(controlText(button) + "|" + controlText(Control::messageLabel) + "|" +
                      console.take(),
                  after);
    }
    settings.incomingMode = INCOMING_NO_PORT;
    pressControl(Control::answerButton);
    EXPECT_EQ(console.take(), "ANSWER Mode Disabled (No Input Port)\n");
}

TEST_F(WindowActions, CompressionSwitchesALineToTheDefaultLevelThenOff) {
    useLine(2);
    useLine(4); // no version told: taken as older than 1.1
    lineTable[2].peerVersion = 0x01010000;
    settings.defaultCompLevel = 15;
    setLineRowSelected(0, true);
    for (int code : {15, 0}) {
        pressControl(Control::compButton);
        EXPECT_TRUE(lineTable[2].compCode == code && sent(2, PKT_COMPRESSION, code)) << code;
    }
    EXPECT_EQ(listDirty, 1) << "the rows show the compression";
    flipLineRowSelection();
    pressControl(Control::compButton);
    EXPECT_TRUE(sent(4, 0, 0));
    clearLineRowSelection(); // none: the default for new calls
    pressControl(Control::compButton);
    menuCommand(MENU_LOW_COMPRESSION);
    EXPECT_TRUE(menuChecked(MenuCheck::lowCompression));
    EXPECT_EQ(console.take(), "4: Compression Level Not Supported By Other Party\n"
                              "Compression Default Set To Compress\n"
                              "Default Compression Level Set To Low\n");
}

TEST_F(WindowActions, FieldsAreResetOrClearedUnlessNoErase) {
    settings.diagBits = DIAG_NO_ERASE;
    setControlText(Control::hostField, "hello");
    setControlText(Control::portField, "7000");
    setControlText(Control::pswdField, "Carol");
    pressControl(Control::autoMsgButton);
    pressControl(Control::setIdButton);
    menuCommand(MENU_SET_STARTUP);
    EXPECT_EQ(fields(), "hello|7000|Carol");
    // Without the bit each action resets or clears its own fields only.
    settings.diagBits = 0;
    settings.defaultCallPassword.set("dflt");
    pressControl(Control::autoMsgButton);
    EXPECT_EQ(fields(), "localhost|8192|Carol");
    pressControl(Control::setIdButton);
    EXPECT_EQ(fields(), "localhost|8192|dflt");
    setControlText(Control::hostField, "?");
    menuCommand(MENU_SET_STARTUP);
    EXPECT_EQ(fields(), "|8192|dflt");
    EXPECT_EQ(console.take(), "Cannot Retrieve Old Startup String\n"
                              "Startup Changed From: []  To: [hello]\nCurrent Startup: [hello]\n");
}

TEST_F(WindowActions, QuitAsksFirstAndWithoutATrayTheWindowIsMinimisedNotHidden) {
    useLine(2);
    for (int yes : {0, 1}) { // quitting: mode 2 and the line ending
        dialogs.answer(yes ? DIALOG_YES : DIALOG_NO);
        lineListKey('Q');
        EXPECT_EQ(settings.terminateMode + (lineTable[2].ending != 0), 3 * yes);
    }
    EXPECT_EQ(dialogs.questions().at(1).text, "Are you sure you want to quit?");
    // A window meant to start hidden (/I) is shown minimised, and Hide/Minimize minimises it
    // instead of hiding it where nothing could bring it back.
    settings.trayIcon = 2;
    trayAvailable = false;
    noSystemTray();
    setWindowMinimized(false);
    menuCommand(MENU_HIDE_MINIMIZE);
    EXPECT_TRUE(snapshotWindow().windowShown && snapshotWindow().minimized);
}

// DROP on a call whose callee stopped reading, its send thread waiting in a full socket: the line
// ends within 6 seconds (the stuck send alone would take longer) and the callee sees it close.
TEST_F(WindowActions, DropEndsACallWhosePeerStoppedReading) {
    ScriptedPeer mute;
    ASSERT_EQ(placeCall("127.0.0.1", mute.listen(), "", 0), 0);
    ASSERT_TRUE(mute.accept() && eventually([] { return listRowLines()[0] == 0; }));
    ASSERT_TRUE(eventually([] { // blocks for the send thread until it waits in a full socket
        static const char fill[PACKET_BYTES] = {};
        LineRecord& r = lineTable[0];
        if (!r.sendLock.try_lock()) return true;
        while (::send(r.sock, fill, sizeof fill, MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
        }
        r.sendLock.unlock();
        if (!r.txReady.exchange(1)) txEvent[0].set();
        return false;
    }));
    setLineRowSelected(0, true);
    pressControl(Control::dropButton);
    EXPECT_TRUE(eventually([] { return linesInUse() == 0; }, 6000));
    EXPECT_TRUE(mute.waitClosed());
}

} // namespace
} // namespace tc::test
