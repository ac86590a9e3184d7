#include "audio/audio_period.h"

#include <cstring>
#include <functional>
#include <string>

#include "audio/audio_engine.h"
#include "core/launch_options.h"
#include "core/lifecycle.h"
#include "core/line_table.h"
#include "core/output.h"
#include "core/settings.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/thread_start.h"
#include "platform/wave_backends.h"

namespace tc {

AudioPeriodState audioPeriodState;

namespace {

constexpr int OPEN_RETRY_MS = 2000;
constexpr int FAILURE_EXIT_MS = 5000;
constexpr int AUDIO_STOP_MS = 1000;
// Pause between attempts to take the tone block back while the device still plays it.
constexpr int TONE_RETRY_MS = 5;
constexpr int STATS_MIN_BLOCKS = 100;
constexpr uint32_t FULL_VOLUME = 0xFFFFFFFF;

WaveHeader& header(int index) {
    return audioState.audioHeaders[index];
}

void failureExit(const char* text) {
    message("%s", text);
    supervisorPause(FAILURE_EXIT_MS);
    startupState.exitCode = 1;
    shutdown();
}

bool keepTrying() {
    return linesInUse() != 0 && !startupState.shutdownRequested;
}

} // namespace

void supervisorPause(int ms) {
    if (audioPeriodState.pause)
        audioPeriodState.pause(ms);
    else
        sleepMs(ms);
}

Opened openAudioDevices() {
    WaveIn& in = *audioState.waveIn;
    WaveOut& out = *audioState.waveOut;
    audioState.audioOpen = 1;
    for (;;) {
        if (in.open() != 0) {
            message("Audio Input Open Error\n");
            dialogs().beep();
        } else if (in.start() == 0) {
            break;
        } else {
            // Its thread could not start: tried again later, as a failed open is.
            message("Audio Input Start Error\n");
            in.close();
        }
        supervisorPause(OPEN_RETRY_MS);
        if (!keepTrying()) {
            audioState.audioOpen = 0;
            return Opened::noLineLeft;
        }
    }
    while (out.open() != 0) {
        message("Audio Output Open Error\n");
        supervisorPause(OPEN_RETRY_MS);
        if (!keepTrying()) {
            audioState.audioOpen = 0;
            in.reset();
            in.close();
            return Opened::noLineLeft;
        }
    }
    return Opened::both;
}

namespace {

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
        supervisorPause(TONE_RETRY_MS);
}

void endPeriod() {
    WaveIn& in = *audioState.waveIn;
    WaveOut& out = *audioState.waveOut;
    if (linesInUse() == 0) output(NoPanel, "No Calls Active\n");
    audioState.audioOpen = 0;
    supervisorPause(AUDIO_STOP_MS);
    if (audioPeriodState.audio.joinable()) audioPeriodState.audio.join();

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

} // namespace

int runAudioPeriod(const std::function<void()>& pulse) {
    if (audioState.waveOut->setVolume(FULL_VOLUME) != 0) {
        failureExit("Set Volume Error\n");
        return 1;
    }
    int queued = queueCaptureBuffers();
    if (queued != 0) {
        failureExit(queued == 1 ? "Buffer Prep Error\n" : "Buffer Add Error\n");
        return 1;
    }
    if (startThread(audioPeriodState.audio, ThreadKind::audio, audioThread) != 0) {
        // The period ends and the supervisor opens the devices again later.
        message("Audio Thread Error\n");
        endPeriod();
        supervisorPause(OPEN_RETRY_MS);
        return 0;
    }
    while (keepTrying()) {
        lineStatistics();
        playTone();
        pulse();
    }
    endPeriod();
    return 0;
}

void finishAudio() {
    audioState.audioOpen = 0;
    engineWake.set(); // the engine may be waiting for a device
    if (audioPeriodState.audio.joinable()) audioPeriodState.audio.join();
    for (WaveDevice* device : {static_cast<WaveDevice*>(audioState.waveIn.get()),
                               static_cast<WaveDevice*>(audioState.waveOut.get())}) {
        if (!device || !device->isOpen()) continue;
        device->reset();
        device->close();
    }
    if (audioPeriodState.ownDevices) {
        audioState.waveIn.reset();
        audioState.waveOut.reset();
        audioPeriodState.ownDevices = false;
    }
}

void resetAudioPeriodState() {
    audioState.audioOpen = 0;
    engineWake.set();
    if (audioPeriodState.audio.joinable()) audioPeriodState.audio.join();
    audioPeriodState.pause = nullptr;
    audioPeriodState.ownDevices = false;
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
                          devices, error, launchOptions.inputDevice,
                          launchOptions.outputDevice) != 0) {
        failureExit(("Sound Setup Error: " + error + "\n").c_str());
        return 1;
    }
    audioState.waveIn = std::move(devices.in);
    audioState.waveOut = std::move(devices.out);
    audioPeriodState.ownDevices = true;
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

} // namespace tc
