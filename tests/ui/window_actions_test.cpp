#include <algorithm>
#include <fstream>
#include <sstream>

#include "commands/command_thread.h"
#include "ui/ui_fixture.h"

namespace tc::test {
namespace {

using WindowActions = UiFixture;

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST_F(WindowActions, ExportRequestNeedsExactlyOneSelectedRow) {
    lineWithRow(3);
    lineWithRow(6);

    lineListKey('E');
    EXPECT_EQ(console.take(), "No Line Selected\n");

    selectRow(0);
    selectRow(1);
    lineListKey('e');
    EXPECT_EQ(console.take(), "Only One Request at a Time\n");
    EXPECT_TRUE(nothingFrom(3));
    EXPECT_TRUE(nothingFrom(6));

    setLineRowSelected(0, false);
    lineListKey('E');
    Packet p = packetFrom(6);
    EXPECT_EQ(p.type(), PKT_CONNLIST);
    EXPECT_EQ(p.value(), -1);
    EXPECT_TRUE(nothingFrom(3));
}

TEST_F(WindowActions, LineButtonsActOnTheSelectedRows) {
    lineWithRow(1);
    lineWithRow(4);
    lineTable[1].active = 1;
    lineTable[4].active = 1;

    pressControl(Control::privateButton);
    EXPECT_EQ(console.take(), "No Line Selected\n");
    EXPECT_EQ(lineTable[1].active, 1);
    EXPECT_EQ(lineTable[4].active, 1);

    selectRow(1); // line 4
    pressControl(Control::privateButton);
    EXPECT_EQ(lineTable[1].active, 0);
    EXPECT_EQ(lineTable[4].active, 1);

    // "T" with a row selected acts like TALK, "I" like INV PRIV.
    clearLineRowSelection();
    selectRow(0);
    lineListKey('T');
    EXPECT_EQ(lineTable[1].active, 1);
    lineListKey('I');
    EXPECT_EQ(lineTable[1].active, 0);
    EXPECT_EQ(lineTable[4].active, 1);

    // DROP ends the selected line only and tells its peer not to redial.
    settings.dnsUpdateActive = 1;
    pressControl(Control::dropButton);
    EXPECT_EQ(settings.dnsUpdateActive, 0);
    EXPECT_NE(lineTable[1].ending, 0);
    EXPECT_EQ(lineTable[4].ending, 0);
    Packet p = packetFrom(1);
    EXPECT_EQ(p.type(), PKT_AUTORETRY);
    EXPECT_EQ(p.value(), 0);
}

TEST_F(WindowActions, SelectionKeysSelectClearAndFlipEveryRow) {
    lineWithRow(0);
    lineWithRow(2);
    lineWithRow(5);
    lineListKey('S');
    EXPECT_EQ(getSelectedLines(), (std::vector<int>{0, 2, 5}));
    lineListKey('C');
    EXPECT_TRUE(getSelectedLines().empty());
    selectRow(1);
    lineListKey('F');
    EXPECT_EQ(getSelectedLines(), (std::vector<int>{0, 5}));
    // Letters outside A to T, and B, G, J, L, O, do nothing.
    for (char key : {'B', 'G', 'J', 'L', 'O', 'U', 'Z', '1'})
        lineListKey(key);
    EXPECT_EQ(getSelectedLines(), (std::vector<int>{0, 5}));
    EXPECT_EQ(console.take(), "");
}

TEST_F(WindowActions, GainsCheckTheRangeAndFollowTheSelection) {
    lineWithRow(2);
    lineWithRow(5);
    settings.masterMicGain = 3;

    setControlText(Control::micGainField, "20");
    pressControl(Control::micButton);
    EXPECT_EQ(console.take(), "Invalid Microphone Gain\n");
    EXPECT_EQ(field(Control::micGainField), "3");

    setControlText(Control::spkGainField, "loud");
    pressControl(Control::spkButton);
    EXPECT_EQ(console.take(), "Invalid Speaker Gain\n");
    EXPECT_EQ(field(Control::spkGainField), "0");

    // One row selected: that line only; the field shows the unchanged master again.
    selectRow(1);
    setControlText(Control::micGainField, "-7");
    pressControl(Control::micButton);
    EXPECT_EQ(lineTable[5].micGain, -7);
    EXPECT_EQ(lineTable[2].micGain, 0);
    EXPECT_EQ(settings.masterMicGain, 3);
    EXPECT_EQ(field(Control::micGainField), "3");

    // No selection: every line record and the master.
    clearLineRowSelection();
    setControlText(Control::spkGainField, "15");
    pressControl(Control::spkButton);
    for (auto& r : lineTable)
        EXPECT_EQ(r.spkGain, 15);
    EXPECT_EQ(settings.masterSpkGain, 15);
    EXPECT_EQ(field(Control::spkGainField), "15");
    EXPECT_EQ(console.take(), "");
}

TEST_F(WindowActions, HubCycleSkipsServerWithoutAPort) {
    pressControl(Control::hubButton);
    EXPECT_EQ(settings.hubMode, HUB_HUB);
    EXPECT_EQ(field(Control::hubButton), "HUB");
    displayDirty = 0;
    pressControl(Control::hubButton);
    EXPECT_EQ(console.take(), "Server Mode Requires Input Port\n");
    EXPECT_EQ(settings.hubMode, HUB_P2P);
    EXPECT_EQ(field(Control::hubButton), "P to P");
    EXPECT_EQ(displayDirty, 1);

    settings.listenPort = 9000;
    pressControl(Control::hubButton);
    pressControl(Control::hubButton);
    EXPECT_EQ(field(Control::hubButton), "SERVER");
    pressControl(Control::hubButton);
    EXPECT_EQ(field(Control::hubButton), "P to P");
    EXPECT_EQ(console.take(), "");
}

TEST_F(WindowActions, IncomingModeCycle) {
    settings.incomingMode = INCOMING_NO_PORT;
    pressControl(Control::answerButton);
    EXPECT_EQ(console.take(), "ANSWER Mode Disabled (No Input Port)\n");
    EXPECT_EQ(settings.incomingMode, INCOMING_NO_PORT);

    settings.incomingMode = INCOMING_ANSWER;
    pressControl(Control::answerButton);
    EXPECT_EQ(field(Control::answerButton), "BLOCKED");
    EXPECT_EQ(field(Control::messageLabel), "(No Message)");
    pressControl(Control::answerButton);
    EXPECT_EQ(console.take(), "Cannot Forward Without IP and Port\n");
    EXPECT_EQ(settings.incomingMode, INCOMING_FORWARD);
    EXPECT_EQ(field(Control::answerButton), "FORWARD");
    EXPECT_EQ(field(Control::messageLabel), "(No IP)");
    pressControl(Control::answerButton);
    EXPECT_EQ(field(Control::answerButton), "ANSWER");
    EXPECT_EQ(field(Control::messageLabel), "");

    // With a host but no port the mode is refused in words only; the label keeps the host.
    setControlText(Control::hostField, "10.1.2.3");
    setControlText(Control::portField, "");
    pressControl(Control::autoMsgButton);
    EXPECT_EQ(field(Control::messageLabel), "10.1.2.3");
    pressControl(Control::answerButton);
    pressControl(Control::answerButton);
    EXPECT_EQ(console.take(), "Cannot Forward Without IP and Port\n");
    EXPECT_EQ(field(Control::messageLabel), "10.1.2.3");
}

TEST_F(WindowActions, CompressionSwitchesALineToTheDefaultLevelThenOff) {
    lineWithRow(2);
    lineWithRow(4, true, 0x01000000); // a peer older than 1.1
    lineTable[2].compCode = 6;
    settings.defaultCompLevel = 15;
    selectRow(0);
    pressControl(Control::compButton);
    EXPECT_EQ(lineTable[2].compCode, 15);
    Packet p = packetFrom(2);
    EXPECT_EQ(p.type(), PKT_COMPRESSION);
    EXPECT_EQ(p.value(), 15);
    EXPECT_EQ(listDirty, 1);
    pressControl(Control::compButton);
    EXPECT_EQ(lineTable[2].compCode, 0);
    EXPECT_EQ(packetFrom(2).value(), 0);

    clearLineRowSelection();
    selectRow(1);
    pressControl(Control::compButton);
    EXPECT_EQ(console.take(), "4: Compression Level Not Supported By Other Party\n");
    EXPECT_TRUE(nothingFrom(4));
    EXPECT_EQ(lineTable[4].compCode, 0);

    // No selection: the default for new calls.
    clearLineRowSelection();
    pressControl(Control::compButton);
    EXPECT_EQ(settings.defaultCompression, 15);
    pressControl(Control::compButton);
    EXPECT_EQ(settings.defaultCompression, 0);
    EXPECT_EQ(console.take(),
              "Compression Default Set To Compress\nCompression Default Set To Normal\n");
}

TEST_F(WindowActions, SetStartupShowsOrStoresTheValue) {
    Store store;
    setControlText(Control::hostField, "?");
    menuCommand(MENU_SET_STARTUP);
    EXPECT_EQ(console.take(), "Cannot Retrieve Old Startup String\n");
    std::string value;
    EXPECT_EQ(store.readValue(STORE_STARTUP, value), 1);

    setControlText(Control::hostField, "/H \"-Call 127.0.0.1 9000\"");
    menuCommand(MENU_SET_STARTUP);
    EXPECT_EQ(console.take(), "Cannot Retrieve Old Startup String\n"
                              "Startup Changed From: []  To: [/H \"-Call 127.0.0.1 9000\"]\n");
    EXPECT_EQ(field(Control::hostField), "");

    setControlText(Control::hostField, "?");
    menuCommand(MENU_SET_STARTUP);
    EXPECT_EQ(console.take(), "Current Startup: [/H \"-Call 127.0.0.1 9000\"]\n");
    ASSERT_EQ(store.readValue(STORE_STARTUP, value), 0);
    EXPECT_EQ(value, "/H \"-Call 127.0.0.1 9000\"");
    EXPECT_NE(fileText(store.path()).find("Startup=/H"), std::string::npos);

    // An empty field stores an empty text.
    setControlText(Control::hostField, "");
    menuCommand(MENU_SET_STARTUP);
    EXPECT_EQ(console.take(), "Startup Changed From: [/H \"-Call 127.0.0.1 9000\"]  To: []\n");
    ASSERT_EQ(store.readValue(STORE_STARTUP, value), 0);
    EXPECT_EQ(value, "");
}

TEST_F(WindowActions, NoEraseKeepsEveryField) {
    auto fill = [] {
        setControlText(Control::hostField, "hello there");
        setControlText(Control::portField, "7000");
        setControlText(Control::pswdField, "Carol");
    };
    settings.diagBits = DIAG_NO_ERASE;
    fill();
    pressControl(Control::autoMsgButton);
    pressControl(Control::setIdButton);
    menuCommand(MENU_SET_STARTUP);
    menuCommand(MENU_EXECUTE);
    EXPECT_EQ(field(Control::hostField), "hello there");
    EXPECT_EQ(field(Control::portField), "7000");
    EXPECT_EQ(field(Control::pswdField), "Carol");
    EXPECT_EQ(settings.autoMessage.get(), "hello there");
    EXPECT_EQ(settings.forwardPort.get(), "7000");
    EXPECT_EQ(settings.ownId.get(), "Carol");
    EXPECT_EQ(field(Control::idLabel), "Carol");

    // Without the bit each action resets or clears its own fields only.
    settings.diagBits = 0;
    resetCommandState();
    outputState.commandSource = -1;
    settings.defaultCallPassword.set("dflt");
    fill();
    pressControl(Control::autoMsgButton);
    EXPECT_EQ(field(Control::hostField), "localhost");
    EXPECT_EQ(field(Control::portField), "8192");
    EXPECT_EQ(field(Control::pswdField), "Carol");
    pressControl(Control::setIdButton);
    EXPECT_EQ(field(Control::pswdField), "dflt");
    fill();
    menuCommand(MENU_EXECUTE);
    EXPECT_EQ(field(Control::hostField), "");
    EXPECT_EQ(field(Control::portField), "7000");

    // An empty ID shows as "(No ID)".
    setControlText(Control::pswdField, "");
    pressControl(Control::setIdButton);
    EXPECT_EQ(field(Control::idLabel), "(No ID)");
}

TEST_F(WindowActions, ExecuteQueuesTheHostFieldAsACommand) {
    setControlText(Control::hostField, "Hold -1");
    menuCommand(MENU_EXECUTE);
    {
        std::lock_guard lock(commandState.mutex);
        EXPECT_STREQ(commandState.queue.commandBuffer, "Hold -1");
        EXPECT_EQ(commandState.queue.commandCount, 1);
    }
    EXPECT_EQ(outputState.commandSource, -2);
    EXPECT_EQ(field(Control::hostField), "");
}

TEST_F(WindowActions, SendMessageGoesToTheSelectedLines) {
    lineWithRow(1);
    lineWithRow(3);
    setControlText(Control::hostField, "");
    pressControl(Control::sendMessageButton);
    EXPECT_EQ(console.take(), "No Message\n");
    setControlText(Control::hostField, "see you at five");
    pressControl(Control::sendMessageButton);
    EXPECT_EQ(console.take(), "No Line Selected\n");
    EXPECT_EQ(field(Control::hostField), "see you at five");

    selectRow(1);
    pressControl(Control::sendMessageButton);
    EXPECT_EQ(console.take(), "Message From ME:  see you at five\n");
    Packet p = packetFrom(3);
    EXPECT_EQ(p.type(), PKT_MESSAGE);
    EXPECT_EQ(p.value(), 0);
    EXPECT_STREQ(p.text(), "see you at five");
    EXPECT_TRUE(nothingFrom(1));
    EXPECT_EQ(field(Control::hostField), "localhost");
}

TEST_F(WindowActions, AutoRetryMarksTalkingLinesOnly) {
    lineWithRow(0);
    lineWithRow(1);
    lineTable[0].active = 1;
    lineTable[1].active = 0;
    lineListKey('R');
    EXPECT_EQ(console.take(), "No Line Selected\n");
    lineListKey('S');
    menuCommand(MENU_SET_RETRY);
    EXPECT_EQ(console.take(), "Auto Retry Set\n");
    EXPECT_EQ(lineTable[0].autoRetry, 1);
    EXPECT_EQ(lineTable[1].autoRetry, 0);
}

TEST_F(WindowActions, MuteQuitAndKill) {
    pressControl(Control::muteButton);
    EXPECT_EQ(settings.micMuted, 1);
    EXPECT_EQ(field(Control::muteButton), "UNMUTE");
    lineListKey('M');
    EXPECT_EQ(settings.micMuted, 0);
    EXPECT_EQ(field(Control::muteButton), "MUTE");
    EXPECT_EQ(console.take(), "Microphone Muted\nMicrophone Enabled\n");

    lineWithRow(2);
    menuCommand(MENU_KILL);
    EXPECT_TRUE(snapshotWindow().killRequested);
    EXPECT_EQ(lineTable[2].ending, 0);

    // "Q" asks first; No leaves everything.
    dialogs.answer(DIALOG_NO);
    lineListKey('Q');
    ASSERT_EQ(dialogs.questions().size(), 1u);
    EXPECT_EQ(dialogs.questions()[0].title, "QUIT");
    EXPECT_EQ(dialogs.questions()[0].text, "Are you sure you want to quit?");
    EXPECT_EQ(dialogs.questions()[0].buttons, DialogButtons::yesNo);
    EXPECT_EQ(settings.terminateMode, 0);
    EXPECT_EQ(lineTable[2].ending, 0);
    dialogs.answer(DIALOG_YES);
    lineListKey('Q');
    EXPECT_EQ(settings.terminateMode, 2);
    EXPECT_NE(lineTable[2].ending, 0);
}

TEST_F(WindowActions, HideMinimizeAndTrayClicks) {
    setWindowShown(true);
    settings.trayIcon = 0;
    menuCommand(MENU_HIDE_MINIMIZE);
    EXPECT_TRUE(snapshotWindow().minimized);
    EXPECT_EQ(settings.trayIcon, 0);

    settings.trayIcon = 1;
    setWindowShown(true);
    menuCommand(MENU_HIDE_MINIMIZE);
    EXPECT_FALSE(snapshotWindow().windowShown);
    EXPECT_EQ(settings.trayIcon, 2);
    menuCommand(MENU_HIDE_MINIMIZE); // hidden already: nothing
    EXPECT_EQ(settings.trayIcon, 2);
    trayClick();
    EXPECT_TRUE(snapshotWindow().windowShown);
    EXPECT_EQ(settings.trayIcon, 1);
    trayClick();
    EXPECT_FALSE(snapshotWindow().windowShown);
    EXPECT_EQ(settings.trayIcon, 2);
}

TEST_F(WindowActions, CompressionLevelMenuItemsMoveTheCheckMark) {
    menuCommand(MENU_LOW_COMPRESSION);
    EXPECT_TRUE(menuChecked(MenuCheck::lowCompression));
    EXPECT_FALSE(menuChecked(MenuCheck::highCompression));
    menuCommand(MENU_MEDIUM_COMPRESSION);
    EXPECT_TRUE(menuChecked(MenuCheck::mediumCompression));
    EXPECT_FALSE(menuChecked(MenuCheck::lowCompression));
    menuCommand(MENU_HIGH_COMPRESSION);
    EXPECT_TRUE(menuChecked(MenuCheck::highCompression));
    EXPECT_EQ(settings.defaultCompLevel, 15);
    EXPECT_EQ(settings.defaultCompression, 0); // the items never switch compression on
    EXPECT_EQ(console.take(), "Default Compression Level Set To Low\n"
                              "Default Compression Level Set To Medium\n"
                              "Default Compression Level Set To High\n");
}

TEST_F(WindowActions, HelpVersionAndTheWindowEventTrace) {
    menuCommand(MENU_HELP);
    ASSERT_EQ(dialogs.questions().size(), 1u);
    const auto help = dialogs.questions()[0];
    EXPECT_EQ(help.title, "HELP");
    EXPECT_EQ(help.buttons, DialogButtons::ok);
    EXPECT_EQ(help.text.rfind("P to P allows point to point communication\nHUB sets up", 0), 0u);
    EXPECT_NE(help.text.find("NO PORT indicates incoming calls not available\n\nTALK (T)"),
              std::string::npos);
    EXPECT_EQ(std::count(help.text.begin(), help.text.end(), '\n'), 33);
    EXPECT_NE(help.text.back(), '\n');

    menuCommand(MENU_VERSION);
    EXPECT_EQ(console.take(), "TALKCIRCLE CONSOLE  Version 1.1\n");

    // The trace goes to the console but not to the panel.
    settings.diagBits = DIAG_WIN_MSG;
    menuCommand(MENU_VERSION);
    lineListKey('c');
    EXPECT_EQ(console.take(), "00000001 00000111 0000800c 00000000\n"
                              "TALKCIRCLE CONSOLE  Version 1.1\n"
                              "00000001 0000002e 00000043 00000000\n");
    EXPECT_EQ(panelText().find("00000111"), std::string::npos);
}

} // namespace
} // namespace tc::test
