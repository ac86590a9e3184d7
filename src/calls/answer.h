#pragma once
#include <atomic>
#include <string>

namespace tc {

// Accepts calls on the listening socket for the life of the program and answers, blocks or
// forwards each one as the incoming mode says. Returns when accepting fails or the program ends.
void answerThread();
// Owns incoming line n: waits for the caller's ID, asks the user when the call was not accepted
// at once, tells the callers of a server who is there, and ends the line.
void holdThread(int line);
// Asks the user whether to accept the call on line n; no answer within callQuestionMs is No.
void allowThread(int line);
inline std::atomic<int> callQuestionMs{60000}; // tests shorten it

// The date and time in the user's short formats, each followed by two spaces.
std::string timeStampText();
// Prints the time stamp so that the next message continues the same console line.
void printTimeStamp();

} // namespace tc
