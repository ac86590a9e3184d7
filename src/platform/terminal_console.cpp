#include "platform/terminal_console.h"

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <histedit.h>
#include <poll.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "platform/thread_start.h"

namespace tc {

namespace {

constexpr size_t LINE_LIMIT = 1024;   // a longer line without a break is returned in pieces
constexpr size_t PARTIAL_LIMIT = 256; // unfinished output kept as the edit line's prompt
constexpr int HISTORY_SIZE = 500;

// True when the terminal on fd has hung up (an empty read then is not a Ctrl+D).
bool hungUp(int fd) {
    pollfd p{fd, 0, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
}

// Ctrl+C: the signal handler only writes one byte to the console's pipe; the console's own
// thread does the work.
std::atomic<int> interruptPipe{-1};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void onInterruptSignal(int) {
    int fd = interruptPipe.load(std::memory_order_relaxed);
    if (fd < 0) return;
    int savedErrno = errno;
    char byte = 'i';
    ssize_t n = ::write(fd, &byte, 1);
    (void)n;
    errno = savedErrno;
}

// What the terminal must get back if the program ends while the console is open (the modes
// libedit changed, the whole screen as scroll area).
struct TerminalRestore {
    std::atomic<bool> armed{false};
    std::atomic<bool> scrollRegion{false};
    int inFd = -1;
    int outFd = -1;
    termios modes{};
    bool haveModes = false;
};
TerminalRestore terminalRestore;

void restoreTerminalAtExit() {
    if (!terminalRestore.armed) return;
    if (terminalRestore.haveModes) tcsetattr(terminalRestore.inFd, TCSANOW, &terminalRestore.modes);
    if (terminalRestore.scrollRegion) {
        const char reset[] = "\0337\033[r\0338";
        ssize_t n = ::write(terminalRestore.outFd, reset, sizeof(reset) - 1);
        (void)n;
    }
}

void drainPipe(int fd) {
    char buf[64];
    while (fd >= 0 && ::read(fd, buf, sizeof(buf)) > 0) {
    }
}

bool makePipe(int& readEnd, int& writeEnd) {
    if (readEnd >= 0) return true;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    readEnd = fds[0];
    writeEnd = fds[1];
    return true;
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Text for a terminal: control bytes that could move the cursor, change modes or send the
// terminal commands (ESC, C1 controls) are shown as "?". Line breaks, CR, tab, backspace and
// the bell pass.
std::string forTerminal(std::string_view text) {
    bool utf8 = MB_CUR_MAX > 1;
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        auto u = static_cast<unsigned char>(text[i]);
        auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (utf8 && u == 0xc2 && next >= 0x80 && next <= 0x9f) {
            out += '?';
            ++i;
            continue;
        }
        bool control =
            (u < 0x20 && u != '\n' && u != '\r' && u != '\t' && u != '\b' && u != '\a') ||
            u == 0x7f || (!utf8 && u >= 0x80 && u <= 0x9f);
        out += control ? '?' : text[i];
    }
    return out;
}

// Only printable characters can be part of libedit's prompt.
std::string printableOnly(std::string_view text) {
    std::string out;
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7f) out += c;
    }
    return out;
}

// Line breaks become CR LF when the terminal does not add the CR itself (the editor's mode may
// switch that off).
std::string withCarriageReturns(std::string_view text, int fd) {
    termios modes{};
    if (tcgetattr(fd, &modes) == 0 && (modes.c_oflag & OPOST) && (modes.c_oflag & ONLCR))
        return std::string(text);
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

// Screen columns of a UTF-8 text (one per character).
int textWidth(std::string_view text) {
    int n = 0;
    for (char c : text)
        if ((static_cast<unsigned char>(c) & 0xc0) != 0x80) ++n;
    return n;
}

std::string csi(int n, char command) {
    return "\033[" + std::to_string(n) + command;
}

void makeParentDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        ::mkdir(path.substr(0, slash).c_str(), 0700);
    }
}

} // namespace

TerminalConsole::TerminalConsole(int inFd, int outFd) : inFd_(inFd), outFd_(outFd) {}

TerminalConsole::~TerminalConsole() {
    close();
    closeFd(wakeRead_);
    closeFd(wakeWrite_);
    closeFd(interruptRead_);
    closeFd(interruptWrite_);
}

std::string TerminalConsole::historyPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/') return std::string(state) + "/talkcircle/history";
    const char* home = std::getenv("HOME");
    if (!home || !home[0]) {
        const passwd* pw = getpwuid(getuid());
        home = pw ? pw->pw_dir : nullptr;
    }
    if (!home || !home[0]) return {};
    return std::string(home) + "/.local/state/talkcircle/history";
}

