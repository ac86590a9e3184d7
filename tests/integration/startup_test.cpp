// Start-up of a real copy: with and without a port, the ways start-up fails, one copy per port,
// the status service on the copy's port, and a clean end.
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "support/program_copy.h"

namespace tc::test {
namespace {

constexpr int FAILURE_EXIT_LIMIT_MS = 9000;

TEST(StartupTest, StatusServiceAnswersOnTheCallPort) {
    TempDir dir;
    ProgramCopy bob(dir, "bob", TC_PROGRAM);
    CopySetup s;
    s.id = "Bob";
    ASSERT_TRUE(bob.start(s));
    ASSERT_TRUE(bob.waitReady()) << describe(bob);

    EXPECT_EQ(bob.udpQuery("P"), "Blk=0 Hub=0 Calls=0\n");
    EXPECT_EQ(bob.udpQuery("ip\n"), "ID=Bob\nBlk=0 Hub=0 Calls=0\n");
    EXPECT_EQ(bob.udpQuery("x"), "?\n");
    EXPECT_EQ(bob.udpQuery("vx"), "TALKCIRCLE CONSOLE  Version 1.1\n?\n");
    EXPECT_EQ(bob.udpQuery(std::string("\0P", 2)), "?\n");
    EXPECT_EQ(bob.udpQuery(""), "?\n");
    EXPECT_EQ(bob.udpQuery("\x04\n"), "?\n");
    EXPECT_TRUE(bob.waitFor("Dynamic DNS Verified\n")) << describe(bob);
    // Many items: the reply never grows past its bound, it starts afresh.
    std::string many = bob.udpQuery(std::string(40, 'I'));
    EXPECT_FALSE(many.empty());
    EXPECT_LE(many.size(), 256u + 140u);

    ASSERT_TRUE(bob.type("Block Y"));
    ASSERT_TRUE(bob.type("/Hub H"));
    std::string reply;
    for (int i = 0; i < 50 && reply != "Blk=1 Hub=1 Calls=0\n"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        reply = bob.udpQuery("P");
    }
    EXPECT_EQ(reply, "Blk=1 Hub=1 Calls=0\n");
    EXPECT_EQ(bob.quit(), 0) << describe(bob);
    EXPECT_FALSE(bob.process().sanitizerReported()) << bob.process().errors();
}

TEST(StartupTest, WithoutAPortNoCallsComeInAndNothingAnswers) {
    TempDir dir;
    ProgramCopy alice(dir, "alice", TC_PROGRAM);
    CopySetup s;
    s.withPort = false;
    s.options = {"/T"};
    ASSERT_TRUE(alice.start(s));
    ASSERT_TRUE(alice.waitFor("    NO INPUT PORT       INCOMING CALLS DISABLED\n\n"))
        << describe(alice);
    ASSERT_TRUE(alice.waitReady());
    ASSERT_TRUE(alice.type("Block Y"));
    EXPECT_TRUE(alice.waitFor("Incoming Calls Disabled\n")) << describe(alice);
    // With /T and never a call, the copy keeps running until it is told to quit.
    EXPECT_EQ(alice.process().waitExit(1500), -1);
    EXPECT_EQ(alice.quit(), 0) << describe(alice);
}

TEST(StartupTest, ServerModeWithoutAPortEndsTheProgram) {
    TempDir dir;
    ProgramCopy alice(dir, "alice", TC_PROGRAM);
    CopySetup s;
    s.withPort = false;
    s.options = {"/S"};
    auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(alice.start(s));
    ASSERT_TRUE(alice.waitFor("CANNOT RUN SERVER MODE WITHOUT INPUT PORT\n")) << describe(alice);
    EXPECT_EQ(alice.process().waitExit(FAILURE_EXIT_LIMIT_MS), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(4900));
}

TEST(StartupTest, OnlyOneCopyListensOnAPort) {
    TempDir dir;
    ProgramCopy first(dir, "first", TC_PROGRAM), second(dir, "second", TC_PROGRAM),
        other(dir, "other", TC_PROGRAM);
    CopySetup s;
    s.id = "First";
    ASSERT_TRUE(first.start(s));
    ASSERT_TRUE(first.waitReady()) << describe(first);

    s.id = "Second";
    s.port = first.port();
    ASSERT_TRUE(second.start(s));
    ASSERT_TRUE(second.waitFor("Talkcircle Console Already Running on This Port\n"))
        << describe(second);
    EXPECT_EQ(second.count("Bind Error"), 0u);
    s.id = "Other";
    s.port = 0;
    ASSERT_TRUE(other.start(s));
    ASSERT_TRUE(other.waitReady()) << describe(other);
    EXPECT_EQ(second.process().waitExit(FAILURE_EXIT_LIMIT_MS), 1);
    EXPECT_EQ(first.udpQuery("I"), "ID=First\n");
    EXPECT_EQ(other.udpQuery("I"), "ID=Other\n");
}

TEST(StartupTest, TerminationSignalEndsTheProgramAsQuitDoes) {
    TempDir dir;
    ProgramCopy bob(dir, "bob", TC_PROGRAM), alice(dir, "alice", TC_PROGRAM);
    CopySetup b;
    b.id = "Bob";
    b.password = "pw";
    ASSERT_TRUE(bob.start(b));
    ASSERT_TRUE(bob.waitReady()) << describe(bob);
    CopySetup a;
    a.commands = {"-Call 127.0.0.1 " + bob.portText() + " pw"};
    ASSERT_TRUE(alice.start(a));
    ASSERT_TRUE(alice.waitFor("Call Accepted\n")) << describe(alice);

    ::kill(alice.process().pid(), SIGTERM);
    EXPECT_EQ(alice.process().waitExit(FAILURE_EXIT_LIMIT_MS), 0) << describe(alice);
    EXPECT_TRUE(alice.sees("Call #0 Disconnected\n", 0)) << describe(alice);
    ASSERT_TRUE(bob.waitFor("Call #0 Disconnected\n")) << describe(bob);
    EXPECT_TRUE(bob.waitCalls(0));
    // The speaker's file was finished: its header counts every sample written.
    struct stat st {};
    ASSERT_EQ(::stat(alice.playbackPath().c_str(), &st), 0);
    size_t samples = readWav(alice.playbackPath()).size();
    EXPECT_GT(samples, 0u);
    EXPECT_EQ(static_cast<size_t>(st.st_size), 44 + 2 * samples);
}

TEST(StartupTest, PortTakenByAnotherProgramIsABindError) {
    int port = freePort();
    int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    ASSERT_EQ(::listen(holder, 1), 0);

    TempDir dir;
    ProgramCopy alice(dir, "alice", TC_PROGRAM);
    CopySetup s;
    s.port = port;
    ASSERT_TRUE(alice.start(s));
    EXPECT_TRUE(alice.waitFor("Bind Error\n")) << describe(alice);
    EXPECT_EQ(alice.process().waitExit(FAILURE_EXIT_LIMIT_MS), 1);
    ::close(holder);
}

} // namespace
} // namespace tc::test
