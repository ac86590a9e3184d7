#include "calls/answer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "audio/audio_engine.h"
#include "calls/line_life.h"
#include "calls/receive.h"
#include "calls/send.h"
#include "core/lifecycle.h"
#include "core/line_table.h"
#include "core/output.h"
#include "core/packet_parse.h"
#include "core/protocol.h"
#include "core/settings.h"
#include "core/window_hooks.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/thread_start.h"

namespace tc {

namespace {

constexpr int ID_CHECKS = 12;
constexpr int ID_CHECK_MS = 500;
constexpr int REFUSAL_PAUSE_MS = 2000;
constexpr int TEARDOWN_PAUSE_MS = 2000;
constexpr int QUESTION_DELAY_MS = 2000;
// How long a refused caller's unread greeting is drained before the socket closes, so the
// close is an orderly one and the last message is not lost to a reset.
constexpr int DRAIN_MS = 300;
constexpr int MAX_STRANGERS_PER_ADDRESS = 2;
constexpr int ACCEPT_PAUSE_MIN_MS = 100;
constexpr int ACCEPT_PAUSE_MAX_MS = 2000;

// accept() errors that pass: the listener pauses and tries again.
bool transientAcceptError(int error) {
    switch (error) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case EPROTO:
    case ENETDOWN:
    case EHOSTUNREACH:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case EAGAIN:
        return true;
    default:
        return false;
    }
}

// Closes a socket that never became a line: the pending greeting of the caller is read away
// first so that the caller sees an orderly end after our last packet.
void closeAcceptedSocket(int s) {
    ::shutdown(s, SHUT_WR);
    timeval tv{0, 50 * 1000};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    char sink[PACKET_BYTES];
    int64_t until = monotonicMs() + DRAIN_MS;
    while (monotonicMs() < until) {
        ssize_t n = ::recv(s, sink, sizeof(sink), 0);
        if (n == 0) break;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
    }
    if (::close(s) != 0) message("Socket Close Error\n");
    message("Call Disconnected\n");
}

void forwardCall(int s, const std::string& from, int srcPort) {
    std::string host = settings.autoMessage.get();
    int port = std::atoi(settings.forwardPort.get().c_str());
    printTimeStamp();
    message("Incoming Call From %s %d\n", from.c_str(), srcPort);
    message("Incoming Call Forwarded to: %s %d\n", host.c_str(), port);
    if (sendSocketPacket(s, host.c_str(), PKT_FORWARD, port) < 1) return;
    sleepMs(REFUSAL_PAUSE_MS);
}

void blockCall(int s) {
    std::string text = settings.autoMessage.get();
    if (!text.empty() && sendSocketPacket(s, text.c_str(), PKT_MESSAGE, 0) < 1)
        message("Send Auto Message Failed\n");
    sleepMs(REFUSAL_PAUSE_MS);
}

// A line that was claimed but never got its hold thread: marked ending, given back after the
// usual pause. The pause runs on a thread of its own, so that callers who hang up at once cannot
// hold the answer thread (and every later caller) two seconds each.
void abandonLine(int n) {
    displayDirty = 1;
    lineTable[n].ending = 1;
    lineTable[n].sock = -1; // the answer thread closes the socket
    auto release = [n] {
        sleepMs(TEARDOWN_PAUSE_MS);
        releaseLine(n);
    };
    if (startRetiringThread(release) != 0) release();
}

// Starts the hold, receive and send threads of line n. Returns 0 when all run; 1 when the line
// must be given up here (no hold thread); 2 when the hold thread runs and will end the line.
int startIncomingThreads(int n) {
    LineRecord& r = lineTable[n];
    std::lock_guard lock(lineThreadsLock(n));
    if (startThread(r.ownerThread, ThreadKind::owner, holdThread, n) != 0) {
        message("Hold Thread Error\n");
        return 1;
    }
    if (startThread(r.recvThread, ThreadKind::receive, receiveThread, n) != 0) {
        message("Incoming Thread Error\n");
        r.ending = 1;
        return 2;
    }
    if (startThread(r.sendThread, ThreadKind::send, sendThread, n) != 0) {
        message("Outgoing Thread Error\n");
        r.ending = 1;
        return 2;
    }
    return 0;
}

// Lines held by callers from this address that are not accepted (nor ending) yet.
int strangersFrom(const in_addr& addr) {
    int count = 0;
    for (const LineRecord& r : lineTable)
        if (r.inUse && r.incoming && !r.accepted && !r.ending &&
            r.peerAddr.get().sin_addr.s_addr == addr.s_addr)
            ++count;
    return count;
}

// ANSWER mode. Returns true when the socket now belongs to a line.
bool answerCall(int s, const sockaddr_in& from, const std::string& fromText, int srcPort) {
    if (sendSocketPacket(s, BANNER, PKT_VERSION,
                         static_cast<int>(startupState.instanceStamp.load())) < 1) {
        message("Send Version Failed\n");
        return false;
    }
    int code = settings.defaultCompression;
    if (code != 0 && sendSocketPacket(s, nullptr, PKT_COMPRESSION, code) < 1) {
        message("Send Compression Code Failed\n");
        return false;
    }
    int n = strangersFrom(from.sin_addr) < MAX_STRANGERS_PER_ADDRESS ? claimLine(true) : -1;
    if (n < 0) {
        printTimeStamp();
        message("Incoming Call From %s %d\n", fromText.c_str(), srcPort);
        sendSocketPacket(s, "Destination Full - Cannot Complete Call", PKT_MESSAGE, 1);
        message("Max Number of Connections Exceeded - ");
        return false;
    }
    startCallSerial(n);
    LineRecord& r = lineTable[n];
    r.sock = s;
    r.peerName.set(fromText);
    r.port = srcPort;
    r.peerAddr.set(from);
    if (sendPacket(n, settings.ownId.get().c_str(), PKT_ID, settings.listenPort) < 1) {
        abandonLine(n);
        return false;
    }
    int started = startIncomingThreads(n);
    if (started == 1) {
        abandonLine(n);
        return false;
    }
    // With the hold thread running the socket is the line's even when a line thread failed:
    // the hold thread's teardown closes it.
    if (started == 2) message("Call Disconnected\n");
    return true;
}

// The caller as the question shows it: " From <address> <port> [<id>]\n". The answer is
// reported with the same text, even when the caller's ID arrives while the question is open.
std::string callerText(int n) {
    LineRecord& r = lineTable[n];
    int port = r.peerPort != 0 ? r.peerPort.load() : r.port.load();
    std::string id = r.peerId.get();
    char text[FORMAT_BUFFER];
    if (settings.diagBits & DIAG_RAW_IP) {
        sockaddr_in peer = r.peerAddr.get();
        const auto* b = reinterpret_cast<const uint8_t*>(&peer.sin_addr.s_addr);
        std::snprintf(text, sizeof(text), " From %d.%d.%d.%d %d [%s]\n", b[0], b[1], b[2], b[3],
                      port, id.c_str());
    } else {
        std::snprintf(text, sizeof(text), " From %s %d [%s]\n", r.peerName.get().c_str(), port,
                      id.c_str());
    }
    return text;
}

void announceServerList() {
    std::string list = buildServerList();
    for (int k = 0; k < MAX_LINES; ++k) {
        LineRecord& r = lineTable[k];
        if (r.inUse && r.accepted && !r.active) sendPacket(k, list.c_str(), PKT_SERVERLIST, 0);
    }
}

void waitForCallerId(int n) {
    LineRecord& r = lineTable[n];
    for (int i = 0; i < ID_CHECKS; ++i) {
        if (!r.peerId.empty() && r.peerPort != 0) break;
        if (sleepUnlessEnding(n, ID_CHECK_MS)) return;
    }
    sleepUnlessEnding(n, 100);
}

} // namespace

