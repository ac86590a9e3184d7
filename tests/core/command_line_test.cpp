#include "ui/line_list.h"
#include "core/command_line.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include "core/output.h"
#include "core/settings.h"
#include "platform/store.h"
#include "support/fake_console.h"
#include "ui/window_model.h"

namespace tc {
namespace {

using Words = std::vector<std::string>;

class CommandLineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetSettings();
        resetWindowModel();
        installWindowHooks();
        resetOutput();
        attachConsole(&console);
        char pattern[] = "/tmp/tc_cmdline_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        // Never the user's own store file.
        setStorePath(dir + "/talkcircle.conf");
    }
    void TearDown() override {
        attachConsole(nullptr);
        setStorePath("");
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    void store(const char* name, const std::string& value) {
        ASSERT_EQ(Store().writeValue(name, value), 0);
    }

    FakeConsole console;
    std::string dir;
};

TEST(SplitWords, OnlyTheSpaceSeparatesAndQuotesGroupAtTheStartOfAWord) {
    EXPECT_EQ(splitWords("-Call \"my host\" 5000"), (Words{"-Call", "my host", "5000"}));
    EXPECT_EQ(splitWords("ab\"cd ef"), (Words{"ab\"cd", "ef"}));
    EXPECT_EQ(splitWords("\"ab\"cd"), (Words{"ab", "cd"}));
    EXPECT_EQ(splitWords("a \"b c"), (Words{"a", "b c"})); // unclosed: runs to the end
    EXPECT_EQ(splitWords("x \"\" y"), (Words{"x", "", "y"}));
    EXPECT_EQ(splitWords("    "), Words{});
    EXPECT_EQ(splitWords("  /H   Id  "), (Words{"/H", "Id"}));
    EXPECT_EQ(splitWords("a\tb c"), (Words{"a\tb", "c"}));

    std::string text;
    for (int i = 0; i < 40; ++i)
        text += "w" + std::to_string(i) + " ";
    Words words = splitWords(text);
    ASSERT_EQ(words.size(), 31u); // the rest of the text is ignored
    EXPECT_EQ(words.back(), "w30");
}

TEST(ChooseCommandText, StoredTextAgainstTheSystemCommandLine) {
    auto check = [](const std::string& stored, bool has, const std::string& system,
                    const std::string& text, bool fromStored, int echo) {
        CommandChoice c = chooseCommandText(stored, has, system);
        EXPECT_EQ(c.text, text) << "stored [" << stored << "] system [" << system << "]";
        EXPECT_EQ(c.fromStored, fromStored) << stored;
        EXPECT_EQ(c.echo, echo) << stored;
    };
    check("", false, "/S Id 1", "/S Id 1", false, 1);
    check("", true, "/S Id 1", "/S Id 1", false, 1);
    check("+ /H MyId 8192", true, "/S", "/H MyId 8192", true, 0);
    check("+ /H MyId 8192", true, "", "/H MyId 8192", true, 0);
    check("+", true, "/S", "", true, 0);
    check("+x", true, "", "", true, 0);
    check("/H", true, "/S Id", "/S Id", false, 1);
    check("/H", true, "", "/H", true, 1);
}

TEST_F(CommandLineTest, PlusStoredTextReplacesTheCommandLineWithoutEcho) {
    store(STORE_STARTUP, "+ /H MyId 8192");
    store(STORE_DNS, "me.example.invalid");
    TrailingArgs t = parseCommandLine({"/S"});
    EXPECT_EQ(settings.hubMode, HUB_HUB);
    EXPECT_EQ(controlText(Control::hubButton), "HUB");
    EXPECT_EQ(t.id, "MyId");
    EXPECT_EQ(t.port, "8192");
    EXPECT_FALSE(t.pswd.has_value());
    EXPECT_EQ(settings.echoStartupCommands, 0);
    EXPECT_EQ(settings.dnsName.get(), "me.example.invalid");

    ASSERT_EQ(parseListenPort(*t.port), 0);
    EXPECT_EQ(settings.listenPort, 8192);
    EXPECT_EQ(ntohs(settings.listenAddress.sin_port), 8192);
}

TEST_F(CommandLineTest, PlainStoredTextOnlyWhenTheCommandLineIsEmpty) {
    store(STORE_STARTUP, "/H \"-Call 10.0.0.5 8192\" -Win Alice 9000 secret extra");
    TrailingArgs t = parseCommandLine({"/S", "Bob", "7000"});
    EXPECT_EQ(settings.hubMode, HUB_SERVER);
    EXPECT_EQ(t.id, "Bob");
    EXPECT_EQ(t.port, "7000");
    EXPECT_EQ(settings.echoStartupCommands, 1);

    resetSettings();
    t = parseCommandLine({});
    EXPECT_EQ(settings.hubMode, HUB_HUB);
    EXPECT_EQ(settings.startupCommands, (Words{"-Call 10.0.0.5 8192", "-Win"}));
    EXPECT_EQ(settings.startupCommandCount, 2);
    EXPECT_EQ(t.id, "Alice");
    EXPECT_EQ(t.port, "9000");
    EXPECT_EQ(t.pswd, "secret"); // "extra" after Pswd is ignored
    EXPECT_EQ(settings.echoStartupCommands, 1);
}

TEST_F(CommandLineTest, WithoutStoredTextTheArgumentsAreTheWords) {
    settings.dnsName.set("left over");
    TrailingArgs t = parseCommandLine({});
    EXPECT_FALSE(t.id || t.port || t.pswd);
    EXPECT_EQ(settings.startupCommandCount, 0);
    EXPECT_EQ(settings.dnsName.get(), ""); // no stored name
    EXPECT_EQ(console.text(), "");

    // The program's arguments already are words: they are not split again.
    t = parseCommandLine({"-Talk -1", "-Talk", "-1", "My Id", "8192"});
    EXPECT_EQ(settings.startupCommands, (Words{"-Talk -1", "-Talk", "-1"}));
    EXPECT_EQ(t.id, "My Id");
    EXPECT_EQ(t.port, "8192");
}

TEST_F(CommandLineTest, ALeadingTrayOptionIsPassedOverOnlyWhereItStands) {
    Words words{"/I", "/H", "Id"};
    ASSERT_TRUE(beginsWithTrayOption(words));
    EXPECT_TRUE(beginsWithTrayOption({"/i"}));
    EXPECT_FALSE(beginsWithTrayOption({"/H", "/I"}));
    settings.trayIcon = 1;
    EXPECT_EQ(parseOptions(words, true), 2u);
    EXPECT_EQ(settings.hubMode, HUB_HUB);
    EXPECT_EQ(console.text(), "");

    // The stored text replaced a command line that began with /I: its first word still counts.
    resetSettings();
    settings.trayIcon = 1;
    store(STORE_STARTUP, "+ /H MyId 8192");
    TrailingArgs t = parseCommandLine({"/I"});
    EXPECT_EQ(settings.hubMode, HUB_HUB);
    EXPECT_EQ(t.id, "MyId");
}

TEST_F(CommandLineTest, CompressionOptions) {
    // Returns compression and level after the option, from the default level 15 or from 6.
    auto after = [](const std::string& option, int startLevel = 15) {
        resetSettings();
        settings.defaultCompLevel = startLevel;
        parseOptions({option}, false);
        return std::pair(settings.defaultCompression.load(), settings.defaultCompLevel.load());
    };
    EXPECT_EQ(after("/c"), std::pair(15, 15));
    EXPECT_EQ(after("/cx"), std::pair(15, 15));
    EXPECT_EQ(after("/C", 6), std::pair(6, 6));
    EXPECT_EQ(after("/cl"), std::pair(3, 3));
    EXPECT_TRUE(menuChecked(MenuCheck::lowCompression));
    EXPECT_FALSE(menuChecked(MenuCheck::highCompression));
    EXPECT_EQ(after("/CM"), std::pair(6, 6));
    EXPECT_TRUE(menuChecked(MenuCheck::mediumCompression));
    EXPECT_EQ(after("/cHigh", 6), std::pair(15, 15));
    EXPECT_TRUE(menuChecked(MenuCheck::highCompression));
}

TEST_F(CommandLineTest, MissingArgumentsEndTheOptionsAndTakeNothingAfter) {
    Words words{"/H", "/B"};
    EXPECT_EQ(parseOptions(words, false), words.size());
    EXPECT_EQ(console.text(), "Missing Arguments /B Ignnored\n");
    EXPECT_EQ(settings.incomingMode, INCOMING_ANSWER);
    EXPECT_EQ(settings.hubMode, HUB_HUB);
    EXPECT_EQ(controlText(Control::answerButton), "ANSWER");

    resetSettings();
    store(STORE_STARTUP, "/H /D host 8192");
    TrailingArgs t = parseCommandLine({});
    EXPECT_FALSE(t.id || t.port || t.pswd);
    EXPECT_EQ(settings.hubMode, HUB_HUB);
    EXPECT_EQ(settings.defaultCallAddress.get(), DEFAULT_CALL_ADDRESS); // not half applied

    // As the last word, an option with arguments (here also /A and /X) ends the options.
    console.take();
    for (std::string option : {"/A", "/x", "/F", "/D"}) {
        EXPECT_EQ(parseOptions({"/T", option}, false), 2u);
        EXPECT_EQ(console.take(), "Missing Arguments " + option + " Ignnored\n");
    }
}

TEST_F(CommandLineTest, InvalidOptionsAreReportedAndTheNextWordIsExamined) {
    Words words{"/Q", "/H", "/", "/?", "/Hx", "Id", "/S"};
    EXPECT_EQ(parseOptions(words, false), 5u);
    EXPECT_EQ(console.text(), "Invalid Option /Q Ignored\nInvalid Option / Ignored\n"
                              "Invalid Option /? Ignored\n");
    EXPECT_EQ(settings.hubMode, HUB_HUB); // "/Hx" is /H; "/S" after the ID is not an option
}

TEST_F(CommandLineTest, HelpOnlyForACommandLineOfExactlyTheQuestionMark) {
    Words args{"/?"};
    EXPECT_TRUE(takeLongOptions(args).help);
    args = {"--headless", "/?"};
    EXPECT_TRUE(takeLongOptions(args).help);
    args = {"/?", "Id"};
    EXPECT_FALSE(takeLongOptions(args).help);
    TrailingArgs t = parseCommandLine(args);
    EXPECT_EQ(console.text(), "Invalid Option /? Ignored\n");
    EXPECT_EQ(t.id, "Id");
}

TEST_F(CommandLineTest, TrayIconOptionAndMinimize) {
    settings.trayIcon = 1;
    parseOptions({"/I", "/M"}, true);
    EXPECT_EQ(settings.showCommand, 0);
    EXPECT_EQ(settings.trayIcon, 2);

    resetSettings();
    parseOptions({"/m"}, false);
    EXPECT_EQ(settings.showCommand, 6);
    EXPECT_EQ(settings.trayIcon, 0);

    resetSettings();
    parseOptions({"/H", "/I", "/T", "/W"}, false);
    EXPECT_EQ(console.text(), "/I Option Must Be First\n");
    EXPECT_EQ(settings.trayIcon, 0);
    EXPECT_EQ(settings.terminateMode, 1);
    EXPECT_EQ(settings.dnsUpdateActive, 1);
}

TEST_F(CommandLineTest, BlockedAndForwardModesWriteTheWindow) {
    parseOptions({"/B", ""}, false);
    EXPECT_EQ(settings.incomingMode, INCOMING_BLOCKED);
    EXPECT_EQ(controlText(Control::answerButton), "BLOCKED");
    EXPECT_EQ(controlText(Control::messageLabel), "(No Message)");

    parseOptions({"/b", "Gone fishing"}, false);
    EXPECT_EQ(settings.autoMessage.get(), "Gone fishing");
    EXPECT_EQ(controlText(Control::messageLabel), "Gone fishing");

    // A later option overrides: /B then /F leaves FORWARD, the port cut to six characters.
    parseOptions({"/B", "away", "/F", "10.0.0.9", "1234567"}, false);
    EXPECT_EQ(settings.incomingMode, INCOMING_FORWARD);
    EXPECT_EQ(settings.autoMessage.get(), "10.0.0.9");
    EXPECT_EQ(settings.forwardPort.get(), "123456");
    EXPECT_EQ(controlText(Control::answerButton), "FORWARD");
    EXPECT_EQ(controlText(Control::messageLabel), "10.0.0.9");
    EXPECT_EQ(controlText(Control::forwardPortLabel), "123456");
}

TEST_F(CommandLineTest, DefaultCallSettingsAndOtherOptions) {
    std::string longPassword(200, 'p');
    EXPECT_EQ(
        parseOptions({"/D", "peer.example", "81920000", longPassword, "/A", "book.bk", "/s", "Id"},
                     false),
        7u);
    EXPECT_EQ(settings.defaultCallAddress.get(), "peer.example");
    EXPECT_EQ(settings.defaultCallPort.get(), "819200");
    EXPECT_EQ(settings.defaultCallPassword.get(), std::string(126, 'p'));
    EXPECT_EQ(controlText(Control::hostField), "peer.example");
    EXPECT_EQ(controlText(Control::portField), "819200");
    EXPECT_EQ(controlText(Control::pswdField), std::string(126, 'p'));
    EXPECT_EQ(settings.addressBookFile.get(), "book.bk");
    EXPECT_EQ(settings.hubMode, HUB_SERVER);
    EXPECT_EQ(controlText(Control::hubButton), "SERVER");

    // With NoErase the defaults change but the fields keep what they show.
    settings.diagBits = 0x800;
    parseOptions({"/D", "other", "1", "pw"}, false);
    EXPECT_EQ(settings.defaultCallAddress.get(), "other");
    EXPECT_EQ(controlText(Control::hostField), "peer.example");
}

TEST_F(CommandLineTest, StartupCommandsMustBeOneWordEach) {
    Words quoted = splitWords("\"-Talk -1\" Id 8192");
    size_t k = takeStartupCommands(quoted, parseOptions(quoted, false));
    EXPECT_EQ(settings.startupCommands, Words{"-Talk -1"});
    EXPECT_EQ(takeTrailingArgs(quoted, k).id, "Id");

    Words plain = splitWords("-Talk -1 Id 8192");
    k = takeStartupCommands(plain, parseOptions(plain, false));
    EXPECT_EQ(settings.startupCommands, (Words{"-Talk", "-1"}));
    EXPECT_EQ(settings.startupCommandCount, 2);
    EXPECT_EQ(takeTrailingArgs(plain, k).port, "8192");
}

TEST_F(CommandLineTest, ListenPortWord) {
    EXPECT_EQ(parseListenPort("abc"), 1); // not a number: no port
    EXPECT_EQ(settings.listenPort, 0);
    EXPECT_EQ(parseListenPort(""), 1);
    EXPECT_EQ(parseListenPort("99999999999"), 1);
    EXPECT_EQ(settings.listenPort, 0);

    EXPECT_EQ(parseListenPort("70000"), 0); // the address takes the low 16 bits
    EXPECT_EQ(settings.listenPort, 70000);
    EXPECT_EQ(ntohs(settings.listenAddress.sin_port), 70000 - 65536);
    EXPECT_EQ(parseListenPort("8192x"), 0); // read as "%d" reads it
    EXPECT_EQ(settings.listenPort, 8192);
    EXPECT_EQ(parseListenPort("0"), 0);
    EXPECT_EQ(settings.listenPort, 0);
    EXPECT_EQ(settings.listenAddress.sin_port, 0);
}

TEST_F(CommandLineTest, BufferCountIsKeptWithinBounds) {
    // Count, total and the three values set from it, after /X with the word.
    auto after = [](const char* value) {
        resetSettings();
        parseOptions({"/X", value}, false);
        applyBufferCount();
        return std::vector<int>{settings.audioBufferCount, settings.audioBufferTotal,
                                settings.thresh1, settings.thresh2, settings.dumpLim};
    };
    using V = std::vector<int>;
    EXPECT_EQ(after("20"), (V{20, 40, 10, 10, 10}));
    EXPECT_EQ(after("7"), (V{7, 14, 3, 3, 3}));
    EXPECT_EQ(after("1"), (V{2, 4, 1, 1, 1}));
    EXPECT_EQ(after("-5"), (V{2, 4, 1, 1, 1}));
    EXPECT_EQ(after("100000"), (V{64, 128, 32, 32, 32}));
    EXPECT_EQ(after("abc"), (V{16, 32, 8, 8, 8})); // not a number: the count stays
}

TEST(LongOptions, TakenOffTheFrontOnly) {
    Words args{"--headless",
               "--audio=null",
               "--capture=in.wav",
               "--playback=out.wav",
               "--config=/tmp/tc.conf",
               "/H",
               "--version",
               "Id"};
    LaunchOptions o = takeLongOptions(args);
    EXPECT_TRUE(o.headless);
    EXPECT_FALSE(o.version);
    EXPECT_FALSE(o.help);
    EXPECT_EQ(o.audio, "null");
    EXPECT_EQ(o.capture, "in.wav");
    EXPECT_EQ(o.playback, "out.wav");
    EXPECT_EQ(o.config, "/tmp/tc.conf");
    EXPECT_EQ(args, (Words{"/H", "--version", "Id"}));

    args = {"--audio", "--help"}; // no value: not a long option, and it stops the taking
    o = takeLongOptions(args);
    EXPECT_FALSE(o.help);
    EXPECT_EQ(o.audio, "portaudio");
    EXPECT_EQ(args.size(), 2u);

    args = {"--version", "--help"};
    o = takeLongOptions(args);
    EXPECT_TRUE(o.version && o.help);
    EXPECT_TRUE(args.empty());
}

} // namespace
} // namespace tc
