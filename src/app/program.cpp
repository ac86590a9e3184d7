#include "app/program.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "app/supervisor.h"
#include "audio/audio_period.h"
#include "calls/answer.h"
#include "calls/line_life.h"
#include "calls/udp_status.h"
#include "commands/command_thread.h"
#include "commands/console_dialogs.h"
#include "commands/dns.h"
#include "commands/line_ops.h"
#include "core/command_line.h"
#include "core/lifecycle.h"
#include "core/line_table.h"
#include "core/output.h"
#include "core/settings.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/thread_start.h"
#include "ui/line_list.h"
#include "ui/window_model.h"

namespace tc {

namespace {

constexpr int FAILURE_PAUSE_MS = 5000;
constexpr int LISTEN_BACKLOG = 2;
constexpr int LINE_END_WAIT_MS = 6000;
constexpr int THREAD_END_WAIT_MS = 2000;
constexpr int SHOW_HIDDEN = 0;
constexpr int SHOW_MINIMIZED = 6;

// A long-lived thread that can be waited for with a time limit.
struct LongLivedThread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished = std::make_shared<std::atomic<bool>>(false);

    bool start(std::function<void()> body) {
        auto done = finished;
        return startThread(thread, ThreadKind::program, [done, body = std::move(body)] {
                   body();
                   *done = true;
               }) == 0;
    }
    // Joins the thread when it ends within the time; otherwise lets it go. True when joined.
    bool finish(int timeoutMs) {
        if (!thread.joinable()) return true;
        int64_t until = monotonicMs() + timeoutMs;
        while (!*finished && monotonicMs() < until)
            sleepMs(20);
        if (*finished) {
            thread.join();
            return true;
        }
        thread.detach();
        return false;
    }
};

struct ProgramThreads {
    LongLivedThread signals;
    LongLivedThread dns;
    LongLivedThread answer;
    LongLivedThread udp;
    LongLivedThread console;
    LongLivedThread buffer;
    LongLivedThread raise;
};

int instanceLockFd = -1;

// The signals that ask the program to end, as a service manager or a terminal sends them. Ctrl+C
// (SIGINT) belongs to the console where the terminal is the console (headless).
sigset_t terminationSignals(bool headless) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    if (!headless) sigaddset(&set, SIGINT);
    return set;
}

// Ends the program as Quit does when a termination signal arrives: every line is dropped (the
// peers are told not to redial), then the supervisor ends the program, closing the sound files
// whole.
void watchTerminationSignals() {
    sigset_t set = terminationSignals(launchOptions.headless);
    timespec poll{0, 200 * 1000 * 1000};
    while (!startupState.closing) {
        if (sigtimedwait(&set, nullptr, &poll) < 0) continue;
        settings.terminateMode = 2;
        lineOp(LINEOP_DROP_ALL);
        if (linesInUse() == 0) shutdown();
    }
}

// The window as the options leave it: shown, minimised (/M) or only in the tray.
void showWindowAsOptionsSay() {
    int show = settings.showCommand;
    setWindowShown(show != SHOW_HIDDEN);
    if (show == SHOW_MINIMIZED) setWindowMinimized(true);
}

// Prints the text, waits and ends the program: what every start-up failure does.
int failureExit(const char* text) {
    message("%s", text);
    sleepMs(FAILURE_PAUSE_MS);
    startupState.exitCode = 1;
    shutdown();
    return 1;
}

// The folder of the instance locks: $XDG_RUNTIME_DIR, or else /tmp/talkcircle-UID, made for
// this user alone. Empty when that folder is not the user's own directory, or others may
// write in it (another user could then hold the lock or replace the file).
std::string lockFolder() {
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    if (dir && *dir) return dir;
    std::string folder = "/tmp/talkcircle-" + std::to_string(::getuid());
    ::mkdir(folder.c_str(), 0700);
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 022) != 0)
        return {};
    return folder;
}

// The lock file of a port; empty when the lock folder is not safe to use.
std::string lockFilePath(int port) {
    std::string folder = lockFolder();
    if (folder.empty()) return {};
    return folder + "/talkcircle-" + std::to_string(port) + ".lock";
}

enum class Lock { taken, held, unsafe };

// Only one copy may listen on a port: the first holds a lock on a file named for the port for
// as long as it runs.
Lock takeInstanceLock(int port) {
    std::string path = lockFilePath(port);
    if (path.empty()) return Lock::unsafe;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return Lock::taken; // no lock file: nothing to check against
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return Lock::held;
    }
    instanceLockFd = fd;
    return Lock::taken;
}

// A copy with a window listens on a local socket beside its lock file, named for the port; a
// second copy started on that port connects to it, and the first brings its window forward.
struct RaiseSocket {
    int fd = -1;
    std::string path;
};
RaiseSocket raiseSocket;

