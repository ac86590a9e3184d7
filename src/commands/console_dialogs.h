#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "platform/dialogs.h"

namespace tc {

// Questions put on the console when there is no window: the question is printed and the next
// typed line answers it (Y or N; C for Cancel; any line for OK). Several waiting questions are
// answered in the order they were asked. With no console open, the incoming-call question
// counts as No and every other question as OK.
class ConsoleDialogs : public Dialogs {
  public:
    int ask(const std::string& title, const std::string& text, DialogButtons buttons,
            const std::atomic<uint8_t>* cancel = nullptr) override;
    void beep() override;
};

// Reads one typed line from the open console. A line that answers a waiting question is taken
// by the question and the next line is read. Returns 0 with a line, 1 at end of input, -1 when
// no console is open or it is being closed.
int readConsoleLine(std::string& line);

// Hands a typed line to the oldest waiting question; true when the line was taken (a line that
// is no valid answer is taken too, and the question is asked again).
bool answerConsoleQuestion(const std::string& line);

// Number of questions waiting for an answer (tests).
int waitingConsoleQuestions();

} // namespace tc
