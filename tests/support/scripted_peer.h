#pragma once
// A test peer that speaks raw 1032-byte packets over 127.0.0.1 to a running copy of the program
// (or to a socket of the code under test). It can play either end of a call:
//
//   ScriptedPeer caller;                       ScriptedPeer callee;
//   caller.connectTo(port);                    int port = callee.listen();
//   caller.send(makePacket(PKT_ID, 0, "A"));   ... make the program call 127.0.0.1:port ...
//   Packet p;                                  callee.accept();
//   caller.receiveType(PKT_VERSION, p);        callee.receive(p);
//
// Every wait is bounded by a timeout in milliseconds; the destructor closes both sockets.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/protocol.h"

namespace tc::test {

// A packet with `text` (and its zero byte) from payload byte 0, zeros after it, type and value.
Packet makePacket(int type, int value, std::string_view text = {});

// Connects a plain blocking TCP socket to 127.0.0.1:port, retrying while the port refuses
// (the program may still be starting). Returns the descriptor, or -1 after timeoutMs. A
// receiveBuffer above 0 sets SO_RCVBUF before the connection (a peer that reads little).
int connectLoopback(int port, int timeoutMs = 5000, int receiveBuffer = 0);
// Listens on 127.0.0.1:port (0: a port the system picks). Returns the socket and sets `bound`
// to the port, or returns -1.
int listenLoopback(int port, int& bound);

class ScriptedPeer {
  public:
    ScriptedPeer() = default;
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // Calling side: connect to 127.0.0.1:port (see connectLoopback).
    bool connectTo(int port, int timeoutMs = 5000, int receiveBuffer = 0);
    // Answering side: listen on an ephemeral port of 127.0.0.1. Returns the port, 0 on failure.
    int listen();
    // Waits for one connection on the listening socket.
    bool accept(int timeoutMs = 5000);

    // Writes one whole packet.
    bool send(const Packet& packet);
    bool sendText(int type, int value, std::string_view text = {});
    // Writes one packet in pieces cut at the given byte offsets (ascending, 1 to 1031), pausing
    // pauseMs after each piece, so the receiver sees several partial reads.
    bool sendSplit(const Packet& packet, const std::vector<size_t>& cuts, int pauseMs = 30);
    // Writes two packets with one write.
    bool sendMerged(const Packet& first, const Packet& second);
    // Writes the first `bytes` bytes of the packet, then closes the connection.
    void closeMidPacket(const Packet& packet, size_t bytes);

    // Reads the next whole packet; false on timeout or when the connection closed.
    bool receive(Packet& packet, int timeoutMs = 5000);
    // Reads packets until one of the given type arrives (others, audio included, are skipped).
    bool receiveType(int type, Packet& packet, int timeoutMs = 5000);
    // Reads and drops everything until the other side closes. True when it closed in time.
    bool waitClosed(int timeoutMs = 5000);

    // Closes the connection (the listening socket stays open for another accept).
    void close();
    int fd() const { return fd_; }
    int port() const { return listenPort_; }

  private:
    bool sendBytes(const void* data, size_t size);

    int fd_ = -1;
    int listenFd_ = -1;
    int listenPort_ = 0;
};

} // namespace tc::test
