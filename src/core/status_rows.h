#pragma once
#include <string>
#include <vector>

namespace tc {

// The user's short date and time ("%x  %X").
std::string dateAndTime();

// The 12 status rows shown at the top of the console (also the Status command's reply): the
// header row with `clock` (and the overload warning when `overloaded`), a row per line in use
// and a rule.
std::vector<std::string> statusRows(const std::string& clock, bool overloaded);

// The row text of line n in the window's line list, and its 7-character state word.
std::string lineRowText(int n);
const char* lineStateWord(int n);

} // namespace tc
