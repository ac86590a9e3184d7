// A headless copy on a pseudo terminal: the status rows above a scroll region, the prompt and the
// command list, line editing, the history recalled with the arrow key, a message that arrives
// while a line is typed, Ctrl+C, Ctrl+D, a clean Quit and the history file.
#include <fstream>
#include <sstream>
#include <sys/stat.h>

#include "copies.h"
#include "support/scripted_peer.h"

namespace tc::test {
namespace {

TEST(HeadlessTerminal, EditingHistoryMessagesCtrlCAndQuit) {
    TempDir dir;
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
    std::stringstream saved;
    saved << std::ifstream(path).rdbuf();
    // libedit keeps a space as "\040".
    EXPECT_NE(saved.str().find("mute\\040y\nJump\nmute\\040n\nmute\\040y\nQuit\n"),
              std::string::npos)
        << saved.str();
}

} // namespace
} // namespace tc::test
