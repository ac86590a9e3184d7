#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <netinet/in.h>
#include <thread>

#include "core/protocol.h"
#include "platform/event.h"
#include "platform/shared_text.h"

namespace tc {

constexpr int MAX_LINES = 8;
constexpr int BLOCK_SAMPLES = 512;
constexpr int BLOCK_BYTES = 1024;
constexpr int HUB_RING_BLOCKS = 8;
constexpr int MAX_PACKET_BLOCKS = 15;
// An outgoing call to this port fetches a web page: it plays what arrives and sends nothing.
constexpr int webCallPort = 80;

// A line's end flag: an atomic byte whose assignments (= and |=) also wake every thread waiting
// for the line to end, so that they need not poll it.
struct EndingFlag : std::atomic<uint8_t> {
    using std::atomic<uint8_t>::atomic;
    uint8_t operator=(uint8_t v) {
        store(v);
        if (v) wake();
        return v;
    }
    uint8_t operator|=(uint8_t v) {
        const uint8_t now = static_cast<uint8_t>(fetch_or(v) | v);
        if (now) wake();
        return now;
    }
    // Waits up to `ms` for the flag to be set; true when it is.
    bool waitSet(int ms) {
        std::unique_lock lock(mutex_);
        return cond_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return load() != 0; });
    }

  private:
    void wake() {
        { std::lock_guard lock(mutex_); } // a waiter is either before its check or waiting
        cond_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable cond_;
};

// One call. Flags and words shared between threads are atomics; a block is handed over by its
// ready flag (rxReady: receive thread -> audio engine, txReady: audio engine -> send thread),
// set with release after the block is filled and tested with acquire before it is read.
struct LineRecord {
    std::atomic<int> sock{-1};
    // Held for each whole packet written to `sock` (sendLinePacket), so packets from different
    // threads never interleave on the stream.
    std::mutex sendLock;
    // Held while a block is turned into a packet and sent: by the send thread, or by the audio
    // engine when it sends a raw packet itself (it only ever tries this lock).
    std::mutex txLock;
    // Thread handles. Each is joined (or handed to the reaper) by its owner before the record is
    // released; claimLine leaves them alone.
    std::thread allowThread;
    std::thread recvThread;
    std::thread sendThread;
    std::thread ownerThread;
    std::atomic<int> port{0};
    std::atomic<int> peerPort{0};
    std::atomic<uint32_t> rxAudioCount{0};
    std::atomic<uint32_t> peerVersion{0};
    int32_t txCodecState = 0; // under txLock
    int txPendingCount = 0;   // under txLock: blocks collected in txPending for the next packet
    int32_t rxCodecState = 0; // receive thread only
    SharedText peerName{255};
    SharedText peerId{255};
    SharedText password{255};
    SharedValue<sockaddr_in> peerAddr; // set while the line is set up; the refresh reads it
    int16_t rxBlock[BLOCK_SAMPLES] = {};
    int16_t txBlock[BLOCK_SAMPLES] = {};
    std::atomic<uint32_t> txSeq{0};
    Packet txPacket{}; // under txLock
    // The end of a packet the socket did not take at once (the last txRestBytes bytes of
    // txRest), under sendLock. The line's next sender sends it before anything else.
    Packet txRest{};
    std::atomic<int> txRestBytes{0};
    Packet rxPacket{};
    int16_t hubRing[HUB_RING_BLOCKS][BLOCK_SAMPLES] = {};
    int16_t rxDecoded[MAX_PACKET_BLOCKS][BLOCK_SAMPLES] = {};
    int16_t txPending[MAX_PACKET_BLOCKS][BLOCK_SAMPLES] = {};
    std::atomic<uint8_t> active{0};
    std::atomic<uint8_t> rxReady{0};
    std::atomic<uint8_t> txReady{0};
    std::atomic<uint8_t> txDirect{0}; // the send thread runs: the engine may send itself
    std::atomic<uint8_t> accepted{0};
    EndingFlag ending{0};
    std::atomic<uint8_t> incoming{0};
    std::atomic<int8_t> micGain{0};
    std::atomic<int8_t> spkGain{0};
    std::atomic<uint8_t> inUse{0};
    std::atomic<int8_t> compCode{0};
    std::atomic<uint8_t> autoRetry{0};
    std::atomic<uint8_t> droppedHere{0};    // ended by the local user (Drop)
    std::atomic<uint8_t> sendStuck{0};      // a send timed out: the line ends, no more sends
    std::atomic<uint8_t> queryOpen{0};      // a query box of this call is open
    std::atomic<uint8_t> questionClosed{0}; // closes the incoming-call question
    int badPasswords = 0;                   // receive thread only
    int64_t commandsFrom = 0;               // receive thread only: no command before this time
    // Counts the calls on this line (not cleared by a claim), so that what belongs to one call
    // never reaches the next call on the same line.
    std::atomic<uint32_t> callSerial{0};
    // Set when this copy asks the peer for its connection list; only then is a received list
    // printed (once).
    std::atomic<uint8_t> listRequested{0};
    int64_t listAnsweredMs = 0; // receive thread only: when a list request was last answered
};

inline bool isWebCall(const LineRecord& r) {
    return !r.incoming && r.port == webCallPort;
}

// A remote command source: the line in the low 3 bits and its call serial above them (>= 0).
int commandSourceOf(int line);
// The line of a command source whose call is still up, or -1.
int lineOfCommandSource(int source);

extern LineRecord lineTable[MAX_LINES];
extern AutoResetEvent rxEvent[MAX_LINES];
extern AutoResetEvent txEvent[MAX_LINES];

// Takes the lowest free line under one lock: clears the record, marks it in use, sets
// displayDirty, copies the master gains and the default compression, sets `incoming`, and
// resets both events. Returns the line number, or -1 when all eight are in use.
int claimLine(bool incoming);
// Gives the line back (inUse = 0, displayDirty = 1). The record keeps its contents.
void releaseLine(int line);
// Number of lines in use (0 to 8).
int linesInUse();
// Frees every line and clears every record (tests and start-up; no line thread may be running).
void resetLineTable();

} // namespace tc
