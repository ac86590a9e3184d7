#pragma once
#include <atomic>
#include <string>
#include <vector>

namespace tc {

// Code of rowUpdate that removes the row of line n: ROW_REMOVE + n.
constexpr int ROW_REMOVE = 256;

// Writes the row of line `code` (0 to 7) in the line list, appending it when the line has no
// row yet; ROW_REMOVE + n removes the row of line n and moves the rows below it up. A rewritten
// row keeps its selection. Sets displayDirty and refreshes the state column.
void rowUpdate(int code);

// The lines whose rows are selected, in row order.
std::vector<int> getSelectedLines();

// The line shown in each row (8 entries, -1 for no row).
std::vector<int> listRowLines();

// Rebuilds the state column (one state word per row) when displayDirty is set.
void stateColumnRefresh();

// The display refresh run by the supervisor every 500 ms: the clock label, the rows of the line
// list (rows of lines given back removed, changed rows rewritten, every row rewritten after
// listDirty), the state column, the overload indicator and the console status rows. Any flag
// other than 0 does nothing.
void displayRefresh(int flag);

// The 12 status rows shown at the top of the console (also the Status command's reply).
std::vector<std::string> statusRows();

// Set when the next display refresh must rewrite the row of every line in use (a line's
// compression changed).
extern std::atomic<int> listDirty;

// The row text of line n in the line list, and its 7-character state word.
std::string lineRowText(int n);
const char* lineStateWord(int n);

} // namespace tc
