#pragma once
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace tc {

constexpr int PAYLOAD_BYTES = 1024;
constexpr int PACKET_BYTES = 1032;

// Packet types. Zero or positive is an audio packet whose type is its compression code.
constexpr int PKT_AUDIO = 0;
constexpr int PKT_ID = -1;
constexpr int PKT_MESSAGE = -2;
constexpr int PKT_VERSION = -3;
constexpr int PKT_FORWARD = -4;
constexpr int PKT_COMMAND = -5;
constexpr int PKT_CONNLIST = -6;
constexpr int PKT_COMPRESSION = -7;
constexpr int PKT_QUERY = -9;
constexpr int PKT_SERVERLIST = -10;
constexpr int PKT_AUTORETRY = -11;
constexpr int PKT_COMMANDREPLY = -12;

// Payload bytes a receiver zeroes in every control packet, so that no text it reads can run
// past them. Short texts (messages, IDs, queries) also end at byte 253.
constexpr int LONG_TEXT_END = 958;
constexpr int SHORT_TEXT_END = 253;

// One packet as it travels: 1024 payload bytes, then type and value as 32-bit little-endian.
struct Packet {
    uint8_t payload[PAYLOAD_BYTES];
    uint8_t typeBytes[4];
    uint8_t valueBytes[4];

    int32_t type() const { return readLe32(typeBytes); }
    int32_t value() const { return readLe32(valueBytes); }
    void setType(int32_t t) { writeLe32(typeBytes, t); }
    void setValue(int32_t v) { writeLe32(valueBytes, v); }
    void clear() { std::memset(this, 0, sizeof(*this)); }
    const char* text() const { return reinterpret_cast<const char*>(payload); }

    static int32_t readLe32(const uint8_t* b) {
        return static_cast<int32_t>(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
                                    uint32_t(b[3]) << 24);
    }
    static void writeLe32(uint8_t* b, int32_t v) {
        auto u = static_cast<uint32_t>(v);
        b[0] = uint8_t(u);
        b[1] = uint8_t(u >> 8);
        b[2] = uint8_t(u >> 16);
        b[3] = uint8_t(u >> 24);
    }
};
static_assert(sizeof(Packet) == PACKET_BYTES);

// Builds a packet (text with its zero byte from payload byte 0, zeros after it, type, value) and
// sends all 1032 bytes on the line's socket. Returns the send result: bytes sent, or below 1 on
// failure. text may be null.
int sendPacket(int line, const char* text, int type, int value);
// The same on a socket that has no line yet (or whose line threads have not started: it takes
// no line lock).
int sendSocketPacket(int sock, const char* text, int type, int value);

// Sends a ready packet on a line. Every sender of a line goes through the line's send lock, so
// packets from the send thread, the receive thread and the commands never interleave on the
// stream. Returns 1032, or below 1 on failure.
// A line whose socket takes nothing for SEND_WAIT_MS is ended as if the peer had closed, and
// later sends on it fail at once.
int sendLinePacket(int line, const Packet& packet);
// The line's send lock when it is free and a packet may start at once (the line is not stuck and
// no rest waits); otherwise a lock that holds nothing.
std::unique_lock<std::mutex> tryLineSendLock(int line);
// Starts a packet on a line whose send lock the caller holds (tryLineSendLock) without ever
// waiting: sends what the socket takes and keeps the rest for the line's next sender
// (finishLineSend, or any later sendLinePacket, sends it first). Returns 1 when the packet went
// out or its rest is kept, -1 when the socket failed.
int startLinePacket(int line, const Packet& packet);
// Sends the kept rest of a packet, waiting as sendLinePacket does. Returns 1032 when nothing is
// left, below 1 on failure.
int finishLineSend(int line);
// A courtesy packet that never waits (tryLineSendLock, startLinePacket). Returns 1032 when it
// went out or its rest is kept, -2 when nothing could be sent.
int sendPacketNoWait(int line, const char* text, int type, int value);
// Sends a ready packet on a socket (no lock), waiting at most waitMs for the socket to take it.
// Returns 1032, or below 1 on failure (-2 when the time ran out).
constexpr int SEND_WAIT_MS = 5000;
int sendWholePacket(int sock, const Packet& packet, int waitMs = SEND_WAIT_MS);

// Reads one whole packet, across as many partial receives as it takes. When `stop` is given it
// is checked before every receive and a non-zero value ends the read. Returns 1032, or below 1
// when the connection closed, failed or the read was stopped.
int recvPacket(int sock, Packet& packet, const std::atomic<uint8_t>* stop = nullptr);

// Zeroes the payload bytes that bound the texts of a received control packet: 958 and 1023 for
// every control type, 253 to 255 too except for PKT_COMMAND, PKT_CONNLIST, PKT_SERVERLIST and
// PKT_COMMANDREPLY, whose payloads are longer. Audio packets are left alone.
void forcePayloadZeros(Packet& packet);

// Turns off Nagle's algorithm on a call socket so a packet never waits for the previous one's
// acknowledgement. Returns 0 when done, 1 on failure.
int setNoDelay(int sock);

} // namespace tc
