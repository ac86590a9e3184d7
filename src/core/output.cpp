#include "core/output.h"

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "core/line_table.h"
#include "core/protocol.h"
#include "core/settings.h"
#include "core/window_hooks.h"
#include "platform/dialogs.h"
#include "platform/terminal_console.h"
#include "platform/thread_start.h"

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

// Console output that cannot stall the program: while the writer runs, texts wait in a bounded
// queue and the writer hands them to the console one by one. When the console does not keep up
// (an unread pipe, a stopped terminal), texts are dropped from the console only until the queue
// has drained; then the number dropped is shown.
constexpr size_t CONSOLE_QUEUE_LIMIT = 256;
constexpr int CONSOLE_STALL_MS = 20;

struct ConsoleQueue {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> texts;
    std::optional<std::vector<std::string>> statusRows; // the latest rows not yet drawn
    int dropped = 0;
    bool running = false; // a writer drains the queue
    bool stopping = false;
    bool writing = false; // the writer is handing a text to the console
    uint64_t written = 0; // texts and rows handed over so far
    std::condition_variable idle;
    std::thread writer;
    std::shared_ptr<std::atomic<bool>> finished;
};
ConsoleQueue consoleQueue;

void drainConsoleQueue(std::shared_ptr<std::atomic<bool>> finished) {
    auto& q = consoleQueue;
    std::unique_lock lock(q.mutex);
    for (;;) {
        q.changed.wait(lock, [&] {
            return q.stopping || !q.texts.empty() || q.dropped > 0 || q.statusRows ||
                   q.finished != finished;
        });
        if (q.finished != finished) break; // given up while blocked, and replaced since
        std::string text;
        std::optional<std::vector<std::string>> rows;
        if (!q.texts.empty()) {
            text = std::move(q.texts.front());
            q.texts.pop_front();
        } else if (q.dropped > 0) {
            char notice[64];
            std::snprintf(notice, sizeof(notice), "[%d messages not shown]\n", q.dropped);
            text = notice;
            q.dropped = 0;
        } else if (q.statusRows) {
            rows.swap(q.statusRows);
        } else {
            q.running = false; // stopping, and all was written: later texts go straight out
            break;
        }
        q.writing = true;
        lock.unlock();
        // Consoles live until the program ends; one closed meanwhile ignores the text.
        if (Console* c = outputState.console.load()) {
            if (rows)
                c->setStatusRows(*rows);
            else
                c->write(text);
        }
        lock.lock();
        q.writing = false;
        ++q.written;
        q.idle.notify_all();
    }
    *finished = true;
}

void writeConsole(const std::string& text) {
    {
        auto& q = consoleQueue;
        std::lock_guard lock(q.mutex);
        if (q.running) {
            if (outputState.console.load() == nullptr) return;
            if (q.dropped > 0 || q.texts.size() >= CONSOLE_QUEUE_LIMIT)
                ++q.dropped;
            else
                q.texts.push_back(text);
            q.changed.notify_one();
            return;
        }
    }
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
    // The log records passwords: only the user may read it.
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) ::fchmod(fd, 0600);
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
    writeConsole(std::string(14, '\n'));
    writeConsole(std::string(BANNER) + "\n");
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

void showStatusRows(const std::vector<std::string>& rows) {
    {
        std::lock_guard lock(consoleQueue.mutex);
        if (consoleQueue.running) {
            consoleQueue.statusRows = rows;
            consoleQueue.changed.notify_one();
            return;
        }
    }
    std::lock_guard lock(outputState.consoleMutex);
    if (Console* c = outputState.console.load()) c->setStatusRows(rows);
}

void waitConsoleWritten(int timeoutMs) {
    auto& q = consoleQueue;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock lock(q.mutex);
    auto done = [&q] { return !q.running || q.dropped > 0 || (q.texts.empty() && !q.writing); };
    while (!done() && std::chrono::steady_clock::now() < until) {
        // A console that takes nothing for a while is not waited for.
        uint64_t seen = q.written;
        if (!q.idle.wait_for(lock, std::chrono::milliseconds(CONSOLE_STALL_MS),
                             [&] { return done() || q.written != seen; }))
            return;
    }
}

int startConsoleWriter() {
    auto& q = consoleQueue;
    std::lock_guard lock(q.mutex);
    if (q.running) return 0;
    q.stopping = false;
    q.dropped = 0;
    q.finished = std::make_shared<std::atomic<bool>>(false);
    if (startThread(q.writer, ThreadKind::writer, drainConsoleQueue, q.finished) != 0) return 1;
    q.running = true;
    return 0;
}

bool stopConsoleWriter(int timeoutMs) {
    auto& q = consoleQueue;
    std::thread writer;
    std::shared_ptr<std::atomic<bool>> finished;
    {
        std::lock_guard lock(q.mutex);
        if (!q.running) return true;
        q.stopping = true;
        q.changed.notify_one();
        writer = std::move(q.writer);
        finished = q.finished;
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!*finished && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (*finished) {
        writer.join();
        return true;
    }
    // The console takes nothing more (a pipe nobody reads): leave the writer where it is
    // blocked, and send nothing more to that console.
    writer.detach();
    attachConsole(nullptr);
    std::lock_guard lock(q.mutex);
    q.texts.clear();
    q.statusRows.reset();
    q.running = false;
    return false;
}

bool consoleControl(ConsoleEvent event) {
    if (event != ConsoleEvent::ctrlC && event != ConsoleEvent::ctrlBreak) return false;
    output(NoPanel, "\n> ");
    return true;
}

} // namespace tc
