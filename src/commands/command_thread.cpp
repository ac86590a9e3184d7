#include "commands/command_thread.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "commands/console_dialogs.h"
#include "commands/text_helpers.h"
#include "core/line_table.h"
#include "core/output.h"
#include "core/settings.h"

namespace tc {

namespace {

constexpr int IDLE_POLL_MS = 500;
constexpr int QUIT_POLL_MS = 500;
constexpr int CONSOLE_ONLY = NoPanel | NoLog;

// Copies at most COMMAND_LINE_BYTES - 1 characters and terminates.
void copyCommand(char* into, const char* from, size_t length) {
    length = std::min<size_t>(length, COMMAND_LINE_BYTES - 1);
    std::memcpy(into, from, length);
    into[length] = '\0';
}

// --- command-buffer thread ----------------------------------------------------------------

struct TakenCommand {
    enum { none, run, finished } kind = none;
    int source = -1;
    bool echo = false;
    std::string lastCommand; // of a finished request: its closing reply carries it
    std::vector<std::pair<int, std::string>> unanswered; // replaced requests owed a closing reply
};

// The request the command-buffer thread took its latest command from (guarded by the queue
// lock): a Delay of that request ends once another request replaces it.
uint64_t takenGeneration = 0;

// Takes the next queued command into `command` (under the queue lock). A request ends when its
// count is used up, when its next string is empty (a remote count larger than its commands) or
// when no zero byte ends it within the command area (up to byte 958 for a remote request). An
// ended request returns the queue to idle at once, so a client may send its next request as
// soon as it has the closing reply.
TakenCommand takeQueuedCommand(char* command) {
    TakenCommand taken;
    std::lock_guard lock(commandState.mutex);
    taken.unanswered = std::exchange(commandState.unanswered, {});
    taken.source = outputState.commandSource;
    if (taken.source == -1) return taken;
    takenGeneration = commandState.generation;
    CommandQueue& q = commandState.queue;
    const bool remote = taken.source >= 0;
    const int lastZero = remote ? COMMAND_END_BYTE : PAYLOAD_BYTES - 1;
    const int index = q.commandIndex;
    bool ended = q.commandCount <= 0 || index < 0 || index > lastZero;
    size_t length = 0;
    if (!ended) {
        const char* start = q.commandBuffer + index;
        length = strnlen(start, static_cast<size_t>(lastZero + 1 - index));
        // A remote string that runs into the password area, or an empty one, ends the request.
        if (remote && (length == 0 || index + static_cast<int>(length) > lastZero)) ended = true;
    }
    if (ended) {
        q.commandCount = 0;
        outputState.commandSource = -1;
        taken.lastCommand = std::exchange(commandState.lastCommand, {});
        taken.kind = TakenCommand::finished;
        return taken;
    }
    const char* start = q.commandBuffer + index;
    if (start[0] == '-') {
        // "- Talk 2" runs "Talk 2" without the echo; a lone "-" is an empty command.
        size_t skip = std::min<size_t>(2, length);
        copyCommand(command, start + skip, length - skip);
    } else {
        copyCommand(command, start, length);
        taken.echo = true;
    }
    q.commandCount = q.commandCount - 1;
    q.commandIndex = index + static_cast<int>(length) + 1;
    commandState.lastCommand = command;
    taken.kind = TakenCommand::run;
    return taken;
}

// A reply goes only to the call that sent the request; none once that call has ended.
void replyToSource(int source, const char* text, int value) {
    int line = lineOfCommandSource(source);
    if (line >= 0) sendPacket(line, text, PKT_COMMANDREPLY, value);
}

void bufferThreadLoop() {
    while (!commandState.stopRequested) {
        if (!runNextQueued()) commandState.queueEvent.wait(IDLE_POLL_MS);
    }
}

// --- console thread -----------------------------------------------------------------------

// Takes the next start-up command into `command`; false when none is left.
bool takeStartupCommand(char* command) {
    int left = settings.startupCommandCount;
    if (left <= 0) return false;
    settings.startupCommandCount = left - 1;
    const auto& words = settings.startupCommands;
    if (static_cast<size_t>(left) > words.size()) {
        command[0] = '\0';
        return true;
    }
    const std::string& word = words[words.size() - static_cast<size_t>(left)];
    // Past the dash and the spaces after it.
    const char* text = word.empty() ? nullptr : nextWord(word.c_str() + 1, 1);
    if (text == nullptr) text = "";
    copyCommand(command, text, strlen(text));
    return true;
}

// Reads a typed line into `command`, ending it in a line feed as typed commands do. A line
// longer than a console read is cut, and the cut is reported: running its tail as a further
// command could run anything the text happens to hold. Returns the console's result: 0 with a
// line, 1 at the end of input (Ctrl+D), -1 when the console is closing or gone.
int readTypedCommand(char* command) {
    std::string line;
    if (int result = readConsoleLine(line); result != 0) return result;
    // A line that ended in carriage return and line feed ends in a line feed alone.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t length = std::min<size_t>(line.size(), CONSOLE_LINE_BYTES - 1);
    if (length < line.size())
        output(CONSOLE_ONLY, "Line Too Long, Cut To %d Characters\n", CONSOLE_LINE_BYTES - 1);
    std::memcpy(command, line.data(), length);
    command[length] = '\n';
    command[length + 1] = '\0';
    return 0;
}

void consoleThreadLoop() {
    char command[COMMAND_LINE_BYTES];
    int failedReads = 0;
    while (!commandState.stopRequested) {
        if (takeStartupCommand(command)) {
            if (settings.echoStartupCommands == 1) message("CMD: %s\n", command);
            runCommand(command, ROLE_CONSOLE);
            continue;
        }
        if (currentConsole() == nullptr) {
            failedReads = 0;
            commandState.idleEvent.wait(IDLE_POLL_MS);
            continue;
        }
        if (failedReads < 2) {
            // An empty read (Ctrl+D, the end of a pipe) comes back here and shows the prompt again.
            if (commandState.showCommandList == 1) printCommandList();
            output(CONSOLE_ONLY, "> ");
        } else {
            // A console that keeps failing (one going away) is polled quietly.
            commandState.idleEvent.wait(IDLE_POLL_MS);
        }
        int result = readTypedCommand(command);
        // The end of input is reported once for a pipe, and once per Ctrl+D on a terminal.
        failedReads = result < 0 ? std::min(failedReads + 1, 2) : 0;
        if (result == 0) runCommand(command, ROLE_CONSOLE);
    }
}

} // namespace

bool runNextQueued() {
    char command[COMMAND_LINE_BYTES];
    TakenCommand taken = takeQueuedCommand(command);
    for (const auto& [source, last] : taken.unanswered)
        replyToSource(source, last.c_str(), 0);
    if (taken.kind == TakenCommand::none) return false;
    if (taken.kind == TakenCommand::finished) {
        replyToSource(taken.source, taken.lastCommand.c_str(), 0);
        return true;
    }
    if (taken.echo) message("CMD: %s\n", command);
    replyToSource(taken.source, command, 1);
    runCommand(command, ROLE_BUFFER);
    return true;
}

void resetCommandState() {
    std::lock_guard lock(commandState.mutex);
    std::memset(&commandState.queue, 0, sizeof(commandState.queue));
    commandState.lastCommand.clear();
    commandState.unanswered.clear();
    commandState.generation = 0;
    takenGeneration = 0;
    outputState.commandSource = -1;
    commandState.showCommandList = 1;
    commandState.stopRequested = false;
    commandState.queueEvent.reset();
    commandState.idleEvent.reset();
}

void commandThread(int role) {
    output(CONSOLE_ONLY, "\n");
    if (role == ROLE_CONSOLE)
        consoleThreadLoop();
    else
        bufferThreadLoop();
}

void stopCommandThreads() {
    commandState.stopRequested = true;
    commandState.queueEvent.set();
    commandState.idleEvent.set();
    wakeCommandSleeps();
}

void commandSleep(int64_t ms, int role) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end =
        Clock::now() + std::chrono::milliseconds(std::max<int64_t>(ms, 0));
    std::unique_lock lock(commandState.mutex);
    auto interrupted = [role] {
        return commandState.stopRequested || settings.terminateMode >= 2 ||
               (role == ROLE_BUFFER && commandState.generation != takenGeneration);
    };
    // Quit and new requests wake the wait; a Quit made elsewhere (a signal) is seen within
    // QUIT_POLL_MS.
    while (!interrupted()) {
        Clock::time_point now = Clock::now();
        if (now >= end) return;
        commandState.wake.wait_until(lock,
                                     std::min(end, now + std::chrono::milliseconds(QUIT_POLL_MS)));
    }
}

