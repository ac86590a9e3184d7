#include "core/command_line.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <map>
#include <sstream>

#include "core/output.h"
#include "core/settings.h"
#include "core/window_hooks.h"
#include "platform/store.h"
#include "support/fake_console.h"
#include "support/temp_dir.h"

namespace tc {
namespace {

using Words = std::vector<std::string>;

class CommandLineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetSettings();
        resetOutput();
        resetWindowHooks();
        windowHooks.setText = [this](WindowText which, const std::string& text) {
            if (which != WindowText::panel) shown[which] = text;
        };
        attachConsole(&console);
        setStorePath(dir.file("talkcircle.conf")); // never the user's own store file
    }
    void TearDown() override {
        attachConsole(nullptr);
        resetWindowHooks();
        setStorePath("");
    }
    // The settings the options write and the window texts they set, as "name=value;" items.
    std::string state() {
        const char* names[] = {"HUB", "ANSWER", "ID", "MSG", "FWD", "MUTE", "HOST", "PORT", "PSWD"};
        std::ostringstream s;
        s << ";show=" << settings.showCommand << ";tray=" << settings.trayIcon
          << ";t=" << settings.terminateMode << ";x=" << settings.audioBufferCount << "/"
          << settings.audioBufferTotal << "/" << settings.dumpLim
          << ";book=" << settings.addressBookFile.get() << ";";
        for (auto& [which, text] : shown)
            s << names[int(which)] << "=" << text << ";";
        return s.str();
    }

    FakeConsole console;
    test::TempDir dir;
    std::map<WindowText, std::string> shown;
};

TEST(SplitWords, OnlyTheSpaceSeparatesAndQuotesGroupAtTheStartOfAWord) {
    const std::pair<std::string, Words> cases[] = {
        {" -Call \"my host\"  5000", {"-Call", "my host", "5000"}},
        {"ab\"cd ef\t\"x", {"ab\"cd", "ef\t\"x"}},        // a mark inside a word is a character
        {"\"ab\"cd \"\" \"e f", {"ab", "cd", "", "e f"}}, // an unclosed one runs to the end
    };
    for (auto& [text, words] : cases)
        EXPECT_EQ(splitWords(text), words) << text;
    std::string many;
    for (int i = 0; i < 40; ++i)
        many += std::to_string(i) + " ";
    EXPECT_EQ(splitWords(many).back(), "30"); // 31 words; the rest of the text is ignored
}

TEST_F(CommandLineTest, OptionsTable) {
    const std::string p200(200, 'p'), p126(126, 'p');
    // Items of state() after the options: k is the index after them, out the console text; an
    // item "!NAME" means the window text NAME was not set.
    const std::pair<Words, std::string> cases[] = {
        {{"/I", "/H", "Id"}, "k=2;out=;HUB=HUB"}, // a leading /I was acted on at program entry
        {{"/H", "/I", "/T"}, "k=3;out=/I Option Must Be First\n;tray=0;t=1"},
        {{"/I", "/M"}, "k=2;out=;show=0;tray=2"}, // with the status icon: hidden
        {{"/m"}, "k=1;out=;show=6;tray=0"},       // without: minimised
        {{"/H", "/B"}, "k=2;out=Missing Arguments /B Ignnored\n;HUB=HUB;!ANSWER"},
        {{"/T", "/x"}, "k=2;out=Missing Arguments /x Ignnored\n;t=1;x=16/32/8"},
        {{"/D", "host", "8192"}, "k=3;out=Missing Arguments /D Ignnored\n;!HOST"},
        {{"/Q", "/H", "/", "/?", "/Hx", "Id", "/S"},
         "k=5;out=Invalid Option /Q Ignored\nInvalid Option / Ignored\nInvalid Option /? "
         "Ignored\n;HUB=HUB"},
        {{"/B", ""}, "k=2;out=;ANSWER=BLOCKED;MSG=(No Message)"},
        // A later option overrides an earlier one; the forwarding port is cut to 6 characters.
        {{"/B", "away", "/F", "10.0.0.9", "1234567"}, "ANSWER=FORWARD;MSG=10.0.0.9;FWD=123456"},
        // The default call's port is cut to 6 characters and its password to 126.
        {{"/D", "peer.example", "81920000", p200, "/A", "book.bk", "/s", "Id"},
         "k=7;out=;book=book.bk;HOST=peer.example;PORT=819200;PSWD=" + p126 + ";HUB=SERVER"},
        {{"/X", "7"}, "k=2;out=;x=7/14/3"},
        {{"/X", "1"}, "x=2/4/1"},
        {{"/X", "-5"}, "x=2/4/1"},
        {{"/X", "100000"}, "x=64/128/32"},
        {{"/X", "abc"}, "x=16/32/8"}, // not a number: the count stays
    };
    for (auto& [words, expect] : cases) {
        resetSettings();
        shown.clear();
        console.clearText();
        settings.trayIcon = beginsWithTrayOption(words) ? 1 : 0;
        const size_t k = parseOptions(words, true);
        applyBufferCount();
        const std::string now = ";k=" + std::to_string(k) + ";out=" + console.text() + state();
        std::istringstream items(expect);
        for (std::string item; std::getline(items, item, ';');)
            if (item[0] == '!')
                EXPECT_EQ(now.find(";" + item.substr(1) + "="), std::string::npos) << item;
            else
                EXPECT_NE(now.find(";" + item + ";"), std::string::npos) << item << " in " << now;
    }

    settings.diagBits = DIAG_NO_ERASE; // the defaults change, but the fields keep what they show
    parseOptions({"/D", "other", "1", "pw"}, false);
    EXPECT_EQ(settings.defaultCallAddress.get(), "other");
    EXPECT_EQ(shown.count(WindowText::hostField), 0u);
}

