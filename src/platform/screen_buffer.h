#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "platform/console.h"

namespace tc {

// A character screen that follows what is written to a console: the cursor, line breaks,
// wrapping at the last column and scrolling. Rows at the top can be held fixed (the status
// rows); text then scrolls in the rows below them only. Bytes are cells: a byte from 0x80 up
// takes one cell, as on the classic 8-bit console the screen dump reads.
//
// Not thread-safe: the console that owns it locks around every call.
class ScreenBuffer {
  public:
    explicit ScreenBuffer(int columns = CONSOLE_COLUMNS, int rows = CONSOLE_ROWS);

    // Interprets LF (next row, column 0), CR, backspace and tab; other control bytes are not
    // shown. A character written into the last column leaves the cursor there until the next
    // character, which wraps to the next row (so 80 characters and a line break take one row).
    void write(std::string_view text);
    // Draws `rows` into the top rows (cut or padded to the width) and keeps that many rows out
    // of scrolling from now on. A cursor inside them moves to the first scrolling row.
    void setFixedRows(const std::vector<std::string>& rows);
    // Blank screen, cursor home, no fixed rows.
    void clear();

    // Every row, each exactly `columns` characters, blank padded.
    std::vector<std::string> rows() const { return cells_; }
    int cursorRow() const { return row_; }
    int cursorColumn() const { return column_; }
    int fixedRows() const { return fixedRows_; }

  private:
    void newLine();
    void scrollUp();
    void put(char c);

    int columns_;
    int rowCount_;
    std::vector<std::string> cells_;
    int row_ = 0;
    int column_ = 0;
    bool wrapPending_ = false;
    int fixedRows_ = 0;
};

} // namespace tc
