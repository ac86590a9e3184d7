// Calls on one machine. The receive and send threads of one line are driven over a socket pair:
// the test plays the peer on one end and the audio engine on the line record. Calls placed with
// placeCall go to a scripted callee on loopback, their owner thread running the line. Last, the
// UDP status service's replies and its bind error.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <numeric>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <tuple>
#include <unistd.h>

#include "calls/answer.h"
#include "calls/call_out.h"
#include "calls/line_life.h"
#include "calls/receive.h"
#include "calls/send.h"
#include "calls/udp_status.h"
#include "core/codec.h"
#include "core/command_queue.h"
#include "core/lifecycle.h"
#include "core/line_table.h"
#include "core/output.h"
#include "core/packet_parse.h"
#include "core/settings.h"
#include "platform/clock.h"
#include "platform/thread_start.h"
#include "support/fake_console.h"
#include "support/fake_dialogs.h"
#include "support/page_server.h"
#include "support/program_process.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

namespace tc {
namespace {

using namespace test;

class LineThreadsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetSettings();
        resetLineTable();
        resetLineHistory();
        resetStartupState();
        resetThreadStartFaults();
        attachConsole(&console);
        setDialogs(&dialogs);
    }
    // Ends the test's line and every call it placed (without a redial), and waits for them.
    void TearDown() override {
        stopThread();
        startupState.closing = 1; // no redial
        for (auto& r : lineTable)
            r.ending |= 1;
        EXPECT_TRUE(eventually([] { return linesInUse() == 0; }));
        reapThreads();
        setDialogs(nullptr);
        attachConsole(nullptr);
    }