TEST_F(CommandLineTest, StoredTextAgainstTheProgramArguments) {
    ASSERT_EQ(Store().writeValue(STORE_DNS, "me.example.invalid"), 0);
    const char* plain = "/H \"-Call 10.0.0.5 8192\" -Win Alice 9000 secret extra";
    const struct {
        const char* stored; // nullptr: none
        Words args;
        int hub;
        Words commands;
        std::string trailing; // ID, Port and Pswd, "-" when absent
        int echo;
    } cases[] = {
        // "+" replaces the command line, without echo; a leading /I of the replaced line is not
        // passed over in the stored text.
        {"+ /H MyId 8192", {"/S"}, HUB_HUB, {}, "MyId 8192 -", 0},
        {"+ /H MyId 8192", {"/I"}, HUB_HUB, {}, "MyId 8192 -", 0},
        // Plain stored text only when the command line is empty; then its words are split.
        {plain, {"/S", "Bob", "7000"}, HUB_SERVER, {}, "Bob 7000 -", 1},
        {plain, {}, HUB_HUB, {"-Call 10.0.0.5 8192", "-Win"}, "Alice 9000 secret", 1},
        {"-Talk -1 Id 8192", {}, HUB_P2P, {"-Talk", "-1"}, "Id 8192 -", 1},
        // The program's arguments already are words: they are not split again.
        {nullptr, {"-Talk -1", "-W", "My Id"}, HUB_P2P, {"-Talk -1", "-W"}, "My Id - -", 1},
        // Missing arguments end the options and take nothing after them.
        {"/H /D host 8192", {}, HUB_HUB, {}, "- - -", 1},
    };
    for (auto& c : cases) {
        resetSettings();
        settings.trayIcon = beginsWithTrayOption(c.args) ? 1 : 0;
        Store store;
        ASSERT_EQ(c.stored ? store.writeValue(STORE_STARTUP, c.stored)
                           : store.deleteValue(STORE_STARTUP),
                  0);
        TrailingArgs t = parseCommandLine(c.args);
        EXPECT_EQ(settings.hubMode, c.hub) << c.trailing;
        EXPECT_EQ(settings.startupCommands, c.commands) << c.trailing;
        EXPECT_EQ(settings.startupCommandCount, int(c.commands.size()));
        EXPECT_EQ(t.id.value_or("-") + " " + t.port.value_or("-") + " " + t.pswd.value_or("-"),
                  c.trailing);
        EXPECT_EQ(settings.echoStartupCommands, c.echo) << c.trailing;
        EXPECT_EQ(settings.dnsName.get(), "me.example.invalid");
    }
}

TEST_F(CommandLineTest, ListenPortWordIsReadAsADecimalNumber) {
    const std::tuple<std::string, int, int> cases[] = {
        {"abc", 1, 0},       {"", 1, 0},         {"99999999999", 1, 0}, // not a number: no port
        {"70000", 0, 70000}, {"8192x", 0, 8192}, {"0", 0, 0}};
    for (auto& [word, result, port] : cases) {
        settings.listenPort = 0;
        EXPECT_EQ(parseListenPort(word), result) << word;
        EXPECT_EQ(settings.listenPort, port) << word;
        EXPECT_EQ(ntohs(settings.listenAddress.sin_port), port & 0xFFFF) << word; // low 16 bits
    }
}

TEST(LongOptions, TakenOffTheFrontOnlyAndHelpForALoneQuestionMark) {
    Words args{"--headless", "--audio=null", "--capture=a", "--playback=b", "--config=c", "/H"};
    LaunchOptions o = takeLongOptions(args);
    EXPECT_TRUE(o.headless && !o.version && !o.help);
    EXPECT_EQ(o.audio + o.capture + o.playback + o.config, "nullabc");
    EXPECT_EQ(args, Words{"/H"});
    args = {"--version", "--audio", "--help"}; // no value: not a long option, and it stops
    o = takeLongOptions(args);
    EXPECT_TRUE(o.version && !o.help && o.audio == "portaudio" && args.size() == 2u);

    const std::pair<Words, bool> help[] = {
        {{"/?"}, true}, {{"--help"}, true}, {{"--headless", "/?"}, true}, {{"/?", "Id"}, false}};
    for (auto [words, expected] : help)
        EXPECT_EQ(takeLongOptions(words).help, expected) << words.size();
}

} // namespace
} // namespace tc
