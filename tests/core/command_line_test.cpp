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
        resetWindowHooks();
        windowHooks.setText = [this](WindowText which, const std::string& text) {
            if (which != WindowText::panel) shown[which] = text;
        };
        attachConsole(&console);
        setStorePath(dir.file("talkcircle.conf")); // never the user's own store file
    }
    void TearDown() override { attachConsole(nullptr), resetWindowHooks(), setStorePath(""); }
    // The settings the options write and the window texts they set, as "name=value;" items.
    std::string state() {
        const char* names[] = {"HUB", "ANSWER", "ID", "MSG", "FWD", "MUTE", "HOST", "PORT", "PSWD"};
        std::ostringstream s;
        s << ";show=" << settings.showCommand << ";tray=" << settings.trayIcon
          << ";t=" << settings.terminateMode << ";x=" << settings.audioBufferCount << "/"
          << settings.audioBufferTotal << "/" << settings.dumpLim
          << ";book=" << settings.addressBookFile.get() << ";";
        for (int w = 0; w < 9; ++w) // "-": not set
            s << names[w] << "=" << (shown.count(WindowText(w)) ? shown[WindowText(w)] : "-")
              << ";";
        return s.str();
    }

    FakeConsole console;
    test::TempDir dir;
    std::map<WindowText, std::string> shown;
};

TEST(SplitWords, OnlyTheSpaceSeparatesAndQuotesGroupAtTheStartOfAWord) {
    EXPECT_EQ(splitWords(" -Call \"my host\"  5000"), (Words{"-Call", "my host", "5000"}));
    // A mark inside a word is a character; an unclosed one runs to the end.
    EXPECT_EQ(splitWords("ab\"cd ef\t\"x"), (Words{"ab\"cd", "ef\t\"x"}));
    EXPECT_EQ(splitWords("\"ab\"cd \"\" \"e f"), (Words{"ab", "cd", "", "e f"}));
}

TEST_F(CommandLineTest, OptionsTable) {
    const std::string p200(200, 'p'), p126(126, 'p');
    // Items of state() after the options: k is the index after them, out the console text.
    const std::pair<Words, std::string> cases[] = {
        {{"/I", "/H", "Id"}, "k=2;out=;HUB=HUB"}, // a leading /I was acted on at program entry
        {{"/H", "/I", "/T"}, "k=3;out=/I Option Must Be First\n;tray=0;t=1"},
        {{"/I", "/M"}, "k=2;out=;show=0;tray=2"}, // with the status icon: hidden
        {{"/m"}, "k=1;out=;show=6;tray=0"},       // without: minimised
        {{"/H", "/B"}, "k=2;out=Missing Arguments /B Ignnored\n;HUB=HUB;ANSWER=-"},
        {{"/T", "/x"}, "k=2;out=Missing Arguments /x Ignnored\n;t=1;x=16/32/8"},
        {{"/D", "host", "8192"}, "k=3;out=Missing Arguments /D Ignnored\n;HOST=-"},
        {{"/Q", "/H", "/", "/?", "/Hx", "Id", "/S"},
         "k=5;out=Invalid Option /Q Ignored\nInvalid Option / Ignored\nInvalid Option /? "
         "Ignored\n;HUB=HUB"},
        {{"/B", ""}, "k=2;out=;ANSWER=BLOCKED;MSG=(No Message)"},
        // A later option overrides an earlier one; the forwarding port is cut to 6 characters.
        {{"/B", "away", "/F", "10.0.0.9", "1234567"}, "ANSWER=FORWARD;MSG=10.0.0.9;FWD=123456"},
        // The default call's port is cut to 6 characters and its password to 126.
        {{"/D", "peer.example", "81920000", p200, "/A", "book.bk", "/s", "Id"},
         "k=7;out=;book=book.bk;HOST=peer.example;PORT=819200;PSWD=" + p126 + ";HUB=SERVER"},
        {{"/X", "7", "/X", "abc"}, "k=4;out=;x=7/14/3"}, // not a number: the count stays
        {{"/X", "-5"}, "x=2/4/1"},
        {{"/X", "100000"}, "x=64/128/32"},
    };
    for (auto& [words, expect] : cases) {
        resetSettings();
        shown.clear();
        console.take();
        settings.trayIcon = beginsWithTrayOption(words) ? 1 : 0;
        const size_t k = parseOptions(words, true);
        applyBufferCount();
        const std::string now = ";k=" + std::to_string(k) + ";out=" + console.text() + state();
        std::istringstream items(expect);
        for (std::string item; std::getline(items, item, ';');)
            EXPECT_NE(now.find(";" + item + ";"), std::string::npos) << item << " in " << now;
    }
}

