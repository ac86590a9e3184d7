// The two command threads: the queue and the replies to a remote client, the start-up
// commands, the prompt and the command list, and questions answered at the console. Dynamic
// DNS: the update URL, the request sent to the update server, the page printed, the failure
// texts, and the check datagram answered by the program's own UDP status service.
#include <cstring>
#include <poll.h>

#include "calls/udp_status.h"
#include "commands/command_fixture.h"
#include "commands/console_dialogs.h"
#include "commands/dns.h"
#include "core/packet_parse.h"
#include "support/page_server.h"
#include "support/program_process.h"

namespace tc::test {
namespace {

const std::string PROMPT =
    "All, Block Y|N, Call IP Port [Pswd], Drop #, ExpReq #, Fwd IP Port, Hold #,\n"
    "IM # (^Z=End), Komp #|-1(Def) Y|N, Mute Y|N, None, Priv #, Quit, Reply [Msg],\n"
    "Send # Msg, Talk #, Vol L# M|S V##, Window, /Hub H|S|N, # (Delay mS),\n"
    "ListCommands. (# = -1 = All Lines)\nY [NewPswd], + Startup|?, & ?|DNSUpdate DNSName\n> ";

class CommandThreads : public CommandFixture {
  protected:
    void TearDown() override { stopThreads(), CommandFixture::TearDown(); }
    void start(int role) { threads.emplace_back(commandThread, role); }
    void stopThreads() { stopCommandThreads(), console.close(), threads.clear(); }
    static bool idle() {
        return eventually([] { return outputState.commandSource == -1; });
    }
    // Queues a request with `count` commands from line n; its replies ("value text;") up to the
    // closing one. (A missing reply throws, which fails the test.)
    std::string ask(Packet packet, int count, int n) {
        packet.setValue(count);
        EXPECT_EQ(queueRemoteCommands(packet, n), 0);
        std::string replies;
        for (std::string r = "1"; r[0] == '1' || r[0] == '2'; replies += r + ";")
            r = sent(n).substr(std::to_string(PKT_COMMANDREPLY).size() + 1);
        EXPECT_TRUE(idle());
        return replies;
    }
    std::vector<std::jthread> threads; // joined when cleared
};

// With a UDP socket where the status service would be, to see the check datagrams.
class DnsTest : public CommandFixture {
  protected:
    void SetUp() override {
        CommandFixture::SetUp();
        dnsTimings.checkWaitMs = 100;
        dnsTimings.settleWaitMs = 50;
        settings.listenPort = freePort();
        sockaddr_in a{AF_INET, htons(settings.listenPort), {htonl(INADDR_LOOPBACK)}, {}};
        ASSERT_EQ(::bind(udp, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    }
    void TearDown() override {
        ::close(udp);
        resetDnsTimings();
        CommandFixture::TearDown();
    }
    // The check datagrams that arrive until none has come for 200 ms.
    std::string checks() {
        std::string got, buf(64, '\0');
        for (pollfd p{udp, POLLIN, 0}; ::poll(&p, 1, 200) == 1;)
            got.append(buf, 0, std::max<ssize_t>(::recv(udp, buf.data(), buf.size(), 0), 0));
        return got;
    }
    int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
};

// The reply is scanned for "<html" through a 64-byte window that keeps its last 32 bytes; mode 2
// sends one check, after the request. Then the URL parts (the port is the leading digits after
// the last colon before the path, and a huge one does not overflow), the failures and their
// results.
TEST_F(DnsTest, RequestBytesPagePrintedAndOnlyTheClosingCheck) {
    EXPECT_EQ(dnsUpdate(2) + dnsCheck(), 2); // nothing stored: nothing to do, nothing printed
    const std::string head = "HTTP/1.0 200 OK\r\n\r\n", notHtml = "DNS Update Web Page Not HTML\n",
                      page = "<html><p>" + std::string(150, 'z') + "</p></html>";
    const std::tuple<std::string, std::string, std::string, std::string> cases[] = {
        {"http://127.0.0.1:%/nic/update?h=me&ip=1", head + "<HTML>good</HTML>\r\n\x1b[2J",
         "<HTML>good</HTML>???[2J",
         "GET /nic/update?h=me&ip=1 HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"},
        {"HTTP://127.0.0.1:%", head + std::string(42, '.') + page, page, // tag across two windows
         "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"},
        {"localhost:%/up?a=b", head + std::string(300, 'x') + "<htm", notHtml,
         "GET /up?a=b HTTP/1.0\r\nHost: localhost\r\n\r\n"},
        {"127.0.0.1:%/x", "<html>", "<html>", "GET /x HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"},
        {"127.0.0.1:%", head + page + std::string(3000, 'y'), // printed up to 2048 bytes
         page + std::string(2048 - page.size(), 'y') + "\n",
         "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"}};
    for (auto [url, reply, printed, request] : cases) {
        PageServer server({reply});
        store(url.replace(url.find('%'), 1, std::to_string(server.port())));
        EXPECT_EQ(dnsUpdate(2), 1);
        EXPECT_EQ(server.requests(), std::vector<std::string>{request});
        EXPECT_EQ(console.take(), printed);
        EXPECT_EQ(checks(), std::string("\x04\x0A", 2));
    }
    UpdateUrl u;
    EXPECT_EQ(parseUpdateUrl("a:1:81abc/x:9", u), 0);
    EXPECT_EQ(std::tuple(u.host, u.port, u.path), std::tuple("a", 81, "x:9"));
    EXPECT_TRUE(parseUpdateUrl("h:99999999999999999999", u) == 0 && u.port >= 0 && u.port < 65536);
    store("https://127.0.0.1/x");
    EXPECT_EQ(dnsUpdate(1), 1);
    // A name with an empty label is refused by the resolver without asking any server.
    store("http://no..such..host/update", "no..such..host");
    EXPECT_EQ(dnsUpdate(2) + dnsCheck(), 0);
    // Mode 0 checks first; a refused connection is final and gets no closing check.
    store("http://127.0.0.1:" + std::to_string(freePort()) + "/update");
    settings.dnsUpdateActive = 1;
    EXPECT_EQ(dnsUpdate(0), 1);
    EXPECT_EQ(checks(), std::string("\x04\x0A", 2));
    EXPECT_EQ(console.take(), "Only HTTP Protocol Supported for DNS Update Web Page\n"
                              "DNS Update HostName Error\nDynamic DNS HostName Error\n"
                              "DNS Update Connection Request Refused\n");
    // A page dripped for 5 s is read only until the reply's time limit.
    dnsTimings.replyTimeoutMs = 300;
    PageServer drip(std::vector<std::string>(100, "<html>"), 0, 50);
    store("127.0.0.1:" + std::to_string(drip.port()));
    EXPECT_TRUE(dnsUpdate(2) == 1 && console.take().size() < 300u);
}

// Mode 1 raises the flag itself and the service clears it; the thread of /W ends once verified.
TEST_F(DnsTest, VerifiedByTheOwnStatusServiceInModeOneAndByTheThread) {
    PageServer server({"<html>updated"});
    settings.listenAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::thread service(udpStatusThread);
    ASSERT_TRUE(eventually([] { return udpStatusState.running.load(); }));
    settings.listenPort = udpStatusState.boundPort.load();
    store("127.0.0.1:" + std::to_string(server.port()) + "/u");
    dnsTimings.checkWaitMs = 3000;
    EXPECT_EQ(dnsUpdate(1), 1);
    settings.dnsUpdateActive = 1;
    auto updater = std::async(std::launch::async, dnsThread);
    EXPECT_EQ(updater.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    stopUdpStatus();
    service.join();
    EXPECT_EQ(console.text(), "Dynamic DNS Verified\nDynamic DNS Verified\n");
    EXPECT_TRUE(settings.dnsUpdateActive == 0 && server.requests().empty());
}

// The window's queue first: a new request replaces the one waiting, and "- " runs the rest
// without the echo.
TEST_F(CommandThreads, RemoteRequestsGetTheirRepliesAndEndAtTheFirstEmptyString) {
    useLine({2, 3});
    ASSERT_EQ(queueRemoteCommands(buildCommandPacket({"Quit"}, ""), 1), 0);
    ASSERT_EQ(queueWindowCommand("Mute Y") + queueWindowCommand("- Talk 2"), 0);
    start(ROLE_BUFFER);
    ASSERT_TRUE(idle());
    EXPECT_EQ(lineTable[2].active * 100 + settings.terminateMode * 10 + settings.micMuted, 100);
    for (const char* command : {"Hold 2", "-", ""})
        EXPECT_TRUE(queueWindowCommand(command) == 0 && idle());
    EXPECT_EQ(lineTable[2].active + settings.terminateMode, 0);
    EXPECT_EQ(console.text(), "\nCMD: Hold 2\nInvalid Command\n\nCMD: \nInvalid Command\n\n");
    // A request replaces the rest of a running one, its Delay included; the client replaced gets
    // its closing reply.
    ASSERT_EQ(queueRemoteCommands(buildCommandPacket({"600000", "Mute Y"}, ""), 2), 0);
    ASSERT_EQ(sent(2), packet(PKT_COMMANDREPLY, 1, "600000"));
    EXPECT_EQ(ask(buildCommandPacket({"Reply new"}, ""), 1, 3), "1 Reply new;0 Reply new;");
    EXPECT_EQ(sent(2) + std::to_string(settings.micMuted),
              packet(PKT_COMMANDREPLY, 0, "600000") + "0");
    EXPECT_EQ(ask(buildCommandPacket({"Mute Y", "Talk 9"}, ""), 2, 3),
              "1 Mute Y;1 Talk 9;2 Invalid Line Number;0 Talk 9;");
    // A count beyond the commands ends at the first empty string, before the password.
    EXPECT_EQ(ask(buildCommandPacket({"- Reply away", "IM 0"}, "secret"), 50, 3),
              "1 Reply away;1 IM 0;2 IM Mode Available From Console Only;0 IM 0;");
    EXPECT_EQ(ask(buildCommandPacket({"Mute N"}, ""), 0, 3), "0 ;");
    // No terminated command before the password area: nothing runs, not even the password.
    Packet junk = buildCommandPacket({}, "");
    std::memset(junk.payload, 'M', sizeof(junk.payload));
    EXPECT_EQ(ask(junk, 3, 3), "0 ;");
    Packet joined = buildCommandPacket({"Mute N"}, std::string(100, 'Q'));
    std::memset(joined.payload + 7, 'M', PAYLOAD_BYTES - 1 - 100 - 7); // runs into the password
    EXPECT_EQ(ask(joined, 5, 3), "1 Mute N;0 Mute N;");
    // The last command may end with its zero byte at byte 958.
    const std::string longest = "Mute Y" + std::string(COMMAND_END_BYTE - 6, ' ');
    EXPECT_EQ(ask(buildCommandPacket({longest}, ""), 1, 3), "1 " + longest + ";0 " + longest + ";");
    EXPECT_EQ(settings.micMuted, 1);
}

TEST_F(CommandThreads, StartupCommandsRunBeforeThePrompt) {
    settings.startupCommands = {"-Mute Y", "-   ", "-Reply  at  lunch"};
    settings.startupCommandCount = 3;
    start(ROLE_CONSOLE);
    ASSERT_TRUE(console.waitForText(PROMPT, 3000));
    EXPECT_EQ(console.text(), "\nCMD: Mute Y\nMicrophone Muted\n\nCMD: \nInvalid Command\n\n"
                              "CMD: Reply  at  lunch\n" +
                                  PROMPT);
    EXPECT_EQ(settings.autoMessage.get(), "at  lunch");
}

// A start-up command without echo (a stored text that began with "+"). Typed lines lose a
// carriage return before their line feed and are cut to 254 bytes with it; an empty line is
// the status display; the end of input shows the list and the prompt again.
TEST_F(CommandThreads, PromptAndTypedLines) {
    settings.echoStartupCommands = 0, settings.startupCommands = {"-Mute N"},
    settings.startupCommandCount = 1;
    start(ROLE_CONSOLE);
    console.pushLine("Reply back\r");
    console.pushLine("");
    console.pushEndOfInput();
    ASSERT_TRUE(console.waitForReads(4, 3000));
    std::string text = console.take();
    EXPECT_TRUE(text.starts_with("\nMicrophone Enabled\n\n" + PROMPT + PROMPT)) << text;
    EXPECT_TRUE(text.ends_with(std::string(79, '_') + "\n\n" + PROMPT + PROMPT)) << text;
    EXPECT_EQ(settings.autoMessage.get(), "back");
    console.pushLine("Reply " + std::string(400, 'r'));
    ASSERT_TRUE(console.waitForReads(5, 3000));
    EXPECT_EQ(settings.autoMessage.get(), std::string(247, 'r'));
    EXPECT_EQ(console.count("Line Too Long, Cut To 253 Characters\n"), 1);
}

// Questions put while there is no window take the next typed lines, in the order asked; the
// lines that answer them are not run as commands ("y" would clear the password).
TEST_F(CommandThreads, QuestionsTakeTheNextTypedLinesInTurn) {
    ConsoleDialogs dialogs;
    settings.callPassword.set("pw");
    start(ROLE_CONSOLE);
    ASSERT_TRUE(console.waitForText("> ", 3000));
    std::future<int> first, second;
    // Without a console the questions end, so a failed check below never leaves them waiting.
    struct Detach {
        ~Detach() { attachConsole(nullptr); }
    } detach;
    first = std::async(std::launch::async, [&] {
        return dialogs.ask("Incoming Call", "From bob\n", DialogButtons::yesNo);
    });
    ASSERT_TRUE(console.waitForText("Incoming Call: From bob\n(Y or N)\n", 3000));
    second = std::async(std::launch::async,
                        [&] { return dialogs.ask("Q", "Stay?", DialogButtons::yesNoCancel); });
    ASSERT_TRUE(eventually([] { return waitingConsoleQuestions() == 2; }));
    EXPECT_EQ(console.count("Stay?"), 0); // shown once the first is answered
    console.pushLine(" y");
    ASSERT_TRUE(console.waitForText("Q: Stay?\n(Y, N or C)\n", 3000));
    console.pushLine("c");
    EXPECT_EQ(std::pair(first.get(), second.get()), std::pair(DIALOG_YES, DIALOG_CANCEL));
    EXPECT_EQ(settings.callPassword.get(), "pw");
    // A question cancelled by the program; with no console the call question counts as No.
    std::atomic<uint8_t> cancel{1};
    EXPECT_EQ(dialogs.ask("Q", "Ready?", DialogButtons::ok, &cancel), DIALOG_CLOSED);
    attachConsole(nullptr);
    EXPECT_EQ(dialogs.ask("Incoming Call", "x", DialogButtons::yesNo), DIALOG_NO);
    EXPECT_EQ(dialogs.ask("Q", "Go?", DialogButtons::yesNo), DIALOG_OK);
}

} // namespace
} // namespace tc::test
