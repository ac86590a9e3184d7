#include "commands/command_args.h"

#include <algorithm>
#include <cctype>
#include <climits>

#include "commands/command_thread.h"
#include "commands/text_helpers.h"

namespace tc {

namespace {

bool isBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

ArgReader::ArgReader(const char* line) : pos_(line ? line : "") {
    // Past the command word: only its first character counts.
    skipBlanks();
    while (*pos_ != '\0' && !isBlank(*pos_))
        ++pos_;
}

void ArgReader::skipBlanks() {
    while (*pos_ != '\0' && isBlank(*pos_))
        ++pos_;
}

bool ArgReader::number(int& out) {
    if (stopped_) return false;
    skipBlanks();
    const char* p = pos_;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (!isDigit(*p)) {
        stopped_ = true;
        return false;
    }
    long long value = 0;
    for (; isDigit(*p); ++p) {
        // Saturates far outside every valid range instead of overflowing.
        if (value <= INT_MAX) value = value * 10 + (*p - '0');
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    if (value < INT_MIN) value = INT_MIN;
    out = static_cast<int>(value);
    pos_ = p;
    return true;
}

bool ArgReader::word(std::string& out) {
    if (stopped_) return false;
    skipBlanks();
    if (*pos_ == '\0') {
        stopped_ = true;
        return false;
    }
    const char* start = pos_;
    while (*pos_ != '\0' && !isBlank(*pos_))
        ++pos_;
    size_t length = static_cast<size_t>(pos_ - start);
    out.assign(start, std::min<size_t>(length, WORD_BYTES - 1));
    return true;
}

int choiceLetter(const std::string& word) {
    if (word.empty()) return 0;
    return static_cast<unsigned char>(word[0]) & ~0x20;
}

void removeFinalLineFeed(std::string& text) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
}

std::string restFromWord(const char* line, int n) {
    const char* rest = nextWord(line, n);
    if (rest == nullptr) return {};
    std::string text(rest);
    removeFinalLineFeed(text);
    return text;
}

} // namespace tc