    // Claims line 0 on our end of a new socket pair, as seen from `peer`, and starts `body` on it.
    LineRecord& openLine(bool incoming, const char* peer = "127.0.0.1",
                         void (*body)(int) = receiveThread) {
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        timeval tv{3, 0};
        ::setsockopt(fds[1], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        EXPECT_EQ(claimLine(incoming), 0);
        lineTable[0].sock = fds[0];
        sockaddr_in address{};
        ::inet_pton(AF_INET, peer, &address.sin_addr);
        lineTable[0].peerAddr.set(address);
        lineTable[0].peerName.set(peer);
        thread = std::thread(body, 0);
        return lineTable[0];
    }
    void stopThread() {
        lineTable[0].ending |= 1;
        if (fds[0] >= 0) ::shutdown(fds[0], SHUT_RDWR);
        if (thread.joinable()) thread.join();
        if (fds[0] >= 0) releaseLine(0);
        for (int& fd : fds)
            if (fd >= 0) ::close(std::exchange(fd, -1));
    }

    template <class... P> bool peerSend(const P&... packets) {
        return ((sendWholePacket(fds[1], packets) == PACKET_BYTES) && ...);
    }
    // The next packet to the peer (or to `callee`), kept in `got`: its type and value
    // ({0, -999} when none came).
    std::pair<int, int> next(test::ScriptedPeer* from = nullptr) {
        bool ok = from ? from->receive(got) : recvPacket(fds[1], got) == PACKET_BYTES;
        return ok ? std::pair(got.type(), got.value()) : std::pair(0, -999);
    }

    // The audio engine's side: gives the send thread one block.
    void giveBlock(const int16_t* block, uint32_t seq) {
        ASSERT_TRUE(eventually([] { return lineTable[0].txReady.load() == 0; }));
        std::memcpy(lineTable[0].txBlock, block, BLOCK_BYTES);
        lineTable[0].txSeq = seq;
        lineTable[0].txReady = 1;
        txEvent[0].set();
    }

    FakeConsole console;
    test::FakeDialogs dialogs;
    int fds[2] = {-1, -1};
    std::thread thread;
    Packet got{};
    test::ScriptedPeer callee;
};
using UdpStatusTest = LineThreadsTest;

// A wrong password is refused, reported, and holds the line's next request for a second; the
// third ends the line.
TEST_F(LineThreadsTest, CommandsFromAFarPeerNeedThePassword) {
    settings.callPassword.set("pw");
    LineRecord& r = openLine(true, "10.1.2.3");
    for (int wrong = 1; wrong <= 3; ++wrong) {
        int64_t sent = monotonicMs();
        ASSERT_TRUE(peerSend(buildCommandPacket({"Mute Y"}, "pw2")));
        EXPECT_EQ(next(), std::pair(PKT_COMMANDREPLY, -1));
        EXPECT_GE(monotonicMs() - sent, wrong > 1 ? 900 : 0) << wrong;
        EXPECT_EQ(console.count("Command Password Refused From 10.1.2.3\n"), wrong);
        EXPECT_EQ(r.ending.load() != 0, wrong == 3);
    }
    EXPECT_EQ(outputState.commandSource.load(), -1);
    stopThread();

    openLine(true, "10.1.2.3");

    // With the password the request replaces the one running (another line's) at once.
    outputState.commandSource = 5;
    ASSERT_TRUE(peerSend(buildCommandPacket({"Mute Y", "Talk 9"}, "pw")));
    ASSERT_TRUE(eventually([] { return lineOfCommandSource(outputState.commandSource) == 0; }));
    std::lock_guard lock(commandState.mutex);
    EXPECT_EQ(commandState.queue.commandCount, 2);
    EXPECT_STREQ(commandState.queue.commandBuffer, "Mute Y");
}

// Packets on a held incoming line, in turn: each is reported, answered or dropped and the line
// goes on, until an unsupported compression code, which is refused with a query and ends it.
TEST_F(LineThreadsTest, ControlPacketsOnAHeldIncomingLine) {
    LineRecord& r = openLine(true);
    r.accepted = 1;
    std::string expected; // what the rows print, in turn
    auto row = [&](const Packet& packet, const std::string& printed = "") {
        EXPECT_TRUE(peerSend(packet));
        expected += printed;
    };
    row(makePacket(PKT_COMPRESSION, COMP_LOW), "0: Switched to Compressed Mode\n");
    row(makePacket(PKT_COMPRESSION, COMP_LOW));
    row(makePacket(PKT_COMPRESSION, COMP_HIGH), "0: Changed Compressed Mode\n");
    row(makePacket(PKT_COMPRESSION, COMP_NONE), "0: Switched to Normal Mode\n");
    row(makePacket(COMP_MEDIUM, 0));       // audio of another code: dropped silently
    row(makePacket(PKT_AUDIO, 1, "\x05")); // held: counted, never handed over
    row(makePacket(PKT_AUDIO, 2, "\x05"));
    row(makePacket(PKT_CONNLIST, -1)); // answered with the list
    // Type 7 is no audio code; an incoming line takes no forward (nothing is dialled).
    for (int type : {-8, 99, 7, PKT_FORWARD, PKT_QUERY, PKT_CONNLIST})
        row(makePacket(type, 9, "127.0.0.1"),
            "Received Unknown or Bad Packet " + std::to_string(type) + " From 127.0.0.1 0 \n");
    int reply = DIALOG_OK;
    for (const char* name : {"OK", "YES", "NO", "CANCEL"})
        row(makePacket(PKT_QUERY, reply++), std::string("#0: Replied ") + name + "\n");
    row(makePacket(PKT_COMPRESSION, 5), "Unsupported Compression Mode Requested\n");
    ASSERT_TRUE(eventually([&] { return r.ending.load() == 1; })); // the line ends
    EXPECT_EQ(console.text(), expected);
    EXPECT_EQ(std::pair(r.rxAudioCount.load(), int(r.rxReady.load())), std::pair(2u, 0));
    EXPECT_EQ(next(), std::pair(PKT_CONNLIST, 1));
    EXPECT_EQ(next(), std::pair(PKT_QUERY, 0));
    EXPECT_STREQ(got.text(), "Unsupported Compression Mode Requested\n");
}

// A connection list goes only to an accepted peer, at most once a second; a received list is
// printed only when this copy asked for it, and only once. An unsupported compression code
// ends each line with a query: what the peer got before it is all it got.
TEST_F(LineThreadsTest, ConnListsOnlyForAcceptedPeersAndPrintedOnlyWhenAsked) {
    Packet list = makePacket(PKT_CONNLIST, 1); // 127.0.0.1 8192 [Bob]
    const uint8_t entry[8] = {127, 0, 0, 1, 0x00, 0x20, 80, 0};
    std::memcpy(list.payload, entry, sizeof entry);
    std::strcpy(reinterpret_cast<char*>(list.payload + 80), "Bob");
    const Packet ask = makePacket(PKT_CONNLIST, -1), end = makePacket(PKT_COMPRESSION, 5);
    openLine(true); // not accepted
    ASSERT_TRUE(peerSend(ask, list, end));
    EXPECT_EQ(next(), std::pair(PKT_QUERY, 0));
    stopThread();

    openLine(true).accepted = 1;
    ASSERT_TRUE(peerSend(ask, ask));
    EXPECT_EQ(next(), std::pair(PKT_CONNLIST, 1));
    sleepMs(1100);
    ASSERT_TRUE(peerSend(ask));
    EXPECT_EQ(next(), std::pair(PKT_CONNLIST, 1));
    requestConnList(0);
    EXPECT_EQ(next(), std::pair(PKT_CONNLIST, -1));
    ASSERT_TRUE(peerSend(list, list, end));
    EXPECT_EQ(next(), std::pair(PKT_QUERY, 0));
    EXPECT_EQ(console.text(), "Unsupported Compression Mode Requested\n"
                              "127.0.0.1 0 [] Connected To: * 127.0.0.1  8192  [Bob]\n"
                              "Unsupported Compression Mode Requested\n");
}

// Kinds 0 to 3 open a question on a thread of its own; its answer goes back while the call is up.
// None before the call is accepted, one at a time, closed when the line ends.
TEST_F(LineThreadsTest, QueryBoxIsAskedAndItsAnswerSentBack) {
    LineRecord& r = openLine(true);
    ASSERT_TRUE(peerSend(makePacket(PKT_QUERY, 0, "Early?"), makePacket(PKT_MESSAGE, 0, "1")));
    ASSERT_TRUE(console.waitForText("Message From #0:  1", 3000));
    r.accepted = 1;
    failThreadStarts(ThreadKind::retiring, 1); // this box is lost, the next ones are asked
    ASSERT_TRUE(peerSend(makePacket(PKT_QUERY, 0, "Lost?")));
    ASSERT_TRUE(console.waitForText("Query Thread Error\n", 3000));
    const std::tuple<int, int, DialogButtons, int> rows[] = {
        // kind, answer, buttons, reply
        {0, DIALOG_OK, DialogButtons::ok, 0},
        {1, DIALOG_CLOSED, DialogButtons::ok, 0},
        {1, DIALOG_OK, DialogButtons::ok, DIALOG_OK},
        {2, DIALOG_NO, DialogButtons::yesNo, DIALOG_NO},
        {3, DIALOG_CANCEL, DialogButtons::yesNoCancel, DIALOG_CANCEL}};
    size_t asked = 0;
    for (auto [kind, answer, buttons, reply] : rows) {
        dialogs.answer(answer);
        ASSERT_TRUE(peerSend(makePacket(PKT_QUERY, kind, "Lunch?")));
        ASSERT_TRUE(eventually([&] {
            return dialogs.questions().size() == asked + 1 && retiringThreadsRunning() == 0;
        }));
        test::FakeDialogs::Question q = dialogs.questions()[asked++];
        EXPECT_EQ(q.title + "|" + q.text, "Talkcircle Query|Lunch?");
        EXPECT_EQ(q.buttons, buttons);
        // A row without a reply reads nothing: a stray one would be read by the next row instead.
        EXPECT_EQ(reply ? next() : std::pair(PKT_QUERY, 0), std::pair(PKT_QUERY, reply));
    }
    dialogs.onAsk = [](const test::FakeDialogs::Question&, const std::atomic<uint8_t>* cancel) {
        EXPECT_TRUE(eventually([&] { return cancel && *cancel; }));
        return DIALOG_YES;
    };
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(peerSend(makePacket(PKT_QUERY, 2, "Again?")));
    ASSERT_TRUE(peerSend(makePacket(PKT_MESSAGE, 0, "done")));
    ASSERT_TRUE(console.waitForText("Message From #0:  done", 3000));
    EXPECT_EQ(retiringThreadsRunning(), 1); // counted as they start
    EXPECT_TRUE(eventually([&] { return dialogs.questions().size() == asked + 1; }));
    stopThread();
    EXPECT_TRUE(eventually([] { return retiringThreadsRunning() == 0; }));
}

// A High packet is decoded with the line's state and handed over block by block, scaled by the
// speaker gain. Blocks nobody takes wait only up to the dump limit: the rest of them is dropped.
TEST_F(LineThreadsTest, HighPacketIsHandedOverBlockByBlockAndDroppedPastTheDumpLimit) {
    LineRecord& r = openLine(false);
    r.compCode = COMP_HIGH;
    r.active = 1;
    r.spkGain = -1;
    Packet p = makePacket(COMP_HIGH, 77); // any payload is a valid High packet
    for (int i = 0; i < PAYLOAD_BYTES; ++i)
        p.payload[i] = uint8_t(i * 37);
    std::vector<int16_t> speech(COMP_HIGH_SAMPLES);
    int32_t state = 0;
    decodeHigh(p.payload, speech.data(), COMP_HIGH_SAMPLES, state);
    ASSERT_TRUE(peerSend(p));
    for (int k = 0; k < COMP_HIGH; ++k) {
        ASSERT_TRUE(eventually([&] { return r.rxReady.load() == 1; })) << "block " << k;
        for (int i = 0; i < BLOCK_SAMPLES; ++i)
            ASSERT_EQ(r.rxBlock[i], speech[size_t(k * BLOCK_SAMPLES + i)] >> 1) << k << " " << i;
        r.rxReady = 0;
        rxEvent[0].set();
    }
    // The outgoing line counts as accepted with the first audio packet it plays.
    EXPECT_EQ(console.text(), "Call Accepted\n");

    settings.dumpLim = 1; // without it each packet would wait up to half a second a block
    for (int i = 0; i < 30; ++i)
        ASSERT_TRUE(peerSend(p));
    // All of them counted, the last block still waiting for the engine.
    EXPECT_TRUE(eventually([&] { return r.rxAudioCount.load() == 31 && r.rxReady.load(); }, 4000));
}

// A caller cannot accept itself with a server list; on a line we called, the list accepts the
// call. An ID there is no caller's announcement: it prints nothing and keeps the dialled name.
// On a server nobody takes the blocks of a caller not yet accepted; its hang-up still ends the
// line (the question about the caller closes with it).
TEST_F(LineThreadsTest, ServerListAcceptsOnlyAnOutgoingLineAndAHangUpEndsAWaitingOne) {
    const Packet list = makePacket(PKT_SERVERLIST, 0, "      127.0.0.1   9000  [Bob]\n");
    LineRecord& out = openLine(false, "talk.example");
    ASSERT_TRUE(peerSend(buildIdPacket("Bob", "", "other.example", 9100), list));
    ASSERT_TRUE(eventually([&] { return out.accepted.load() == 1; }));
    EXPECT_EQ(console.text(), "Active Connections on Server:\n      127.0.0.1   9000  [Bob]\n");
    EXPECT_EQ(out.peerId.get() + " " + std::to_string(out.peerPort) + " " + out.peerName.get(),
              "Bob 9100 talk.example");
    stopThread();

    LineRecord& in = openLine(true);
    ASSERT_TRUE(peerSend(list));
    ASSERT_TRUE(console.waitForText("Received Unknown or Bad Packet -10", 3000));
    EXPECT_EQ(in.accepted.load(), 0);
    settings.hubMode = HUB_SERVER;
    ASSERT_TRUE(peerSend(makePacket(PKT_AUDIO, 1), makePacket(PKT_AUDIO, 2)));
    ASSERT_TRUE(eventually([&] { return in.rxReady.load() == 1; }));
    ::close(std::exchange(fds[1], -1));
    EXPECT_TRUE(eventually([&] { return in.ending.load() != 0; }));
}

// Texts from a peer cannot forge lines or drive a terminal: their line breaks and controls show
// as "?" wherever they are shown (the console, the log, the line's row from its ID).
TEST_F(LineThreadsTest, PeerTextsShowControlsAndLineBreaksAsQuestionMarks) {
    test::TempDir dir;
    ASSERT_EQ(openLogFile(dir.file("peer.log")), 0);
    LineRecord& r = openLine(true, "10.9.8.7");
    ASSERT_TRUE(peerSend(buildIdPacket("<b>Eve</b>\r\nAccepted Call #3", "", "", 4000),
                         makePacket(PKT_MESSAGE, 0, "hi\x1b[2J\x7f\n")));
    const std::string shown = "Incoming Call #0 From 10.9.8.7 4000 [<b>Eve</b>??Accepted Call #3]\n"
                              "Message From #0:  hi?[2J??\n";
    ASSERT_TRUE(console.waitForText(shown, 3000)) << console.text();
    EXPECT_EQ(r.peerId.get(), "<b>Eve</b>??Accepted Call #3");
    stopThread();
    closeLogFile(); // its last message is in the log too
    const std::string logged = test::TempDir::read(dir.file("peer.log"));
    EXPECT_NE(logged.find(shown), std::string::npos) << logged;
}

// The send thread packs the engine's blocks into packets of the line's code; a code set between
// two packets holds from the next one on. The test holds the line's send lock while it gives a
// packet's blocks, so the thread is still writing that packet when the code changes.
TEST_F(LineThreadsTest, SendThreadPacksBlocksFollowsACodeChangeAndEndsOnAFailedSend) {
    settings.defaultCompression = COMP_MEDIUM; // the claim takes it as the line's code
    LineRecord& r = openLine(false, "127.0.0.1", sendThread);
    std::vector<int16_t> speech(COMP_MEDIUM_SAMPLES);
    std::iota(speech.begin(), speech.end(), int16_t(-3000));
    {
        std::lock_guard lock(r.sendLock);
        for (int k = 0; k < COMP_MEDIUM; ++k)
            giveBlock(&speech[size_t(k * BLOCK_SAMPLES)], 40u + unsigned(k));
        ASSERT_TRUE(eventually([&] { return r.txReady.load() == 0; }));
        r.compCode = COMP_NONE;
    }
    EXPECT_EQ(next(), std::pair(COMP_MEDIUM, 45));
    Packet expected = makePacket(0, 0);
    int32_t state = 0;
    encodeMediumClosedLoop(speech.data(), expected.payload, COMP_MEDIUM_SAMPLES, state);
    EXPECT_EQ(std::memcmp(got.payload, expected.payload, PAYLOAD_BYTES), 0);

    // Raw: every block goes on its own, scaled by the microphone gain.
    r.micGain = -16;
    giveBlock(speech.data(), 60);
    EXPECT_EQ(next(), std::pair(COMP_NONE, 60));
    for (int i = 0; i < BLOCK_SAMPLES; ++i)
        ASSERT_EQ(got.payload[2 * i + 1], speech[size_t(i)] < 0 ? 0xFF : 0) << i;

    ::close(std::exchange(fds[1], -1));
    giveBlock(speech.data(), 61);
    EXPECT_TRUE(eventually([&] { return r.ending.load() != 0; }));
}

// A caller whose ID has not come is put to the user with its source port, its listening port
// being unknown. The ID arrives while the question is open: the answer is reported with the
// text of the question.
TEST_F(LineThreadsTest, SilentCallerIsAskedForWithItsSourcePortAndNoAnswerIsNo) {
    openLine(true).port = 40000; // its receive thread hears nothing
    dialogs.onAsk = [](const test::FakeDialogs::Question&, const std::atomic<uint8_t>*) {
        lineTable[0].peerPort = 9000;
        lineTable[0].peerId.set("Late");
        return DIALOG_YES;
    };
    allowThread(0);
    EXPECT_EQ(dialogs.questions().at(0).text, "Accept Call From 127.0.0.1 40000 []\n");
    EXPECT_EQ(console.text(), "Accepted Call From 127.0.0.1 40000 []\n");
    EXPECT_EQ(lineTable[0].active + lineTable[0].accepted, 2);
    stopThread();

    // An incoming-call question nobody answers in time closes and counts as No.
    callQuestionMs = 200;
    dialogs.onAsk = [](const test::FakeDialogs::Question&, const std::atomic<uint8_t>* cancel) {
        EXPECT_TRUE(eventually([&] { return cancel && *cancel; }));
        return DIALOG_CLOSED;
    };
    LineRecord& r = openLine(true, "127.0.0.1", holdThread);
    r.peerPort = 9000;
    r.peerId.set("Ann");
    EXPECT_TRUE(console.waitForText("Rejected Call From 127.0.0.1 9000 [Ann]\n", 5000));
    EXPECT_TRUE(eventually([] { return linesInUse() == 0; }));
    fds[0] = -1;
    callQuestionMs = 60000; // the socket was closed by the hold thread
}

// The greeting goes out in order. Asked for a redial, the owner thread calls again as soon as
// the callee hangs up, announcing the redial before its ID; switched off again, the line ends
// for good with its teardown printed once.
TEST_F(LineThreadsTest, CallOutGreetingGoesOutInOrderAndTheLineEndsCleanly) {
    settings.ownId.set("Alice");
    settings.dnsName.set("alice.example");
    settings.listenPort = 7100;
    settings.defaultCompression = 6;
    startupState.instanceStamp = 123456;
    ASSERT_TRUE(placeCall("127.0.0.1", callee.listen(), "secret", 0) == 0 && callee.accept());
    EXPECT_EQ(next(&callee), std::pair(PKT_ID, 7100)) << "a first call announces no redial";
    IdStrings id = parseIdStrings(got);
    EXPECT_EQ(id.id + "|" + id.password + "|" + id.dnsName, "Alice|secret|alice.example");
    EXPECT_EQ(next(&callee), std::pair(PKT_VERSION, 123456));
    EXPECT_STREQ(got.text(), BANNER);
    EXPECT_EQ(next(&callee), std::pair(PKT_COMPRESSION, 6));
    EXPECT_EQ(next(&callee), std::pair(0, 0)) << "the start packet"; // zero padded by sendPacket
    EXPECT_TRUE(eventually([] { return lineTable[0].active.load() == 1; }));

    lineTable[0].accepted = 1; // only an accepted call is redialled
    ASSERT_TRUE(callee.sendText(PKT_AUTORETRY, 1));
    callee.close(); // the line reads the AUTORETRY packet before the end of the stream
    ASSERT_TRUE(callee.accept());
    EXPECT_EQ(next(&callee), std::pair(PKT_AUTORETRY, 1));
    EXPECT_EQ(next(&callee), std::pair(PKT_ID, 7100));
    EXPECT_EQ(parseIdStrings(got).password, "secret");

    ASSERT_TRUE(callee.sendText(PKT_AUTORETRY, 0)); // heard by the redialled line 1
    ASSERT_TRUE(eventually([] { return lineTable[1].autoRetry.load() == 0; }));
    lineTable[1].ending = 1;
    EXPECT_TRUE(callee.waitClosed());
    ASSERT_TRUE(eventually([] { return linesInUse() == 0; }));
    EXPECT_FALSE(callee.accept(100)); // a redial connects before its line is given back
    EXPECT_EQ(console.text(), "Connected\nCall #0 Disconnected\nConnected\nCall #1 Disconnected\n");
}

// The call goes on at the new address, and the old line, though marked for redial, is not
// dialled again (the redial would be forwarded once more and reach the destination twice).
// A refused call gives its line back after the pause.
TEST_F(LineThreadsTest, CallOutForwardedLineMarkedForRedialIsNotDialledAgain) {
    int64_t started = monotonicMs();
    EXPECT_EQ(placeCall("127.0.0.1", test::freePort(), "", 0), 1);
    EXPECT_GE(monotonicMs() - started, 1900);
    EXPECT_EQ(linesInUse(), 0);
    test::ScriptedPeer destination;
    ASSERT_TRUE(placeCall("127.0.0.1", callee.listen(), "pw", 1) == 0 && callee.accept());
    ASSERT_TRUE(callee.sendText(PKT_FORWARD, destination.listen(), "127.0.0.1"));
    ASSERT_TRUE(destination.accept());
    ASSERT_TRUE(eventually([] { return lineTable[0].inUse.load() == 0; }));
    EXPECT_FALSE(callee.accept(100)); // a redial connects before its line is given back
    EXPECT_EQ(console.text(),
              "Connection Request Refused\nConnected\nCall Forwarded to: 127.0.0.1 " +
                  std::to_string(destination.port()) + " pw\nConnected\n");
}

// Only the request goes to a web server. The page's preamble, though as long as a packet, is
// passed over up to its end-of-file byte; what follows is heard as a call.
TEST_F(LineThreadsTest, CallOutToAWebPageSendsOnlyTheRequest) {
    Packet message = test::makePacket(PKT_MESSAGE, 0, "from the page");
    test::PageServer server({"HTTP/1.0 200 OK\r\n\r\n" + std::string(1500, 'x') + "\x1A",
                             std::string(reinterpret_cast<const char*>(&message), PACKET_BYTES)},
                            webCallPort);
    if (!server.ok()) GTEST_SKIP() << "port 80 cannot be opened here";
    ASSERT_EQ(placeCall("127.0.0.1", webCallPort, "talk/page.bin", 0), 0);
    ASSERT_TRUE(server.waitRequests(1));
    EXPECT_EQ(server.requests()[0], "GET /talk/page.bin HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_TRUE(console.waitForText(
        "Connected\nMessage From #0:  from the page\nCall #0 Disconnected\n", 5000));
}

