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
};

extern UdpStatusState udpStatusState;

void resetUdpStatus();

// Builds the reply to one query datagram of `len` bytes: one text line per request letter.
// The verification byte clears Settings.dnsUpdateActive and prints "Dynamic DNS Verified\n".
std::string buildUdpReply(const uint8_t* data, size_t len);

// Thread entry of the status service: binds a datagram socket to Settings.listenAddress and
// answers each query with buildUdpReply until stopUdpStatus() is called.
void udpStatusThread();

// Asks a running udpStatusThread to end; it does so within about half a second.
void stopUdpStatus();

} // namespace tc
