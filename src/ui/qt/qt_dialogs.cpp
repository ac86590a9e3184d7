#include "ui/qt/qt_dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QThread>
#include <chrono>

namespace tc {

namespace {

constexpr auto CANCEL_POLL = std::chrono::milliseconds(100);

QMessageBox::StandardButtons qtButtons(DialogButtons buttons) {
    switch (buttons) {
    case DialogButtons::yesNo:
        return QMessageBox::Yes | QMessageBox::No;
    case DialogButtons::yesNoCancel:
        return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    default:
        return QMessageBox::Ok;
    }
}

int answerOf(QMessageBox::StandardButton button) {
    switch (button) {
    case QMessageBox::Ok:
        return DIALOG_OK;
    case QMessageBox::Yes:
        return DIALOG_YES;
    case QMessageBox::No:
        return DIALOG_NO;
    case QMessageBox::Cancel:
        return DIALOG_CANCEL;
    default:
        return DIALOG_CLOSED;
    }
}

// The help text comes without an icon; questions, and every query a peer puts, with the question
// mark; everything else (errors, notices) with the information sign. A question from a peer
// (an incoming call, a query) stays in front of every other window. The text is always shown as
// it is: peers' texts never become rich text or links.
QMessageBox* makeBox(const std::string& title, const std::string& text, DialogButtons buttons) {
    bool fromPeer = title == "Incoming Call" || title == "Talkcircle Query";
    QMessageBox::Icon icon = QMessageBox::Information;
    if (title == "HELP") icon = QMessageBox::NoIcon;
    if (buttons != DialogButtons::ok || fromPeer) icon = QMessageBox::Question;
    auto* box = new QMessageBox(icon, QString::fromStdString(title), QString(), qtButtons(buttons));
    box->setTextFormat(Qt::PlainText);
    box->setText(QString::fromStdString(text));
    box->setWindowFlag(Qt::WindowStaysOnTopHint, fromPeer);
    return box;
}

} // namespace

struct QtDialogs::Pending {
    bool done = false;
    bool cancelled = false;
    int result = DIALOG_CLOSED;
    std::string text;
    QPointer<QWidget> window; // interface thread only
};

QtDialogs::QtDialogs(QObject* parent) : QObject(parent) {}

QtDialogs::~QtDialogs() {
    stop();
}

bool QtDialogs::onInterfaceThread() const {
    return QThread::currentThread() == thread();
}

void QtDialogs::stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    answered_.notify_all();
}

int QtDialogs::openBoxes() const {
    std::lock_guard lock(mutex_);
    return openBoxes_;
}

void QtDialogs::finish(const std::shared_ptr<Pending>& pending, int result,
                       const std::string& text) {
    std::lock_guard lock(mutex_);
    if (pending->done) return;
    pending->done = true;
    pending->result = result;
    pending->text = text;
    --openBoxes_;
    answered_.notify_all();
}

int QtDialogs::waitForAnswer(const Show& show, const std::atomic<uint8_t>* cancel,
                             std::string* text) {
    auto pending = std::make_shared<Pending>();
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return DIALOG_CLOSED;
        ++openBoxes_;
    }
    QMetaObject::invokeMethod(
        this,
        [this, pending, show] {
            bool stopped;
            {
                std::lock_guard lock(mutex_);
                stopped = stopped_ || pending->cancelled;
            }
            if (stopped)
                finish(pending, DIALOG_CLOSED, {});
            else
                show(pending);
        },
        Qt::QueuedConnection);

    std::unique_lock lock(mutex_);
    while (!pending->done && !stopped_ && !(cancel && *cancel))
        answered_.wait_for(lock, CANCEL_POLL);
    if (pending->done) {
        if (text) *text = pending->text;
        return pending->result;
    }
    // Cancelled by the program, or the interface is going away: close the window if it is up.
    pending->cancelled = true;
    pending->done = true;
    --openBoxes_;
    lock.unlock();
    QMetaObject::invokeMethod(
        this,
        [pending] {
            if (pending->window) pending->window->close();
        },
        Qt::QueuedConnection);
    return DIALOG_CLOSED;
}

int QtDialogs::askHere(const std::string& title, const std::string& text, DialogButtons buttons) {
    std::unique_ptr<QMessageBox> box(makeBox(title, text, buttons));
    box->exec();
    return answerOf(box->standardButton(box->clickedButton()));
}

int QtDialogs::ask(const std::string& title, const std::string& text, DialogButtons buttons,
                   const std::atomic<uint8_t>* cancel) {
    if (onInterfaceThread()) return askHere(title, text, buttons);
    Show show = [this, title, text, buttons](std::shared_ptr<Pending> pending) {
        QMessageBox* box = makeBox(title, text, buttons);
        box->setAttribute(Qt::WA_DeleteOnClose);
        pending->window = box;
        connect(box, &QMessageBox::finished, this, [this, pending, box](int) {
            finish(pending, answerOf(box->standardButton(box->clickedButton())), {});
        });
        box->show();
        box->raise();
        box->activateWindow();
    };
    return waitForAnswer(show, cancel, nullptr);
}

std::string QtDialogs::fileDialog(bool save, const std::string& title, const std::string& suffix) {
    auto configure = [this, save, title, suffix](QFileDialog& dialog) {
        dialog.setWindowTitle(QString::fromStdString(title));
        dialog.setDirectory(QStringLiteral("."));
        dialog.setDefaultSuffix(QString::fromStdString(suffix));
        dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
        dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
        if (!lastFile_.isEmpty()) dialog.selectFile(lastFile_);
    };
    auto chosen = [this](QFileDialog& dialog) -> std::string {
        QStringList files = dialog.selectedFiles();
        if (files.isEmpty()) return {};
        lastFile_ = files.first();
        return lastFile_.toStdString();
    };
    if (onInterfaceThread()) {
        QFileDialog dialog;
        configure(dialog);
        if (dialog.exec() != QDialog::Accepted) return {};
        return chosen(dialog);
    }
    Show show = [this, configure, chosen](std::shared_ptr<Pending> pending) {
        auto* dialog = new QFileDialog;
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        configure(*dialog);
        pending->window = dialog;
        connect(dialog, &QFileDialog::finished, this, [this, pending, dialog, chosen](int result) {
            finish(pending, result == QDialog::Accepted ? DIALOG_OK : DIALOG_CLOSED,
                   result == QDialog::Accepted ? chosen(*dialog) : std::string());
        });
        dialog->show();
    };
    std::string name;
    if (waitForAnswer(show, nullptr, &name) != DIALOG_OK) return {};
    return name;
}

std::string QtDialogs::saveFile(const std::string& title, const std::string& defaultSuffix) {
    return fileDialog(true, title, defaultSuffix);
}

std::string QtDialogs::openFile(const std::string& title, const std::string& defaultSuffix) {
    return fileDialog(false, title, defaultSuffix);
}

void QtDialogs::beep() {
    QMetaObject::invokeMethod(
        this, [] { QApplication::beep(); }, Qt::QueuedConnection);
}

} // namespace tc
