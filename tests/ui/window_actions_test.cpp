// The window's actions on the window model; the line list: its rows, their states and the
// console's status rows; the address book.
#include <arpa/inet.h>
#include <fstream>

#include "audio/audio_engine.h"
#include "calls/call_out.h"
#include "support/program_process.h"
#include "ui/ui_fixture.h"

namespace tc::test {
namespace {

using WindowActions = UiFixture;

using LineList = UiFixture;

using Rows = std::vector<std::string>;

class AddressBook : public UiFixture {
  protected:
    // Writes a book file named after its first line: the lines joined by line feeds (end with ""
    // for a last one).
    std::string book(const Rows& lines) {
        std::string path = dir.file(lines[0] + ".bk");
        std::ofstream out(path, std::ios::binary);
        for (size_t i = 0; i < lines.size(); ++i)
            out << (i ? "\n" : "") << lines[i];
        return path;
    }
    // The rows of the book shown in place of the text panel ("Ann,Bob,"), or "panel" once the
    // book is closed and the panel is back.
    std::string view() {
        if (!controlVisible(Control::addressBookList))
            return controlVisible(Control::panelWindow) && addressBookState.fd < 0 ? "panel" : "?";
        std::string rows;
        for (const std::string& row : addressRowTexts())
            rows += row + ",";
        return rows;
    }
    void open(const std::string& path) {
        settings.addressBookFile.set(path);
        pressControl(Control::addressBookButton);
    }
};

TEST_F(AddressBook, ListsLabelsUntilAnEmptyLabelAndClosesOnAnInvalidEntry) {
    open(book({"Office", "10.0.0.5", "8192", "", "Home\r", "127.0.0.1\r", "9000\r", "pw\r", "",
               "Ignored", "1.2.3.4", "1", ""}));
    EXPECT_EQ(view(), "Office,Home,") << "CR LF read as a line feed";
    setAddressSelection(1); // an ordinary entry closes the book
    pressControl(Control::addressBookButton);
    EXPECT_EQ(view(), "panel");

    // A missing port, or a last password line without its line feed, makes an invalid entry.
    for (const Rows& lines : {Rows{"One", "10.0.0.1", "1", "", "Two", "10.0.0.2", "", "", ""},
                              Rows{"One", "10.0.0.1", "1", "secret"}}) {
        open(book(lines));
        EXPECT_EQ(view(), "panel");
        EXPECT_EQ(console.take(), "Invalid Address Book Entry\n");
    }
}

TEST_F(AddressBook, MissingBooksAskForAFileAndLinksAreFollowed) {
    std::string team = book({"Ann", "10.0.0.7", "8192", "", "Bob", "10.0.0.8", "8192", "", ""});
    open(dir.file("none.bk")); // the dialog is cancelled
    EXPECT_EQ(console.take(), "Address Book Not Found\n");
    dialogs.chooseFile(team); // asked again: a picked file is listed but is not the current book
    pressControl(Control::addressBookButton);
    EXPECT_EQ(view(), "Ann,Bob,");
    EXPECT_EQ(settings.addressBookFile.get(), dir.file("none.bk"));

    // "+" lists the linked book; "++" makes it the current book, also when the link's file is
    // missing and one is picked in the dialog. With nothing selected, the button closes a book.
    std::string first = book({"+Team", team, "0", "", "++Team", team, "0", "", "++Gone",
                              dir.file("gone.bk"), "0", "", ""});
    dialogs.chooseFile(team);
    for (int row : {0, 1, 2}) {
        pressControl(Control::addressBookButton);
        open(first);
        setAddressSelection(row);
        pressControl(Control::addressBookButton);
        EXPECT_EQ(view(), "Ann,Bob,") << row;
        EXPECT_EQ(settings.addressBookFile.get(), row ? team : first) << row;
    }
}

TEST_F(AddressBook, CallFromAnEntryFillsTheFieldsAndKeepsThePassword) {
    std::string port = std::to_string(freePort()); // nothing listens there
    open(book({"Lab", "127.0.0.1", port, "", "+More", "x.bk", "0", "", ""}));
    EXPECT_EQ(callButton(), 1);
    setAddressSelection(1);
    EXPECT_EQ(callButton(), 1);
    setControlText(Control::pswdField, "kept");
    setAddressSelection(0);
    ASSERT_EQ(callButton(), 0);
    EXPECT_EQ(view(), "panel");
    // The refused call pauses 2 s before its line is given back; the fields stay for a retry.
    EXPECT_TRUE(eventually([] { return retiringThreadsRunning() == 0 && linesInUse() == 0; }));
    EXPECT_EQ(fields(), "127.0.0.1|" + port + "|kept");
    EXPECT_NE(panelText().find("Placing Call to 127.0.0.1 " + port + " [kept]"), std::string::npos);

    // Refusals are error boxes; a minus and a space queue the rest as a command.
    setControlText(Control::hostField, "");
    EXPECT_EQ(callFromFields(), 1);
    setControlText(Control::hostField, "127.0.0.1");
    setControlText(Control::portField, "");
    EXPECT_EQ(callFromFields(), 1);
    Rows boxes;
    for (const auto& q : dialogs.questions())
        boxes.push_back(q.title + ": " + q.text);
    EXPECT_EQ(boxes, (Rows{"ERROR: No Address Book Entry Selected",
                           "ERROR: Cannot Call Address Book - Click ADDRESS BOOK Button To Open",
                           "ERROR: No IP or Domain Name", "ERROR: No Port Number"}));
    setControlText(Control::hostField, "- Hold -1");
    EXPECT_EQ(callFromFields(), 0);
    EXPECT_STREQ(commandState.queue.commandBuffer, "Hold -1");
    EXPECT_EQ(fields(), "localhost|8192|");
}

TEST_F(LineList, RowsKeepTheOrderTheLinesCameUpInAndTheirSelection) {
    for (int n : {5, 2, 7})
        useLine(n);
    EXPECT_EQ(listRowLines(), (std::vector<int>{5, 2, 7, -1, -1, -1, -1, -1}));
    EXPECT_EQ(snapshotWindow().lineRows[0], "#5:   OUT  127.0.0.1                  9005  []");
    setLineRowSelected(1, true); // line 2: rewritten, it stays selected
    lineTable[2].compCode = 6;
    lineTable[2].incoming = 1;
    rowUpdate(2);
    EXPECT_EQ(snapshotWindow().lineRows[1], "#2: M IN   127.0.0.1                  9002  []");
    EXPECT_EQ(getSelectedLines(), std::vector<int>{2});
    rowUpdate(ROW_REMOVE + 2); // line 2 ends: #7 moves up
    EXPECT_EQ(listRowLines(), (std::vector<int>{5, 7, -1, -1, -1, -1, -1, -1}));
    EXPECT_TRUE(getSelectedLines().empty());
}

TEST_F(LineList, DisplayRefreshKeepsTheRowsAndStatesTrueToTheLines) {
    for (int n : {6, 4, 0, 3}) // line 0 not yet accepted
        useLine(n, true, n != 0);
    lineTable[4].active = 1;
    settings.hubMode = HUB_HUB;
    // Line 6 is given back; line 3 ends, its row removed as it does; line 2 is in use without a
    // row. A rewrite of every row gives line 2 a row, but none back to the ending line.
    lineTable[6].inUse = 0;
    lineTable[3].ending = 1;
    rowUpdate(ROW_REMOVE + 3);
    useLine(2, false);
    listDirty = 1;
    displayRefresh(0);
    EXPECT_EQ(listRowLines(), (std::vector<int>{4, 0, 2, -1, -1, -1, -1, -1}));
    EXPECT_EQ(controlText(Control::stateColumn), "ACTIVE \nWAITING\nHUB 2  ");
}

TEST_F(LineList, ConsoleStatusRowsShowTheSettingsAndEveryLineInUse) {
    settings.ownId.set("Zed");
    settings.hubMode = HUB_SERVER;
    for (int n = 0; n < MAX_LINES; ++n)
        useLine(n, false);
    lineTable[0].active = 1;
    lineTable[0].peerId.set("P");
    lineTable[0].peerAddr.set({0, htons(4000), {htonl(0x0A000105)}, {}}); // no family set
    lineTable[1].peerPort = 0; // no port told yet: the second number is the line's own
    lineTable[1].port = 8192;
    displayRefresh(0);
    auto status = console.statusRows();
    EXPECT_EQ(status[0], controlText(Control::clockLabel) + "  [Zed]  SERVER");
    EXPECT_EQ(status.at(1) + status.at(10) + status.at(11), std::string(79, '_'))
        << "a rule under the lines";
    EXPECT_EQ(status[2], "0:    OUT  ACTIVE         127.0.0.1   9000/ 4000  [P]");
    EXPECT_EQ(status[3], "1:    OUT  HUB 2          127.0.0.1      0/ 8192  []");
    settings.diagBits = 0x1000; // RawIP: the peer's address instead of its name
    displayRefresh(0);
    EXPECT_EQ(console.statusRows()[2], "0:    OUT  ACTIVE   10.0.1.5   9000/ 4000  [P]");
}

TEST_F(LineList, OverloadShowsFromFourteenWaitingCaptureBuffersOfSixteen) {
    ASSERT_EQ(allocateAudio(16), 0);
    audioState.audioOpen = 1;
    for (int done : {14, 13}) {
        for (int i = 0; i < 16; ++i)
            audioState.audioHeaders[i].flags = i < done ? WHDR_DONE : 0;
        displayRefresh(0);
        EXPECT_EQ(controlVisible(Control::overloadLabel), done == 14);
        EXPECT_EQ(console.statusRows()[0].ends_with("  SYSTEM OR NETWORK OVERLOAD"), done == 14);
    }
    resetAudioState();
}

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
    for (auto [field, text, button] : {std::tuple{Control::micGainField, "20", Control::micButton},
                                       {Control::spkGainField, "loud", Control::spkButton}}) {
        setControlText(field, text);
        pressControl(button);
    }
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
    useLine(4); // line 4 told no version: taken as older than 1.1
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
