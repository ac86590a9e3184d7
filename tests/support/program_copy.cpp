#include "support/program_copy.h"
#include "support/wait_until.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tc::test {

ProgramCopy::~ProgramCopy() {
    process_.finish();
    if (process_.sanitizerReported()) ADD_FAILURE() << name_ << " reported:\n" << process_.errors();
}

bool ProgramCopy::start(const CopySetup& setup) {
    port_ = setup.withPort ? (setup.port != 0 ? setup.port : freePort()) : 0;
    capture_ = dir_.file(name_ + "_in.wav");
    playback_ = dir_.file(name_ + "_out.wav");
    std::vector<int16_t> capture = setup.capture;
    if (capture.empty()) capture.assign(TEST_BLOCK, 0);
    if (!writeWav(capture_, capture)) return false;

    std::vector<std::string> args{"--audio=null", "--capture=" + capture_,
                                  "--playback=" + playback_};
    if (!setup.devices.empty()) args = setup.devices;
    if (setup.headless) args.insert(args.begin(), "--headless");
    args.push_back("--config=" + dir_.file(name_ + ".conf"));
    args.insert(args.end(), setup.options.begin(), setup.options.end());
    args.insert(args.end(), setup.commands.begin(), setup.commands.end());
    args.push_back(setup.id);
    if (setup.withPort) {
        args.push_back(std::to_string(port_));
        if (!setup.password.empty()) args.push_back(setup.password);
    }
    std::vector<std::string> env{"XDG_RUNTIME_DIR=" + dir_.path(), "XDG_STATE_HOME=" + dir_.path(),
                                 "XDG_CONFIG_HOME=" + dir_.path(), "LC_ALL=C"};
    env.insert(env.end(), setup.env.begin(), setup.env.end());
    return process_.start(program_, args, env);
}

bool ProgramCopy::waitReady(int timeoutMs) {
    return process_.waitForAnywhere("> ", timeoutMs);
}

std::string ProgramCopy::udpQuery(const std::string& query, int timeoutMs) const {
    int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) return {};
    sockaddr_in to{AF_INET, htons(static_cast<uint16_t>(port_)), {htonl(INADDR_LOOPBACK)}, {}};
    std::string reply;
    pollfd p{s, POLLIN, 0};
    if (::sendto(s, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) >=
            0 &&
        ::poll(&p, 1, timeoutMs) > 0) {
        char buffer[1024];
        ssize_t n = ::recv(s, buffer, sizeof(buffer), 0);
        if (n > 0) reply.assign(buffer, static_cast<size_t>(n));
    }
    ::close(s);
    return reply;
}

bool ProgramCopy::waitCalls(int calls, int timeoutMs) const {
    const std::string wanted = "Calls=" + std::to_string(calls) + "\n";
    return eventually([&] { return udpQuery("P").ends_with(wanted); }, timeoutMs, 100);
}

int ProgramCopy::quit(int timeoutMs) {
    process_.sendLine("Quit");
    return process_.waitExit(timeoutMs);
}

std::string describe(ProgramCopy& copy) {
    return "--- output ---\n" + copy.output() + "\n--- errors ---\n" + copy.process().errors();
}

} // namespace tc::test