// One item per letter in either case. A reply over 256 characters is emptied and collected
// afresh; only the first 255 query bytes count, and a NUL ends the query.
TEST_F(UdpStatusTest, RepliesHoldOneItemPerLetterUpTo256Characters) {
    settings.forwardPort.set("123456");
    settings.incomingMode = INCOMING_FORWARD;
    settings.hubMode = HUB_SERVER;
    openLine(false); // one call
    const std::string id = "ID=Talkcircle\n", id2 = id + id, id8 = id2 + id2 + id2 + id2;
    const std::string port = "Blk=2 Hub=2 Calls=1\n", m238(238, 'm');
    // Query, reply, whether a DNS check of ours waits, the message it is built with.
    const std::tuple<std::string, std::string, bool, std::string> rows[] = {
        {"ipvX\n", id + port + "TALKCIRCLE CONSOLE  Version 1.1\n?\n", false, ""},
        {"\r\n*-", "?\n", false, ""}, // ignored bytes only
        {std::string("\0IPV", 4), "?\n", false, ""},
        {std::string("I\0P", 3), id, false, ""},
        {std::string(19, 'I'), "?\n", false, ""},              // 266 characters
        {std::string(255, 'I') + "P", id8, false, ""},         // 255 = 13 * 19 + 8
        {"m", "M/IP=" + m238 + " Port=123456\n", false, m238}, // 256 characters
        {"M", "?\n", false, m238 + "m"},
        {"MI", id, false, std::string(255, 'm')},
        {"\x04\n", "?\n", true, ""},
        {"$$$", "?\n", true, ""},    // the same byte in the other case; once per check
        {"$\x04", "?\n", false, ""}, // no check waits: anyone may send the byte
    };
    for (const auto& [query, reply, checkWaits, message] : rows) {
        settings.autoMessage.set(message);
        settings.dnsUpdateActive = 1;
        checkWaits ? awaitDnsVerification(5000) : endDnsVerificationWait();
        auto bytes = reinterpret_cast<const uint8_t*>(query.data());
        EXPECT_EQ(buildUdpReply(bytes, query.size()), reply) << query;
        bool verified = checkWaits && query.find_first_of("$\x04") != std::string::npos;
        EXPECT_EQ(console.take() + std::to_string(settings.dnsUpdateActive.load()),
                  verified ? "Dynamic DNS Verified\n0"
                           : "1"); // and the update is no longer awaited
    }
}

