#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CommandLine.h"

using vsim::CommandLine;

TEST(CommandLine, SplitsWordsQuotesAndComments)
{
    struct Case {
        const char* line;
        std::vector<std::string> words;
    } cases[] = {
        {"", {}},
        {"   \t ", {}},
        {"key 5", {"key", "5"}},
        {"  key\t\t5  ", {"key", "5"}},
        {"server text \"hello world\"", {"server", "text", "hello world"}},
        {"server text 'it''s'", {"server", "text", "its"}},
        {"server text \"say \\\"hi\\\" \\\\ now\"", {"server", "text", "say \"hi\" \\ now"}},
        {"server text 'back\\slash'", {"server", "text", "back\\slash"}},
        {"post /control/led led=1 onoff=\"1\"", {"post", "/control/led", "led=1", "onoff=1"}},
        {"text \"\"", {"text", ""}},
        {"# a whole comment", {}},
        {"   #indented comment \"", {}},
        {"key #", {"key", "#"}},
        {"key # and more", {"key", "#", "and", "more"}},
        {"key 5#", {"key", "5#"}},
        {"\"#\" quoted", {"#", "quoted"}},
        {"text \"# kept\"", {"text", "# kept"}},
        {"key 5\r", {"key", "5"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> words = {"stale"};
        std::string error;
        ASSERT_TRUE(CommandLine::split(c.line, &words, &error)) << c.line << ": " << error;
        EXPECT_EQ(words, c.words) << c.line;
    }
}

TEST(CommandLine, RefusesUnterminatedQuotesAndControlCharacters)
{
    const char* lines[] = {"server text \"hello", "server text 'hello", "key \"5\\\"", "key 5\x01", "key\n5"};
    for (const char* line : lines) {
        std::vector<std::string> words;
        std::string error;
        EXPECT_FALSE(CommandLine::split(line, &words, &error)) << line;
        EXPECT_FALSE(error.empty()) << line;
        EXPECT_TRUE(words.empty()) << line;
    }
}

TEST(CommandLine, IntegersMustBeWholeAndInRange)
{
    struct Case {
        const char* word;
        long long lo, hi;
        bool ok;
        long long value;
    } cases[] = {
        {"0", 0, 10, true, 0},
        {"10", 0, 10, true, 10},
        {"11", 0, 10, false, 0},
        {"-1", 0, 10, false, 0},
        {"-1", -1, 10, true, -1},
        {"+7", 0, 10, true, 7},
        {"4294967295", 0, 4294967295LL, true, 4294967295LL},
        {"4294967296", 0, 4294967295LL, false, 0},
        {"99999999999999999999", 0, 1LL << 62, false, 0},
        {"5x", 0, 10, false, 0},
        {"x5", 0, 10, false, 0},
        {" 5", 0, 10, false, 0},
        {"", 0, 10, false, 0},
        {"-", -10, 10, false, 0},
        {"0x10", 0, 100, false, 0},
    };
    for (const Case& c : cases) {
        long long v = 12345;
        EXPECT_EQ(CommandLine::integer(c.word, c.lo, c.hi, &v), c.ok) << c.word;
        EXPECT_EQ(v, c.ok ? c.value : 12345) << c.word;
    }
}
