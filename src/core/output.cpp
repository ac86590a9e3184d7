#include "core/output.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "calls/protocol.h"
#include "ui/window_model.h"

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
    int fd = outputState.logFile;
    if (fd < 0) return;
    // A plain text file holding exactly what was printed, one write per message.
    writeAll(fd, text, strlen(text));
}

void writeConsole(const char* text) {
    std::lock_guard lock(outputState.consoleMutex);
    if (Console* c = outputState.console.load()) c->write(text);
}

void sendToCommander(const char* text) {
    int line = outputState.commandSource;
    if (line < 0 || line >= 8) return;
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

void showPanel(const std::string& text) { setControlText(Control::panelWindow, text); }

void scrollPanel() {
    auto& rows = outputState.panelRows;
    memmove(rows[0], rows[1], sizeof(rows[0]) * (PANEL_ROWS - 1));
    memset(rows[PANEL_ROWS - 1], 0, sizeof(rows[0]));
}

void vdeliver(int flags, bool isMessage, const char* format, va_list args) {
    char text[FORMAT_BUFFER];
    vsnprintf(text, sizeof(text), format, args);
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

Console* currentConsole() { return outputState.console.load(); }

void setLogFile(int fd) { outputState.logFile = fd; }

int openLogFile(const std::string& name) {
    closeLogFile();
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    outputState.logFile = fd;
    if (fd < 0) return 1;
    outputState.logFileName.set(name);
    return 0;
}

void closeLogFile() {
    int fd = outputState.logFile.exchange(-1);
    if (fd >= 0) ::close(fd);
}

} // namespace tc
