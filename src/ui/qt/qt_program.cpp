#include "ui/qt/qt_program.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/lifecycle.h"
#include "core/output.h"
#include "platform/dialogs.h"
#include "platform/thread_start.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_dialogs.h"
#include "ui/qt/window_console.h"

static void initResources() {
    Q_INIT_RESOURCE(talkcircle);
}

namespace tc {

namespace {

// The console of the ended view (see ~QtProgram).
WindowConsole* volatile keptConsole = nullptr;

void leaveEventLoop() {
    QMetaObject::invokeMethod(
        qApp, [] { QCoreApplication::exit(startupState.exitCode); }, Qt::QueuedConnection);
}

} // namespace

QtProgram::QtProgram()
    : dialogs_(std::make_unique<QtDialogs>()), console_(std::make_unique<WindowConsole>()) {
    initResources();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/talkcircle/talkcircle.png")));
    consoleWindow_ = std::make_unique<ConsoleWindow>(*console_);
    window_ = std::make_unique<MainWindow>();
    setDialogs(dialogs_.get());
    WindowConsole* console = console_.get();
    setConsoleHooks({[console]() -> Console* {
                         console->open();
                         return console;
                     },
                     [console](Console* c) {
                         if (c == console) console->close();
                     }});
    setShutdownHook(leaveEventLoop);
}

QtProgram::~QtProgram() {
    finish();
    setShutdownHook(nullptr);
    setConsoleHooks({});
    setDialogs(nullptr);
    window_->allowClose();
    // The console object outlives the view: threads of the program may still hold it. It stays
    // reachable from here (not a leak).
    keptConsole = console_.release();
}

int QtProgram::start(std::function<int()> body) {
    return startThread(program_, ThreadKind::program, [this, body = std::move(body)] {
        exitCode_ = body();
        // An end that did not go through shutdown() (it always does) still leaves the loop.
        leaveEventLoop();
    });
}

int QtProgram::finish() {
    dialogs_->stop();
    if (program_.joinable()) {
        shutdown();
        program_.join();
    }
    return exitCode_;
}

int runQtProgram(int argc, char** argv, std::function<int()> body) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Talkcircle"));
    QApplication::setDesktopFileName(QStringLiteral("talkcircle"));
    QApplication::setQuitOnLastWindowClosed(false);
    QtProgram program;
    if (program.start(std::move(body)) != 0) {
        std::fputs("talkcircle: the program thread cannot start\n", stderr);
        return 1;
    }
    QApplication::exec();
    return program.finish();
}

namespace {

bool envSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

} // namespace

bool syntaxBoxWanted(bool headless) {
    if (headless || !(envSet("DISPLAY") || envSet("WAYLAND_DISPLAY"))) return false;
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (!platform) return true;
    // The platform name may carry options after a colon ("offscreen:fontengine=...").
    std::string name(platform, std::strcspn(platform, ":"));
    return name != "offscreen" && name != "minimal";
}

std::unique_ptr<QMessageBox> makeSyntaxBox(const std::string& text) {
    auto box = std::make_unique<QMessageBox>(QMessageBox::Information, QStringLiteral("SYNTAX"),
                                             QString(), QMessageBox::Ok);
    box->setTextFormat(Qt::PlainText);
    box->setText(QString::fromStdString(text));
    return box;
}

int showSyntaxBox(int argc, char** argv, const std::string& text) {
    QApplication app(argc, argv);
    makeSyntaxBox(text)->exec();
    return 0;
}

} // namespace tc
