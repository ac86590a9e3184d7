#pragma once
#include <cstdint>
#include <functional>
#include <thread>

namespace tc {

// State of the supervisor loop.
struct SupervisorState {
    // Every pause of the supervisor goes through here, so tests can run it without waiting.
    std::function<void(int ms)> pause;
    // The audio thread of the running audio period.
    std::thread audio;
    // The devices were built by the loop from the launch options (and are destroyed by it).
    bool ownDevices = false;
};

extern SupervisorState supervisorState;

// Joins a left-over audio thread and puts the pause back to a real sleep (tests).
void resetSupervisorState();

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

// The supervisor: idles while no line is in use, runs an audio period while lines exist, and
// returns once shutdown() has been called.
void supervisorLoop();

} // namespace tc
