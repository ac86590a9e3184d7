// Start-up of a real copy: the syntax text and the version; the ways start-up fails, one copy per
// port, and meanwhile the status service on a running copy's port and a copy without a port;
// a clean end on a termination signal; a copy on a pseudo terminal.
#include <csignal>
#include <filesystem>
#include <sys/stat.h>

#include "copies.h"
#include "support/scripted_peer.h"

namespace tc::test {
namespace {

using StartupTest = Copies;

// A display is named, but nothing answers there.
const std::vector<std::string> deadDisplay{"DISPLAY=:7391", "WAYLAND_DISPLAY=talkcircle-none",
                                           "QT_QPA_PLATFORM="};

// Runs the program with `args` to its end; its exit code and what it printed. By default the
// syntax box never appears on the desktop of whoever runs the tests.
std::pair<int, std::string> run(const std::vector<std::string>& args,
                                const std::vector<std::string>& env = {
                                    "QT_QPA_PLATFORM=offscreen"}) {
    ProgramProcess p;
    p.runToEnd(TC_PROGRAM, args, env);
    return {p.waitExit(0), p.output() + p.errors()};
}

// A headless copy on a pseudo terminal: the status rows above a scroll region, the prompt and the
// command list, line editing, the history recalled with the arrow key, a message that arrives
// while a line is typed, Ctrl+C, Ctrl+D, a clean Quit and the history file.
TEST_F(StartupTest, HeadlessOnATerminalEditingHistoryMessagesCtrlCAndQuit) {
    ProgramProcess copy;
    const int port = freePort();
    ASSERT_TRUE(copy.start(TC_PROGRAM,
                           {"--headless", "--audio=null", "--config=" + dir.file("tc.conf"),
                            "Alice", std::to_string(port)},
                           {"XDG_STATE_HOME=" + dir.file("state"), "XDG_RUNTIME_DIR=" + dir.path()},
                           true));
    // The prompt is printed and the line editor reads keys (line mode is off).
    auto editing = [&] { return says(copy, "> ") && eventually([&] { return copy.readsKeys(); }); };
    auto command = [&](std::string_view keys, std::string_view reply) {
        return copy.sendKeys(keys) && says(copy, reply) && editing();
    };
    // Twelve status rows stay above a scroll region of the other 38 rows of the terminal.
    EXPECT_TRUE(copy.waitForAnywhere("\0337\033[13;50r\033[1;1H\033[2K")) << copy.output();
    EXPECT_TRUE(copy.waitForAnywhere("[Alice]\033[2;1H\033[2K")) << copy.output();
    ASSERT_TRUE(says(copy, "ListCommands. (# = -1 = All Lines)\r\n"));
    ASSERT_TRUE(says(copy, "Y [NewPswd], + Startup|?, & ?|DNSUpdate DNSName\r\n") && editing());
    ASSERT_TRUE(command("mute y\r", "Microphone Muted\r\n"));
    ASSERT_TRUE(command("Jump\r", "Invalid Command\r\n\r\n"));
    // Up twice recalls "mute y"; edited at the end of the line into "mute n".
    ASSERT_TRUE(copy.sendKeys("\033[A\033[A") && says(copy, "mute y"));
    ASSERT_TRUE(command("\x7fn\r", "Microphone Enabled\r\n"));

    // A message printed while a line is typed: the line is erased, the message printed, and the
    // prompt and typed text drawn again below it.
    ASSERT_TRUE(copy.sendKeys("Talk") && says(copy, "Talk"));
    ScriptedPeer caller; // a caller's message
    ASSERT_TRUE(caller.connectTo(port) && caller.sendText(PKT_MESSAGE, 0, "Hi"));
    ASSERT_TRUE(says(copy, "\r\033[JMessage From #0:  Hi\r\n> Talk"));
    // Ctrl+C drops the typed text and gives a new prompt; the copy goes on.
    ASSERT_TRUE(copy.sendKeys("\x03") && says(copy, "\r\n> "));
    // Ctrl+D on an empty line gives the command list and the prompt back, every time.
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(eventually([&] { return copy.readsKeys(); }) && copy.sendKeys("\x04") &&
                    says(copy, "(# = -1 = All Lines)\r\n") && says(copy, "> "));
    ASSERT_TRUE(command("mute y\r", "Microphone Muted\r\n"));

    copy.sendLine("Quit");
    EXPECT_EQ(copy.waitExit(), 0) << copy.output();
    copy.finish();
    EXPECT_TRUE(says(copy, "\0337\033[r\0338")); // the whole terminal scrolls again

    // Only the user may read the history: it can hold passwords typed with commands.
    const std::string path = dir.file("state") + "/talkcircle/history";
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // libedit keeps a space as "\040".
    const std::string saved = TempDir::read(path);
    EXPECT_NE(saved.find("mute\\040y\nJump\nmute\\040n\nmute\\040y\nQuit\n"), std::string::npos)
        << saved;
}

TEST_F(StartupTest, HelpPrintsTheSyntaxTextVersionTheBannerAndAnUnknownOptionAnError) {
    const std::string syntax = TempDir::read(TC_TEST_DATA "/syntax_text.txt") + "\n";
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--help"}, {"/?"}, {"--headless", "/?"}, {"--config=/nonexistent/x", "--help"}})
        EXPECT_EQ(run(args), std::make_pair(0, syntax)) << args.back();
    EXPECT_EQ(run({"--help"}, deadDisplay), std::make_pair(0, syntax));
    EXPECT_EQ(run({"--version"}),
              std::make_pair(0, std::string("TALKCIRCLE CONSOLE  Version 1.1\n")));
    EXPECT_EQ(run({"/H", "--bogus", "Id"}),
              std::make_pair(2, std::string("talkcircle: unknown option --bogus\n")));
}

// Each failing start-up waits five seconds before it ends, so they run side by side. A sound
// file that cannot be read fails before the port is listened on. A copy whose display does not
// answer runs headless, where Window keeps its console.
TEST_F(StartupTest, FailedStartsEndWithOneWhileTheRunningCopiesGoOn) {
    ProgramCopy first(dir, "first"), second(dir, "second"), blocked(dir, "blocked"),
        portless(dir, "portless"), soundless(dir, "soundless");
    ScriptedPeer holder; // another program listening on a port
    ASSERT_TRUE(startCopy(first, {.id = "First"}));
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(second.start({.port = first.port()}) && blocked.start({.port = holder.listen()}));
    ASSERT_TRUE(server.start({.withPort = false, .options = {"/S"}}) &&
                soundless.start({.options = {"--capture=" + dir.file("none.wav")}}) &&
                portless.start(
                    {.withPort = false, .options = {"/T"}, .headless = false, .env = deadDisplay}));

    EXPECT_TRUE(says(second, "Talkcircle Console Already Running on This Port\n"));
    EXPECT_TRUE(says(blocked, "Bind Error\n"));
    EXPECT_TRUE(says(server, "CANNOT RUN SERVER MODE WITHOUT INPUT PORT\n"));
    ASSERT_TRUE(says(soundless, "Sound Setup Error: "));
    EXPECT_EQ(soundless.udpQuery("P", 500) + std::to_string(connectLoopback(soundless.port(), 0)),
              "-1");
    EXPECT_TRUE(says(portless, "    NO INPUT PORT       INCOMING CALLS DISABLED\n\n"));
    ASSERT_TRUE(says(portless, "> ") && portless.type("Window") && portless.type("Block Y"));
    EXPECT_TRUE(says(portless, "Incoming Calls Disabled\n"));

    for (ProgramCopy* failed : {&second, &blocked, &server, &soundless})
        EXPECT_EQ(failed->process().waitExit(9000), 1) << describe(*failed);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(4900));
    EXPECT_EQ(second.count("Bind Error"), 0u);
    // The first copy keeps its port: its status service answers, and follows the settings as
    // commands change them.
    EXPECT_EQ(first.udpQuery("ip\n"), "ID=First\nBlk=0 Hub=0 Calls=0\n");
    ASSERT_TRUE(first.type("Block Y") && first.type("/Hub H"));
    EXPECT_TRUE(eventually([&] { return first.udpQuery("P") == "Blk=1 Hub=1 Calls=0\n"; }));
    // With /T and never a call, the copy keeps running until it is told to quit.
    EXPECT_EQ(portless.process().waitExit(0), -1);
    EXPECT_EQ(portless.quit(), 0) << describe(portless);
}

// Copies with a window (Qt's offscreen platform) end as Quit does on each termination signal.
TEST_F(StartupTest, TerminationSignalEndsTheProgramAsQuitDoes) {
    const std::vector<std::string> offscreen{"QT_QPA_PLATFORM=offscreen"};
    ProgramCopy hup(dir, "hup"), intr(dir, "int");
    ASSERT_TRUE(startCopy(bob, {.id = "Bob", .password = "pw"}));
    ASSERT_TRUE(alice.start({.id = "Alice",
                             .commands = {"-" + callLine(bob, "pw")},
                             .headless = false,
                             .env = offscreen}) &&
                says(bob, "[Alice] [*]\n"));
    ASSERT_TRUE(hup.start({.headless = false, .env = offscreen}) &&
                intr.start({.headless = false, .env = offscreen}));
    ASSERT_TRUE(hup.waitCalls(0) && intr.waitCalls(0) && alice.waitCalls(1)); // listening

#ifdef TC_HAVE_QT
    const int interrupt = SIGINT; // Ctrl+C belongs to a console only on the terminal
#else
    const int interrupt = SIGHUP; // no window: these copies run headless
#endif
    for (auto [copy, signal] : {std::pair(&alice, SIGTERM), {&hup, SIGHUP}, {&intr, interrupt}}) {
        ::kill(copy->process().pid(), signal);
        EXPECT_EQ(copy->process().waitExit(9000), 0) << signal << describe(*copy);
    }
    ASSERT_TRUE(says(bob, "Call #0 Disconnected\n") && bob.waitCalls(0));
    // The speaker's file was finished: its header counts every sample written.
    size_t samples = readWav(alice.playbackPath()).size();
    EXPECT_GT(samples, 0u);
    EXPECT_EQ(std::filesystem::file_size(alice.playbackPath()), 44 + 2 * samples);
}

// Nobody reads the copy's output: the console drops what it cannot take, the rest goes on.
TEST_F(StartupTest, UnreadOutputNeverStopsACallBeingAccepted) {
    ASSERT_TRUE(startCopy(bob, {.id = "Bob", .password = "pw"}));
    bob.process().holdOutput(true);
    for (int i = 0; i < 1000; ++i) // about 400 kB of command lists, more than a pipe holds
        ASSERT_TRUE(bob.type("?"));
    ASSERT_TRUE(bob.type("/Hub H")); // typed last: once it shows, the console has printed the rest
    ASSERT_TRUE(
        eventually([&] { return bob.udpQuery("P").find("Hub=1") != std::string::npos; }, 30000));
    ASSERT_TRUE(alice.start({.commands = {"-" + callLine(bob, "pw")}}));
    EXPECT_TRUE(says(alice, "Call Accepted\n") && bob.waitCalls(1));
    bob.process().holdOutput(false);
    EXPECT_TRUE(says(bob, " messages not shown]\n"));
    EXPECT_EQ(alice.quit(), 0);
    EXPECT_EQ(bob.quit(), 0) << describe(bob);
}

} // namespace
} // namespace tc::test
