// The maintenance commands X, Y, Z, "+" and "&": texts printed, settings and stored values.
#include "commands/command_fixture.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/store.h"

namespace tc::test {
namespace {

class Maintenance : public CommandFixture {
  protected:
    void SetUp() override {
        CommandFixture::SetUp();
        char pattern[] = "/tmp/tc_maint_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        setStorePath(dir + "/conf/talkcircle.conf");
    }
    void TearDown() override {
        setStorePath("");
        std::filesystem::remove_all(dir);
        CommandFixture::TearDown();
    }
    std::string stored(const char* name) {
        std::string value;
        if (Store().readValue(name, value) != 0) return "<missing>";
        return value;
    }

    std::string dir;
};

TEST_F(Maintenance, XShowsAndSetsEachValue) {
    const std::pair<const char*, const char*> steps[] = {
        {"X", "Values: 0 8 8 0 10 8 0 [15]\n\n"},
        {"X 9 5", "Values: 0 8 8 0 10 8 0 [15]\n\n"},
        {"X abc", "Values: 0 8 8 0 10 8 0 [15]\n\n"},
        {"X 0 1", "diag: 0 -> 1\nValues: 1 8 8 0 10 8 0 [15]\n\n"},
        {"x 1 4", "low : 8 -> 4\nValues: 1 4 8 0 10 8 0 [15]\n\n"},
        {"X 2 12", "low2: 8 -> 12\nValues: 1 4 12 0 10 8 0 [15]\n\n"},
        {"X 3 -2", "lowd: 0 -> -2\nValues: 1 4 12 -2 10 8 0 [15]\n\n"},
        {"X 4 20", "minsleep: 10 -> 20\nValues: 1 4 12 -2 20 8 0 [15]\n\n"},
        {"X 5", "dump: 8 -> 0\nValues: 1 4 12 -2 20 0 0 [15]\n\n"},
        {"X 6 6", "cp: 0 -> 6\nComp Level: 15 -> 6\nValues: 1 4 12 -2 20 0 6 [6]\n\n"},
        {"X 6 0", "cp: 6 -> 0\nValues: 1 4 12 -2 20 0 0 [6]\n\n"},
        {"X 6 5", "Invalid Comp Code\n"},
        {"X 6 -3", "Invalid Comp Code\n"},
    };
    for (auto [command, printed] : steps)
        EXPECT_EQ(run(command), printed) << command;
    EXPECT_TRUE(menuChecked(MenuCheck::mediumCompression)); // the new level's check mark
    EXPECT_EQ(settings.minSleep, 20);
    EXPECT_EQ(settings.defaultCompression, 0);
    EXPECT_EQ(settings.defaultCompLevel, 6);
}

TEST_F(Maintenance, YSetsThePasswordWithItsSpaces) {
    settings.callPassword.set("old");
    EXPECT_EQ(run("Y two words\n"), "");
    EXPECT_EQ(settings.callPassword.get(), "two words");
    EXPECT_EQ(run("Y   spaced   out\n"), "");
    EXPECT_EQ(settings.callPassword.get(), "spaced   out");
    EXPECT_EQ(run("Y\n"), "");
    EXPECT_TRUE(settings.callPassword.empty());
}

TEST_F(Maintenance, ZSendsTheScreenToALine) {
    // What was written makes the screen: "hidden" lands on row 48, which is not sent.
    console.write("hello\n" + std::string(CONSOLE_COLUMNS, '*') + "\n" + std::string(46, '\n') +
                  "hidden");
    useLine(3);
    EXPECT_EQ(run("Z 3"), "");
    std::vector<std::string> texts;
    for (int r = 0; r < CONSOLE_ROWS - 2; ++r) {
        Packet p = packetFrom(3);
        EXPECT_EQ(p.type(), PKT_MESSAGE);
        texts.push_back(p.text());
    }
    EXPECT_TRUE(nothingFrom(3));
    EXPECT_EQ(texts[0], "\rhello" + std::string(15, ' '));
    EXPECT_EQ(texts[1], "\r" + std::string(CONSOLE_COLUMNS, '*'));
    EXPECT_EQ(texts[47], "\r" + std::string(20, ' '));

    EXPECT_EQ(run("Z 4"), "Line Not In Use\n\n");
    EXPECT_EQ(run("Z 8"), "Invalid Line Number\n\n");
    EXPECT_EQ(run("Z -1"), "Invalid Line Number\n\n");

    // The peer is gone: the dump stops at the first failed send.
    ::close(peer[3]);
    peer[3] = -1;
    EXPECT_EQ(run("Z 3"), "Dump Failed\n");
}

TEST_F(Maintenance, StartupValue) {
    EXPECT_EQ(run("+ ?\n"), "Cannot Retrieve Old Startup String\nStartup:  []\n\n");
    EXPECT_EQ(stored(STORE_STARTUP), "<missing>");
    EXPECT_EQ(run("+ -Call host 8192\n"), "Cannot Retrieve Old Startup String\n"
                                          "Startup Changed From: []  To: [-Call host 8192]\n\n");
    EXPECT_EQ(stored(STORE_STARTUP), "-Call host 8192");
    // A double quotation mark folds onto "+".
    EXPECT_EQ(run("\" ?"), "Startup:  [-Call host 8192]\n\n");
    EXPECT_EQ(run("+\n"), "Startup Changed From: [-Call host 8192]  To: []\n\n");
    EXPECT_EQ(stored(STORE_STARTUP), "");
    EXPECT_EQ(run("+ " + std::string(300, 'a')), "Cannot Set Startup\n\n");
    EXPECT_EQ(stored(STORE_STARTUP), "");
}

TEST_F(Maintenance, StoreThatCannotBeCreated) {
    std::ofstream(dir + "/file") << "x";
    setStorePath(dir + "/file/talkcircle.conf");
    EXPECT_EQ(run("+ ?"), "Cannot Create Registry Key\n\n");
    EXPECT_EQ(run("& - -"), "Cannot Create Registry Key\n\n");
}

TEST_F(Maintenance, DnsValues) {
    ASSERT_EQ(Store().writeValue(STORE_DNS_UPDATE, "http://update.invalid/u?h=x"), 0);
    ASSERT_EQ(Store().writeValue(STORE_DNS, "me.invalid"), 0);
    settings.dnsUpdateActive = 1;
    EXPECT_EQ(run("& ?\n"),
              "DNS Update URL:  [http://update.invalid/u?h=x]\nDNS Name:        [me.invalid]\n\n");
    EXPECT_EQ(settings.dnsUpdateActive, 0);
    EXPECT_EQ(run("& -\n"), "DNS Name Missing\n\n");
    EXPECT_EQ(run("&\n"), "DNS Name Missing\n\n");
    EXPECT_EQ(stored(STORE_DNS), "me.invalid");

    settings.dnsName.set("me.invalid");
    // "#" folds onto "&"; both values emptied, then the update finds no URL and stops.
    EXPECT_EQ(run("# - -\n"), "DNS Update URL Changed From: [http://update.invalid/u?h=x]  To: []\n"
                              "DNS Name Changed From: [me.invalid]  To: []\n\n");
    EXPECT_EQ(stored(STORE_DNS_UPDATE), "");
    EXPECT_EQ(stored(STORE_DNS), "");
    EXPECT_TRUE(settings.dnsName.empty());
}

} // namespace
} // namespace tc::test
