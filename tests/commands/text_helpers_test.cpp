// nextWord on command lines and readTextLine on real files.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "commands/text_helpers.h"

namespace tc {
namespace {

TEST(NextWord, FindsTheRestOfTheLineFromWordN) {
    const char* line = "Send 2 Hello  world";
    EXPECT_STREQ(nextWord(line, 3), "Hello  world");
    EXPECT_STREQ(nextWord(line, 1), line);
    EXPECT_STREQ(nextWord("  lead  two", 2), "two");
    EXPECT_STREQ(nextWord("a\tb c", 2), "c"); // a tab is part of a word
    EXPECT_EQ(nextWord("Reply", 2), nullptr);
    EXPECT_EQ(nextWord("Reply   ", 2), nullptr);
    EXPECT_EQ(nextWord("Send 2\nthird", 3), nullptr); // the line ends at its line feed
    EXPECT_STREQ(nextWord("Y pass word\n", 2), "pass word\n");
    EXPECT_EQ(nextWord("", 1), nullptr);
    EXPECT_EQ(nextWord("word", 0), nullptr);
    EXPECT_EQ(nextWord("word", -1), nullptr);
    EXPECT_EQ(nextWord(static_cast<const char*>(nullptr), 1), nullptr);
}

class ReadTextLine : public ::testing::Test {
  protected:
    int fileWith(const std::string& content) {
        FILE* f = tmpfile();
        fputs(content.c_str(), f);
        fflush(f);
        rewind(f);
        files.push_back(f);
        return fileno(f);
    }
    void TearDown() override {
        for (FILE* f : files)
            fclose(f);
    }
    std::vector<FILE*> files;
    char buf[256];
};

TEST_F(ReadTextLine, LinesAndTheLastLineWithoutLineFeed) {
    int fd = fileWith("first\r\n\nlast");
    EXPECT_EQ(readTextLine(fd, buf), 6);
    EXPECT_STREQ(buf, "first\r");
    EXPECT_EQ(readTextLine(fd, buf), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(readTextLine(fd, buf), -1);
    EXPECT_STREQ(buf, "last");
    EXPECT_EQ(readTextLine(fd, buf), -1);
    EXPECT_STREQ(buf, "");
}

TEST_F(ReadTextLine, LongLines) {
    int fd = fileWith(std::string(254, 'a') + "\n" + std::string(255, 'b') + "\n");
    EXPECT_EQ(readTextLine(fd, buf), 254);
    EXPECT_EQ(std::string(buf), std::string(254, 'a'));
    EXPECT_EQ(readTextLine(fd, buf), -1);
    EXPECT_EQ(std::string(buf), std::string(255, 'b'));
}

TEST_F(ReadTextLine, ReadErrorGivesAnEmptyText) {
    buf[0] = 'x';
    EXPECT_EQ(readTextLine(-1, buf), -1);
    EXPECT_STREQ(buf, "");
}

} // namespace
} // namespace tc
