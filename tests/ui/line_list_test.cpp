#include <arpa/inet.h>

#include "audio/audio_engine.h"
#include "ui/ui_fixture.h"

namespace tc::test {
namespace {

using LineList = UiFixture;

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
    sockaddr_in address{};
    address.sin_port = htons(4000);
    address.sin_addr.s_addr = htonl(0x0A000105);
    lineTable[0].peerAddr.set(address);
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

} // namespace
} // namespace tc::test
