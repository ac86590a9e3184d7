// Status query datagrams through the reply builder, with and without a DNS check waiting for
// its verification byte. Byte 0 picks the state and the length of the message the reply shows;
// the rest is the datagram.
#include <cstddef>
#include <cstdint>
#include <string>

#include "calls/udp_status.h"
#include "core/output.h"
#include "core/settings.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static tc::fuzz::QuietConsole console;
    static const std::string message(255, 'm');
    if (size < 1) return 0;
    tc::attachConsole(&console);
    tc::settings.autoMessage.set(std::string_view(message).substr(0, data[0] & 0x7F));
    tc::settings.dnsUpdateActive = 1;
    bool waiting = data[0] & 0x80;
    if (waiting)
        tc::awaitDnsVerification(60000);
    else
        tc::endDnsVerificationWait();
    std::string reply = tc::buildUdpReply(data + 1, size - 1);
    if (reply.empty() || reply.size() > tc::UDP_REPLY_LIMIT) __builtin_trap();
    // The verification counts only while a check waits, and ends the wait.
    bool verified = tc::settings.dnsUpdateActive == 0;
    if (verified && !waiting) __builtin_trap();
    if (verified && tc::udpStatusState.verifyUntilMs != 0) __builtin_trap();
    tc::attachConsole(nullptr);
    return 0;
}
