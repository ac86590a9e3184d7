#pragma once
#include <string>

namespace tc {

// Reads the arguments after the command word, in order: a number is a decimal integer with an
// optional sign, a word any run of non-blank characters (at most 255 are kept). The first
// argument that does not fit stops the reading: it and every later one keep their presets.
class ArgReader {
  public:
    explicit ArgReader(const char* line);

    // Each returns true and sets `out` when the next argument fits.
    bool number(int& out);
    bool word(std::string& out);

  private:
    void skipBlanks();

    const char* pos_;
    bool stopped_ = false;
};

// The first character of a choice word with bit 5 cleared (so either case), 0 for none.
int choiceLetter(const std::string& word);

// Cuts a final line feed from the text.
void removeFinalLineFeed(std::string& text);

// The rest of the line from word n on (spaces inside kept, a final line feed removed), or
// empty when there is no word n.
std::string restFromWord(const char* line, int n);

} // namespace tc
