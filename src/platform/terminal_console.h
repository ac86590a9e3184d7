#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <mutex>
#include <signal.h>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/console.h"
#include "platform/screen_buffer.h"

struct editline;
struct history;

namespace tc {

// The console on the process's own terminal (or whatever stdin and stdout are).
//
// Output: every write is one write(2) of the text; nothing waits in a stdio buffer. When the
// output is a terminal, the status rows are drawn at the top with a scroll region below them,
// control bytes that could drive the terminal (ESC and the like) are shown as "?", and a line
// being typed is redrawn below any message that arrives meanwhile. When it is not a terminal
// (a pipe, a file), exactly the written text goes out.
//
// Input: with a terminal on both ends, lines are edited with libedit and kept in a history
// file; otherwise plain lines are read. Ctrl+D (or the end of a pipe) is the end of input. A
// pipe that has ended is not read again: the next readLine waits until the console is closed.
//
// Ctrl+C (SIGINT) is swallowed while the console is open: the typed line is dropped and the
// interrupt handler runs on the console's own thread.
class TerminalConsole : public Console {
  public:
    explicit TerminalConsole(int inFd = 0, int outFd = 1);
    ~TerminalConsole() override;
    TerminalConsole(const TerminalConsole&) = delete;
    TerminalConsole& operator=(const TerminalConsole&) = delete;

    // Starts Ctrl+C handling and line editing and gives a blank screen. Returns 0, or 1 when it
    // was open already.
    int open();
    // A readLine that is waiting returns -1 at once, and so does every later one until the next
    // open. The terminal gets its modes and its full scroll area back.
    void close();
    bool isOpen() const { return open_; }
    // True once an input that is not a terminal has reached its end.
    bool inputEnded() const { return inputEnded_; }

    // Runs on the console's interrupt thread for every Ctrl+C while the console is open.
    void setInterruptHandler(std::function<void()> handler);

    void write(std::string_view text) override;
    int readLine(std::string& line) override;
    void setStatusRows(const std::vector<std::string>& rows) override;
    std::vector<std::string> screen() const override;

    // $XDG_STATE_HOME/talkcircle/history, or ~/.local/state/talkcircle/history.
    static std::string historyPath();

  private:
    static int readCharacter(editline* el, wchar_t* out);
    static char* promptText(editline* el);

    int readEdited(std::string& line, std::unique_lock<std::mutex>& lock);
    int readPlain(std::string& line);
    bool takeBufferedLine(std::string& line);
    int waitForInput(std::unique_lock<std::mutex>* lock, bool watchInput);
    int endOfInput(std::string& line);
    void echoToScreen(std::string_view text);

    void writeOut(std::string_view data);
    void writeWhileEditing(std::string_view text);
    std::string eraseEditLine() const;
    void redrawEditLine(const std::string& pending);
    int terminalColumns() const;
    int terminalRows() const;
    void resetScrollRegion();

    bool setUpEditor();
    void tearDownEditor();
    void saveHistory(const std::string& line);
    void startInterruptWatcher();
    void stopInterruptWatcher();
    void watchInterrupts(int fd);
    void onInterrupt();

    const int inFd_;
    const int outFd_;
    bool inTerminal_ = false;
    bool outTerminal_ = false;

    // Guards the terminal output, the screen, the editor and the fields below.
    mutable std::mutex mutex_;
    std::condition_variable readerLeft_;
    std::mutex readMutex_; // one reader at a time
    std::atomic<bool> open_{false};
    int readers_ = 0;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;

    ScreenBuffer screen_;
    std::string partial_; // what was written after the last line break
    std::vector<std::string> drawnStatus_;
    int scrollRegionRows_ = 0; // terminal height the scroll region was set for; 0 = none

    std::string inputBuffer_; // plain reads: bytes read but not yet returned
    std::atomic<bool> inputEnded_{false};
    bool endReported_ = false;

    // Line editing (both ends are terminals).
    editline* editor_ = nullptr;
    FILE* editorIn_ = nullptr;
    FILE* editorOut_ = nullptr;
    history* history_ = nullptr;
    std::string historyFile_;
    bool editing_ = false;                             // el_gets is running
    std::unique_lock<std::mutex>* editLock_ = nullptr; // the reader's hold on mutex_
    bool lineShown_ = false;                           // the edit line is on the screen
    std::string prompt_;                               // the prompt the edit line began with
    std::string pending_;     // unfinished message text shown in front of the prompt
    std::string promptShown_; // pending_ + prompt_, what libedit draws as its prompt
    std::mbstate_t decodeState_{};

    std::mutex handlerMutex_;
    std::function<void()> interruptHandler_;
    std::thread interruptThread_;
    int interruptRead_ = -1;
    int interruptWrite_ = -1;
    struct sigaction previousAction_ {};
};

} // namespace tc
