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

// Bits of Settings.diagBits (set with the X command).
constexpr int DIAG_LIST = 1 << 0;          // command list in its second form
constexpr int DIAG_BUFFS = 1 << 1;         // playback queue counts of the audio engine
constexpr int DIAG_IO_NUMBERS = 1 << 2;    // line numbers of blocks played and captured
constexpr int DIAG_IO_TOTALS = 1 << 3;     // counts of lines served per block
constexpr int DIAG_INDEX_NUMBERS = 1 << 4; // sequence numbers of received audio packets
constexpr int DIAG_VOLS = 1 << 5;          // Medium codec scale codes
constexpr int DIAG_TONE = 1 << 6;          // test signal instead of the microphone
constexpr int DIAG_VERSION = 1 << 7;       // peers' version packets
constexpr int DIAG_WIN_MSG = 1 << 8;       // every window event on the console and the log
constexpr int DIAG_IN_BUFF = 1 << 9;       // receive backlog
constexpr int DIAG_NO_WAIT = 1 << 10;      // outgoing calls
constexpr int DIAG_NO_ERASE = 1 << 11;     // no action resets or clears a field
constexpr int DIAG_RAW_IP = 1 << 12;       // callers shown by address, not name
constexpr int DIAG_IN_STATS = 1 << 13;     // per-line receive statistics

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
