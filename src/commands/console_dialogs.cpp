#include "commands/console_dialogs.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "core/output.h"

namespace tc {

namespace {

constexpr int CONSOLE_ONLY = NoPanel | NoLog;
constexpr int POLL_MS = 100;
// The longest wait for printed text to reach the console before a line is read.
constexpr int CONSOLE_WRITTEN_MS = 200;
constexpr const char* INCOMING_CALL_TITLE = "Incoming Call";

struct Question {
    std::string title;
    std::string text;
    DialogButtons buttons;
    int answer = -1;
};

struct Questions {
    std::mutex mutex;
    std::condition_variable answered;
    std::deque<Question*> waiting;
};

Questions questions;

int answerWithoutConsole(const std::string& title) {
    return title == INCOMING_CALL_TITLE ? DIALOG_NO : DIALOG_OK;
}

// The question as printed; the caller holds the lock.
std::string questionText(const Question& q) {
    std::string text = q.title + ": " + q.text;
    if (text.empty() || text.back() != '\n') text += '\n';
    switch (q.buttons) {
    case DialogButtons::ok:
        text += "(Enter = OK)\n";
        break;
    case DialogButtons::yesNo:
        text += "(Y or N)\n";
        break;
    case DialogButtons::yesNoCancel:
        text += "(Y, N or C)\n";
        break;
    }
    return text;
}

void printQuestion(const std::string& text) {
    if (!text.empty()) output(CONSOLE_ONLY, "%s", text.c_str());
}

int parseAnswer(DialogButtons buttons, const std::string& line) {
    if (buttons == DialogButtons::ok) return DIALOG_OK;
    size_t first = line.find_first_not_of(" \t\r");
    int letter = first == std::string::npos ? 0 : (static_cast<unsigned char>(line[first]) & ~0x20);
    if (letter == 'Y') return DIALOG_YES;
    if (letter == 'N') return DIALOG_NO;
    if (letter == 'C' && buttons == DialogButtons::yesNoCancel) return DIALOG_CANCEL;
    return -1;
}

// Removes a question that is no longer waiting; returns the text of the next one to print when
// the removed question was the one being answered. The caller holds the lock.
std::string withdraw(Question* q) {
    auto& w = questions.waiting;
    auto it = std::find(w.begin(), w.end(), q);
    if (it == w.end()) return {};
    bool wasFirst = it == w.begin();
    w.erase(it);
    return wasFirst && !w.empty() ? questionText(*w.front()) : std::string();
}

} // namespace

int ConsoleDialogs::ask(const std::string& title, const std::string& text, DialogButtons buttons,
                        const std::atomic<uint8_t>* cancel) {
    if (currentConsole() == nullptr) return answerWithoutConsole(title);
    Question q{title, text, buttons};
    std::string toPrint;
    {
        std::lock_guard lock(questions.mutex);
        questions.waiting.push_back(&q);
        if (questions.waiting.size() == 1) toPrint = questionText(q);
    }
    printQuestion(toPrint);
    std::unique_lock lock(questions.mutex);
    for (;;) {
        if (questions.answered.wait_for(lock, std::chrono::milliseconds(POLL_MS),
                                        [&q] { return q.answer >= 0; }))
            return q.answer;
        int result = -1;
        if (cancel != nullptr && cancel->load() != 0)
            result = DIALOG_CLOSED;
        else if (currentConsole() == nullptr)
            result = answerWithoutConsole(title);
        if (result < 0) continue;
        std::string next = withdraw(&q);
        lock.unlock();
        printQuestion(next);
        return result;
    }
}

void ConsoleDialogs::beep() {
    output(CONSOLE_ONLY, "\a");
}

bool answerConsoleQuestion(const std::string& line) {
    std::string toPrint;
    {
        std::lock_guard lock(questions.mutex);
        if (questions.waiting.empty()) return false;
        Question* q = questions.waiting.front();
        int answer = parseAnswer(q->buttons, line);
        if (answer < 0) {
            toPrint = questionText(*q);
        } else {
            q->answer = answer;
            toPrint = withdraw(q);
            questions.answered.notify_all();
        }
    }
    printQuestion(toPrint);
    return true;
}

int waitingConsoleQuestions() {
    std::lock_guard lock(questions.mutex);
    return static_cast<int>(questions.waiting.size());
}

int readConsoleLine(std::string& line) {
    for (;;) {
        Console* console = currentConsole();
        if (console == nullptr) return -1;
        std::string typed;
        waitConsoleWritten(CONSOLE_WRITTEN_MS);
        int result = console->readLine(typed);
        if (result != 0) return result;
        if (!answerConsoleQuestion(typed)) {
            line = std::move(typed);
            return 0;
        }
        output(CONSOLE_ONLY, "> ");
    }
}

} // namespace tc
