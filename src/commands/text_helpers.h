#pragma once

namespace tc {

// The n-th word (counted from 1) of a command line: a pointer into `text` at its first
// character, or null when the text has fewer than n words before its end or its first line
// feed. Only the space separates words. Everything from the pointer on is the rest of the line.
const char* nextWord(const char* text, int n);
char* nextWord(char* text, int n);

// Reads one line of a text file with single-byte reads into buf (at least 256 bytes). Returns
// its length without the line feed, or -1 at end of file, on a read error or when the line is
// longer than 254 characters (buf then holds its first 255). buf is always terminated.
int readTextLine(int fd, char* buf);

} // namespace tc
