#include "platform/screen_buffer.h"

#include <algorithm>

namespace tc {

namespace {
constexpr int TAB_WIDTH = 8;
}

ScreenBuffer::ScreenBuffer(int columns, int rows)
    : columns_(std::max(columns, 1)), rowCount_(std::max(rows, 1)) {
    clear();
}

void ScreenBuffer::clear() {
    cells_.assign(static_cast<size_t>(rowCount_), std::string(static_cast<size_t>(columns_), ' '));
    row_ = 0;
    column_ = 0;
    wrapPending_ = false;
    fixedRows_ = 0;
}

void ScreenBuffer::scrollUp() {
    // Only the rows below the fixed ones move.
    auto first = cells_.begin() + fixedRows_;
    std::rotate(first, first + 1, cells_.end());
    cells_.back().assign(static_cast<size_t>(columns_), ' ');
}

void ScreenBuffer::newLine() {
    column_ = 0;
    wrapPending_ = false;
    if (row_ + 1 < rowCount_) {
        ++row_;
    } else {
        scrollUp();
    }
}

void ScreenBuffer::put(char c) {
    if (wrapPending_) newLine();
    cells_[static_cast<size_t>(row_)][static_cast<size_t>(column_)] = c;
    if (column_ + 1 < columns_) {
        ++column_;
    } else {
        wrapPending_ = true;
    }
}

void ScreenBuffer::write(std::string_view text) {
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '\n':
            newLine();
            break;
        case '\r':
            column_ = 0;
            wrapPending_ = false;
            break;
        case '\b':
            wrapPending_ = false;
            if (column_ > 0) --column_;
            break;
        case '\t':
            if (!wrapPending_)
                column_ = std::min(columns_ - 1, (column_ / TAB_WIDTH + 1) * TAB_WIDTH);
            break;
        default:
            if (u >= 0x20 && u != 0x7f) put(c);
            break;
        }
    }
}

void ScreenBuffer::setFixedRows(const std::vector<std::string>& rows) {
    // At least one row must be left to scroll in.
    fixedRows_ = std::min(static_cast<int>(rows.size()), rowCount_ - 1);
    for (int i = 0; i < fixedRows_; ++i) {
        std::string& cells = cells_[static_cast<size_t>(i)];
        const std::string& text = rows[static_cast<size_t>(i)];
        cells.assign(static_cast<size_t>(columns_), ' ');
        for (size_t c = 0; c < text.size() && c < cells.size(); ++c) {
            auto u = static_cast<unsigned char>(text[c]);
            cells[c] = (u < 0x20 || u == 0x7f) ? ' ' : text[c];
        }
    }
    if (row_ < fixedRows_) {
        row_ = fixedRows_;
        column_ = 0;
        wrapPending_ = false;
    }
}

} // namespace tc
