#include "calls/call_out.h"

namespace tc {

// Placeholder until outgoing calls land.
int placeCall(const std::string& host, int port, const std::string& password, int autoRetry) {
    (void)host;
    (void)port;
    (void)password;
    (void)autoRetry;
    return 1;
}

} // namespace tc
