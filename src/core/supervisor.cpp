#include "core/supervisor.h"

#include <cstring>
#include <string>
#include <system_error>

#include "calls/line_table.h"
#include "core/audio_engine.h"
#include "core/launch_options.h"
#include "core/output.h"
#include "core/settings.h"
#include "core/startup.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/wave_backends.h"
#include "ui/line_list.h"

namespace tc {

SupervisorState supervisorState;

namespace {

constexpr int SUPERVISOR_PAUSE_MS = 500;
constexpr int OPEN_RETRY_MS = 2000;
constexpr int FAILURE_EXIT_MS = 5000;
constexpr int AUDIO_STOP_MS = 1000;
// Pause between attempts to take the tone block back while the device still plays it.
constexpr int TONE_RETRY_MS = 5;
constexpr int STATS_MIN_BLOCKS = 100;
constexpr uint32_t FULL_VOLUME = 0xFFFFFFFF;

void pause(int ms) {
    if (supervisorState.pause)
        supervisorState.pause(ms);
    else
        sleepMs(ms);
}

bool stopRequested() {
    return startupState.shutdownRequested;
}

WaveHeader& header(int index) {
    return audioState.audioHeaders[index];
}

void failureExit(const char* text) {
    message("%s", text);
    pause(FAILURE_EXIT_MS);
    shutdown();
}

void housekeeping() {
    displayRefresh(0);
    reapThreads();
    pause(SUPERVISOR_PAUSE_MS);
}

// Idle: returns false when the program is to end.
bool waitForLines() {
    while (linesInUse() == 0) {
        if (stopRequested()) return false;
        if (settings.terminateMode > 1) {
            shutdown();
            return false;
        }
        housekeeping();
    }
    return !stopRequested();
}

bool keepTrying() {
    return linesInUse() != 0 && !stopRequested();
}

enum class Opened { both, noLineLeft, failed };

Opened openDevices() {
    WaveIn& in = *audioState.waveIn;
    WaveOut& out = *audioState.waveOut;
    audioState.audioOpen = 1;
    while (in.open() != 0) {
        message("Audio Input Open Error\n");
        dialogs().beep();
        pause(OPEN_RETRY_MS);
        if (!keepTrying()) {
            audioState.audioOpen = 0;
            return Opened::noLineLeft;
        }
    }
    if (in.start() != 0) {
        failureExit("Audio Input Start Error\n");
        return Opened::failed;
    }
    while (out.open() != 0) {
        message("Audio Output Open Error\n");
        pause(OPEN_RETRY_MS);
        if (!keepTrying()) {
            audioState.audioOpen = 0;
            in.reset();
            in.close();
            return Opened::noLineLeft;
        }
    }
    return Opened::both;
}

void lineStatistics() {
    if (!(settings.diagBits & DIAG_IN_STATS)) return;
    int played = audioState.playedBlocks;
    if (played < STATS_MIN_BLOCKS) return;
    for (int n = 0; n < MAX_LINES; ++n) {
        LineRecord& r = lineTable[n];
        if (!r.inUse) continue;
        if (r.active) {
            uint64_t share = static_cast<uint64_t>(r.rxAudioCount) * 100 / played;
            output(TopRow | NoPanel, "%d=%2d  ", n, static_cast<int>(share));
        }
        r.rxAudioCount = 0;
    }
    // Blocks the engine played since the count was read stay counted.
    audioState.playedBlocks -= played;
    output(TopRow | NoPanel, "\n");
}

void playTone() {
    if (!audioState.toneRequest) return;
    // With exactly one line (the caller waiting for an answer) the tone repeats every pass.
    if (linesInUse() != 1) audioState.toneRequest = 0;
    WaveOut& out = *audioState.waveOut;
    WaveHeader& tone = header(2 * audioState.blockCount);
    fillToneBlock(tone.data);
    tone.flags = 0;
    if (out.prepare(tone) != 0 || out.write(tone) != 0) return;
    while (out.unprepare(tone) != 0 && keepTrying())
        pause(TONE_RETRY_MS);
}

void endPeriod() {
    WaveIn& in = *audioState.waveIn;
    WaveOut& out = *audioState.waveOut;
    if (linesInUse() == 0) output(NoPanel, "No Calls Active\n");
    audioState.audioOpen = 0;
    pause(AUDIO_STOP_MS);
    if (supervisorState.audio.joinable()) supervisorState.audio.join();

    if (in.reset() != 0) message("Audio Input Reset Error\n");
    if (out.reset() != 0) message("Audio Output Reset Error\n");
    int n = audioState.blockCount;
    for (int i = 0; i < n; ++i) {
        out.unprepare(header(n + i));
        in.unprepare(header(i));
    }
    if (in.close() != 0) message("Audio Input Close Error\n");
    if (out.close() != 0) message("Audio Output Close Err\n");
}

// One audio period once both devices are open. Returns 1 after a failure exit.
int runPeriod() {
    if (audioState.waveOut->setVolume(FULL_VOLUME) != 0) {
        failureExit("Set Volume Error\n");
        return 1;
    }
    int queued = queueCaptureBuffers();
    if (queued != 0) {
        failureExit(queued == 1 ? "Buffer Prep Error\n" : "Buffer Add Error\n");
        return 1;
    }
    try {
        supervisorState.audio = std::thread(audioThread);
    } catch (const std::system_error&) {
        failureExit("Audio Thread Error\n");
        return 1;
    }
    while (keepTrying()) {
        lineStatistics();
        playTone();
        housekeeping();
    }
    endPeriod();
    return 0;
}

// The program is ending: stop the audio thread and close what is still open, so that a WAV
// file being written is finished.
void finishAudio() {
    audioState.audioOpen = 0;
    if (supervisorState.audio.joinable()) supervisorState.audio.join();
    for (WaveDevice* device : {static_cast<WaveDevice*>(audioState.waveIn.get()),
                               static_cast<WaveDevice*>(audioState.waveOut.get())}) {
        if (!device || !device->isOpen()) continue;
        device->reset();
        device->close();
    }
    if (supervisorState.ownDevices) {
        audioState.waveIn.reset();
        audioState.waveOut.reset();
        supervisorState.ownDevices = false;
    }
}

} // namespace

void resetSupervisorState() {
    audioState.audioOpen = 0;
    if (supervisorState.audio.joinable()) supervisorState.audio.join();
    supervisorState.pause = nullptr;
    supervisorState.ownDevices = false;
}

int prepareAudioSystem() {
    int n = settings.audioBufferCount;
    if (!audioState.audioHeaders || audioState.blockCount != n) {
        if (allocateAudio(n) != 0) {
            failureExit("Not Enough Memory\n");
            return 1;
        }
    }
    if (audioState.waveIn && audioState.waveOut) return 0;
    WaveDevices devices;
    std::string error;
    if (createWaveDevices(launchOptions.audio, launchOptions.capture, launchOptions.playback,
                          devices, error) != 0) {
        message("Sound Setup Error: %s\n", error.c_str());
        pause(FAILURE_EXIT_MS);
        shutdown();
        return 1;
    }
    audioState.waveIn = std::move(devices.in);
    audioState.waveOut = std::move(devices.out);
    supervisorState.ownDevices = true;
    return 0;
}

void prepareHeaders() {
    int total = 2 * audioState.blockCount + 1;
    for (int i = 0; i < total; ++i) {
        WaveHeader& h = header(i);
        h.data = audioBlock(i);
        h.length = BLOCK_BYTES;
        h.flags = 0;
    }
}

int queueCaptureBuffers() {
    int n = audioState.blockCount;
    WaveIn& in = *audioState.waveIn;
    for (int i = 0; i < n; ++i) {
        header(i).flags = 0;
        // Every playback block starts free for the engine.
        header(n + i).flags = WHDR_DONE;
        if (in.prepare(header(i)) != 0) return 1;
        if (in.addBuffer(header(i)) != 0) return 2;
    }
    return 0;
}

void fillToneBlock(int16_t* block) {
    // The bytes 8k mod 256, read as 16-bit little-endian samples: a saw-tooth of 16 samples.
    for (int i = 0; i < BLOCK_SAMPLES; ++i) {
        int low = (16 * i) % 256;
        int high = (16 * i + 8) % 256;
        block[i] = static_cast<int16_t>(low | (high << 8));
    }
}

void supervisorLoop() {
    if (prepareAudioSystem() != 0) return;
    bool freshHeaders = true;
    while (!stopRequested()) {
        if (freshHeaders) prepareHeaders();
        freshHeaders = false;
        if (!waitForLines()) break;
        Opened opened = openDevices();
        if (opened == Opened::failed) break;
        if (opened == Opened::both) {
            if (runPeriod() != 0) break;
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