void printCommandList() {
    output(CONSOLE_ONLY, "%s",
           "All, Block Y|N, Call IP Port [Pswd], Drop #, ExpReq #, Fwd IP Port, Hold #,\n"
           "IM # (^Z=End), Komp #|-1(Def) Y|N, Mute Y|N, None, Priv #, Quit, Reply [Msg],\n"
           "Send # Msg, Talk #, Vol L# M|S V##, Window, /Hub H|S|N, # (Delay mS),\n"
           "ListCommands. (# = -1 = All Lines)\n");
    if (settings.diagBits & DIAG_LIST) {
        output(CONSOLE_ONLY, "%s",
               "X Type Val, Y [NewPswd], Z ## (ScreenDump), + Startup|?, & ?|DNSUpdate DNSName\n");
        output(CONSOLE_ONLY, "%s",
               "X_Types:  0=Diag 1=Thresh1 2=Thresh2 3=Mid Diff 4=MinSlp 5=DumpLim 6=Comp "
               "Code\n");
        output(CONSOLE_ONLY, "%s",
               "DiagBits: 0=Menu 1=Buffs 2=I/O #s 3=I/O Tots 4=Index #s 5=Vols 6=Tone 7=Ver\n"
               "          8=WinMsg 9=InBuff 10=NoWait 11=NoErase 12=RawIP 13=InStats\n");
        output(CONSOLE_ONLY, "Values:   %d %d %d %d %d %d %d [%d]\n", settings.diagBits.load(),
               settings.thresh1.load(), settings.thresh2.load(), settings.midDiff.load(),
               settings.minSleep.load(), settings.dumpLim.load(),
               settings.defaultCompression.load(), settings.defaultCompLevel.load());
    } else {
        output(CONSOLE_ONLY, "%s", "Y [NewPswd], + Startup|?, & ?|DNSUpdate DNSName\n");
    }
}

} // namespace tc