TEST_F(CommandLineTest, StoredTextAgainstTheProgramArguments) {
    ASSERT_EQ(Store().writeValue(STORE_DNS, "me.example.invalid"), 0);
    const char* plain = "/H \"-Call 10.0.0.5 8192\" -Win Alice 9000 secret extra";
    // The stored text (nullptr: none) and the program's arguments; then the hub mode, the echo
    // and the count of the start-up commands as the digits of one number; the trailing ID, Port
    // and Pswd ("-" when absent) and the commands.
    const std::tuple<const char*, Words, int, std::string> cases[] = {
        // "+" replaces the command line, without echo; a leading /I of the replaced line is not
        // passed over in the stored text.
        {"+ /H MyId 8192", {"/S"}, 100, "MyId 8192 -"},
        {"+ /H MyId 8192", {"/I"}, 100, "MyId 8192 -"},
        // Plain stored text only when the command line is empty; then its words are split.
        {plain, {"/S", "Bob", "7000"}, 210, "Bob 7000 -"},
        {plain, {}, 112, "Alice 9000 secret|-Call 10.0.0.5 8192|-Win"},
        {"-Talk -1 Id 8192", {}, 12, "Id 8192 -|-Talk|-1"},
        // The program's arguments already are words: they are not split again.
        {nullptr, {"-Talk -1", "-W", "My Id"}, 12, "My Id - -|-Talk -1|-W"},
        // Missing arguments end the options and take nothing after them.
        {"/H /D host 8192", {}, 110, "- - -"},
    };
    for (auto& [stored, args, digits, expected] : cases) {
        resetSettings();
        settings.trayIcon = beginsWithTrayOption(args) ? 1 : 0;
        ASSERT_EQ(stored ? Store().writeValue(STORE_STARTUP, stored)
                         : Store().deleteValue(STORE_STARTUP),
                  0);
        const TrailingArgs t = parseCommandLine(args);
        std::string got =
            t.id.value_or("-") + " " + t.port.value_or("-") + " " + t.pswd.value_or("-");
        for (const std::string& command : settings.startupCommands)
            got += "|" + command;
        EXPECT_EQ(got, expected);
        EXPECT_EQ(settings.hubMode * 100 + settings.echoStartupCommands * 10 +
                      settings.startupCommandCount,
                  digits)
            << expected;
    }
    EXPECT_EQ(settings.dnsName.get(), "me.example.invalid");
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

TEST(LongOptions, TakenBeforeTheIdAndAnUnknownOneIsAnError) {
    // The arguments; the options taken as "audio|input|output|flags" (l: --list-devices,
    // h: --headless) and the words left, or the error.
    const std::pair<Words, std::string> cases[] = {
        {{"--headless", "--list-devices", "--input-device=USB", "--output-device=2", "Id"},
         "portaudio|USB|2|lh Id"},
        // Among the options, past their arguments, and among the start-up commands.
        {{"/B", "--away", "--audio=null", "-Talk 1", "--headless", "Id", "--x"},
         "null|||h /B --away -Talk 1 Id --x"},
        {{"--encoder=reference", "--encoder=closed-loop", "/?"}, "portaudio||| /?"},
        {{"/H", "--bogus", "Id", "8192"}, "unknown option --bogus"},
        {{"--encoder=fast"}, "unknown value in --encoder=fast (closed-loop or reference)"},
        {{"--audio=alsa"}, "unknown value in --audio=alsa (portaudio or null)"},
    };
    for (auto [args, expected] : cases) {
        LaunchOptions o = takeLongOptions(args);
        std::string got = o.audio + "|" + o.inputDevice + "|" + o.outputDevice + "|" +
                          (o.listDevices ? "l" : "") + (o.headless ? "h" : "");
        for (const std::string& word : args)
            got += " " + word;
        EXPECT_EQ(o.error.empty() ? got : o.error, expected);
    }
}

} // namespace
} // namespace tc
