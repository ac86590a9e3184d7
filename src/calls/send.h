#pragma once

namespace tc {

// Sends line n's audio. The audio engine sends a raw packet itself when it can without waiting;
// this thread takes the blocks the engine leaves to it (applies the microphone gain, collects as
// many as the compression code asks for, compresses them, sends the packet) and finishes the
// packets the socket took only part of.
void sendThread(int line);

} // namespace tc
