#include "calls/receive.h"

#include <bit>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include "audio/audio_engine.h"
#include "calls/answer.h"
#include "calls/call_out.h"
#include "calls/line_life.h"
#include "core/codec.h"
#include "core/command_queue.h"
#include "core/lifecycle.h"
#include "core/line_table.h"
#include "core/output.h"
#include "core/packet_parse.h"
#include "core/protocol.h"
#include "core/settings.h"
#include "core/window_hooks.h"
#include "platform/clock.h"
#include "platform/dialogs.h"

namespace tc {

namespace {

constexpr int RX_WAIT_MS = 500;
constexpr uint8_t WEB_PREAMBLE_END = 0x1A;
constexpr int PASSWORD_PAUSE_MS = 1000;
constexpr int PASSWORD_TRIES = 3;
constexpr int SEND_BUFFER_PACKETS = 8;
constexpr int64_t LIST_ANSWER_GAP_MS = 1000;

// Rewrites the line's row; a line that is ending has lost its row already.
void updateRow(int n) {
    if (lineTable[n].ending)
        displayDirty = 1;
    else
        rowUpdate(n);
}

bool diag(int bit) {
    return (settings.diagBits & bit) != 0;
}

bool isAudioCode(int code) {
    return code == COMP_NONE || code == COMP_LOW || code == COMP_MEDIUM || code == COMP_HIGH;
}

void reportUnknown(int n, int type) {
    LineRecord& r = lineTable[n];
    message("Received Unknown or Bad Packet %d From %s %d %s\n", type, r.peerName.get().c_str(),
            r.peerPort.load(), r.peerId.get().c_str());
}

// Bytes waiting on the socket, or -1 when the count cannot be read.
int bytesWaiting(int sock) {
    int count = 0;
    return ::ioctl(sock, FIONREAD, &count) == 0 ? count : -1;
}

// True when the peer has closed or reset the connection (what it sent before may still wait).
bool peerHungUp(int sock) {
    pollfd p{sock, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// Reads the next packet into rxPacket, first passing over a web page's preamble. False when the
// line ends or the connection closes.
bool readPacket(int n) {
    LineRecord& r = lineTable[n];
    int sock = r.sock;
    while (isWebCall(r) && !r.active) {
        if (r.ending) return false;
        uint8_t byte = 0;
        ssize_t got = ::recv(sock, &byte, 1, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got < 1) return false;
        if (byte == WEB_PREAMBLE_END) r.active = 1;
    }
    return recvPacket(sock, r.rxPacket, &r.ending) == PACKET_BYTES;
}

void onId(int n, const Packet& p) {
    LineRecord& r = lineTable[n];
    int port = p.value();
    r.peerPort = port;
    IdStrings id = parseIdStrings(p);
    if (r.incoming) {
        printTimeStamp();
        if (!diag(DIAG_RAW_IP) && !id.dnsName.empty()) r.peerName.set(id.dnsName);
        std::string name = r.peerName.get();
        std::string password = settings.callPassword.get();
        if (!password.empty() && id.password == password) {
            message("Accepted Call #%d From %s %d [%s] [*]\n", n, name.c_str(), port,
                    id.id.c_str());
            r.active = 1;
            r.accepted = 1;
        } else if (settings.hubMode == HUB_SERVER) {
            message("Accepted Call #%d From %s %d [%s]\n", n, name.c_str(), port, id.id.c_str());
            r.accepted = 1;
        } else if (r.autoRetry == 1 && takeRedialRecord(r.peerAddr.get().sin_addr, id.id)) {
            r.active = 1;
            message("Accepted Call #%d From %s %d [%s]\n", n, name.c_str(), port, id.id.c_str());
            r.accepted = 1;
        } else {
            message("Incoming Call #%d From %s %d [%s]\n", n, name.c_str(), port, id.id.c_str());
        }
    }
    r.peerId.set(id.id);
    updateRow(n);
}

RxNext onForward(int n, const Packet& p) {
    LineRecord& r = lineTable[n];
    if (r.incoming) {
        reportUnknown(n, p.type());
        return RxNext::next;
    }
    std::string host = peerString(p, 0);
    std::string password = r.password.get();
    message("Call Forwarded to: %s %d %s\n", host.c_str(), p.value(), password.c_str());
    placeCall(host, p.value(), password, r.autoRetry);
    r.ending = 2;
    return RxNext::stop;
}

RxNext onCommand(int n, Packet& p) {
    LineRecord& r = lineTable[n];
    // After a wrong password the next request waits its turn; this line only.
    int64_t wait = r.commandsFrom - monotonicMs();
    if (wait > 0 && sleepUnlessEnding(n, static_cast<int>(wait))) return RxNext::stop;
    if (!commandAuthorised(p, r.peerAddr.get())) {
        message("Command Password Refused From %s\n",
                dottedAddress(r.peerAddr.get().sin_addr).c_str());
        r.commandsFrom = monotonicMs() + PASSWORD_PAUSE_MS;
        bool last = ++r.badPasswords >= PASSWORD_TRIES;
        if (last) {
            r.ending |= 1;
            displayDirty = 1;
        }
        sendPacket(n, nullptr, PKT_COMMANDREPLY, -1);
        return last ? RxNext::stop : RxNext::next;
    }
    p.setType(0);
    // Replaces a request still running; the receive thread never waits for the queue.
    queueRemoteCommands(p, n);
    return RxNext::next;
}

RxNext onConnList(int n, const Packet& p) {
    LineRecord& r = lineTable[n];
    int value = p.value();
    if (value > MAX_LINES) {
        reportUnknown(n, p.type());
    } else if (value < 0) {
        // Only an accepted peer learns who else is on the call, and at most once a second.
        int64_t now = monotonicMs();
        if (!r.accepted || (r.listAnsweredMs != 0 && now - r.listAnsweredMs < LIST_ANSWER_GAP_MS))
            return RxNext::next;
        r.listAnsweredMs = now;
        Packet list;
        buildConnList(n, list);
        if (sendLinePacket(n, list) < 1) {
            r.ending = 1;
            displayDirty = 1;
        }
    } else if (r.listRequested.exchange(0) != 0) {
        // A list nobody asked for is dropped unprinted: it would only flood the console and log.
        for (const auto& row : formatConnList(p, r.peerName.get(), r.peerPort, r.peerId.get()))
            message("%s", row.c_str());
    }
    return RxNext::next;
}

void onCompression(int n, int code) {
    LineRecord& r = lineTable[n];
    int current = r.compCode;
    if (code == current) return;
    if (code == COMP_NONE) {
        message("%d: Switched to Normal Mode\n", n);
    } else if (isAudioCode(code)) {
        if (current != COMP_NONE)
            message("%d: Changed Compressed Mode\n", n);
        else
            message("%d: Switched to Compressed Mode\n", n);
    } else {
        const char* text = "Unsupported Compression Mode Requested\n";
        message("%s", text);
        sendPacket(n, text, PKT_QUERY, 0);
        r.ending = 1;
        displayDirty = 1;
        return;
    }
    r.compCode = static_cast<int8_t>(code);
    updateRow(n);
}

void onQuery(int n, const Packet& p) {
    LineRecord& r = lineTable[n];
    int kind = p.value();
    if (kind >= 0 && kind <= 3) {
        // One open box per call, and none before the call is accepted.
        if (!r.accepted || r.queryOpen.exchange(1) != 0) return;
        uint32_t serial = callSerial(n);
        std::string question = peerString(p, 0);
        if (startRetiringThread(
                [n, serial, question, kind] { queryThread(n, serial, question, kind); }) != 0) {
            message("Query Thread Error\n");
            r.queryOpen = 0;
        }
        return;
    }
    static const char* const replies[] = {"OK", "YES", "NO", "CANCEL"};
    if (kind >= DIALOG_OK && kind <= DIALOG_CANCEL) {
        message("#%d: Replied %s\n", n, replies[kind - DIALOG_OK]);
        return;
    }
    reportUnknown(n, p.type());
}

void onServerList(int n, const Packet& p) {
    LineRecord& r = lineTable[n];
    // Only a server we called can accept us; a caller cannot accept itself with this packet.
    if (r.incoming) {
        reportUnknown(n, p.type());
        return;
    }
    std::string list = peerString(p, 0, true);
    message("Active Connections on Server:\n%s", list.c_str());
    displayDirty = 1;
    r.accepted = 1;
}

// Samples of an uncompressed payload (little-endian on the wire and in memory here).
void payloadToBlock(const uint8_t* payload, int16_t* block) {
    static_assert(std::endian::native == std::endian::little);
    std::memcpy(block, payload, BLOCK_BYTES);
}

// True when the waiting audio has reached the dump limit or playback is full: the rest of the
// packet is dropped so the delay stays bounded.
bool backlogTooLong(int n, int code) {
    LineRecord& r = lineTable[n];
    if (isWebCall(r)) return false;
    int waiting = bytesWaiting(r.sock);
    if (waiting >= 0) {
        long weighted = code != 0 ? long(waiting) * code : waiting;
        if (weighted >= long(settings.dumpLim) * BLOCK_BYTES) return true;
    }
    return audioState.playbackFull != 0;
}

RxNext onAudio(int n, int code) {
    LineRecord& r = lineTable[n];
    Packet& p = r.rxPacket;
    if (!r.incoming && !r.accepted) {
        message("Call Accepted\n");
        displayDirty = 1;
        r.accepted = 1;
    }
    r.rxAudioCount.fetch_add(1);
    int16_t* decoded = &r.rxDecoded[0][0];
    if (code == COMP_LOW)
        decodeLow(p.payload, decoded, COMP_LOW_SAMPLES);
    else if (code == COMP_MEDIUM)
        decodeMedium(p.payload, decoded, COMP_MEDIUM_SAMPLES, r.rxCodecState);
    else if (code == COMP_HIGH)
        decodeHigh(p.payload, decoded, COMP_HIGH_SAMPLES, r.rxCodecState);

    int blocks = code == COMP_NONE ? 1 : code;
    for (int k = 0; k < blocks;) {
        if (r.ending) return RxNext::stop;
        if (!r.active && settings.hubMode == HUB_P2P) return RxNext::next;
        if (r.rxReady.load(std::memory_order_acquire)) {
            if (backlogTooLong(n, code)) return RxNext::next;
            // Nobody may take the block (a caller not yet accepted on a hub or server): a peer
            // that hangs up meanwhile still ends the line.
            if (peerHungUp(r.sock)) return RxNext::stop;
            rxEvent[n].wait(RX_WAIT_MS);
            continue;
        }
        int16_t block[BLOCK_SAMPLES];
        if (code == COMP_NONE)
            payloadToBlock(p.payload, block);
        else
            std::memcpy(block, r.rxDecoded[k], BLOCK_BYTES);
        ++k;
        scaleBlock(r.rxBlock, block, r.spkGain);
        if (diag(DIAG_INDEX_NUMBERS)) output(NoConsole, "%d-%d ", n, p.value());
        r.rxReady.store(1, std::memory_order_release);
        lineBlockReady();
    }
    return RxNext::next;
}

} // namespace

RxNext actOnPacket(int n) {
    LineRecord& r = lineTable[n];
    Packet& p = r.rxPacket;
    int type = p.type();
    switch (type) {
    case PKT_ID:
        onId(n, p);
        return RxNext::next;
    case PKT_MESSAGE:
        message("Message From #%d:  %s\n", n, peerString(p, 0).c_str());
        return RxNext::next;
    case PKT_VERSION:
        if (diag(DIAG_VERSION)) message("%d: %s\n", n, peerString(p, 0).c_str());
        r.peerVersion = parseVersion(p);
        return RxNext::next;
    case PKT_FORWARD:
        return onForward(n, p);
    case PKT_COMMAND:
        return onCommand(n, p);
    case PKT_CONNLIST:
        return onConnList(n, p);
    case PKT_COMPRESSION:
        onCompression(n, p.value());
        return RxNext::next;
    case PKT_QUERY:
        onQuery(n, p);
        return RxNext::next;
    case PKT_SERVERLIST:
        onServerList(n, p);
        return RxNext::next;
    case PKT_AUTORETRY:
        r.autoRetry = static_cast<uint8_t>(p.value() & 0xFF);
        return RxNext::next;
    default:
        break;
    }
    if (type == r.compCode) return onAudio(n, type);
    if (!isAudioCode(type)) reportUnknown(n, type);
    return RxNext::next;
}

void receiveThread(int n) {
    LineRecord& r = lineTable[n];
    int size = settings.audioBufferTotal * BLOCK_BYTES;
    if (::setsockopt(r.sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)) != 0)
        message("Set Bufer Size Error\n");
    // A few packets of send buffer: audio never queues up for long, and a peer that stopped
    // reading is found within the send wait instead of after megabytes of buffer.
    int sendSize = SEND_BUFFER_PACKETS * PACKET_BYTES;
    ::setsockopt(r.sock, SOL_SOCKET, SO_SNDBUF, &sendSize, sizeof(sendSize));
    for (;;) {
        if (diag(DIAG_IN_BUFF)) {
            int waiting = bytesWaiting(r.sock);
            if (waiting >= 0) message("%d: %d\n", n, waiting);
        }
        if (!readPacket(n)) break;
        forcePayloadZeros(r.rxPacket);
        if (actOnPacket(n) == RxNext::stop) break;
    }
    r.ending |= 1;
    displayDirty = 1;
}

void queryThread(int n, uint32_t serial, std::string question, int kind) {
    DialogButtons buttons = kind == 2   ? DialogButtons::yesNo
                            : kind == 3 ? DialogButtons::yesNoCancel
                                        : DialogButtons::ok;
    // The box closes when its call ends (the owner waits for that before it frees the line).
    LineRecord& r = lineTable[n];
    int answer = callStillUp(n, serial)
                     ? dialogs().ask("Talkcircle Query", question, buttons, &r.ending)
                     : DIALOG_CLOSED;
    r.queryOpen = 0;
    int reply = 0;
    if (kind == 1 && answer == DIALOG_OK) reply = DIALOG_OK;
    if (kind >= 2 && (answer == DIALOG_YES || answer == DIALOG_NO)) reply = answer;
    if (kind == 3 && answer == DIALOG_CANCEL) reply = DIALOG_CANCEL;
    if (reply != 0 && callStillUp(n, serial)) sendPacket(n, nullptr, PKT_QUERY, reply);
}

} // namespace tc
