#include "ConnectionTestKit.h"

#include "IdException.h"

#include <cerrno>
#include <cstdio>
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <unistd.h>

namespace {

TEST(Write, TextAndLines) {
    struct TCase {
        std::string Text;
        bool Line;
        std::string Sent;
    };
    const std::vector<TCase> cases = {
        {"", false, ""}, {"", true, "\r\n"}, {"NOOP", true, "NOOP\r\n"}, {"a\0b", false, "a\0b"}};
    for (const auto& c : cases) {
        TConnectionKit kit;
        c.Line ? kit.Conn.WriteLine(c.Text) : kit.Conn.WriteText(c.Text);
        EXPECT_EQ(kit.Handler.Sent, c.Sent);
    }
}

TEST(Write, PartialSendsContinueWithRunningTotals) {
    TConnectionKit kit;
    kit.Handler.SendTakes(3).SendTakes(1);
    kit.Conn.StartWork(wmWrite, 10);
    kit.Conn.WriteText("0123456789");
    kit.Conn.FinishWork(wmWrite);
    EXPECT_EQ(kit.Handler.Sent, "0123456789");
    EXPECT_EQ(kit.Handler.SendSizes, (std::vector<int32_t>{10, 7, 6}));
    EXPECT_EQ(kit.Events, (std::vector<std::string>{"w begin 10", "w 3", "w 4", "w 10", "w end"}));
}

struct TSendFailure {
    const char* Name;
    int Errno;    // 0: the send returns 0
    int32_t Code; // expected EIdSocketError code, 0 for a graceful close
    bool Dropped;
};

TEST(Write, SendFailures) {
    const std::vector<TSendFailure> cases = {
        {"peer closed", 0, 0, true},
        {"reset drops", ECONNRESET, 10054, true},
        {"broken pipe drops", EPIPE, 10058, true},
        {"other error keeps socket", EINVAL, 10022, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TConnectionKit kit;
        c.Errno == 0 ? kit.Handler.SendTakes(0) : kit.Handler.SendFails(c.Errno);
        if (c.Code == 0) {
            EXPECT_THROW(kit.Conn.WriteText("x"), EIdConnClosedGracefully);
        } else {
            try {
                kit.Conn.WriteText("x");
                ADD_FAILURE() << "no exception";
            } catch (const EIdSocketError& e) {
                EXPECT_EQ(e.ErrorCode, c.Code);
            }
        }
        EXPECT_EQ(kit.Handler.IsOpen(), !c.Dropped);
    }
}

TEST(Write, NotConnectedSendsNothing) {
    TIdTCPConnection conn;
    EXPECT_THROW(conn.WriteText("x"), EIdNotConnected);
    TConnectionKit kit;
    kit.Handler.Shut();
    EXPECT_THROW(kit.Conn.WriteText("x"), EIdConnClosedGracefully);
    EXPECT_TRUE(kit.Handler.Sent.empty());
}

TEST(Write, Int32InNetworkOrder) {
    TConnectionKit kit;
    kit.Conn.WriteInt32(0x01020304, true);
    kit.Conn.WriteInt32(0x01020304, false);
    EXPECT_EQ(kit.Handler.Sent, std::string("\x01\x02\x03\x04\x04\x03\x02\x01", 8));
}

struct TStreamCase {
    const char* Name;
    int64_t StartAt;
    bool FromStart;
    bool Prefix;
    int64_t Size;
    int32_t BufferSize;
    std::string Sent;
    std::vector<std::string> Events;
};

TEST(SendStream, SendsTheRequestedPart) {
    const std::vector<TStreamCase> cases = {
        {"whole from start", 3, true, false, 0, 32768, "abcdefgh", {"w begin 8", "w 8", "w end"}},
        {"rest from position", 3, false, false, 0, 32768, "defgh", {"w begin 5", "w 5", "w end"}},
        {"exact size", 1, false, false, 3, 32768, "bcd", {"w begin 3", "w 3", "w end"}},
        {"chunks", 0, true, false, 0, 3, "abcdefgh", {"w begin 8", "w 3", "w 6", "w 8", "w end"}},
        {"prefix counts as no work",
         0,
         true,
         true,
         5,
         32768,
         std::string("\0\0\0\x05", 4) + "abcde",
         {"w begin 5", "w 5", "w end"}},
        {"empty part", 8, false, false, 0, 32768, "", {"w begin 0", "w end"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TConnectionKit kit;
        kit.Conn.SendBufferSize = c.BufferSize;
        TIdMemoryStream stream;
        stream.WriteBuffer("abcdefgh", 8);
        stream.SetPosition(c.StartAt);
        kit.Conn.SendStream(stream, c.FromStart, c.Prefix, c.Size);
        EXPECT_EQ(kit.Handler.Sent, c.Sent);
        EXPECT_EQ(kit.Events, c.Events);
    }
}

TEST(SendStream, ShortSourceRaisesAndEndsWork) {
    TConnectionKit kit;
    TIdMemoryStream stream;
    stream.WriteBuffer("abc", 3);
    stream.SetPosition(0);
    EXPECT_THROW(kit.Conn.SendStream(stream, false, false, 10), EIdNoDataToRead);
    EXPECT_EQ(kit.Handler.Sent, "abc");
    EXPECT_EQ(kit.Events.back(), "w end");
    EXPECT_EQ(kit.Conn.WorkTally(wmWrite).Nesting, 0);
}

TEST(SendStream, SendFailureEndsWork) {
    TConnectionKit kit;
    kit.Handler.SendFails(ECONNRESET);
    TIdMemoryStream stream;
    stream.WriteBuffer("abc", 3);
    EXPECT_THROW(kit.Conn.SendStream(stream), EIdSocketError);
    EXPECT_EQ(kit.Events.back(), "w end");
}

// A work-end handler that throws while a transport failure unwinds must not
// end the process: the transport failure propagates, work-end is reported.
TEST(WorkEnd, ThrowingHandlerDuringATransportFailure) {
    const struct {
        const char* Name;
        std::function<void(TConnectionKit&)> Run;
    } cases[] = {
        {"SendStream",
         [](TConnectionKit& k) {
             k.Handler.SendFails(ECONNRESET);
             TIdMemoryStream stream;
             stream.WriteBuffer("abc", 3);
             k.Conn.SendStream(stream);
         }},
        {"ReadUntilClosed",
         [](TConnectionKit& k) {
             k.Handler.Error(ECONNRESET);
             k.Conn.ReadUntilClosed();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TConnectionKit kit;
        int ends = 0;
        kit.Conn.OnWorkEnd = [&](TIdComponent*, TWorkMode) {
            ++ends;
            throw std::runtime_error("handler");
        };
        try {
            c.Run(kit);
            ADD_FAILURE() << "no exception";
        } catch (const EIdSocketError& e) {
            EXPECT_EQ(e.ErrorCode, 10054);
        }
        EXPECT_EQ(ends, 1);
        EXPECT_EQ(kit.Conn.WorkTally(wmRead).Nesting + kit.Conn.WorkTally(wmWrite).Nesting, 0);
    }
}

// The prefix has four bytes: a count it cannot hold is refused before
// anything is sent, never cut to its low 32 bits.
TEST(SendStream, SizePrefixRefusesFourGiBAndMore) {
    TConnectionKit kit;
    TIdMemoryStream stream;
    try {
        kit.Conn.SendStream(stream, false, true, int64_t{1} << 32);
        ADD_FAILURE() << "no exception";
    } catch (const EIdException& e) {
        EXPECT_STREQ(e.what(), "A stream of 4294967296 bytes does not fit a 4-byte size prefix.");
    }
    EXPECT_EQ(kit.Handler.Sent, "");
}

TEST(SendFile, SendsTheFileOrRaisesForAMissingOne) {
    char name[] = "/tmp/quorvan-sendfile-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "file body", 9), 9);
    close(fd);
    TConnectionKit kit;
    EXPECT_EQ(kit.Conn.SendFile(name), 9);
    EXPECT_EQ(kit.Handler.Sent, "file body");
    unlink(name);
    try {
        kit.Conn.SendFile(name);
        ADD_FAILURE() << "no exception";
    } catch (const EIdFileNotFound& e) {
        EXPECT_EQ(std::string(e.what()), std::string("File \"") + name + "\" not found");
    }
}

} // namespace