// A burst from one socket gets its first ten replies; the rest go unanswered.
TEST_F(UdpStatusTest, BurstFromOneAddressGetsAboutTenReplies) {
    settings.listenAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::thread service(udpStatusThread);
    ASSERT_TRUE(eventually([] { return udpStatusState.running.load(); }));
    int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to = settings.listenAddress;
    to.sin_port = htons(uint16_t(udpStatusState.boundPort));
    for (int i = 0; i < 50; ++i)
        ::sendto(s, "P", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    int replies = 0;
    char reply[300];
    for (pollfd p{s, POLLIN, 0}; ::poll(&p, 1, 1000) > 0 && ::recv(s, reply, 300, 0) > 0;)
        ++replies;
    ::close(s);
    stopUdpStatus();
    service.join();
    EXPECT_TRUE(replies >= 10 && replies <= 12) << replies;
}

// Running out of descriptors pauses the answer thread instead of ending incoming calls: the
// caller waiting meanwhile gets its greeting once descriptors are free again.
TEST_F(LineThreadsTest, AnswerThreadWaitsOutMissingDescriptors) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer runtime needs descriptors of its own";
#endif
    int bound = 0;
    startupState.listenSocket = listenLoopback(0, bound);
    std::thread answer(answerThread); // started first: a thread start needs descriptors too
    int caller = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(caller, 0);
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    rlimit low{std::min<rlim_t>(limit.rlim_cur, 512), limit.rlim_max};
    ::setrlimit(RLIMIT_NOFILE, &low);
    std::vector<int> filler;
    for (int fd; (fd = ::dup(caller)) >= 0;)
        filler.push_back(fd);
    sockaddr_in to{AF_INET, htons(uint16_t(bound)), {htonl(INADDR_LOOPBACK)}, {}};
    EXPECT_EQ(::connect(caller, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 0);
    sleepMs(400); // several failed accepts
    for (int fd : filler)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &limit);
    timeval tv{5, 0};
    ::setsockopt(caller, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    EXPECT_EQ(recvPacket(caller, got), PACKET_BYTES);
    EXPECT_EQ(got.type(), PKT_VERSION);
    EXPECT_EQ(console.count("Accept Error\n"), 0);
    startupState.closing = 1;
    ::shutdown(startupState.listenSocket, SHUT_RDWR);
    answer.join();
    ::close(startupState.listenSocket);
    ::close(caller);
}

// Each thread start of a line fails in turn, on a call answered and on one placed: the process
// goes on, the line ends, the peer sees the connection close and line 0 takes the next call.
TEST_F(LineThreadsTest, LineWhoseThreadCannotStartEndsAndIsFreeAgain) {
    int bound = 0;
    startupState.listenSocket = listenLoopback(0, bound);
    std::thread answer(answerThread);
    const std::tuple<bool, ThreadKind, std::string> rows[] = {
        {true, ThreadKind::owner, "Hold Thread Error\n"},
        {true, ThreadKind::receive, "Incoming Thread Error\n"},
        {true, ThreadKind::send, "Outgoing Thread Error\n"},
        {true, ThreadKind::allow, "Allow Thread Error\n"},
        {true, ThreadKind::any, "Incoming Call #0 From 127.0.0.1 4444 [Eve]\n"}, // none fails
        {false, ThreadKind::owner, "Makecall Call Thread Error\n"},
        {false, ThreadKind::receive, "Incoming Thread Error\n"},
        {false, ThreadKind::send, "Outgoing Thread Error\n"},
        {false, ThreadKind::any, "Connected\n"}};
    for (const auto& [incoming, kind, text] : rows) {
        ScriptedPeer peer;
        failThreadStarts(kind, kind == ThreadKind::any ? 0 : 1);
        if (incoming) { // its ID is sent once the line is claimed
            ASSERT_TRUE(peer.connectTo(bound) && peer.send(buildIdPacket("Eve", "", "", 4444)) &&
                        peer.receiveType(PKT_ID, got));
        } else {
            int failed = kind == ThreadKind::owner ? 1 : 0;
            EXPECT_EQ(placeCall("127.0.0.1", peer.listen(), "", 0), failed);
            ASSERT_TRUE(peer.accept());
        }
        ASSERT_TRUE(console.waitForText(text, 3000)) << console.text();
        if (kind == ThreadKind::any) {
            bool held = incoming; // an incoming call is not active before it is accepted
            EXPECT_TRUE(
                eventually([&] { return lineTable[0].inUse && (held || lineTable[0].active); }));
            lineTable[0].ending = 1;
        }
        EXPECT_TRUE(peer.waitClosed()) << text;
        EXPECT_TRUE(eventually([] { return linesInUse() == 0; })) << text;
        EXPECT_EQ(threadStartFaults.remaining.load(), 0) << text;
        console.take();
    }
    EXPECT_EQ(threadStartFaults.refused.load(), 7);
    startupState.closing = 1;
    ::shutdown(startupState.listenSocket, SHUT_RDWR);
    answer.join();
    ::close(startupState.listenSocket);
}

TEST_F(UdpStatusTest, TakenPortEndsTheServiceWithTheBindError) {
    int taken = ::socket(AF_INET, SOCK_DGRAM, 0);
    settings.listenAddress.sin_port = htons(uint16_t(freePort())); // on the any address
    auto* address = reinterpret_cast<const sockaddr*>(&settings.listenAddress);
    ASSERT_EQ(::bind(taken, address, sizeof(sockaddr_in)), 0);
    udpStatusThread(); // returns at once (a service left running would keep the test from ending)
    ::close(taken);
    EXPECT_EQ(console.text(), "UDP Bind Error\n");
}

} // namespace
} // namespace tc
