#pragma once
#include <atomic>
#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <vector>

#include "platform/shared_text.h"

namespace tc {

constexpr const char* BANNER = "TALKCIRCLE CONSOLE  Version 1.1";
constexpr const char* DEFAULT_OWN_ID = "Talkcircle";
constexpr const char* DEFAULT_CALL_ADDRESS = "localhost";

constexpr int INCOMING_ANSWER = 0;
constexpr int INCOMING_BLOCKED = 1;
constexpr int INCOMING_FORWARD = 2;
constexpr int INCOMING_NO_PORT = 4;

constexpr int HUB_P2P = 0;
constexpr int HUB_HUB = 1;
constexpr int HUB_SERVER = 2;

// The process-wide settings record. Numbers are atomics and texts are locked copies, because
// every thread reads and writes them.
struct Settings {
    SharedText ownId{126};
    std::atomic<int> listenPort{0};
    sockaddr_in listenAddress{}; // written once at start-up, before the network threads start
    SharedText callPassword{255};
    std::atomic<int> incomingMode{INCOMING_ANSWER};
    SharedText autoMessage{255};
    SharedText forwardPort{6};
    std::atomic<int> hubMode{HUB_P2P};
    std::atomic<int> defaultCompLevel{15};
    std::atomic<int> defaultCompression{0};
    SharedText defaultCallAddress{255};
    SharedText defaultCallPort{6};
    SharedText defaultCallPassword{126};
    std::atomic<int> terminateMode{0};
    std::atomic<int> trayIcon{0};
    std::atomic<int> showCommand{1};
    std::atomic<int> dnsUpdateActive{0};
    SharedText dnsName{253};
    SharedText addressBookFile{255};
    std::atomic<int> echoStartupCommands{1};
    std::vector<std::string> startupCommands; // filled at start-up, then read by the command thread
    std::atomic<int> startupCommandCount{0};
    std::atomic<int> audioBufferCount{16};
    std::atomic<int> audioBufferTotal{32};
    std::atomic<int> thresh1{8};
    std::atomic<int> thresh2{8};
    std::atomic<int> midDiff{0};
    std::atomic<int> minSleep{10};
    std::atomic<int> dumpLim{8};
    std::atomic<int> diagBits{0};
    std::atomic<int> micMuted{0};
    std::atomic<int> masterMicGain{0};
    std::atomic<int> masterSpkGain{0};
};

extern Settings settings;

// Puts every field back to its built-in default (start of the program, and tests).
void resetSettings();

} // namespace tc
