#pragma once
#include <QObject>
#include <QString>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/dialogs.h"

namespace tc {

// Message boxes and file dialogs with Qt. Created on the interface thread; any thread may ask.
// A question asked from another thread is shown without blocking the interface and the asking
// thread waits for the answer, for its cancel flag, or for the view to stop, whichever comes
// first; a cancelled question's box is closed.
class QtDialogs : public QObject, public Dialogs {
    Q_OBJECT
  public:
    explicit QtDialogs(QObject* parent = nullptr);
    ~QtDialogs() override;

    int ask(const std::string& title, const std::string& text, DialogButtons buttons,
            const std::atomic<uint8_t>* cancel = nullptr) override;
    std::string saveFile(const std::string& title, const std::string& defaultSuffix) override;
    std::string openFile(const std::string& title, const std::string& defaultSuffix) override;
    void beep() override;

    // The interface is going away: every waiting and later question returns DIALOG_CLOSED and
    // every file dialog is cancelled.
    void stop();

    // Boxes asked from other threads that are on the screen now (tests).
    int openBoxes() const;

  private:
    struct Pending;
    using Show = std::function<void(std::shared_ptr<Pending>)>;

    bool onInterfaceThread() const;
    // Shows a window on the interface thread through `show`, which must call finish() when it
    // is answered, and waits.
    int waitForAnswer(const Show& show, const std::atomic<uint8_t>* cancel, std::string* text);
    void finish(const std::shared_ptr<Pending>& pending, int result, const std::string& text);
    int askHere(const std::string& title, const std::string& text, DialogButtons buttons);
    std::string fileDialog(bool save, const std::string& title, const std::string& suffix);

    mutable std::mutex mutex_;
    std::condition_variable answered_;
    bool stopped_ = false;
    int openBoxes_ = 0;
    // The last file chosen in either file dialog; the next one starts with it.
    QString lastFile_;
};

} // namespace tc
