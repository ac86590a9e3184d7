#pragma once
#include <atomic>
#include <string>

namespace tc {

// Waits and time limits of the dynamic DNS routines, in milliseconds. Tests shorten them.
struct DnsTimings {
    std::atomic<int> checkWaitMs{5000};  // after the check datagram, before deciding to update
    std::atomic<int> settleWaitMs{2000}; // after the update request, before the closing check
    std::atomic<int> retryWaitMs{60000}; // between attempts of dnsThread
    std::atomic<int> connectTimeoutMs{21000};
    std::atomic<int> replyTimeoutMs{30000}; // the update page is read for this long at most, in all
};

extern DnsTimings dnsTimings;

void resetDnsTimings();

// The parts of a stored update URL.
struct UpdateUrl {
    std::string host;
    int port = 80;
    std::string path; // the text after the first slash that follows the host
};

// Splits an update URL: optional "http://" (any case), host, optional ":port", optional
// "/path". Returns 0 when the URL is usable, 1 when it names another scheme.
int parseUpdateUrl(const std::string& url, UpdateUrl& out);

// Reads the update server's reply from `sock` until it ends: scans it through a 64-byte window
// (keeping the last 32 bytes between windows, so a tag across two reads is found) and prints it
// from "<html>" (any case) on, or "DNS Update Web Page Not HTML". The reply is never held whole.
void scanUpdateReply(int sock);

// Requests the update page named by the stored "DNSUpdate" value.
//   mode 0: from dnsThread; mode 1: check first, then update once ("&" command, File menu);
//   mode 2: update without checking first (Tools, DNS Update).
// Returns 1 when there is nothing more to do (done, verified, refused or misconfigured) and 0
// when the update should be tried again later (the service could not be reached).
int dnsUpdate(int mode);

// Sends the check datagram (0x04 0x0A) to the stored "DNS" name at Settings.listenPort, where
// this program's UDP status service takes it as the verification while the check waits (for up
// to the check wait). Returns 0 when it was sent or the name could not be resolved, 1 when
// nothing is stored or no socket could be made.
int dnsCheck();

// Thread entry: repeats dnsUpdate(0) every retry period while Settings.dnsUpdateActive is set
// and the service cannot be reached. Ends soon after the flag is cleared.
void dnsThread();

} // namespace tc
