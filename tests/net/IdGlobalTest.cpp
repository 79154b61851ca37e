#include "IdGlobal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(CutToken, CutsRepeatedlyAndLeavesTheRest) {
    struct Case {
        std::string input;
        std::vector<std::string> tokens; // successive tokens, each cut with "."
        std::string rest;
    };
    const std::vector<Case> cases = {
        {"a.b.c", {"a"}, "b.c"},
        {"abc", {"abc"}, ""},
        {"", {""}, ""},
        {"1..2", {"1", "", "2"}, ""},
        {"trailing.", {"trailing", ""}, ""},
    };
    for (const Case& c : cases) {
        std::string input = c.input;
        for (const std::string& expected : c.tokens) {
            EXPECT_EQ(CutToken(input, "."), expected) << "input '" << c.input << "'";
        }
        EXPECT_EQ(input, c.rest) << "input '" << c.input << "'";
    }
}

TEST(CutToken, MultiByteAndNulDelimitersAndCaseFolding) {
    std::string input = "USER abc\r\nPASS x";
    EXPECT_EQ(CutToken(input, "\r\n"), "USER abc");
    EXPECT_EQ(input, "PASS x");

    std::string withNul("ab\0cd", 5);
    EXPECT_EQ(CutToken(withNul, std::string(1, '\0')), "ab");
    EXPECT_EQ(withNul, "cd");

    std::string mixed = "fooXbar";
    EXPECT_EQ(CutToken(mixed, "x", true, false), "foo");
    EXPECT_EQ(mixed, "bar");

    std::string kept = "a.b";
    EXPECT_EQ(CutToken(kept, ".", false), "a");
    EXPECT_EQ(kept, "a.b") << "without Delete the input stays";
}

TEST(ReversePos, FindsTheLastOccurrenceAtOrBeforeStart) {
    struct Case {
        std::string sub, text;
        int32_t start, expected;
    };
    const std::vector<Case> cases = {
        {" ", "x 1,2,3,4,5,6", -1, 2},
        {"", "abc", -1, 4},
        {"AB", "xabyab", -1, 5},
        {"ab", "xabyab", 4, 2},
        {"ab", "xabyab", 100, 5},
        {"ab", "xabyab", 0, 0},
        {"zz", "xabyab", -1, 0},
        {"abc", "ab", -1, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ReversePos(c.sub, c.text, c.start), c.expected)
            << "'" << c.sub << "' in '" << c.text << "' from " << c.start;
    }
}

TEST(Search, PositionsAreOneBasedAndStayInsideTheText) {
    EXPECT_EQ(TextPos("b", "abcb"), 2);
    EXPECT_EQ(TextPos("", "abc"), 0);
    EXPECT_EQ(PosFrom("b", "abcb", 3), 4);
    EXPECT_EQ(PosFrom("b", "abcb", 0), 2);
    EXPECT_EQ(PosFrom("cb", "abcb", 4), 0) << "a match must fit wholly inside the text";
    EXPECT_EQ(PosFrom("abcde", "abcd", 1), 0);
    EXPECT_EQ(PosFrom("b", "abcb", 100), 0);

    const char buffer[] = {'x', '\r', '\n', 'y', '\n'};
    EXPECT_EQ(BufferPos("\n", buffer, 5), 3);
    EXPECT_EQ(BufferPos("\n", buffer, 2), 0) << "only the first Size bytes count";
    EXPECT_EQ(BufferPos("\r\n", nullptr, 1), 0) << "a Size below the length never reads the buffer";
    EXPECT_EQ(BufferPos("", buffer, 5), 0);
}

TEST(IndexInStrings, ExactOrCaseInsensitive) {
    const std::vector<std::string> items = {"alpha", "Beta", "beta"};
    EXPECT_EQ(IndexInStrings("beta", items, true), 2);
    EXPECT_EQ(IndexInStrings("BETA", items, false), 1);
    EXPECT_EQ(IndexInStrings("BETA", items, true), -1);
    EXPECT_EQ(IndexInStrings("x", {}, false), -1);
}