int TerminalConsole::open() {
    {
        std::lock_guard lock(mutex_);
        if (open_) return 1;
        if (!makePipe(wakeRead_, wakeWrite_)) return 1;
        drainPipe(wakeRead_);
        inTerminal_ = isatty(inFd_);
        outTerminal_ = isatty(outFd_);
        screen_.clear();
        partial_.clear();
        drawnStatus_.clear();
        scrollRegionRows_ = 0;
        endReported_ = false;
        decodeState_ = {};

        static std::once_flag atExit;
        std::call_once(atExit, [] { std::atexit(restoreTerminalAtExit); });
        terminalRestore.armed = false;
        terminalRestore.inFd = inFd_;
        terminalRestore.outFd = outFd_;
        terminalRestore.haveModes = inTerminal_ && tcgetattr(inFd_, &terminalRestore.modes) == 0;
        terminalRestore.scrollRegion = false;
        terminalRestore.armed = true;

        if (inTerminal_ && outTerminal_) setUpEditor();
        open_ = true;
    }
    startInterruptWatcher();
    return 0;
}

void TerminalConsole::close() {
    {
        std::unique_lock lock(mutex_);
        if (!open_) return;
        open_ = false;
        char byte = 'c';
        ssize_t n = ::write(wakeWrite_, &byte, 1);
        (void)n;
        readerLeft_.wait(lock, [this] { return readers_ == 0; });
    }
    stopInterruptWatcher();
    std::lock_guard lock(mutex_);
    tearDownEditor();
    resetScrollRegion();
    terminalRestore.armed = false;
}

void TerminalConsole::setInterruptHandler(std::function<void()> handler) {
    std::lock_guard lock(handlerMutex_);
    interruptHandler_ = std::move(handler);
}

std::vector<std::string> TerminalConsole::screen() const {
    std::lock_guard lock(mutex_);
    return screen_.rows();
}

// ---- output ----

void TerminalConsole::writeOut(std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(outFd_, data.data(), data.size());
        if (n > 0) {
            data.remove_prefix(static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{outFd_, POLLOUT, 0};
            if (::poll(&p, 1, 1000) > 0) continue;
        }
        return; // write errors on the console are ignored
    }
}

void TerminalConsole::write(std::string_view text) {
    std::unique_lock lock(mutex_);
    if (!open_) return;
    screen_.write(text);
    if (editing_) {
        writeWhileEditing(text);
        return;
    }
    if (!outTerminal_) {
        // A pipe or a file: written outside the lock, so a reader that does not keep up never
        // holds up the typed input.
        lock.unlock();
        writeOut(text);
        return;
    }
    std::string shown = forTerminal(text);
    writeOut(shown);
    size_t lineBreak = shown.rfind('\n');
    if (lineBreak == std::string::npos) {
        partial_ += shown;
    } else {
        partial_ = shown.substr(lineBreak + 1);
    }
    if (partial_.size() > PARTIAL_LIMIT) partial_.erase(0, partial_.size() - PARTIAL_LIMIT);
}

