#include "ui/line_list.h"

#include "audio/audio_engine.h"
#include "core/line_table.h"
#include "core/output.h"
#include "core/status_rows.h"
#include "core/window_hooks.h"
#include "platform/console.h"
#include "ui/window_model.h"

namespace tc {

namespace {

Control controlOf(WindowText which) {
    switch (which) {
    case WindowText::hubButton:
        return Control::hubButton;
    case WindowText::answerButton:
        return Control::answerButton;
    case WindowText::idLabel:
        return Control::idLabel;
    case WindowText::messageLabel:
        return Control::messageLabel;
    case WindowText::forwardPortLabel:
        return Control::forwardPortLabel;
    case WindowText::muteButton:
        return Control::muteButton;
    case WindowText::hostField:
        return Control::hostField;
    case WindowText::portField:
        return Control::portField;
    case WindowText::pswdField:
        return Control::pswdField;
    case WindowText::panel:
        break;
    }
    return Control::panelWindow;
}

// The row of `line`, or -1; the model lock is held.
int rowOfLine(int line) {
    for (int r = 0; r < MAX_LINES; ++r)
        if (windowModel.listRowLine[r] == line) return r;
    return -1;
}

// Deletes row r and moves the rows below it up; the model lock is held.
void deleteRow(int r) {
    auto& m = windowModel;
    if (static_cast<size_t>(r) < m.lineRows.size()) m.lineRows.erase(m.lineRows.begin() + r);
    if (static_cast<size_t>(r) < m.lineRowSelected.size())
        m.lineRowSelected.erase(m.lineRowSelected.begin() + r);
    for (int i = r; i < MAX_LINES - 1; ++i)
        m.listRowLine[i] = m.listRowLine[i + 1];
    m.listRowLine[MAX_LINES - 1] = -1;
}

// Writes the row of `line`: in place (keeping its selection) or appended; the model lock is
// held.
void writeRow(int line, const std::string& text) {
    auto& m = windowModel;
    int r = rowOfLine(line);
    if (r >= 0) {
        m.lineRows[r] = text;
        return;
    }
    size_t next = m.lineRows.size();
    if (next >= static_cast<size_t>(MAX_LINES)) return; // every row is taken: no room
    m.lineRows.push_back(text);
    m.lineRowSelected.resize(next + 1, false);
    m.listRowLine[next] = line;
}

// Keeps the rows true to the lines: a row whose line was given back goes, and a row whose text
// changed (a peer's ID arrived, a compression switch) is rewritten in place. Rows are added by
// the row update when a call comes up; only a rewrite of every row (`rewriteAll`, after a
// compression switch) gives a row to a line in use that has none and is not ending.
void syncRows(bool rewriteAll) {
    std::string texts[MAX_LINES];
    bool used[MAX_LINES];
    bool ending[MAX_LINES];
    for (int n = 0; n < MAX_LINES; ++n) {
        used[n] = lineTable[n].inUse != 0;
        ending[n] = lineTable[n].ending != 0;
        if (used[n]) texts[n] = lineRowText(n);
    }
    bool changed = false;
    {
        std::lock_guard lock(windowModel.mutex);
        for (int r = MAX_LINES - 1; r >= 0; --r) {
            int line = windowModel.listRowLine[r];
            if (line >= 0 && !used[line]) {
                deleteRow(r);
                changed = true;
            }
        }
        for (int n = 0; n < MAX_LINES; ++n) {
            if (!used[n]) continue;
            int r = rowOfLine(n);
            if (r < 0 && (!rewriteAll || ending[n])) continue;
            if (r >= 0 && windowModel.lineRows[r] == texts[n]) continue;
            writeRow(n, texts[n]);
            changed = true;
        }
    }
    if (changed) {
        displayDirty = 1;
        touchWindowModel();
    }
}

void showOverload(bool overloaded) {
    if (controlVisible(Control::overloadLabel) != overloaded)
        setControlVisible(Control::overloadLabel, overloaded);
}

void drawStatusRows(const std::vector<std::string>& rows) {
    showStatusRows(rows);
}

} // namespace

void applyRowUpdate(int code) {
    displayDirty = 1;
    if (code >= ROW_REMOVE) {
        int line = (code - ROW_REMOVE) & 0xFF;
        std::lock_guard lock(windowModel.mutex);
        int r = rowOfLine(line);
        if (r >= 0) deleteRow(r);
    } else if (code >= 0 && code < MAX_LINES) {
        std::string text = lineRowText(code);
        std::lock_guard lock(windowModel.mutex);
        writeRow(code, text);
    }
    touchWindowModel();
    displayDirty = 1;
    stateColumnRefresh();
}

std::vector<int> selectedRowLines() {
    std::vector<int> lines;
    std::lock_guard lock(windowModel.mutex);
    for (int r = 0; r < MAX_LINES; ++r) {
        int line = windowModel.listRowLine[r];
        bool selected = static_cast<size_t>(r) < windowModel.lineRowSelected.size() &&
                        windowModel.lineRowSelected[r];
        if (line >= 0 && selected) lines.push_back(line);
    }
    return lines;
}

std::vector<int> listRowLines() {
    std::lock_guard lock(windowModel.mutex);
    return {windowModel.listRowLine.begin(), windowModel.listRowLine.end()};
}

void stateColumnRefresh() {
    if (displayDirty.exchange(0) == 0) return;
    std::string column;
    {
        std::lock_guard lock(windowModel.mutex);
        for (int r = 0; r < MAX_LINES; ++r) {
            int line = windowModel.listRowLine[r];
            if (line < 0) continue;
            if (!column.empty()) column += "\n";
            column += lineStateWord(line);
        }
    }
    setControlText(Control::stateColumn, column);
}

void displayRefresh(int flag) {
    if (flag != 0) return;
    std::string clock = dateAndTime();
    setControlText(Control::clockLabel, clock);
    bool overloaded = audioOverloaded();
    showOverload(overloaded);
    syncRows(listDirty.exchange(0) != 0);
    stateColumnRefresh();
    drawStatusRows(statusRows(clock, overloaded));
}

void installWindowHooks() {
    windowHooks.setText = [](WindowText which, const std::string& text) {
        setControlText(controlOf(which), text);
    };
    windowHooks.rowUpdate = applyRowUpdate;
    windowHooks.selectedLines = selectedRowLines;
    windowHooks.refreshMenuChecks = updateMenuChecks;
    windowHooks.showWindow = setWindowShown;
}

} // namespace tc
