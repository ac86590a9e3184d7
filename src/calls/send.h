#pragma once

namespace tc {

// Takes the blocks the audio engine prepares for line n, applies the microphone gain, collects
// as many as the line's compression code asks for, compresses them and sends the audio packet.
void sendThread(int line);

} // namespace tc
