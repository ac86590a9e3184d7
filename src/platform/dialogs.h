#pragma once
#include <atomic>
#include <cstdint>
#include <string>

namespace tc {

// Buttons of a question box.
enum class DialogButtons { ok, yesNo, yesNoCancel };

// What the user answered (the values travel in PKT_QUERY replies).
constexpr int DIALOG_OK = 4;
constexpr int DIALOG_YES = 5;
constexpr int DIALOG_NO = 6;
constexpr int DIALOG_CANCEL = 7;
constexpr int DIALOG_CLOSED = 0; // closed without an answer, or cancelled by the program

// Message boxes and file dialogs. The Qt view provides the real one; headless, questions are put
// on the console (the next typed line answers them); tests use a fake.
class Dialogs {
  public:
    virtual ~Dialogs() = default;
    // Shows a question and blocks until it is answered. When `cancel` is given and becomes
    // non-zero, the box is closed and DIALOG_CLOSED is returned.
    virtual int ask(const std::string& title, const std::string& text, DialogButtons buttons,
                    const std::atomic<uint8_t>* cancel = nullptr) = 0;
    // File dialogs: return the chosen path, or empty when cancelled.
    virtual std::string saveFile(const std::string& title, const std::string& defaultSuffix) {
        (void)title;
        (void)defaultSuffix;
        return {};
    }
    virtual std::string openFile(const std::string& title, const std::string& defaultSuffix) {
        (void)title;
        (void)defaultSuffix;
        return {};
    }
    virtual void beep() {}
};

// The dialogs in use (set once by main before the threads start; tests set a fake).
Dialogs& dialogs();
void setDialogs(Dialogs* d);

} // namespace tc
