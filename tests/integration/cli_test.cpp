#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

struct RunResult {
    std::string out;
    int exitCode = -1;
};

// Runs the program with `args`, collecting stdout; kills it if it has not ended within 10 s.
RunResult runProgram(const std::vector<std::string>& args) {
    RunResult result;
    // The syntax box must never appear on the desktop of whoever runs the tests.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

    std::vector<char*> argv;
    std::string program = TC_PROGRAM;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (auto& a : copies)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (rc != 0) {
        close(pipeFds[0]);
        return result;
    }

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    char buf[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{pipeFds[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t n = read(pipeFds[0], buf, sizeof(buf));
        if (n <= 0) break;
        result.out.append(buf, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    int status = 0;
    pid_t ended = 0;
    while ((ended = waitpid(pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline)
        usleep(10000);
    if (ended != pid) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return result;
    }
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    return result;
}

std::string expectedSyntax() {
    std::ifstream in(std::string(TC_TEST_DATA) + "/syntax_text.txt", std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str() + "\n";
}

TEST(CommandLineProgram, HelpPrintsTheSyntaxTextAndExitsZero) {
    std::string expected = expectedSyntax();
    ASSERT_GT(expected.size(), 1000u);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--help"}, {"/?"}, {"--headless", "/?"}, {"--config=/nonexistent/x", "--help"}}) {
        RunResult r = runProgram(args);
        EXPECT_EQ(r.exitCode, 0) << args.back();
        EXPECT_EQ(r.out, expected) << args.back();
    }
}

TEST(CommandLineProgram, VersionPrintsTheBanner) {
    RunResult r = runProgram({"--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "TALKCIRCLE CONSOLE  Version 1.1\n");
}

} // namespace