std::string timeStampText() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char date[64] = "";
    char time[64] = "";
    std::strftime(date, sizeof(date), "%x", &local);
    std::strftime(time, sizeof(time), "%X", &local);
    return std::string(date) + "  " + time + "  ";
}

void printTimeStamp() {
    std::string stamp = timeStampText();
    message("%s", stamp.c_str());
}

void answerThread() {
    int pause = ACCEPT_PAUSE_MIN_MS;
    for (;;) {
        sockaddr_in from{};
        socklen_t len = sizeof(from);
        int s = ::accept4(startupState.listenSocket, reinterpret_cast<sockaddr*>(&from), &len,
                          SOCK_CLOEXEC);
        if (s < 0) {
            if (startupState.closing) return;
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (transientAcceptError(errno)) {
                for (int waited = 0; waited < pause && !startupState.closing; waited += 50)
                    sleepMs(50);
                pause = std::min(pause * 2, ACCEPT_PAUSE_MAX_MS);
                continue;
            }
            message("Accept Error\n");
            return;
        }
        pause = ACCEPT_PAUSE_MIN_MS;
        if (startupState.closing) {
            ::close(s);
            return;
        }
        setNoDelay(s);
        std::string fromText = dottedAddress(from.sin_addr);
        int srcPort = ntohs(from.sin_port);
        int mode = settings.incomingMode;
        bool kept = false;
        if (mode == INCOMING_FORWARD)
            forwardCall(s, fromText, srcPort);
        else if (mode != INCOMING_ANSWER)
            blockCall(s);
        else
            kept = answerCall(s, from, fromText, srcPort);
        if (!kept) closeAcceptedSocket(s);
        displayDirty = 1;
    }
}