TEST(MonthFromName, OnlyTheTwelveThreeLetterNames) {
    const std::vector<std::pair<std::string, int32_t>> cases = {
        {"jan", 1}, {"Feb", 2}, {"DEC", 12}, {"Sept", 0}, {"", 0}, {"ja", 0}, {"mai", 0}};
    for (const auto& [name, month] : cases) {
        EXPECT_EQ(MonthFromName(name), month) << name;
    }
}

TEST(SplitColumns, ColumnsCarryTheirPositionInTheLine) {
    TIdColumns columns;
    SplitColumns("  a  b ", columns, " ");
    ASSERT_EQ(columns.size(), 2u);
    EXPECT_EQ(columns[0].Text, "a");
    EXPECT_EQ(columns[0].Position, 3);
    EXPECT_EQ(columns[1].Text, "b");
    EXPECT_EQ(columns[1].Position, 6);

    SplitColumns("x \t y", columns, " ");
    ASSERT_EQ(columns.size(), 3u) << "a piece of tabs is kept as an empty column";
    EXPECT_EQ(columns[1].Text, "");
    EXPECT_EQ(columns[2].Text, "y");
    EXPECT_EQ(columns[2].Position, 5);

    SplitColumns(" \t ", columns, " ");
    EXPECT_TRUE(columns.empty());
}

TEST(SmallHelpers, BlankLinesAndMinimum) {
    EXPECT_TRUE(IsBlankLine(""));
    EXPECT_TRUE(IsBlankLine(" \t "));
    EXPECT_FALSE(IsBlankLine(" x"));
    EXPECT_FALSE(IsBlankLine("\r"));
    EXPECT_EQ(MinOf(3, -4), -4);
    EXPECT_EQ(MinOf(-4, 3), -4);
    EXPECT_TRUE(IsMainThread());
}

// Every byte below 0x20 and 0x7F is shown, never passed to a terminal; a
// backslash is doubled so an escape cannot be faked. UTF-8 stays as it is.
TEST(SmallHelpers, EscapeControlAndUnsafeNames) {
    EXPECT_EQ(EscapeControl(std::string("a\0\t\r\n\x1b[2J\x1f\x7f\\x1b ä", 18)),
              "a\\x00\\x09\\x0d\\x0a\\x1b[2J\\x1f\\x7f\\\\x1b ä");
    for (const std::string& name : std::vector<std::string>{"", ".", "..", "../x", "a/b", "a\\b",
                                                            std::string("n\0", 2), "l\r\n"}) {
        EXPECT_FALSE(IsSafeEntryName(name)) << EscapeControl(name);
    }
    for (const char* name : {"...", ".x", "-dash", "100%", "a  b", "räk"}) {
        EXPECT_TRUE(IsSafeEntryName(name)) << name;
    }
}

} // namespace

namespace {

TEST(TryStrToInt, WholeTextWithinTheTypesRange) {
    struct Case {
        std::string text;
        bool ok;
        int64_t value;
    };
    const std::vector<Case> cases = {
        {"0", true, 0},
        {"+42", true, 42},
        {"-2147483648", true, INT32_MIN},
        {"2147483647", true, INT32_MAX},
        {"2147483648", false, 0},
        {"-2147483649", false, 0},
        {"", false, 0},
        {"-", false, 0},
        {" 1", false, 0},
        {"1 ", false, 0},
        {"12a", false, 0},
        {"99999999999999999999", false, 0},
    };
    for (const Case& c : cases) {
        int32_t value = 7;
        EXPECT_EQ(TryStrToInt(c.text, value), c.ok) << "'" << c.text << "'";
        EXPECT_EQ(value, c.ok ? c.value : 7) << "'" << c.text << "'";
    }
    int64_t wide = 0;
    EXPECT_TRUE(TryStrToInt("9223372036854775807", wide));
    EXPECT_EQ(wide, INT64_MAX);
}

} // namespace
