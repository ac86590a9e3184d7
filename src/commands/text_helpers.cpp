#include "commands/text_helpers.h"

#include <cerrno>
#include <unistd.h>

namespace tc {

const char* nextWord(const char* text, int n) {
    if (text == nullptr || n <= 0) return nullptr;
    bool afterSeparator = true;
    int count = 0;
    for (const char* p = text; *p != '\0' && *p != '\n'; ++p) {
        if (*p == ' ') {
            afterSeparator = true;
        } else if (afterSeparator) {
            afterSeparator = false;
            if (++count == n) return p;
        }
    }
    return nullptr;
}

char* nextWord(char* text, int n) {
    return const_cast<char*>(nextWord(static_cast<const char*>(text), n));
}

namespace {

constexpr int LINE_STORE_LIMIT = 255;

bool readByte(int fd, char* into) {
    ssize_t n;
    do {
        n = ::read(fd, into, 1);
    } while (n < 0 && errno == EINTR);
    return n == 1;
}

} // namespace

int readTextLine(int fd, char* buf) {
    if (!readByte(fd, &buf[0])) {
        buf[0] = '\0';
        return -1;
    }
    int stored = 1;
    for (;;) {
        if (buf[stored - 1] == '\n') {
            buf[stored - 1] = '\0';
            return stored - 1;
        }
        if (stored == LINE_STORE_LIMIT) {
            buf[stored] = '\0';
            return -1;
        }
        if (!readByte(fd, &buf[stored])) {
            buf[stored] = '\0';
            return -1;
        }
        ++stored;
    }
}

} // namespace tc
