#include "ui/qt/window_console.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QVBoxLayout>

#include "core/lifecycle.h"
#include "core/output.h"

namespace tc {

namespace {
constexpr int REFRESH_MS = 100;
} // namespace

void WindowConsole::write(std::string_view text) {
    std::lock_guard lock(mutex_);
    screen_.write(text);
    ++version_;
}

int WindowConsole::readLine(std::string& line) {
    std::unique_lock lock(mutex_);
    typed_.wait(lock, [this] { return !open_ || !lines_.empty(); });
    if (!open_) return -1;
    line = std::move(lines_.front());
    lines_.pop_front();
    return 0;
}

void WindowConsole::setStatusRows(const std::vector<std::string>& rows) {
    std::lock_guard lock(mutex_);
    screen_.setFixedRows(rows);
    ++version_;
}

std::vector<std::string> WindowConsole::screen() const {
    std::lock_guard lock(mutex_);
    return screen_.rows();
}

void WindowConsole::open() {
    std::lock_guard lock(mutex_);
    if (open_) return;
    open_ = true;
    screen_.clear();
    lines_.clear();
    ++version_;
}

void WindowConsole::close() {
    std::lock_guard lock(mutex_);
    open_ = false;
    lines_.clear();
    ++version_;
    typed_.notify_all();
}

bool WindowConsole::isOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
}

void WindowConsole::submit(const std::string& line) {
    std::lock_guard lock(mutex_);
    if (!open_) return;
    // The typed line stays on the screen, as a terminal echoes it.
    screen_.write(line + "\n");
    lines_.push_back(line);
    ++version_;
    typed_.notify_all();
}

unsigned WindowConsole::version() const {
    std::lock_guard lock(mutex_);
    return version_;
}

ConsoleWindow::ConsoleWindow(WindowConsole& console, QWidget* parent)
    : QWidget(parent, Qt::Window), console_(console), screen_(new QPlainTextEdit(this)),
      input_(new QLineEdit(this)) {
    setWindowTitle(QStringLiteral("Talkcircle Console"));
    setObjectName(QStringLiteral("consoleWindow"));
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleHint(QFont::TypeWriter);
    screen_->setFont(font);
    screen_->setReadOnly(true);
    screen_->setLineWrapMode(QPlainTextEdit::NoWrap);
    screen_->setFocusPolicy(Qt::NoFocus);
    screen_->setObjectName(QStringLiteral("consoleScreen"));
    input_->setFont(font);
    input_->setObjectName(QStringLiteral("consoleInput"));
    QFontMetrics metrics(font);
    int frame = 2 * screen_->frameWidth() + 8;
    screen_->setFixedSize(metrics.horizontalAdvance(QString(CONSOLE_COLUMNS, QChar('M'))) + frame,
                          metrics.lineSpacing() * CONSOLE_ROWS + frame);
    screen_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    screen_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(screen_);
    layout->addWidget(input_);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    connect(input_, &QLineEdit::returnPressed, this, &ConsoleWindow::submitInput);
    input_->installEventFilter(this);
    connect(&timer_, &QTimer::timeout, this, &ConsoleWindow::refresh);
    timer_.start(REFRESH_MS);
}

void ConsoleWindow::refresh() {
    unsigned version = console_.version();
    if (version == shownVersion_) return;
    shownVersion_ = version;
    bool open = console_.isOpen();
    if (!open) {
        hide();
        return;
    }
    QStringList rows;
    for (const std::string& row : console_.screen())
        rows << QString::fromUtf8(row.data(), static_cast<qsizetype>(row.size()));
    screen_->setPlainText(rows.join(QChar('\n')));
    if (!isVisible()) {
        show();
        raise();
        activateWindow();
        input_->setFocus();
    }
}

void ConsoleWindow::submitInput() {
    console_.submit(input_->text().toStdString());
    input_->clear();
    refresh();
}

bool ConsoleWindow::eventFilter(QObject* watched, QEvent* event) {
    // Ctrl+C and Ctrl+Break in the input line are the console's interrupt keys, not copy.
    if (watched == input_ && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        bool ctrl = key->modifiers() & Qt::ControlModifier;
        if (ctrl && (key->key() == Qt::Key_C || key->key() == Qt::Key_Pause)) {
            consoleControl(key->key() == Qt::Key_C ? ConsoleEvent::ctrlC : ConsoleEvent::ctrlBreak);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void ConsoleWindow::closeEvent(QCloseEvent* event) {
    // The user closed the console: as with a console window of its own, the program ends.
    event->ignore();
    if (!consoleControl(ConsoleEvent::close)) shutdown();
}

} // namespace tc
