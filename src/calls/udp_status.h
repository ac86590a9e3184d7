#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tc {

constexpr size_t UDP_QUERY_BYTES = 255;   // query bytes that count; the rest is ignored
constexpr size_t UDP_RECEIVE_BYTES = 256; // receive buffer of the service
constexpr size_t UDP_REPLY_LIMIT = 256; // a reply longer than this is emptied and collected afresh

// State of the UDP status service, shared with whoever starts and stops it.
struct UdpStatusState {
    std::atomic<bool> stopRequested{false}; // the service leaves its loop within one poll period
    std::atomic<bool> running{false};       // set once the socket is bound, cleared when it ends
    std::atomic<int> boundPort{0};          // the port actually bound (host byte order)
    // Until when (monotonic ms) a DNS check of this copy waits for its verification byte; 0 when
    // none waits.
    std::atomic<int64_t> verifyUntilMs{0};
};

extern UdpStatusState udpStatusState;

void resetUdpStatus();

// Builds the reply to one query datagram of `len` bytes: one text line per request letter.
// The first verification byte while a check waits ends the wait, clears
// Settings.dnsUpdateActive and prints "Dynamic DNS Verified\n"; any other one does nothing.
std::string buildUdpReply(const uint8_t* data, size_t len);

// A DNS check of this copy has sent its datagram and waits up to `ms` for the verification.
void awaitDnsVerification(int ms);
// The check no longer waits (its time is up).
void endDnsVerificationWait();

// Replies of the status service are limited to REPLIES_PER_ADDRESS a second to one address and
// REPLIES_IN_ALL a second in all: a token bucket per address (a bounded table) and one for all.
constexpr int REPLIES_PER_ADDRESS = 10;
constexpr int REPLIES_IN_ALL = 100;
class ReplyLimiter {
  public:
    // True when a reply to `address` (network byte order) may be sent at `nowMs`; takes a token.
    bool allow(uint32_t address, int64_t nowMs);

  private:
    struct Bucket {
        uint32_t address = 0;
        double tokens = 0;
        int64_t lastMs = 0;
    };
    static void refill(Bucket& b, int64_t nowMs, int rate);
    static constexpr int TABLE_SIZE = 64;
    Bucket all_{0, REPLIES_IN_ALL, 0};
    Bucket table_[TABLE_SIZE];
    int used_ = 0;
};

// Thread entry of the status service: binds a datagram socket to Settings.listenAddress and
// answers each query with buildUdpReply until stopUdpStatus() is called.
void udpStatusThread();

// Asks a running udpStatusThread to end; it does so within about half a second.
void stopUdpStatus();

} // namespace tc