int TerminalConsole::terminalColumns() const {
    winsize ws{};
    if (ioctl(outFd_, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return CONSOLE_COLUMNS;
}

int TerminalConsole::terminalRows() const {
    winsize ws{};
    if (ioctl(outFd_, TIOCGWINSZ, &ws) == 0) return ws.ws_row;
    return 0;
}

// Moves from the edit cursor back to the start of the edit line and clears from there down.
std::string TerminalConsole::eraseEditLine() const {
    const LineInfoW* info = el_wline(editor_);
    int before = textWidth(promptShown_) + static_cast<int>(info->cursor - info->buffer);
    int up = before / terminalColumns();
    std::string seq = "\r";
    if (up > 0) seq += csi(up, 'A');
    return seq + "\033[J";
}

// Called with the cursor at the start of an empty row: libedit draws the prompt and the typed
// text again, the cursor where it was.
void TerminalConsole::redrawEditLine(const std::string& pending) {
    pending_ = pending;
    promptShown_ = pending_ + prompt_;
    el_set(editor_, EL_REFRESH);
    lineShown_ = true;
}

// A message while a line is being typed: the edit line goes, the message is printed, and the
// edit line comes back below it. An unfinished last row of the message is drawn in front of the
// prompt until the rest of it arrives; when that row ends in the prompt itself (as after
// Ctrl+C), the prompt is not doubled.
void TerminalConsole::writeWhileEditing(std::string_view text) {
    std::string shown = forTerminal(text);
    std::string out;
    std::string stream;
    if (lineShown_) {
        out = eraseEditLine();
        stream = pending_ + shown;
    } else {
        // The last edit line stays on the screen as it was typed; the message starts below it.
        stream = shown.find('\n') == std::string::npos ? shown + "\n" : shown;
    }
    size_t lineBreak = stream.rfind('\n');
    std::string tail = lineBreak == std::string::npos ? stream : stream.substr(lineBreak + 1);
    if (lineBreak != std::string::npos)
        out += withCarriageReturns(stream.substr(0, lineBreak + 1), outFd_);
    writeOut(out);
    size_t cut = tail.rfind('\r');
    if (cut != std::string::npos) tail.erase(0, cut + 1);
    tail = printableOnly(tail);
    if (!prompt_.empty() && tail.size() >= prompt_.size() &&
        tail.compare(tail.size() - prompt_.size(), prompt_.size(), prompt_) == 0) {
        tail.resize(tail.size() - prompt_.size());
    }
    if (tail.size() > PARTIAL_LIMIT) tail.erase(0, tail.size() - PARTIAL_LIMIT);
    redrawEditLine(tail);
}

void TerminalConsole::resetScrollRegion() {
    if (scrollRegionRows_ == 0 || !outTerminal_) return;
    writeOut("\0337\033[r\0338");
    scrollRegionRows_ = 0;
    terminalRestore.scrollRegion = false;
}

void TerminalConsole::setStatusRows(const std::vector<std::string>& rows) {
    std::lock_guard lock(mutex_);
    if (!open_) return;
    screen_.setFixedRows(rows);
    if (!outTerminal_) return;
    int height = terminalRows();
    int count = static_cast<int>(rows.size());
    if (count == 0 || height < count + 2) {
        // No room for fixed rows: the whole terminal scrolls.
        resetScrollRegion();
        drawnStatus_.clear();
        return;
    }
    if (rows == drawnStatus_ && height == scrollRegionRows_) return;
    int width = std::min(terminalColumns(), CONSOLE_COLUMNS);
    // Save the cursor, (re)set the scroll region when the height changed (which moves the
    // cursor home), draw each row over a cleared line, restore the cursor.
    std::string out = "\0337";
    if (height != scrollRegionRows_) {
        out += "\033[" + std::to_string(count + 1) + ";" + std::to_string(height) + "r";
        scrollRegionRows_ = height;
        terminalRestore.scrollRegion = true;
    }
    for (int i = 0; i < count; ++i) {
        std::string text = printableOnly(forTerminal(rows[static_cast<size_t>(i)]));
        if (textWidth(text) > width) {
            int kept = 0;
            size_t end = 0;
            while (end < text.size()) {
                if ((static_cast<unsigned char>(text[end]) & 0xc0) != 0x80 && kept++ == width)
                    break;
                ++end;
            }
            text.resize(end);
        }
        out += "\033[" + std::to_string(i + 1) + ";1H\033[2K" + text;
    }
    out += "\0338";
    writeOut(out);
    drawnStatus_ = rows;
}

// ---- input ----

int TerminalConsole::readLine(std::string& line) {
    std::lock_guard readLock(readMutex_);
    std::unique_lock lock(mutex_);
    if (!open_) return -1;
    ++readers_;
    int result;
    if (inputEnded_) {
        lock.unlock();
        result = endOfInput(line);
        lock.lock();
    } else if (editor_) {
        result = readEdited(line, lock);
    } else {
        lock.unlock();
        result = readPlain(line);
        lock.lock();
    }
    --readers_;
    readerLeft_.notify_all();
    return result;
}

// Waits until the input can be read (1) or the console is being closed (-1). With `lock`, the
// console's lock is let go meanwhile, so messages can be printed.
int TerminalConsole::waitForInput(std::unique_lock<std::mutex>* lock, bool watchInput) {
    for (;;) {
        if (!open_) return -1;
        pollfd fds[2] = {{watchInput ? inFd_ : -1, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (lock) lock->unlock();
        int n = ::poll(fds, 2, -1);
        if (lock) lock->lock();
        if (!open_ || (n > 0 && fds[1].revents)) return -1;
        if (n < 0 && errno != EINTR) return -1;
        if (n > 0 && fds[0].revents) return 1;
    }
}

void TerminalConsole::echoToScreen(std::string_view text) {
    std::lock_guard lock(mutex_);
    screen_.write(text);
}

// The input has ended for good (a pipe, a hung-up terminal): what is left is returned, then
// the end is reported once; after that the reader waits until the console is closed.
int TerminalConsole::endOfInput(std::string& line) {
    if (takeBufferedLine(line)) return 0;
    if (!inputBuffer_.empty()) {
        line = std::move(inputBuffer_);
        inputBuffer_.clear();
        echoToScreen(line + "\n");
        return 0;
    }
    if (!endReported_) {
        endReported_ = true;
        return 1;
    }
    waitForInput(nullptr, false);
    return -1;
}

bool TerminalConsole::takeBufferedLine(std::string& line) {
    size_t lineBreak = inputBuffer_.find('\n');
    size_t used;
    if (lineBreak != std::string::npos && lineBreak < LINE_LIMIT) {
        line = inputBuffer_.substr(0, lineBreak);
        used = lineBreak + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
    } else if (inputBuffer_.size() >= LINE_LIMIT) {
        line = inputBuffer_.substr(0, LINE_LIMIT);
        used = LINE_LIMIT;
    } else {
        return false;
    }
    inputBuffer_.erase(0, used);
    echoToScreen(line + "\n");
    return true;
}

int TerminalConsole::readPlain(std::string& line) {
    for (;;) {
        if (!open_) return -1;
        if (takeBufferedLine(line)) return 0;
        if (waitForInput(nullptr, true) < 0) return -1;
        char buf[4096];
        ssize_t n = ::read(inFd_, buf, sizeof(buf));
        if (n > 0) {
            inputBuffer_.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n == 0 && inTerminal_ && !hungUp(inFd_)) {
            // Ctrl+D: the end of this input; the terminal can be read again afterwards.
            if (!inputBuffer_.empty()) {
                line = std::move(inputBuffer_);
                inputBuffer_.clear();
                echoToScreen(line + "\n");
                return 0;
            }
            return 1;
        }
        inputEnded_ = true;
        return endOfInput(line);
    }
}

// libedit's character source: waits for the terminal (letting go of the console lock, so
// messages can be printed meanwhile) or for the console to close, and decodes UTF-8.
int TerminalConsole::readCharacter(EditLine* el, wchar_t* out) {
    void* data = nullptr;
    el_get(el, EL_CLIENTDATA, &data);
    auto* self = static_cast<TerminalConsole*>(data);
    for (;;) {
        if (self->waitForInput(self->editLock_, true) < 0) return -1;
        char byte;
        ssize_t n = ::read(self->inFd_, &byte, 1);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            // The terminal hung up; otherwise a Ctrl+D that reached the line discipline before
            // the editor took the terminal.
            if (n < 0 || hungUp(self->inFd_)) self->inputEnded_ = true;
            return 0;
        }
        wchar_t wc;
        size_t r = mbrtowc(&wc, &byte, 1, &self->decodeState_);
        if (r == static_cast<size_t>(-2)) continue;
        if (r == static_cast<size_t>(-1)) {
            self->decodeState_ = {};
            wc = static_cast<unsigned char>(byte);
        }
        *out = wc;
        return 1;
    }
}

char* TerminalConsole::promptText(EditLine* el) {
    void* data = nullptr;
    el_get(el, EL_CLIENTDATA, &data);
    return const_cast<char*>(static_cast<TerminalConsole*>(data)->promptShown_.c_str());
}

// The unfinished row written last (normally the prompt "> ") becomes libedit's prompt, so the
// editor starts from column 0 and can redraw it.
int TerminalConsole::readEdited(std::string& line, std::unique_lock<std::mutex>& lock) {
    el_resize(editor_);
    prompt_ = printableOnly(partial_);
    if (!partial_.empty()) writeOut("\r\033[K");
    partial_.clear();
    pending_.clear();
    promptShown_ = prompt_;
    editing_ = true;
    lineShown_ = true;
    editLock_ = &lock;
    int count = 0;
    const char* text = el_gets(editor_, &count);
    editing_ = false;
    lineShown_ = false;
    editLock_ = nullptr;
    if (!open_) {
        writeOut(withCarriageReturns("\n", outFd_));
        return -1;
    }
    if (!text || count <= 0) {
        if (inputEnded_) {
            lock.unlock();
            int result = endOfInput(line);
            lock.lock();
            return result;
        }
        if (count < 0) return -1;
        // Ctrl+D on an empty line.
        writeOut(withCarriageReturns("\n", outFd_));
        screen_.write("\n");
        return 1;
    }
    line.assign(text, static_cast<size_t>(count));
    if (!line.empty() && line.back() == '\n') line.pop_back();
    screen_.write(line + "\n");
    saveHistory(line);
    return 0;
}

bool TerminalConsole::setUpEditor() {
    int in = dup(inFd_);
    int out = dup(outFd_);
    FILE* fin = in >= 0 ? fdopen(in, "r") : nullptr;
    FILE* fout = out >= 0 ? fdopen(out, "w") : nullptr;
    if (fin) editor_ = el_init("talkcircle", fin, fout ? fout : stdout, fout ? fout : stderr);
    if (!editor_) {
        if (fin)
            fclose(fin);
        else if (in >= 0)
            ::close(in);
        if (fout)
            fclose(fout);
        else if (out >= 0)
            ::close(out);
        return false;
    }
    editorIn_ = fin;
    editorOut_ = fout;
    el_set(editor_, EL_CLIENTDATA, this);
    el_set(editor_, EL_EDITOR, "emacs");
    el_set(editor_, EL_SIGNAL, 0);
    el_set(editor_, EL_PROMPT, &TerminalConsole::promptText);
    el_set(editor_, EL_GETCFN, &TerminalConsole::readCharacter);

    history_ = history_init();
    HistEvent event;
    history(history_, &event, H_SETSIZE, HISTORY_SIZE);
    history(history_, &event, H_SETUNIQUE, 1);
    historyFile_ = historyPath();
    if (!historyFile_.empty()) history(history_, &event, H_LOAD, historyFile_.c_str());
    el_set(editor_, EL_HIST, history, history_);
    el_source(editor_, nullptr); // the user's ~/.editrc
    return true;
}

void TerminalConsole::tearDownEditor() {
    if (editor_) el_end(editor_);
    editor_ = nullptr;
    if (history_) history_end(history_);
    history_ = nullptr;
    if (editorIn_) fclose(editorIn_);
    if (editorOut_) fclose(editorOut_);
    editorIn_ = nullptr;
    editorOut_ = nullptr;
}

void TerminalConsole::saveHistory(const std::string& line) {
    if (line.find_first_not_of(' ') == std::string::npos) return;
    HistEvent event;
    history(history_, &event, H_ENTER, line.c_str());
    if (historyFile_.empty()) return;
    makeParentDirectories(historyFile_);
    // The history can hold passwords typed with commands: only the user may read it.
    int fd = ::open(historyFile_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        fchmod(fd, 0600);
        ::close(fd);
    }
    history(history_, &event, H_SAVE, historyFile_.c_str());
}

// ---- Ctrl+C ----

void TerminalConsole::startInterruptWatcher() {
    if (!makePipe(interruptRead_, interruptWrite_)) return;
    drainPipe(interruptRead_);
    int none = -1;
    if (!interruptPipe.compare_exchange_strong(none, interruptWrite_))
        return; // another console has it
    struct sigaction action {};
    action.sa_handler = onInterruptSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &previousAction_);
    if (startThread(interruptThread_, ThreadKind::console,
                    [this, fd = interruptRead_] { watchInterrupts(fd); }) != 0) {
        // No watcher: Ctrl+C keeps its default action.
        sigaction(SIGINT, &previousAction_, nullptr);
        interruptPipe = -1;
    }
}

void TerminalConsole::stopInterruptWatcher() {
    if (!interruptThread_.joinable()) return;
    sigaction(SIGINT, &previousAction_, nullptr);
    interruptPipe = -1;
    char byte = 'q';
    ssize_t n = ::write(interruptWrite_, &byte, 1);
    (void)n;
    interruptThread_.join();
}

void TerminalConsole::watchInterrupts(int fd) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, -1) < 0 && errno != EINTR) return;
        char buf[16];
        ssize_t n = ::read(fd, buf, sizeof(buf));
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == 'q') return;
            onInterrupt();
        }
    }
}

// Ctrl+C drops the line being typed (it stays on the screen as typed), then the handler
// prints; the empty edit line is drawn again below.
void TerminalConsole::onInterrupt() {
    {
        std::lock_guard lock(mutex_);
        if (editing_ && lineShown_) {
            const LineInfoW* info = el_wline(editor_);
            int length = static_cast<int>(info->lastchar - info->buffer);
            int toEnd = static_cast<int>(info->lastchar - info->cursor);
            if (toEnd > 0) writeOut(eraseEditLine());
            el_cursor(editor_, toEnd);
            el_deletestr(editor_, length);
            lineShown_ = false;
            pending_.clear();
        }
    }
    std::function<void()> handler;
    {
        std::lock_guard lock(handlerMutex_);
        handler = interruptHandler_;
    }
    if (handler) handler();
    std::lock_guard lock(mutex_);
    if (editing_ && !lineShown_) {
        writeOut(withCarriageReturns("\n", outFd_));
        redrawEditLine({});
    }
}

} // namespace tc
