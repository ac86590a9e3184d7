#include "core/output.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "core/line_table.h"
#include "core/protocol.h"
#include "core/settings.h"
#include "core/window_hooks.h"
#include "platform/dialogs.h"
#include "platform/terminal_console.h"

namespace tc {

OutputState outputState;

namespace {

void writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n <= 0) return; // write errors on the log are ignored
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void writeLog(const char* text) {
    if (outputState.logFile < 0) return;
    // A plain text file holding exactly what was printed, one write per message. The lock keeps
    // the descriptor from being closed (and its number reused) while it is written.
    std::lock_guard lock(outputState.logMutex);
    int fd = outputState.logFile;
    if (fd >= 0) writeAll(fd, text, strlen(text));
}

void writeConsole(const char* text) {
    std::lock_guard lock(outputState.consoleMutex);
    if (Console* c = outputState.console.load()) c->write(text);
}

void sendToCommander(const char* text) {
    int line = lineOfCommandSource(outputState.commandSource);
    if (line < 0) return;
    std::string reply(text);
    if (!reply.empty() && reply.back() == '\n') reply.pop_back();
    sendPacket(line, reply.c_str(), PKT_COMMANDREPLY, 2);
}

// Rebuilds the panel text from the rows; the panel mutex is held by the caller.
std::string joinPanelRows() {
    std::string text;
    text.reserve(PANEL_ROWS * (PANEL_ROW_CHARS + 1));
    for (auto& row : outputState.panelRows) {
        size_t n = strlen(row);
        if (n > 0 && row[n - 1] == '\n') --n;
        text.append(row, n);
        text += '\n';
    }
    return text;
}

void showPanel(const std::string& text) {
    setWindowText(WindowText::panel, text);
}

void scrollPanel() {
    auto& rows = outputState.panelRows;
    memmove(rows[0], rows[1], sizeof(rows[0]) * (PANEL_ROWS - 1));
    memset(rows[PANEL_ROWS - 1], 0, sizeof(rows[0]));
}

void vdeliver(int flags, bool isMessage, const char* format, va_list args) {
    char text[FORMAT_BUFFER];
    if (vsnprintf(text, sizeof(text), format, args) < 0) text[0] = '\0';
    if (isMessage) {
        writeConsole(text);
        writeLog(text);
        panelAppend(text);
        return;
    }
    if (flags & TopRow) panelTopRow(text);
    if (!(flags & NoLog)) writeLog(text);
    if (!(flags & NoConsole)) writeConsole(text);
    if (!(flags & NoPanel)) panelAppend(text);
    if (flags & ToCommander) sendToCommander(text);
}

} // namespace

void resetOutput() {
    {
        std::lock_guard lock(outputState.consoleMutex);
        outputState.console = nullptr;
    }
    outputState.logFile = -1;
    outputState.logFileName.clear();
    outputState.commandSource = -1;
    std::lock_guard lock(outputState.panelMutex);
    memset(outputState.panelRows, 0, sizeof(outputState.panelRows));
}

void message(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vdeliver(0, true, format, args);
    va_end(args);
}

void output(int flags, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vdeliver(flags, false, format, args);
    va_end(args);
}

void panelAppend(const char* text) {
    std::string shown;
    {
        std::lock_guard lock(outputState.panelMutex);
        char* row = outputState.panelRows[PANEL_ROWS - 1];
        size_t n = strlen(row);
        char last = n > 0 ? row[n - 1] : '\0';
        for (const char* p = text; *p; ++p) {
            if (last == '\n') {
                scrollPanel();
                n = 0;
                last = '\0';
            }
            if (*p != '\n' && n >= PANEL_ROW_CHARS) {
                // A full row ends here; the character carries over to the next row.
                row[n++] = '\n';
                row[n] = '\0';
                scrollPanel();
                n = 0;
            }
            row[n++] = *p;
            last = *p;
            row[n] = '\0';
        }
        shown = joinPanelRows();
    }
    showPanel(shown);
}

void panelTopRow(const char* text) {
    std::string shown;
    {
        std::lock_guard lock(outputState.panelMutex);
        char* row = outputState.panelRows[0];
        size_t n = strlen(row);
        if (n == 0 || row[n - 1] == '\n') {
            snprintf(row, PANEL_ROW_BYTES, "%s", text);
        } else {
            size_t room = PANEL_ROW_BYTES - 1 - n;
            strncat(row, text, room);
        }
        shown = joinPanelRows();
    }
    showPanel(shown);
}

std::string panelText() {
    std::lock_guard lock(outputState.panelMutex);
    return joinPanelRows();
}

void attachConsole(Console* console) {
    std::lock_guard lock(outputState.consoleMutex);
    outputState.console = console;
}

Console* currentConsole() {
    return outputState.console.load();
}

void setLogFile(int fd) {
    outputState.logFile = fd;
}

int openLogFile(const std::string& name) {
    closeLogFile();
    outputState.logFileName.set(name);
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::lock_guard lock(outputState.logMutex);
    outputState.logFile = fd;
    return fd < 0 ? 1 : 0;
}

void closeLogFile() {
    std::lock_guard lock(outputState.logMutex);
    int fd = outputState.logFile.exchange(-1);
    if (fd >= 0) ::close(fd);
}

void chooseLogFile() {
    closeLogFile();
    outputState.logFileName.clear();
    std::string name = dialogs().saveFile("LOG FILE", "log");
    if (!name.empty()) openLogFile(name); // a file that cannot be created leaves no log, silently
    refreshMenuChecks();
}

// ---- the console ----

namespace {

std::mutex hooksMutex;
ConsoleHooks consoleHooks;

// The terminal console lives until the program ends: a thread may still hold it after closing.
TerminalConsole& terminalConsole() {
    static auto* console = new TerminalConsole(STDIN_FILENO, STDOUT_FILENO);
    return *console;
}

Console* openTerminalConsole() {
    TerminalConsole& console = terminalConsole();
    console.setInterruptHandler([] { consoleControl(ConsoleEvent::ctrlC); });
    console.open();
    return &console;
}

void closeTerminalConsole(Console* console) {
    if (console == &terminalConsole()) terminalConsole().close();
}

ConsoleHooks currentHooks() {
    std::lock_guard lock(hooksMutex);
    ConsoleHooks hooks = consoleHooks;
    if (!hooks.open) hooks.open = openTerminalConsole;
    if (!hooks.close) hooks.close = closeTerminalConsole;
    return hooks;
}

} // namespace

void setConsoleHooks(ConsoleHooks hooks) {
    std::lock_guard lock(hooksMutex);
    consoleHooks = std::move(hooks);
}

int openConsole() {
    Console* console = currentConsole();
    if (!console) {
        // Opened outside the console lock: a view may need its own thread to create it, and
        // that thread may be printing.
        console = currentHooks().open();
        if (!console) return 1;
        attachConsole(console);
    }
    std::lock_guard lock(outputState.consoleMutex);
    if (Console* c = outputState.console.load()) {
        c->write(std::string(14, '\n'));
        c->write(std::string(BANNER) + "\n");
    }
    return 0;
}

void closeConsole() {
    Console* console;
    {
        std::lock_guard lock(outputState.consoleMutex);
        console = outputState.console.exchange(nullptr);
    }
    // Released outside the console lock: releasing waits for the console's own threads, which
    // may be printing.
    if (console) currentHooks().close(console);
}

bool consoleControl(ConsoleEvent event) {
    if (event != ConsoleEvent::ctrlC && event != ConsoleEvent::ctrlBreak) return false;
    output(NoPanel, "\n> ");
    return true;
}

} // namespace tc
