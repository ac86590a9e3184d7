#include "commands/dns.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "calls/udp_status.h"
#include "core/output.h"
#include "core/packet_parse.h"
#include "core/settings.h"
#include "platform/clock.h"
#include "platform/store.h"

namespace tc {

DnsTimings dnsTimings;

namespace {

constexpr size_t WINDOW_BYTES = 64;
constexpr size_t CARRY_BYTES = 32;
constexpr size_t TAG_BYTES = 6; // "<html>"
constexpr int WAIT_SLICE_MS = 100;
constexpr size_t PAGE_PRINT_BYTES = 2048; // printed of the page at most, from its tag on
constexpr int PORT_TEXT_CAP = 1000000; // digits beyond this cannot change the low 16 bits' meaning

bool equalsNoCase(char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
}

// Reads a stored value; an unreadable or empty value counts as absent. 0 present, 1 absent.
int readStoredText(const char* name, std::string& out) {
    if (Store().readValue(name, out) != 0 || out.empty()) return 1;
    return 0;
}

// A dotted IPv4 address is used as it is; otherwise the first IPv4 address of a look-up.
int resolveIpv4(const std::string& name, in_addr& out) {
    if (inet_pton(AF_INET, name.c_str(), &out) == 1) return 0;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return 1;
    out = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return 0;
}

sockaddr_in ipv4Address(in_addr address, int port) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr = address;
    target.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
    return target;
}

// Sleeps up to `ms`, ending early once Settings.dnsUpdateActive is 0.
void waitWhileActive(int ms) {
    int64_t end = monotonicMs() + ms;
    for (int64_t now = monotonicMs(); now < end; now = monotonicMs()) {
        if (settings.dnsUpdateActive == 0) return;
        sleepMs(static_cast<int>(std::min<int64_t>(WAIT_SLICE_MS, end - now)));
    }
}

// Sends the check datagram and waits for the status service to report it. Returns true when
// the name already reaches this machine. Mode 1 runs with the flag at 0, so it raises the flag
// for the service to clear; the flag is only lowered again while it is still raised, so a
// verification that lands in between is never turned into a negative flag.
bool checkBeforeUpdate(int mode) {
    settings.dnsUpdateActive += mode;
    dnsCheck();
    waitWhileActive(dnsTimings.checkWaitMs);
    endDnsVerificationWait();
    int flag = settings.dnsUpdateActive;
    do {
        if (flag == 0) return true;
    } while (!settings.dnsUpdateActive.compare_exchange_weak(flag, flag - mode));
    return false;
}

// Connects with a time limit. Returns 0 on success, otherwise the errno of the failure
// (ETIMEDOUT when the time limit passed).
int connectWithTimeout(int sock, const sockaddr_in& target, int timeoutMs) {
    int flags = fcntl(sock, F_GETFL, 0);
    fcntl(sock, F_SETFL, flags | O_NONBLOCK);
    int error = 0;
    if (connect(sock, reinterpret_cast<const sockaddr*>(&target), sizeof(target)) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            pollfd pfd{sock, POLLOUT, 0};
            int ready;
            do {
                ready = poll(&pfd, 1, timeoutMs);
            } while (ready < 0 && errno == EINTR);
            if (ready == 0) {
                error = ETIMEDOUT;
            } else {
                socklen_t len = sizeof(error);
                if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
            }
        }
    }
    fcntl(sock, F_SETFL, flags);
    return error;
}

// Reports a failed connection; returns the result of dnsUpdate for it.
int reportConnectFailure(int error) {
    if (error == ETIMEDOUT) {
        message("DNS Update Connection Request Timed Out\n");
        return 0;
    }
    if (error == ECONNREFUSED) {
        message("DNS Update Connection Request Refused\n");
        return 1;
    }
    message("Connection Error %d\n", error);
    return 0;
}

std::string buildUpdateRequest(const UpdateUrl& url) {
    return "GET /" + url.path + " HTTP/1.0\r\nHost: " + url.host + "\r\n\r\n";
}

int sendAll(int sock, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(sock, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return 1;
        done += static_cast<size_t>(n);
    }
    return 0;
}

// Offset of "<html>" (any case) in the first `size` bytes, or -1.
long findHtmlTag(const char* data, size_t size) {
    static const char tag[] = "<html>";
    for (size_t i = 0; i + TAG_BYTES <= size; ++i) {
        size_t k = 0;
        while (k < TAG_BYTES && equalsNoCase(data[i + k], tag[k]))
            ++k;
        if (k == TAG_BYTES) return static_cast<long>(i);
    }
    return -1;
}

// Reads the reply with one time limit for all of it, so a server that drips bytes cannot hold
// the thread.
struct ReplyReader {
    int sock;
    int64_t deadline;
    // Like recv; 0 also when the time is up.
    ssize_t read(char* into, size_t size) const {
        for (;;) {
            int64_t left = deadline - monotonicMs();
            if (left <= 0) return 0;
            pollfd p{sock, POLLIN, 0};
            int ready = poll(&p, 1, static_cast<int>(std::min<int64_t>(left, INT32_MAX)));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return ready;
            ssize_t n = recv(sock, into, size, 0);
            if (n < 0 && errno == EINTR) continue;
            return n;
        }
    }
};

// Prints page text until PAGE_PRINT_BYTES have been printed in all; false from then on. A page
// cut there gets a line break, so the next message starts on its own line.
bool printPage(const char* text, size_t& printed) {
    std::string piece =
        peerText(std::string_view(text, std::min(strlen(text), PAGE_PRINT_BYTES - printed)));
    printed += piece.size();
    bool more = printed < PAGE_PRINT_BYTES;
    if (!more && piece.back() != '\n') piece += '\n';
    message("%s", piece.c_str());
    return more;
}

