#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace tc {

constexpr int CONSOLE_COLUMNS = 80;
constexpr int CONSOLE_ROWS = 50;
constexpr int STATUS_ROWS = 12;

// The text console: where commands are typed and messages are shown. The terminal console
// (stdin/stdout) and the window console (Qt) implement it; tests use a fake.
class Console {
  public:
    virtual ~Console() = default;
    // Writes the text unchanged (one write per call).
    virtual void write(std::string_view text) = 0;
    // Reads one typed line without its line break. Returns 0 with a line, 1 at end of input
    // (Ctrl+D, or a pipe that has ended), -1 when the console is being closed.
    virtual int readLine(std::string& line) = 0;
    // Draws the status rows at the top of the console, where the console can.
    virtual void setStatusRows(const std::vector<std::string>& rows) { (void)rows; }
    // The visible screen, CONSOLE_ROWS rows of CONSOLE_COLUMNS characters (blank padded).
    virtual std::vector<std::string> screen() const = 0;
};

} // namespace tc
