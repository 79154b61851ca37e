#include "ConnectionTestKit.h"

#include "IdException.h"

#include <gtest/gtest.h>

namespace {

struct TReplyCase {
    const char* Name;
    std::string Wire;
    int32_t Code;
    std::vector<std::string> Text;
    std::string Unread;
};

TEST(ReadReply, SingleAndMultiLineReplies) {
    const std::vector<TReplyCase> cases = {
        {"single", "220 Service ready\r\n", 220, {"Service ready"}, ""},
        {"multi",
         "230-Welcome\r\n  to the server\r\n230 Done\r\nX",
         230,
         {"Welcome", "he server", "Done"},
         "X"},
        {"ends at a bare code", "230-a\r\n230\r\n", 230, {"a", ""}, ""},
        {"short lines belong to it", "230-a\r\nok\r\n CCC\r\n230 b\r\nX", 230, {"a", "", "", "b"}, "X"},
        {"other code does not end it", "230-a\r\n220 b\r\n230 c\r\n", 230, {"a", "b", "c"}, ""},
        {"case-blind end", "abc-x\r\nABC y\r\n", 0, {"x", "y"}, ""},
        {"blank lines skipped", "\r\n  \r\n226-a\r\n\r\n226 b\r\n", 226, {"a", "b"}, ""},
        {"bare code", "226\r\n", 226, {""}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TConnectionKit kit;
        kit.Handler.Chunk(c.Wire);
        kit.Conn.ReadReply();
        EXPECT_EQ(kit.Conn.LastReply().NumericCode(), c.Code);
        EXPECT_EQ(kit.Conn.LastReply().Text(), c.Text);
        EXPECT_EQ(kit.Unread(), c.Unread);
    }
}

struct TCommandCase {
    const char* Name;
    std::string Reply;
    TIdReplyCodes Allowed;
    int32_t Raised; // -1: no error expected
    int16_t Result;
};

TEST(SendCommand, ChecksTheReplyCode) {
    const std::vector<TCommandCase> cases = {
        {"accepted", "200 ok\r\n", {200}, -1, 200},
        {"one of several", "331 pass\r\n", {230, 331}, -1, 331},
        {"empty set accepts all", "500 no\r\n", {}, -1, 500},
        {"refused", "530 Login incorrect.\r\n", {230}, 530, 0},
        {"code-less line", "hello\r\n", {200}, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TConnectionKit kit;
        kit.Handler.Chunk(c.Reply);
        if (c.Raised >= 0) {
            try {
                kit.Conn.SendCommand("CMD", c.Allowed);
                ADD_FAILURE() << "no exception";
            } catch (const EIdProtocolReplyError& e) {
                EXPECT_EQ(e.ReplyCode, c.Raised);
                EXPECT_EQ(std::string(e.what()), kit.Conn.LastReply().TextWithLineEnds());
            }
        } else {
            EXPECT_EQ(kit.Conn.SendCommand("CMD", c.Allowed), c.Result);
        }
        EXPECT_EQ(kit.Handler.Sent, "CMD\r\n");
    }
}

TEST(SendCommand, SingleCodeForm) {
    TConnectionKit kit;
    kit.Handler.Chunk("500 no\r\nhello\r\n226 ok\r\n");
    EXPECT_EQ(kit.Conn.SendCommand("A"), 500);
    EXPECT_EQ(kit.Conn.SendCommand("B", -1), 0);
    EXPECT_THROW(kit.Conn.SendCommand("C", 200), EIdProtocolReplyError);
    EXPECT_EQ(kit.Conn.LastReply().NumericCode(), 226);
}

TEST(SendCommand, RefusesLineBreaksBeforeSending) {
    for (const std::string command : {"CWD a\r\nDELE b", "CWD a\nb", "CWD a\r"}) {
        TConnectionKit kit;
        EXPECT_THROW(kit.Conn.SendCommand(command), EIdException);
        EXPECT_TRUE(kit.Handler.Sent.empty());
    }
}

TEST(RaiseReplyError, UsesTheGivenClass) {
    TConnectionKit kit;
    kit.Handler.Chunk("550-a\r\n550 b\r\n");
    kit.Conn.ReadReply();
    try {
        kit.Conn.RaiseReplyError(&RaiseAs<EIdFTPFileAlreadyExists>);
        ADD_FAILURE() << "no exception";
    } catch (const EIdFTPFileAlreadyExists& e) {
        EXPECT_EQ(std::string(e.what()), "a\r\nb\r\n");
    }
}

} // namespace