bool raiseSocketAddress(int port, sockaddr_un& addr) {
    std::string lock = lockFilePath(port);
    size_t slash = lock.rfind('/');
    if (slash == std::string::npos) return false;
    std::string path = lock.substr(0, slash + 1) + "talkcircle-" + std::to_string(port) + ".sock";
    addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) return false;
    path.copy(addr.sun_path, path.size());
    return true;
}

// Called with the lock held, so a socket file already there is a stale one. Without a window,
// or when the socket cannot be made, a second copy only prints and ends.
void openRaiseSocket(int port, LongLivedThread& thread) {
    sockaddr_un addr;
    if (launchOptions.headless || !raiseSocketAddress(port, addr)) return;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return;
    ::unlink(addr.sun_path);
    const auto* to = reinterpret_cast<const sockaddr*>(&addr);
    if (::bind(fd, to, sizeof(addr)) != 0 || ::chmod(addr.sun_path, 0600) != 0 ||
        ::listen(fd, 4) != 0) {
        ::close(fd);
        return;
    }
    raiseSocket = {fd, addr.sun_path};
    bool started = thread.start([fd] {
        while (!startupState.closing) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0) continue;
            int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            ::close(c);
            restoreMainWindow();
        }
    });
    if (started) return;
    ::unlink(addr.sun_path);
    ::close(fd);
    raiseSocket = {};
}

void closeRaiseSocket() {
    if (raiseSocket.fd < 0) return;
    ::unlink(raiseSocket.path.c_str());
    ::close(raiseSocket.fd);
    raiseSocket = {};
}

// The second copy: asks the copy that holds the port to show its window.
void askFirstCopyToShow(int port) {
    sockaddr_un addr;
    if (!raiseSocketAddress(port, addr)) return;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    (void)::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
    ::close(fd);
}

// Without a window the terminal is the console from the start, and questions are put there.
void openTerminalConsole() {
    if (!launchOptions.headless) return;
    static ConsoleDialogs consoleDialogs;
    setDialogs(&consoleDialogs);
    openConsole();
}

void setWindowTitleForPort(int port, bool havePort) {
    char title[64];
    if (havePort && port != 0)
        std::snprintf(title, sizeof(title), "Talkcircle  %5d", port);
    else
        std::snprintf(title, sizeof(title), "Talkcircle  [OUT]");
    setWindowTitle(title);
}

int openListenSocket() {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return failureExit("Socket Error\n"), -1;
    // A port whose last calls are still in TIME_WAIT can be listened on again at once; the
    // instance lock already keeps a second copy off the port.
    int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in addr = settings.listenAddress;
    addr.sin_family = AF_INET;
    if (::bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        ::close(s);
        return failureExit("Bind Error\n"), -1;
    }
    if (::listen(s, LISTEN_BACKLOG) != 0) {
        ::close(s);
        return failureExit("Listen Error\n"), -1;
    }
    return s;
}

// The long-lived threads of a copy with a port: the answer thread and the UDP status service.
int startListening(ProgramThreads& threads) {
    int s = openListenSocket();
    if (s < 0) return 1;
    startupState.listenSocket = s;
    if (!threads.answer.start(answerThread)) return failureExit("Answer Thread Error\n");
    if (!threads.udp.start(udpStatusThread)) return failureExit("UDP Thread Error\n");
    return 0;
}

// Ends every line still up and waits for their owners to give them back.
void endAllLines() {
    for (auto& r : lineTable)
        if (r.inUse) {
            r.autoRetry = 0;
            r.ending |= 1;
        }
    int64_t until = monotonicMs() + LINE_END_WAIT_MS;
    while (linesInUse() > 0 && monotonicMs() < until)
        sleepMs(50);
}

// Stops what start-up started, in the reverse order. True when every thread was joined.
bool stopProgramThreads(ProgramThreads& threads) {
    startupState.closing = 1;
    endAllLines();
    int s = startupState.listenSocket.exchange(-1);
    if (s >= 0) ::shutdown(s, SHUT_RDWR);
    bool joined = threads.answer.finish(THREAD_END_WAIT_MS);
    if (s >= 0) ::close(s);
    stopUdpStatus();
    joined = threads.udp.finish(THREAD_END_WAIT_MS) && joined;
    settings.dnsUpdateActive = 0;
    stopCommandThreads();
    // What is still queued for the console is written first; a console that takes nothing
    // (a pipe nobody reads) is left as it is.
    joined = stopConsoleWriter(THREAD_END_WAIT_MS) && joined;
    closeConsole();
    joined = threads.console.finish(THREAD_END_WAIT_MS) && joined;
    joined = threads.buffer.finish(THREAD_END_WAIT_MS) && joined;
    joined = threads.dns.finish(THREAD_END_WAIT_MS) && joined;
    joined = threads.signals.finish(THREAD_END_WAIT_MS) && joined;
    joined = threads.raise.finish(THREAD_END_WAIT_MS) && joined;
    // Query boxes close once the program is ending; their threads then retire.
    int64_t until = monotonicMs() + THREAD_END_WAIT_MS;
    while (retiringThreadsRunning() > 0 && monotonicMs() < until)
        sleepMs(20);
    joined = retiringThreadsRunning() == 0 && joined;
    reapThreads();
    return joined;
}

