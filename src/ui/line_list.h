#pragma once
#include <string>
#include <vector>

namespace tc {

// Writes the row of line `code` (0 to 7) in the line list, appending it when the line has no
// row yet; ROW_REMOVE + n removes the row of line n and moves the rows below it up. A rewritten
// row keeps its selection. Sets displayDirty and refreshes the state column. (Lower layers call
// it as rowUpdate().)
void applyRowUpdate(int code);

// The lines whose rows are selected, in row order. (Lower layers call it as getSelectedLines().)
std::vector<int> selectedRowLines();

// The line shown in each row (8 entries, -1 for no row).
std::vector<int> listRowLines();

// Rebuilds the state column (one state word per row) when displayDirty is set.
void stateColumnRefresh();

// The display refresh run by the supervisor every 500 ms: the clock label, the rows of the line
// list (rows of lines given back removed, changed rows rewritten, every row rewritten after
// listDirty), the state column, the overload indicator and the console status rows. Any flag
// other than 0 does nothing.
void displayRefresh(int flag);

// Fills in the window hooks of the lower layers with the window model (start-up, and tests that
// watch the model).
void installWindowHooks();

} // namespace tc