// Scans the reply through a 64-byte window, keeping the last 32 bytes between windows so a tag
// that straddles two reads is still found; from the tag on, the page is printed in pieces of at
// most 64 bytes. The reply is never held whole.
void readUpdateReply(const ReplyReader& reply) {
    char window[WINDOW_BYTES + 1];
    size_t have = 0;
    for (;;) {
        bool ended = false;
        while (have < WINDOW_BYTES) {
            ssize_t n = reply.read(window + have, WINDOW_BYTES - have);
            if (n <= 0) {
                ended = true;
                break;
            }
            have += static_cast<size_t>(n);
        }
        long tag = findHtmlTag(window, have);
        if (tag >= 0) {
            window[have] = '\0';
            size_t printed = 0;
            bool more = printPage(window + tag, printed);
            while (more) {
                ssize_t n = reply.read(window, WINDOW_BYTES);
                if (n <= 0) return;
                window[n] = '\0';
                more = printPage(window, printed);
            }
            return;
        }
        if (ended) {
            message("DNS Update Web Page Not HTML\n");
            return;
        }
        memmove(window, window + (WINDOW_BYTES - CARRY_BYTES), CARRY_BYTES);
        have = CARRY_BYTES;
    }
}

// Connects, sends the request and reads the page. Returns the result of dnsUpdate; `settle`
// is set when the closing check is due (the request got as far as the connection).
int requestUpdatePage(const UpdateUrl& url, in_addr address, bool& settle) {
    settle = false;
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        message("Socket Error\n");
        return 1;
    }
    int error =
        connectWithTimeout(sock, ipv4Address(address, url.port), dnsTimings.connectTimeoutMs);
    if (error != 0) {
        close(sock);
        return reportConnectFailure(error);
    }
    settle = true;
    if (sendAll(sock, buildUpdateRequest(url)) != 0)
        message("DNS Update Send Error\n");
    else
        readUpdateReply({sock, monotonicMs() + dnsTimings.replyTimeoutMs});
    close(sock);
    return 1;
}

} // namespace

void scanUpdateReply(int sock) {
    readUpdateReply({sock, monotonicMs() + dnsTimings.replyTimeoutMs});
}

void resetDnsTimings() {
    dnsTimings.checkWaitMs = 5000;
    dnsTimings.settleWaitMs = 2000;
    dnsTimings.retryWaitMs = 60000;
    dnsTimings.connectTimeoutMs = 21000;
    dnsTimings.replyTimeoutMs = 30000;
}

int parseUpdateUrl(const std::string& url, UpdateUrl& out) {
    out = UpdateUrl{};
    std::string rest = url;
    size_t slashes = url.find("//");
    if (slashes != std::string::npos) {
        bool http = slashes == 5 && equalsNoCase(url[0], 'h') && equalsNoCase(url[1], 't') &&
                    equalsNoCase(url[2], 't') && equalsNoCase(url[3], 'p') && url[4] == ':';
        if (!http) return 1;
        rest = url.substr(7);
    }
    size_t slash = rest.find('/');
    std::string hostPort = rest.substr(0, slash);
    if (slash != std::string::npos) out.path = rest.substr(slash + 1);
    size_t firstColon = hostPort.find(':');
    out.host = hostPort.substr(0, firstColon);
    if (firstColon != std::string::npos) {
        // The last colon before the path starts the port text; its leading digits are the port.
        long value = 0;
        for (size_t i = hostPort.rfind(':') + 1; i < hostPort.size(); ++i) {
            if (!std::isdigit(static_cast<unsigned char>(hostPort[i]))) break;
            value = std::min<long>(value * 10 + (hostPort[i] - '0'), PORT_TEXT_CAP);
        }
        out.port = static_cast<int>(value & 0xFFFF);
    }
    return 0;
}

int dnsCheck() {
    std::string name;
    if (readStoredText(STORE_DNS, name) != 0) return 1;
    in_addr address{};
    if (resolveIpv4(name, address) != 0) {
        message("Dynamic DNS HostName Error\n");
        return 0;
    }
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        message("Socket Error\n");
        return 1;
    }
    static const uint8_t datagram[2] = {0x04, 0x0A};
    sockaddr_in target = ipv4Address(address, settings.listenPort);
    awaitDnsVerification(dnsTimings.checkWaitMs); // before sending: the reply may come at once
    sendto(sock, datagram, sizeof(datagram), MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr*>(&target), sizeof(target));
    close(sock);
    return 0;
}

int dnsUpdate(int mode) {
    std::string urlText;
    if (readStoredText(STORE_DNS_UPDATE, urlText) != 0) return 1;
    UpdateUrl url;
    if (parseUpdateUrl(urlText, url) != 0) {
        message("Only HTTP Protocol Supported for DNS Update Web Page\n");
        return 1;
    }
    in_addr address{};
    if (resolveIpv4(url.host, address) != 0) {
        message("DNS Update HostName Error\n");
        return 0;
    }
    if ((mode == 0 || mode == 1) && checkBeforeUpdate(mode)) return 1;
    bool settle = false;
    int result = requestUpdatePage(url, address, settle);
    if (!settle) return result;
    sleepMs(dnsTimings.settleWaitMs);
    dnsCheck();
    return result;
}

void dnsThread() {
    while (settings.dnsUpdateActive != 0) {
        if (dnsUpdate(0) == 1) return;
        waitWhileActive(dnsTimings.retryWaitMs);
    }
}

} // namespace tc