void holdThread(int n) {
    LineRecord& r = lineTable[n];
    if (!r.ending) waitForCallerId(n);
    if (!r.ending && !r.accepted) {
        std::lock_guard lock(lineThreadsLock(n));
        if (startThread(r.allowThread, ThreadKind::allow, allowThread, n) != 0) {
            message("Allow Thread Error\n");
            r.ending = 1;
        }
    }
    rowUpdate(n);
    if (!r.ending && settings.hubMode == HUB_SERVER && !r.active) announceServerList();
    // An incoming-call question not answered in time counts as No.
    int64_t askUntil = monotonicMs() + QUESTION_DELAY_MS + callQuestionMs;
    while (!r.ending && !r.accepted) {
        if (monotonicMs() >= askUntil) {
            r.questionClosed = 1;
            break;
        }
        r.ending.waitSet(100);
    }
    waitUntilEnding(n);
    r.questionClosed = 1;

    r.active = 0;
    {
        // The question closes by itself once the line is ending.
        std::lock_guard lock(lineThreadsLock(n));
        if (r.allowThread.joinable()) r.allowThread.join();
    }
    audioState.toneRequest = 0;
    if (wakeLineSocket(n) != 0) message("Socket Close Error\n");
    message("Call #%d Disconnected\n", n);
    rowUpdate(ROW_REMOVE + n);
    noteLineEnded(n);
    int64_t until = monotonicMs() + TEARDOWN_PAUSE_MS;
    joinLineThreads(n);
    int64_t left = until - monotonicMs();
    if (left > 0) sleepMs(static_cast<int>(left));
    releaseOwnedLine(n);
}

void allowThread(int n) {
    LineRecord& r = lineTable[n];
    std::string caller = callerText(n);
    restoreMainWindow();
    audioState.toneRequest = 1;
    if (sleepUnlessEnding(n, QUESTION_DELAY_MS)) {
        audioState.toneRequest = 0;
        return;
    }
    int answer = dialogs().ask("Incoming Call", "Accept Call" + caller, DialogButtons::yesNo,
                               &r.questionClosed);
    audioState.toneRequest = 0;
    // Closed because the caller hung up meanwhile: the hold thread ends the line.
    if (r.ending) return;
    if (answer == DIALOG_YES) {
        r.active = 1;
        r.accepted = 1;
        displayDirty = 1;
        message("Accepted Call%s", caller.c_str());
    } else {
        message("Rejected Call%s", caller.c_str());
        displayDirty = 1;
        r.ending = 1;
    }
}

} // namespace tc
