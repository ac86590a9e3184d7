// A text file read line by line with readTextLine until its end: lines of any length and bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

#include "commands/text_helpers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int fd = memfd_create("text_line", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        abort();
    lseek(fd, 0, SEEK_SET);
    char buf[257];
    buf[256] = 'x'; // never written: a line and its terminator fit in 256 bytes
    for (off_t at = 0;;) {
        int n = tc::readTextLine(fd, buf);
        off_t now = lseek(fd, 0, SEEK_CUR);
        if (buf[256] != 'x' || n > 254) __builtin_trap();
        if (n >= 0 && (buf[n] != '\0' || now != at + n + 1)) __builtin_trap();
        if (now == at) break; // the end of the file: nothing was taken
        if (n < 0 && now != static_cast<off_t>(size) && now != at + 255) __builtin_trap();
        at = now;
    }
    return 0;
}
