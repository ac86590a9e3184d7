#pragma once
#include <cstdint>

#include "core/command_queue.h"

namespace tc {

// A remote request's commands must end (their zero byte) at or before this byte of its payload,
// which the receiver zeroes; the command password lies after it.
constexpr int COMMAND_END_BYTE = 958;
// A typed line is read into 254 bytes (line feed included).
constexpr int CONSOLE_LINE_BYTES = 254;
// The command line a thread runs.
constexpr int COMMAND_LINE_BYTES = 1024;
// Argument word slots.
constexpr int WORD_BYTES = 256;

// Roles of commandThread, which are also the output flags of the commands they run.
constexpr int ROLE_CONSOLE = 0;
constexpr int ROLE_BUFFER = 1;

// Empties the queue, shows the command list again and clears a stop request (tests).
void resetCommandState();

// Thread entry. Role 0, the console thread, runs the start-up commands and then the typed
// lines; role 1, the command-buffer thread, runs what the window and remote clients queue and
// answers remote clients with PKT_COMMANDREPLY. Returns only after stopCommandThreads().
void commandThread(int role);
// Asks both command threads to return (tests). A console thread blocked in a read returns when
// the read does.
void stopCommandThreads();

// One step of the command-buffer thread on the calling thread: runs the next queued command,
// or ends a request whose commands are done. False when the queue is idle.
bool runNextQueued();

// Runs one command line with the output flags of `role` (the dispatch on its first character).
void runCommand(const char* line, int role);

// The command list printed before the console prompt.
void printCommandList();

// Commands of the maintenance group; `line` is the whole command line.
void maintenanceX(const char* line, int flags);
void maintenanceY(const char* line);
void maintenanceZ(const char* line, int flags);
void startupValueCommand(const char* line, int flags);
void dnsValueCommand(const char* line, int flags);
// Sends the console screen to a line as text messages: 0 when every row was sent, 1 when a
// send failed or there is no console to read.
int screenDump(int line);

// The Delay command: sleeps up to ms milliseconds on the thread of `role`. Ends early on Quit,
// when the command threads are asked to stop, and on the command-buffer thread when a new
// request replaces the one the Delay belongs to.
void commandSleep(int64_t ms, int role);

} // namespace tc
