#pragma once
#include <cstdint>
#include <functional>
#include <thread>

namespace tc {

// State of the audio periods run by the supervisor.
struct AudioPeriodState {
    // Every pause of the supervisor goes through here, so tests can run it without waiting.
    std::function<void(int ms)> pause;
    // The audio thread of the running audio period.
    std::thread audio;
    // The devices were built from the launch options (and are destroyed by finishAudio()).
    bool ownDevices = false;
};

extern AudioPeriodState audioPeriodState;

// Joins a left-over audio thread and puts the pause back to a real sleep (tests).
void resetAudioPeriodState();

// Pauses the supervisor for `ms` (through audioPeriodState.pause when set).
void supervisorPause(int ms);

// Allocates the sample memory for `audioBufferCount` blocks and builds the wave devices from the
// launch options unless devices are already installed. 0 done, 1 failure (message printed).
int prepareAudioSystem();
// Points every header at its block, flags cleared (the start of each audio period).
void prepareHeaders();
// Marks every playback header done and hands the capture headers to the capture device.
// 0 done, 1 a header could not be prepared, 2 it could not be handed over.
int queueCaptureBuffers();
// The block of the alert tone: a 500 Hz saw-tooth of 64 ms.
void fillToneBlock(int16_t* block);

enum class Opened { both, noLineLeft, failed };
// Opens capture then playback, retrying every 2 s while lines exist.
Opened openAudioDevices();
// One audio period once both devices are open: starts the audio thread and calls `pulse` (the
// supervisor's 500 ms housekeeping) until no line is left, then closes the devices. Returns 1
// after a failure exit.
int runAudioPeriod(const std::function<void()>& pulse);
// The program is ending: stops the audio thread and closes what is still open, so that a WAV
// file being written is finished.
void finishAudio();

} // namespace tc
