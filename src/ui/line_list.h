#pragma once
#include <atomic>
#include <string>
#include <vector>

namespace tc {

// The display refresh run by the supervisor every 500 ms: clock, line list rows, state column,
// console status rows and the overload indicator. flag 1 forces a full rebuild.
void displayRefresh(int flag);

// The 12 status rows shown at the top of the console (also the Status command's reply).
std::vector<std::string> statusRows();

// Set when the next display refresh must rewrite the row of every line in use (a line's
// compression changed).
extern std::atomic<int> listDirty;

} // namespace tc
