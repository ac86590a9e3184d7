#include <algorithm>

#include "commands/command_thread.h"
#include "ui/ui_fixture.h"

namespace tc::test {
namespace {

using WindowActions = UiFixture;

void fillFields(const char* host, const char* port, const char* pswd) {
    setControlText(Control::hostField, host);
    setControlText(Control::portField, port);
    setControlText(Control::pswdField, pswd);
}

// The three fields as "host|port|password".
std::string fields() {
    return controlText(Control::hostField) + "|" + controlText(Control::portField) + "|" +
           controlText(Control::pswdField);
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

    setLineRowSelected(0, false);
    lineListKey('E');
    Packet p = packetFrom(6);
    EXPECT_EQ(p.type(), PKT_CONNLIST);
    EXPECT_EQ(p.value(), -1);
    EXPECT_TRUE(nothingFrom(3));
}

TEST_F(WindowActions, LineButtonsAndKeysActOnTheSelectedRows) {
    lineWithRow(1);
    lineWithRow(4);
    lineTable[1].active = 1;
    lineTable[4].active = 1;

    pressControl(Control::privateButton);
    EXPECT_EQ(console.take(), "No Line Selected\n");
    EXPECT_EQ(lineTable[1].active + lineTable[4].active, 2);

    selectRow(1); // line 4
    pressControl(Control::privateButton);
    EXPECT_EQ(lineTable[1].active, 0);
    EXPECT_EQ(lineTable[4].active, 1);

    // "T" acts like TALK, "I" like INV PRIV; "S", "C" and "F" select, clear and flip.
    lineListKey('C');
    selectRow(0);
    lineListKey('T');
    EXPECT_EQ(lineTable[1].active, 1);
    lineListKey('I');
    EXPECT_EQ(lineTable[1].active, 0);
    EXPECT_EQ(lineTable[4].active, 1);
    lineListKey('F');
    EXPECT_EQ(getSelectedLines(), std::vector<int>{4});
    lineListKey('S');
    EXPECT_EQ(getSelectedLines(), (std::vector<int>{1, 4}));
    // B, G, J, L, O and keys outside A to T do nothing.
    for (char key : {'B', 'G', 'J', 'L', 'O', 'U', 'Z', '1'})
        lineListKey(key);
    EXPECT_EQ(getSelectedLines(), (std::vector<int>{1, 4}));
    EXPECT_EQ(console.take(), "");

    // DROP ends the selected line only and tells its peer not to redial.
    lineListKey('C');
    selectRow(0);
    settings.dnsUpdateActive = 1;
    pressControl(Control::dropButton);
    EXPECT_EQ(settings.dnsUpdateActive, 0);
    EXPECT_NE(lineTable[1].ending, 0);
    EXPECT_EQ(lineTable[4].ending, 0);
    Packet p = packetFrom(1);
    EXPECT_EQ(p.type(), PKT_AUTORETRY);
    EXPECT_EQ(p.value(), 0);
}

TEST_F(WindowActions, GainsCheckTheRangeAndFollowTheSelection) {
    lineWithRow(2);
    lineWithRow(5);
    settings.masterMicGain = 3;
    setControlText(Control::micGainField, "20");
    pressControl(Control::micButton);
    setControlText(Control::spkGainField, "loud");
    pressControl(Control::spkButton);
    EXPECT_EQ(console.take(), "Invalid Microphone Gain\nInvalid Speaker Gain\n");
    EXPECT_EQ(field(Control::micGainField), "3");
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
    EXPECT_TRUE(std::all_of(std::begin(lineTable), std::end(lineTable),
                            [](const LineRecord& r) { return r.spkGain == 15; }));
    EXPECT_EQ(settings.masterSpkGain, 15);
    EXPECT_EQ(field(Control::spkGainField), "15");
}

TEST_F(WindowActions, HubAndIncomingModeCycles) {
    pressControl(Control::hubButton);
    EXPECT_EQ(field(Control::hubButton), "HUB");
    displayDirty = 0;
    pressControl(Control::hubButton); // no port: no SERVER
    EXPECT_EQ(console.take(), "Server Mode Requires Input Port\n");
    EXPECT_EQ(settings.hubMode, HUB_P2P);
    EXPECT_EQ(field(Control::hubButton), "P to P");
    EXPECT_EQ(displayDirty, 1);
    settings.listenPort = 9000;
    pressControl(Control::hubButton);
    pressControl(Control::hubButton);
    EXPECT_EQ(field(Control::hubButton), "SERVER");
    pressControl(Control::hubButton);
    EXPECT_EQ(settings.hubMode, HUB_P2P);

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

    // A forwarding host without a port: refused in words, the label keeps the host.
    fillFields("10.1.2.3", "", "");
    pressControl(Control::autoMsgButton);
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
    EXPECT_EQ(packetFrom(2).value(), 0);

    clearLineRowSelection();
    selectRow(1);
    pressControl(Control::compButton);
    EXPECT_EQ(console.take(), "4: Compression Level Not Supported By Other Party\n");
    EXPECT_TRUE(nothingFrom(4));

    // No selection: the default for new calls. The level items only move the level.
    clearLineRowSelection();
    pressControl(Control::compButton);
    EXPECT_EQ(settings.defaultCompression, 15);
    pressControl(Control::compButton);
    menuCommand(MENU_LOW_COMPRESSION);
    EXPECT_TRUE(menuChecked(MenuCheck::lowCompression));
    menuCommand(MENU_MEDIUM_COMPRESSION);
    EXPECT_FALSE(menuChecked(MenuCheck::lowCompression));
    EXPECT_TRUE(menuChecked(MenuCheck::mediumCompression));
    menuCommand(MENU_HIGH_COMPRESSION);
    EXPECT_TRUE(menuChecked(MenuCheck::highCompression));
    EXPECT_EQ(settings.defaultCompression, 0);
    EXPECT_EQ(console.take(), "Compression Default Set To Compress\n"
                              "Compression Default Set To Normal\n"
                              "Default Compression Level Set To Low\n"
                              "Default Compression Level Set To Medium\n"
                              "Default Compression Level Set To High\n");
}

TEST_F(WindowActions, SetStartupShowsOrStoresTheValue) {
    Store store;
    std::string value;
    setControlText(Control::hostField, "?");
    menuCommand(MENU_SET_STARTUP);
    EXPECT_EQ(console.take(), "Cannot Retrieve Old Startup String\n");
    EXPECT_EQ(store.readValue(STORE_STARTUP, value), 1) << "\"?\" stores nothing";

    setControlText(Control::hostField, "/H");
    menuCommand(MENU_SET_STARTUP);
    EXPECT_EQ(console.take(), "Cannot Retrieve Old Startup String\n"
                              "Startup Changed From: []  To: [/H]\n");
    EXPECT_EQ(field(Control::hostField), "");
    setControlText(Control::hostField, "?");
    menuCommand(MENU_SET_STARTUP);
    EXPECT_EQ(console.take(), "Current Startup: [/H]\n");

    // An empty field stores an empty text.
    menuCommand(MENU_SET_STARTUP);
    EXPECT_EQ(console.take(), "Startup Changed From: [/H]  To: []\n");
    ASSERT_EQ(store.readValue(STORE_STARTUP, value), 0);
    EXPECT_EQ(value, "");
}

TEST_F(WindowActions, FieldsAreResetOrClearedUnlessNoErase) {
    settings.diagBits = DIAG_NO_ERASE;
    fillFields("hello there", "7000", "Carol");
    pressControl(Control::autoMsgButton);
    pressControl(Control::setIdButton);
    menuCommand(MENU_SET_STARTUP);
    menuCommand(MENU_EXECUTE);
    EXPECT_EQ(fields(), "hello there|7000|Carol");
    EXPECT_EQ(settings.autoMessage.get(), "hello there");
    EXPECT_EQ(settings.forwardPort.get(), "7000");
    EXPECT_EQ(field(Control::forwardPortLabel), "7000");
    EXPECT_EQ(field(Control::idLabel), "Carol");

    // Without the bit each action resets or clears its own fields only.
    settings.diagBits = 0;
    resetCommandState();
    outputState.commandSource = -1;
    settings.defaultCallPassword.set("dflt");
    pressControl(Control::autoMsgButton);
    EXPECT_EQ(fields(), "localhost|8192|Carol");
    pressControl(Control::setIdButton);
    EXPECT_EQ(fields(), "localhost|8192|dflt");
    fillFields("Hold -1", "7000", "");
    pressControl(Control::setIdButton);
    EXPECT_EQ(field(Control::idLabel), "(No ID)");

    // Tools, Execute queues the host field as a command and clears it.
    menuCommand(MENU_EXECUTE);
    {
        std::lock_guard lock(commandState.mutex);
        EXPECT_STREQ(commandState.queue.commandBuffer, "Hold -1");
        EXPECT_EQ(commandState.queue.commandCount, 1);
    }
    EXPECT_EQ(outputState.commandSource, -2);
    EXPECT_EQ(fields(), "|7000|dflt");
}

TEST_F(WindowActions, SendMessageAndAutoRetryNeedSelectedLines) {
    lineWithRow(1);
    lineWithRow(3);
    lineTable[3].active = 1;
    setControlText(Control::hostField, "");
    pressControl(Control::sendMessageButton);
    setControlText(Control::hostField, "see you at five");
    pressControl(Control::sendMessageButton);
    lineListKey('R');
    EXPECT_EQ(console.take(), "No Message\nNo Line Selected\nNo Line Selected\n");
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

    // Auto retry marks the talking lines among the selected ones.
    lineListKey('S');
    menuCommand(MENU_SET_RETRY);
    EXPECT_EQ(console.take(), "Auto Retry Set\n");
    EXPECT_EQ(lineTable[3].autoRetry, 1);
    EXPECT_EQ(lineTable[1].autoRetry, 0);
}

TEST_F(WindowActions, MuteQuitKillAndTheWindowState) {
    pressControl(Control::muteButton);
    EXPECT_EQ(field(Control::muteButton), "UNMUTE");
    EXPECT_EQ(settings.micMuted, 1);
    lineListKey('M');
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

    // Hide/Minimize minimises without /I, hides with it; the tray icon shows and hides.
    setWindowShown(true);
    menuCommand(MENU_HIDE_MINIMIZE);
    EXPECT_TRUE(snapshotWindow().minimized);
    settings.trayIcon = 1;
    setWindowShown(true);
    menuCommand(MENU_HIDE_MINIMIZE);
    menuCommand(MENU_HIDE_MINIMIZE); // hidden already: nothing
    EXPECT_FALSE(snapshotWindow().windowShown);
    EXPECT_EQ(settings.trayIcon, 2);
    trayClick();
    EXPECT_TRUE(snapshotWindow().windowShown);
    EXPECT_EQ(settings.trayIcon, 1);
    trayClick();
    EXPECT_EQ(settings.trayIcon, 2);

    // A desktop without a tray: a window meant to start hidden is shown minimised, and
    // Hide/Minimize minimises instead of hiding it where nothing could bring it back.
    setWindowMinimized(false);
    trayAvailable = false;
    noSystemTray();
    EXPECT_EQ(settings.trayIcon, 1);
    EXPECT_TRUE(snapshotWindow().windowShown);
    EXPECT_TRUE(snapshotWindow().minimized);
    setWindowMinimized(false);
    menuCommand(MENU_HIDE_MINIMIZE);
    EXPECT_TRUE(snapshotWindow().windowShown);
    EXPECT_TRUE(snapshotWindow().minimized);
    trayAvailable = true;
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
