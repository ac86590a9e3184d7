// The two command threads: the queue and the replies to a remote client over a socket, the
// start-up commands, the prompt and the command list, and questions answered at the console.
#include "commands/command_fixture.h"

#include <thread>

#include "core/command_queue.h"
#include "commands/console_dialogs.h"

namespace tc::test {
namespace {

const std::string COMMAND_LIST =
    "All, Block Y|N, Call IP Port [Pswd], Drop #, ExpReq #, Fwd IP Port, Hold #,\n"
    "IM # (^Z=End), Komp #|-1(Def) Y|N, Mute Y|N, None, Priv #, Quit, Reply [Msg],\n"
    "Send # Msg, Talk #, Vol L# M|S V##, Window, /Hub H|S|N, # (Delay mS),\n"
    "ListCommands. (# = -1 = All Lines)\n";
const std::string SHORT_MAINTENANCE = "Y [NewPswd], + Startup|?, & ?|DNSUpdate DNSName\n";
const std::string PROMPT = COMMAND_LIST + SHORT_MAINTENANCE + "> ";

struct Reply {
    int value;
    std::string text;
    bool operator==(const Reply&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Reply& r) {
    return os << "{" << r.value << ", \"" << r.text << "\"}";
}

// A PKT_COMMAND payload: the commands back to back, the password right-aligned at the end.
Packet commandPacket(const std::vector<std::string>& commands, int count,
                     const std::string& password = "") {
    Packet p;
    p.clear();
    size_t at = 0;
    for (const auto& c : commands) {
        std::memcpy(p.payload + at, c.data(), c.size());
        at += c.size() + 1;
    }
    std::memcpy(p.payload + 1023 - password.size(), password.data(), password.size());
    p.setType(PKT_COMMAND);
    p.setValue(count);
    return p;
}

class CommandThreads : public CommandFixture {
  protected:
    void TearDown() override {
        stopThreads();
        CommandFixture::TearDown();
    }
    void startBufferThread() { buffer = std::thread(commandThread, ROLE_BUFFER); }
    void startConsoleThread() { consoleThread = std::thread(commandThread, ROLE_CONSOLE); }
    void stopThreads() {
        stopCommandThreads();
        console.close();
        if (buffer.joinable()) buffer.join();
        if (consoleThread.joinable()) consoleThread.join();
    }
    // Replies on line n up to and including the closing one (value 0 or -1).
    std::vector<Reply> repliesFrom(int n) {
        std::vector<Reply> replies;
        Packet p;
        while (readPacket(peer[n], p, 3000)) {
            EXPECT_EQ(p.type(), PKT_COMMANDREPLY);
            replies.push_back({p.value(), std::string(p.text())});
            if (p.value() <= 0) break;
        }
        return replies;
    }
    // Waits up to 3 s for the condition.
    template <typename Condition> static bool waitFor(Condition done) {
        for (int i = 0; i < 300 && !done(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return done();
    }
    bool waitIdle() {
        return waitFor([] { return outputState.commandSource == -1; });
    }

    std::thread buffer;
    std::thread consoleThread;
};

TEST_F(CommandThreads, RemoteRequestGetsItsReplies) {
    useLine(3);
    startBufferThread();
    ASSERT_EQ(queueRemoteCommands(commandPacket({"Mute Y", "Talk 9"}, 2), 3), 0);
    std::vector<Reply> expected = {
        {1, "Mute Y"}, {1, "Talk 9"}, {2, "Invalid Line Number"}, {0, "Talk 9"}};
    EXPECT_EQ(repliesFrom(3), expected);
    // Once the closing reply is out, the next request is taken at once.
    ASSERT_EQ(queueRemoteCommands(commandPacket({"Mute N"}, 1), 3), 0);
    EXPECT_EQ(repliesFrom(3), (std::vector<Reply>{{1, "Mute N"}, {0, "Mute N"}}));
    EXPECT_TRUE(waitIdle());
    EXPECT_EQ(settings.micMuted, 0);
    EXPECT_TRUE(console.waitText("Microphone Enabled\n\n"));
    EXPECT_EQ(console.text(), "\nCMD: Mute Y\nMicrophone Muted\n\nCMD: Talk 9\n"
                              "Invalid Line Number\n\nCMD: Mute N\nMicrophone Enabled\n\n");
    EXPECT_TRUE(nothingFrom(3));
}

TEST_F(CommandThreads, RemoteCountBeyondItsCommandsEndsAtTheFirstEmptyString) {
    useLine(0);
    startBufferThread();
    ASSERT_EQ(queueRemoteCommands(commandPacket({"- Reply away", "IM 0"}, 50, "secret"), 0), 0);
    std::vector<Reply> expected = {
        {1, "Reply away"}, {1, "IM 0"}, {2, "IM Mode Available From Console Only"}, {0, "IM 0"}};
    EXPECT_EQ(repliesFrom(0), expected);
    EXPECT_EQ(settings.autoMessage.get(), "away");
    ASSERT_TRUE(waitIdle());

    // The count is 0: only the closing reply.
    ASSERT_EQ(queueRemoteCommands(commandPacket({"Mute Y"}, 0), 0), 0);
    EXPECT_EQ(repliesFrom(0), (std::vector<Reply>{{0, ""}}));
    ASSERT_TRUE(waitIdle());

    // No terminated command before the password area: nothing runs, not even the password.
    Packet junk;
    std::memset(junk.payload, 'M', sizeof(junk.payload));
    junk.setType(PKT_COMMAND);
    junk.setValue(3);
    ASSERT_EQ(queueRemoteCommands(junk, 0), 0);
    EXPECT_EQ(repliesFrom(0), (std::vector<Reply>{{0, ""}}));
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(settings.micMuted, 0);

    // A password that reaches back to the command area is still not run.
    std::string password(65, 'Q');
    ASSERT_EQ(queueRemoteCommands(commandPacket({"Mute N"}, 5, password), 0), 0);
    EXPECT_EQ(repliesFrom(0), (std::vector<Reply>{{1, "Mute N"}, {0, "Mute N"}}));
    EXPECT_EQ(settings.terminateMode, 0);
}

TEST_F(CommandThreads, WindowQueueAndABusyQueue) {
    useLine(2);
    // A busy queue refuses a new request rather than overwrite the one waiting.
    ASSERT_EQ(queueWindowCommand("- Talk 2"), 0);
    EXPECT_EQ(queueWindowCommand("Mute N"), 1);
    EXPECT_EQ(queueRemoteCommands(commandPacket({"Quit"}, 1), 1), 1);
    startBufferThread();
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(lineTable[2].active, 1); // "- " runs the rest without the echo
    EXPECT_EQ(settings.terminateMode, 0);
    for (const char* command : {"Hold 2", "-", ""}) {
        ASSERT_EQ(queueWindowCommand(command), 0);
        ASSERT_TRUE(waitIdle());
    }
    EXPECT_EQ(lineTable[2].active, 0);
    EXPECT_EQ(console.text(), "\nCMD: Hold 2\nInvalid Command\n\nCMD: \nInvalid Command\n\n");
    EXPECT_TRUE(nothingFrom(2));
}

TEST_F(CommandThreads, StartupCommandsRunBeforeThePrompt) {
    settings.startupCommands = {"-Mute Y", "-   ", "-Talk 9", "-Reply  at  lunch"};
    settings.startupCommandCount = 4;
    startConsoleThread();
    ASSERT_TRUE(console.waitText(PROMPT));
    EXPECT_EQ(console.take(), "\nCMD: Mute Y\nMicrophone Muted\n\nCMD: \nInvalid Command\n\n"
                              "CMD: Talk 9\nInvalid Line Number\n\nCMD: Reply  at  lunch\n" +
                                  PROMPT);
    EXPECT_EQ(settings.startupCommandCount, 0);
    EXPECT_EQ(settings.autoMessage.get(), "at  lunch");

    // Without echo (a stored text that began with "+").
    stopThreads();
    resetCommandState();
    console.reopen();
    settings.echoStartupCommands = 0;
    settings.startupCommands = {"-Mute N"};
    settings.startupCommandCount = 1;
    startConsoleThread();
    ASSERT_TRUE(console.waitText(PROMPT));
    EXPECT_EQ(console.text(), "\nMicrophone Enabled\n\n" + PROMPT);
}

TEST_F(CommandThreads, PromptCommandListAndTypedLines) {
    startConsoleThread();
    ASSERT_TRUE(console.waitText("\n" + PROMPT));
    EXPECT_EQ(console.take(), "\n" + PROMPT);

    auto typed = [this](const std::string& line, const std::string& expected) {
        console.type(line);
        EXPECT_TRUE(console.waitText(expected)) << line;
        EXPECT_EQ(console.take(), expected) << line;
    };
    typed("ListCommands", "> ");
    typed("X 0 1", "diag: 0 -> 1\nValues: 1 8 8 0 10 8 0 [15]\n\n> ");
    typed("l", COMMAND_LIST +
                   "X Type Val, Y [NewPswd], Z ## (ScreenDump), + Startup|?, & ?|DNSUpdate "
                   "DNSName\n"
                   "X_Types:  0=Diag 1=Thresh1 2=Thresh2 3=Mid Diff 4=MinSlp 5=DumpLim 6=Comp "
                   "Code\n"
                   "DiagBits: 0=Menu 1=Buffs 2=I/O #s 3=I/O Tots 4=Index #s 5=Vols 6=Tone 7=Ver\n"
                   "          8=WinMsg 9=InBuff 10=NoWait 11=NoErase 12=RawIP 13=InStats\n"
                   "Values:   1 8 8 0 10 8 0 [15]\n> ");

    // An empty line is the status display; typed commands end in a line feed, also those
    // typed with a carriage return before it.
    console.type("");
    console.type("Reply back soon\r");
    ASSERT_TRUE(console.waitReads(6));
    ASSERT_TRUE(console.waitText(std::string(79, '_')));
    EXPECT_EQ(settings.autoMessage.get(), "back soon");

    // End of input shows the command list and the prompt once more.
    console.take();
    console.endInput();
    ASSERT_TRUE(console.waitReads(7));
    ASSERT_TRUE(console.waitText("Values:   1 8 8 0 10 8 0 [15]\n> "));
    EXPECT_EQ(console.take().substr(0, COMMAND_LIST.size()), COMMAND_LIST);
}

TEST_F(CommandThreads, WindowClosesAndReopensTheConsole) {
    ScriptConsole reopened;
    std::atomic<int> closes{0};
    setConsoleHooks({[&] { return static_cast<Console*>(&reopened); },
                     [&](Console* c) {
                         ++closes;
                         static_cast<ScriptConsole*>(c)->close();
                     }});
    // The buffer thread's opening line break first, so it cannot land inside the command list.
    startBufferThread();
    ASSERT_TRUE(console.waitText("\n"));
    startConsoleThread();
    ASSERT_TRUE(console.waitText(PROMPT));
    console.type("Window");
    ASSERT_TRUE(waitFor([&] { return closes == 1; }));
    EXPECT_EQ(currentConsole(), nullptr);

    // A queued Window opens it again.
    ASSERT_EQ(queueWindowCommand("w"), 0);
    EXPECT_TRUE(reopened.waitText(PROMPT));
    EXPECT_EQ(currentConsole(), &reopened);
    reopened.type("Mute Y");
    EXPECT_TRUE(reopened.waitText("Microphone Muted\n"));
    stopCommandThreads();
    reopened.close();
    stopThreads();
    setConsoleHooks({});
}

TEST_F(CommandThreads, OverLongTypedLineIsCut) {
    startConsoleThread();
    console.type("Reply " + std::string(400, 'r'));
    ASSERT_TRUE(console.waitReads(2));
    ASSERT_TRUE(console.waitText("> "));
    // 254 bytes with the line feed: the command word, a space and 247 characters.
    EXPECT_EQ(settings.autoMessage.get(), std::string(247, 'r'));
}

TEST_F(CommandThreads, QuestionsAreAnsweredByTheNextTypedLine) {
    ConsoleDialogs dialogs;
    settings.callPassword.set("pw");
    startConsoleThread();
    ASSERT_TRUE(console.waitText("> "));
    console.take();

    int answer = -1;
    std::thread asker([&] {
        answer =
            dialogs.ask("Incoming Call", "Accept Call From bob 8192 [Bob]\n", DialogButtons::yesNo);
    });
    const std::string question = "Incoming Call: Accept Call From bob 8192 [Bob]\n(Y or N)\n";
    ASSERT_TRUE(console.waitText(question));
    console.type("maybe");
    ASSERT_TRUE(console.waitText(question + question + "> "));
    console.type(" y");
    asker.join();
    EXPECT_EQ(answer, DIALOG_YES);
    // The answers were not run as commands ("y" would have cleared the password).
    EXPECT_EQ(settings.callPassword.get(), "pw");
    console.type("Mute Y");
    ASSERT_TRUE(console.waitText("Microphone Muted\n"));
    EXPECT_EQ(waitingConsoleQuestions(), 0);
}

TEST_F(CommandThreads, QuestionsInTurnAndCancelled) {
    ConsoleDialogs dialogs;
    startConsoleThread();
    ASSERT_TRUE(console.waitText("> "));

    int first = -1, second = -1, third = -1;
    std::atomic<uint8_t> cancel{0};
    std::thread a([&] { first = dialogs.ask("Talkcircle Query", "Ready?", DialogButtons::ok); });
    ASSERT_TRUE(console.waitText("Talkcircle Query: Ready?\n(Enter = OK)\n"));
    std::thread b(
        [&] { second = dialogs.ask("Talkcircle Query", "Stay?", DialogButtons::yesNoCancel); });
    ASSERT_TRUE(waitFor([] { return waitingConsoleQuestions() == 2; }));
    std::thread c([&] {
        third = dialogs.ask("Incoming Call", "Accept Call From x 1 []\n", DialogButtons::yesNo,
                            &cancel);
    });
    ASSERT_TRUE(waitFor([] { return waitingConsoleQuestions() == 3; }));
    // The second question is shown only once the first is answered.
    EXPECT_EQ(console.text().find("Stay?"), std::string::npos);
    console.type("");
    a.join();
    EXPECT_EQ(first, DIALOG_OK);
    ASSERT_TRUE(console.waitText("Talkcircle Query: Stay?\n(Y, N or C)\n"));
    console.type("c");
    b.join();
    EXPECT_EQ(second, DIALOG_CANCEL);
    ASSERT_TRUE(console.waitText("Incoming Call: Accept Call From x 1 []\n(Y or N)\n"));
    cancel = 1;
    c.join();
    EXPECT_EQ(third, DIALOG_CLOSED);
    EXPECT_EQ(waitingConsoleQuestions(), 0);
}

TEST_F(CommandThreads, QuestionsWithoutAConsole) {
    attachConsole(nullptr);
    ConsoleDialogs dialogs;
    EXPECT_EQ(dialogs.ask("Incoming Call", "Accept Call From x 1 []\n", DialogButtons::yesNo),
              DIALOG_NO);
    EXPECT_EQ(dialogs.ask("Talkcircle Query", "Go?", DialogButtons::yesNo), DIALOG_OK);
    EXPECT_EQ(dialogs.ask("Talkcircle Query", "Note", DialogButtons::ok), DIALOG_OK);
}

} // namespace
} // namespace tc::test
