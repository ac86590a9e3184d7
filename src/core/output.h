#pragma once
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/shared_text.h"

namespace tc {

// Flags of output().
enum OutputFlags : int {
    ToCommander = 1, // also to the line in commandSource, as a PKT_COMMANDREPLY
    NoConsole = 2,
    NoPanel = 4,
    NoLog = 8,
    TopRow = 16,
};

constexpr int PANEL_ROWS = 10;
constexpr int PANEL_ROW_BYTES = 128;
constexpr int PANEL_ROW_CHARS = 75;
constexpr int FORMAT_BUFFER = 512;

struct OutputState {
    std::atomic<Console*> console{nullptr}; // the open console (consoleOut/consoleIn), or none
    std::mutex consoleMutex; // held while the console is replaced, or written without the writer
    std::atomic<int> logFile{-1};
    std::mutex logMutex; // held while the log is written or closed
    SharedText logFileName{255};
    std::mutex panelMutex;
    char panelRows[PANEL_ROWS][PANEL_ROW_BYTES] = {};
    // -1 no command running, -2 a locally typed command, >= 0 the call whose remote command runs
    // (commandSourceOf).
    std::atomic<int> commandSource{-1};
};

extern OutputState outputState;

// Closes nothing: forgets console and log and empties the panel (start-up and tests).
void resetOutput();

void message(const char* format, ...) __attribute__((format(printf, 1, 2)));
void output(int flags, const char* format, ...) __attribute__((format(printf, 2, 3)));

void panelAppend(const char* text);
void panelTopRow(const char* text);
// The ten panel rows joined, each ended by one line break (what the panel control shows).
std::string panelText();

// Makes `console` the open console (nullptr = none). The caller keeps ownership.
void attachConsole(Console* console);
Console* currentConsole();

// How openConsole and closeConsole get and release the console. By default the terminal console
// (stdin/stdout); the window view installs its own. `open` returns the opened console or nullptr;
// `close` releases it so that a reader waiting in readLine returns -1. The console object must
// stay valid until the program ends, since a thread may still hold it.
struct ConsoleHooks {
    std::function<Console*()> open;
    std::function<void(Console*)> close;
};
// Empty hooks bring back the terminal console.
void setConsoleHooks(ConsoleHooks hooks);

// Opens the console when none is open, then writes 14 line breaks and the banner to it (not to
// the log or the panel). Returns 0, or 1 when no console could be opened.
int openConsole();
// Detaches the console from the output and releases it. Nothing happens when none is open.
void closeConsole();

// Console output through a writer thread of its own (the program runs one): every text goes to
// the log and the panel at once and to the console through a bounded queue, so a console that
// does not keep up never stalls the thread that prints. Texts the full queue cannot take are
// dropped from the console only; once the queue has drained, "[N messages not shown]" says how
// many. Without the writer, texts are written to the console at once. 0, or 1 when no thread
// could be made.
int startConsoleWriter();
// Writes what is queued and stops the writer, waiting at most `timeoutMs`. False when the
// console took nothing meanwhile: the writer is left blocked and the console is detached.
bool stopConsoleWriter(int timeoutMs);
// Waits (at most `timeoutMs`) until the console has taken what was queued, unless it is dropping
// texts: before a line is read, so that the editor starts below all that was printed.
void waitConsoleWritten(int timeoutMs);
// Draws the status rows on the console (through the writer while it runs, the latest rows only).
void showStatusRows(const std::vector<std::string>& rows);

enum class ConsoleEvent { ctrlC, ctrlBreak, close, logoff, shutdown };
// Ctrl+C and Ctrl+Break print "\n> " (console and log) and are handled: returns true, the
// program goes on. Any other event returns false: the caller ends the program.
bool consoleControl(ConsoleEvent event);

// Log file: every text is written to this descriptor as it was printed. -1 = no log.
void setLogFile(int fd);
// Opens (creating or emptying) a log file by name; returns 0 on success, 1 on failure.
int openLogFile(const std::string& name);
void closeLogFile();
// The Log menu item: closes any log, asks for a file name and starts a new log in it (cancelled:
// no log), then updates the menu check marks.
void chooseLogFile();

} // namespace tc
