#include "IdRFCReply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ParseCase {
    const char* name;
    std::vector<std::string> lines;
    int32_t numericCode;
    std::string textCode;
    std::vector<std::string> text;
};

class ReplyParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ReplyParseTest, CodeAndTextFromRawLines) {
    const ParseCase& c = GetParam();
    TIdRFCReply reply;
    reply.SetTextCode("999");
    reply.SetText({"stale"});
    reply.ParseLines(c.lines);
    EXPECT_EQ(reply.NumericCode(), c.numericCode);
    EXPECT_EQ(reply.TextCode(), c.textCode);
    EXPECT_EQ(reply.Text(), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ReplyParseTest,
    ::testing::Values(ParseCase{"single", {"220 Service ready"}, 220, "220", {"Service ready"}},
                      ParseCase{"multi",
                                {"230-Welcome", "to the server", "230 Done"},
                                230,
                                "230",
                                {"Welcome", "he server", "Done"}},
                      ParseCase{"bareCode", {"226"}, 226, "226", {""}},
                      ParseCase{"hyphenOnly", {"226-"}, 226, "226", {""}},
                      ParseCase{"noCode", {"hello"}, 0, "hell", {"o"}},
                      ParseCase{"short", {"ok"}, 0, "ok", {""}}, ParseCase{"empty", {}, 0, "", {}},
                      ParseCase{"exactlyFour", {"250 "}, 250, "250", {""}}),
    [](const auto& info) { return std::string(info.param.name); });

struct CouplingCase {
    const char* name;
    bool writeNumeric;
    int32_t numeric;
    std::string textCode;
    int32_t expectNumeric;
    std::string expectText;
};

class ReplyCouplingTest : public ::testing::TestWithParam<CouplingCase> {};

TEST_P(ReplyCouplingTest, WritingOneCodeFormUpdatesTheOther) {
    const CouplingCase& c = GetParam();
    TIdRFCReply reply;
    reply.SetTextCode("150");
    if (c.writeNumeric) {
        reply.SetNumericCode(c.numeric);
    } else {
        reply.SetTextCode(c.textCode);
    }
    EXPECT_EQ(reply.NumericCode(), c.expectNumeric);
    EXPECT_EQ(reply.TextCode(), c.expectText);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ReplyCouplingTest,
    ::testing::Values(CouplingCase{"numericPositive", true, 421, "", 421, "421"},
                      CouplingCase{"numericZeroKeepsText", true, 0, "", 0, "150"},
                      CouplingCase{"numericNegativeKeepsText", true, -5, "", -5, "150"},
                      CouplingCase{"textNumber", false, 0, "331", 331, "331"},
                      CouplingCase{"textEmptyKeepsNumber", false, 0, "", 150, ""},
                      CouplingCase{"textNotANumber", false, 0, "abc", 0, "abc"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReplyCopy, CopyReplacesEverythingAndIsIndependent) {
    TIdRFCReply source;
    source.ParseLines({"257-\"/a\" created", "257 end"});
    TIdRFCReply target;
    target.ParseLines({"500 x", "500 y", "500 z"});
    target.CopyFrom(source);
    source.ParseLines({"200 changed"});
    EXPECT_EQ(target.NumericCode(), 257);
    EXPECT_EQ(target.TextCode(), "257");
    EXPECT_EQ(target.Text(), (std::vector<std::string>{"\"/a\" created", "end"}));
    EXPECT_EQ(target.TextWithLineEnds(), "\"/a\" created\r\nend\r\n");
}

} // namespace
