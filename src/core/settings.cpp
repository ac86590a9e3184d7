#include "core/settings.h"

namespace tc {

Settings settings;

void resetSettings() {
    Settings& s = settings;
    s.ownId.set(DEFAULT_OWN_ID);
    s.listenPort = 0;
    s.listenAddress = sockaddr_in{};
    s.listenAddress.sin_family = AF_INET;
    s.listenAddress.sin_addr.s_addr = htonl(INADDR_ANY);
    s.callPassword.clear();
    s.incomingMode = INCOMING_ANSWER;
    s.autoMessage.clear();
    s.forwardPort.clear();
    s.hubMode = HUB_P2P;
    s.defaultCompLevel = 15;
    s.defaultCompression = 0;
    s.defaultCallAddress.set(DEFAULT_CALL_ADDRESS);
    s.defaultCallPort.set("8192");
    s.defaultCallPassword.clear();
    s.terminateMode = 0;
    s.trayIcon = 0;
    s.showCommand = 1;
    s.dnsUpdateActive = 0;
    s.dnsName.clear();
    s.addressBookFile.set("address.bk");
    s.echoStartupCommands = 1;
    s.startupCommands.clear();
    s.startupCommandCount = 0;
    s.audioBufferCount = 16;
    s.audioBufferTotal = 32;
    s.thresh1 = 8;
    s.thresh2 = 8;
    s.midDiff = 0;
    s.minSleep = 10;
    s.dumpLim = 8;
    s.diagBits = 0;
    s.micMuted = 0;
    s.masterMicGain = 0;
    s.masterSpkGain = 0;
}

namespace {
// Defaults are in force before main() runs, so tests and the program start from the same record.
struct SettingsDefaults {
    SettingsDefaults() { resetSettings(); }
} settingsDefaults;
} // namespace

} // namespace tc
