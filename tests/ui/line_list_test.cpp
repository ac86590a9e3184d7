#include <arpa/inet.h>

#include "audio/audio_engine.h"
#include "core/status_rows.h"
#include "ui/ui_fixture.h"

namespace tc::test {
namespace {

// Keeps the status rows the display refresh draws.
class StatusConsole : public ScriptConsole {
  public:
    void setStatusRows(const std::vector<std::string>& rows) override {
        std::lock_guard lock(mutex_);
        rows_ = rows;
    }
    std::vector<std::string> rows() const {
        std::lock_guard lock(mutex_);
        return rows_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> rows_;
};

class LineList : public UiFixture {
  protected:
    void SetUp() override {
        UiFixture::SetUp();
        attachConsole(&status);
    }
    void TearDown() override {
        resetAudioState();
        UiFixture::TearDown();
    }
    std::vector<std::string> rows() { return snapshotWindow().lineRows; }
    void namePeer(int n, const char* name, int port, const char* id) {
        lineTable[n].peerName.set(name);
        lineTable[n].peerPort = port;
        lineTable[n].peerId.set(id);
    }

    StatusConsole status;
};

std::vector<int> lines(std::initializer_list<int> used) {
    std::vector<int> all(used);
    all.resize(8, -1);
    return all;
}

TEST_F(LineList, RowsKeepTheOrderTheLinesCameUpIn) {
    for (int n : {5, 2, 7}) {
        useLine(n);
        namePeer(n, "127.0.0.1", 9000 + n, "Peer");
        rowUpdate(n);
    }
    EXPECT_EQ(listRowLines(), lines({5, 2, 7}));
    EXPECT_EQ(rows(),
              (std::vector<std::string>{"#5:   OUT  127.0.0.1                  9005  [Peer]",
                                        "#2:   OUT  127.0.0.1                  9002  [Peer]",
                                        "#7:   OUT  127.0.0.1                  9007  [Peer]"}));

    // Row 1 names line 2, for the selection and the line buttons; rewritten, it stays selected.
    setLineRowSelected(1, true);
    namePeer(2, "example.org", 8192, "Dana");
    lineTable[2].compCode = 6;
    lineTable[2].incoming = 1;
    rowUpdate(2);
    EXPECT_EQ(rows()[1], "#2: M IN   example.org                8192  [Dana]");
    EXPECT_EQ(getSelectedLines(), std::vector<int>{2});
    pressControl(Control::dropButton);
    EXPECT_NE(lineTable[2].ending, 0);
    EXPECT_EQ(lineTable[5].ending + lineTable[7].ending, 0);

    // Line 2 ends: #7 moves up to row 1; removing it again changes nothing.
    rowUpdate(ROW_REMOVE + 2);
    rowUpdate(ROW_REMOVE + 2);
    EXPECT_EQ(listRowLines(), lines({5, 7}));
    EXPECT_EQ(rows()[1].rfind("#7: ", 0), 0u);
    EXPECT_TRUE(getSelectedLines().empty());
}

TEST_F(LineList, StateColumnFollowsTheLinesAndTheHubMode) {
    useLine(0, false);
    useLine(4);
    useLine(6);
    lineTable[4].active = 1;
    for (int n : {0, 4, 6})
        rowUpdate(n);
    EXPECT_EQ(controlText(Control::stateColumn), "WAITING\nACTIVE \nHOLDING");
    settings.hubMode = HUB_HUB;
    displayDirty = 1;
    stateColumnRefresh();
    EXPECT_EQ(controlText(Control::stateColumn), "WAITING\nACTIVE \nHUB 2  ");
    // Nothing is rebuilt while nothing said so.
    settings.hubMode = HUB_P2P;
    stateColumnRefresh();
    EXPECT_EQ(controlText(Control::stateColumn), "WAITING\nACTIVE \nHUB 2  ");
}

TEST_F(LineList, DisplayRefreshKeepsTheRowsTrueToTheLines) {
    useLine(6);
    namePeer(6, "10.9.8.7", 8192, "Erin");
    rowUpdate(6);
    useLine(1, false); // still connecting: its row comes with its row update
    displayRefresh(0);
    EXPECT_EQ(listRowLines(), lines({6}));
    EXPECT_FALSE(controlText(Control::clockLabel).empty());
    rowUpdate(1);
    EXPECT_EQ(controlText(Control::stateColumn), "HOLDING\nWAITING");

    // The peer's ID changes and line 1 is given back without a removal.
    setLineRowSelected(0, true);
    lineTable[6].peerId.set("Erin2");
    lineTable[1].inUse = 0;
    displayRefresh(0);
    EXPECT_EQ(listRowLines(), lines({6}));
    EXPECT_EQ(rows()[0], "#6:   OUT  10.9.8.7                   8192  [Erin2]");
    EXPECT_TRUE(lineRowIsSelected(0));
    EXPECT_EQ(controlText(Control::stateColumn), "HOLDING");

    // A line whose row was removed as it ends keeps no row while it is still in use.
    useLine(3);
    rowUpdate(3);
    lineTable[3].ending = 1;
    rowUpdate(ROW_REMOVE + 3);
    listDirty = 1;
    displayRefresh(0);
    EXPECT_EQ(listRowLines(), lines({6}));
    EXPECT_EQ(listDirty, 0);

    // A rewrite of every row gives a row to a line in use that lacks one.
    useLine(2);
    listDirty = 1;
    displayRefresh(1); // any other flag leaves everything alone
    EXPECT_EQ(listRowLines(), lines({6}));
    displayRefresh(0);
    EXPECT_EQ(listRowLines(), lines({6, 2}));
}

TEST_F(LineList, ConsoleStatusRows) {
    settings.ownId.set("Zed");
    settings.hubMode = HUB_SERVER;
    settings.incomingMode = INCOMING_BLOCKED;
    settings.defaultCompression = 15;
    settings.autoMessage.set("away");
    settings.forwardPort.set("81");
    for (int n = 0; n < 8; ++n) {
        useLine(n, n != 3);
        namePeer(n, "127.0.0.1", 9000 + n, "P");
    }
    lineTable[0].active = 1;
    lineTable[0].peerAddr.sin_port = htons(4000);
    lineTable[1].peerPort = 0;
    lineTable[1].port = 8192;
    displayRefresh(0);
    auto shown = status.rows();
    ASSERT_EQ(shown.size(), 12u);
    std::string clock = controlText(Control::clockLabel);
    EXPECT_EQ(shown[0], clock + "  [Zed]  SERVER  BLOCKED  COMPRESSED  [away 81]");
    EXPECT_EQ(shown[1], "");
    EXPECT_EQ(shown[2], "0:    OUT  ACTIVE         127.0.0.1   9000/ 4000  [P]");
    EXPECT_EQ(shown[3], "1:    OUT  HUB 2          127.0.0.1      0/ 8192  [P]");
    EXPECT_EQ(shown[5].substr(0, 20), "3:    OUT  WAITING  ");
    EXPECT_EQ(shown[9].substr(0, 20), "7:    OUT  HUB 2    ");
    EXPECT_EQ(shown[10], std::string(79, '_'));
    EXPECT_EQ(shown[11], "");
    EXPECT_EQ(statusRows(dateAndTime(), audioOverloaded())[2], shown[2]) << "the Status command's rows";

    // RawIP shows the peer's address instead of its name.
    settings.diagBits = 0x1000;
    lineTable[0].peerAddr.sin_addr.s_addr = htonl(0x0A000105);
    EXPECT_EQ(statusRows(dateAndTime(), audioOverloaded())[2], "0:    OUT  ACTIVE   10.0.1.5   9000/ 4000  [P]");
}

TEST_F(LineList, OverloadIndicatorFollowsTheWaitingCaptureBuffers) {
    ASSERT_EQ(allocateAudio(16), 0);
    audioState.audioOpen = 1;
    auto markDone = [](int count) {
        for (int i = 0; i < 16; ++i)
            audioState.audioHeaders[i].flags = i < count ? WHDR_DONE : 0;
    };
    markDone(14);
    displayRefresh(0);
    EXPECT_TRUE(controlVisible(Control::overloadLabel));
    EXPECT_EQ(controlText(Control::overloadLabel), "SYSTEM or\nNETWORK\nOVERLOAD");
    std::string top = status.rows().at(0);
    const std::string tail = "  SYSTEM OR NETWORK OVERLOAD";
    ASSERT_GE(top.size(), tail.size());
    EXPECT_EQ(top.substr(top.size() - tail.size()), tail);

    markDone(13);
    displayRefresh(0);
    EXPECT_FALSE(controlVisible(Control::overloadLabel));
    EXPECT_EQ(status.rows().at(0).find("OVERLOAD"), std::string::npos);
}

} // namespace
} // namespace tc::test