// Start-up in its fixed order; returns 0 when the supervisor may run, 1 after a failure exit.
int startProgram(const std::vector<std::string>& args, ProgramThreads& threads) {
    settings.dnsName.clear();
    resetOutput();
    openTerminalConsole();
    settings.ownId.set(DEFAULT_OWN_ID);
    settings.addressBookFile.set("address.bk");
    settings.forwardPort.clear();
    settings.autoMessage.clear();
    TrailingArgs trailing = parseCommandLine(args);
    showWindowAsOptionsSay();

    bool havePort = trailing.id && trailing.port && parseListenPort(*trailing.port) == 0;
    setWindowTitleForPort(settings.listenPort, havePort);
    if (havePort && settings.listenPort != 0) {
        Lock lock = takeInstanceLock(settings.listenPort);
        if (lock == Lock::held) {
            askFirstCopyToShow(settings.listenPort);
            return failureExit("Talkcircle Console Already Running on This Port\n");
        }
        if (lock == Lock::unsafe) {
            std::string text = "Unsafe Lock Folder /tmp/talkcircle-" + std::to_string(::getuid());
            return failureExit((text + "\n").c_str());
        }
        openRaiseSocket(settings.listenPort, threads.raise);
    }
    setTrayIconShown(settings.trayIcon != 0);

    settings.callPassword.clear();
    applyBufferCount();
    startupState.instanceStamp = tickCount();
    resetLineTable();
    // The sample memory and the sound devices, before anything listens or runs commands.
    if (prepareAudioSystem() != 0) return 1;

    if (settings.dnsUpdateActive && !threads.dns.start(dnsThread)) {
        message("Dynamic DNS Thread Error\n");
        dnsUpdate(0);
    }
    if (trailing.id) {
        settings.ownId.set(trailing.id->substr(0, 126));
        setControlText(Control::idLabel, settings.ownId.get());
    }
    if (havePort) {
        if (startListening(threads) != 0) return 1;
        if (trailing.pswd) settings.callPassword.set(*trailing.pswd);
    } else {
        settings.incomingMode = INCOMING_NO_PORT;
        message("    NO INPUT PORT       INCOMING CALLS DISABLED\n\n");
        setControlText(Control::answerButton, "NO PORT");
        if (settings.hubMode == HUB_SERVER)
            return failureExit("CANNOT RUN SERVER MODE WITHOUT INPUT PORT\n");
    }

    resetCommandState();
    if (!threads.console.start([] { commandThread(ROLE_CONSOLE); }) ||
        !threads.buffer.start([] { commandThread(ROLE_BUFFER); }))
        return failureExit("Keyboard Thread Error\n");
    setWindowTitleForPort(settings.listenPort, havePort);
    refreshMenuChecks();
    return 0;
}

} // namespace

void blockTerminationSignals(bool headless) {
    sigset_t signals = terminationSignals(headless);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

int runProgram(const LaunchOptions& options, const std::vector<std::string>& args) {
    launchOptions = options;
    installWindowHooks();
    std::signal(SIGPIPE, SIG_IGN);
    blockTerminationSignals(options.headless);
    ProgramThreads threads;
    // Without a writer the console is written directly; without the watcher the signals are let
    // through, and their default action ends the process.
    if (startConsoleWriter() != 0) message("Console Writer Thread Error\n");
    if (!threads.signals.start(watchTerminationSignals)) {
        message("Signal Thread Error\n");
        sigset_t signals = terminationSignals(options.headless);
        pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    }
    if (startProgram(args, threads) == 0) supervisorLoop();
    bool joined = stopProgramThreads(threads);
    closeLogFile();
    closeRaiseSocket();
    if (instanceLockFd >= 0) ::close(instanceLockFd);
    instanceLockFd = -1;
    if (!joined) {
        // A thread is still blocked where it cannot be woken (a read of a terminal that never
        // ends): leave at once rather than destroy what it may still use.
        std::_Exit(startupState.exitCode);
    }
    return startupState.exitCode;
}

} // namespace tc
