#include "app/supervisor.h"

#include "audio/audio_period.h"
#include "core/lifecycle.h"
#include "core/line_table.h"
#include "core/settings.h"
#include "ui/line_list.h"

namespace tc {

namespace {

constexpr int SUPERVISOR_PAUSE_MS = 500;

void housekeeping() {
    displayRefresh(0);
    reapThreads();
    supervisorPause(SUPERVISOR_PAUSE_MS);
}

// Idle: returns false when the program is to end.
bool waitForLines() {
    while (linesInUse() == 0) {
        if (startupState.shutdownRequested) return false;
        if (settings.terminateMode > 1) {
            shutdown();
            return false;
        }
        housekeeping();
    }
    return !startupState.shutdownRequested;
}

} // namespace

void supervisorLoop() {
    if (prepareAudioSystem() != 0) return;
    bool freshHeaders = true;
    while (!startupState.shutdownRequested) {
        if (freshHeaders) prepareHeaders();
        freshHeaders = false;
        if (!waitForLines()) break;
        Opened opened = openAudioDevices();
        if (opened == Opened::failed) break;
        if (opened == Opened::both) {
            if (runAudioPeriod(housekeeping) != 0) break;
            freshHeaders = true;
        }
        if (settings.terminateMode != 0) {
            shutdown();
            break;
        }
    }
    finishAudio();
}

} // namespace tc
