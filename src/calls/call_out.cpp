#include "calls/call_out.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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
#include "platform/thread_start.h"

namespace tc {

namespace {

constexpr int FAILURE_PAUSE_MS = 2000;
constexpr int TEARDOWN_PAUSE_MS = 2000;

// Every failure after the claim: the record is marked ending for a while, then given back.
int failCall(int n, const char* text, int sock) {
    if (text) message("%s", text);
    LineRecord& r = lineTable[n];
    if (sock >= 0) {
        r.sock = -1;
        ::close(sock);
    }
    r.ending = 1;
    sleepMs(FAILURE_PAUSE_MS);
    releaseLine(n);
    return 1;
}

// A dotted IPv4 address as it is, or the first IPv4 address the name resolves to.
bool resolveHost(const std::string& host, in_addr& addr) {
    if (::inet_pton(AF_INET, host.c_str(), &addr) == 1) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
    addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return true;
}

const char* connectFailureText(int error, char* buffer, size_t size) {
    if (error == ETIMEDOUT) return "Connection Request Timed Out\n";
    if (error == ECONNREFUSED) return "Connection Request Refused\n";
    std::snprintf(buffer, size, "Connection Error %d\n", error);
    return buffer;
}

// The request of a web-page call: exactly its characters, no zero byte.
bool sendWebRequest(int sock, const std::string& host, const std::string& path) {
    std::string request = "GET /" + path + " HTTP/1.0\r\nHost: " + host + "\r\n\r\n";
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = ::send(sock, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// The caller's greeting; returns the failure text of the first send that failed, or null.
const char* sendGreeting(int n, const std::string& password, int autoRetry) {
    if (autoRetry && sendPacket(n, nullptr, PKT_AUTORETRY, 1) < 1)
        return "Send Auto Retry Failed\n";
    Packet id =
        buildIdPacket(settings.ownId.get(), password, settings.dnsName.get(), settings.listenPort);
    if (sendLinePacket(n, id) < 1) return "Send ID Failed\n";
    if (sendPacket(n, BANNER, PKT_VERSION, static_cast<int>(startupState.instanceStamp.load())) < 1)
        return "Send Version Failed\n";
    int code = settings.defaultCompression;
    if (code != 0 && sendPacket(n, nullptr, PKT_COMPRESSION, code) < 1)
        return "Send Compression Code Failed\n";
    if (sendPacket(n, nullptr, PKT_AUDIO, 0) < 1) return "Send Start Packet Failed\n";
    return nullptr;
}

} // namespace

int placeCall(const std::string& host, int port, const std::string& password, int autoRetry) {
    restoreMainWindow();
    int n = claimLine(false);
    if (n < 0) {
        message("Maximum Number of Connections Exceeded\n");
        return 1;
    }
    startCallSerial(n);
    LineRecord& r = lineTable[n];
    r.autoRetry = autoRetry ? 1 : 0;

    in_addr addr{};
    if (!resolveHost(host, addr)) return failCall(n, "HostName Error\n", -1);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    peer.sin_addr = addr;
    r.peerAddr.set(peer);

    int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return failCall(n, "Socket Error\n", -1);
    r.password.set(password);
    r.peerName.set(host);
    r.sock = sock;
    r.port = port;
    setNoDelay(sock);

    if (::connect(sock, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) != 0) {
        char buffer[64];
        return failCall(n, connectFailureText(errno, buffer, sizeof(buffer)), sock);
    }
    message("Connected\n");
    sockaddr_in local{};
    socklen_t len = sizeof(local);
    if (::getsockname(sock, reinterpret_cast<sockaddr*>(&local), &len) == 0) {
        peer.sin_port = local.sin_port;
        r.peerAddr.set(peer);
    }

    if (port == webCallPort) {
        if (!sendWebRequest(sock, host, password)) return failCall(n, nullptr, sock);
        r.peerPort = port;
        r.peerId.set(password);
    } else if (const char* failure = sendGreeting(n, password, autoRetry)) {
        return failCall(n, failure, sock);
    }

    int started;
    {
        std::lock_guard lock(lineThreadsLock(n));
        started = startThread(r.ownerThread, ThreadKind::owner, callThread, n);
    }
    if (started != 0) return failCall(n, "Makecall Call Thread Error\n", sock);
    displayDirty = 1;
    return 0;
}

void callThread(int n) {
    LineRecord& r = lineTable[n];
    {
        std::lock_guard lock(lineThreadsLock(n));
        if (startThread(r.recvThread, ThreadKind::receive, receiveThread, n) != 0) {
            message("Incoming Thread Error\n");
            r.ending = 1;
        } else if (startThread(r.sendThread, ThreadKind::send, sendThread, n) != 0) {
            message("Outgoing Thread Error\n");
            r.ending = 1;
        }
    }
    if (!r.ending) {
        if (settings.diagBits & DIAG_NO_WAIT) r.accepted = 1;
        if (r.port != webCallPort) r.active = 1;
        rowUpdate(n);
    }
    waitUntilEnding(n);

    r.active = 0;
    r.ending |= 1;
    displayDirty = 1;
    if (wakeLineSocket(n) != 0) message("Socket Close Error\n");
    if (r.ending == 1) message("Call #%d Disconnected\n", n);
    rowUpdate(ROW_REMOVE + n);
    noteLineEnded(n);
    int64_t until = monotonicMs() + TEARDOWN_PAUSE_MS;
    // A forwarded call already goes on at its new address, with the redial mark passed on;
    // dialling the old address again would be forwarded once more and call the destination
    // twice (and so on until the lines run out). Only a call that had been accepted is redialled,
    // at most once in 10 seconds to one address, so a callee cannot start a storm.
    bool forwarded = (r.ending.load() & 2) != 0;
    if (r.autoRetry == 1 && r.accepted && !forwarded && !startupState.closing &&
        redialAllowed(r.peerAddr.get().sin_addr))
        placeCall(r.peerName.get(), r.port, r.password.get(), 1);
    joinLineThreads(n);
    int64_t left = until - monotonicMs();
    if (left > 0) sleepMs(static_cast<int>(left));
    releaseOwnedLine(n);
}

} // namespace tc
