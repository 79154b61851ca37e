#include "ConnectionTestKit.h"

#include "IdException.h"

#include <cerrno>
#include <gtest/gtest.h>

namespace {

struct TLineCase {
    const char* Name;
    std::vector<std::string> Chunks;
    std::string Terminator;
    std::vector<std::string> Lines;
    std::string Unread;
};

TEST(ReadLine, SplitsTerminatesAndKeepsTheRest) {
    const std::vector<TLineCase> cases = {
        {"crlf", {"abc\r\n"}, "", {"abc"}, ""},
        {"lf", {"abc\n"}, "", {"abc"}, ""},
        {"crlf alone", {"\r\n"}, "", {""}, ""},
        {"only the last cr goes", {"abc\r\r\n"}, "", {"abc\r"}, ""},
        {"lone cr kept", {"a\rb\n"}, "", {"a\rb"}, ""},
        {"across chunks", {"ab", "c\r", "\nde"}, "", {"abc"}, "de"},
        {"two lines one chunk", {"x\ny\r\nz"}, "", {"x", "y"}, "z"},
        {"other terminator keeps cr", {"abc\r|rest"}, "|", {"abc\r"}, "rest"},
        {"two-byte terminator split over receives", {"ab\r", "\ncd"}, "\r\n", {"ab"}, "cd"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TConnectionKit kit;
        for (const auto& chunk : c.Chunks) {
            kit.Handler.Chunk(chunk);
        }
        for (const auto& expected : c.Lines) {
            EXPECT_EQ(kit.Conn.ReadLine(c.Terminator), expected);
        }
        EXPECT_EQ(kit.Unread(), c.Unread);
    }
}

struct TMaxCase {
    const char* Name;
    int32_t MaxLength;
    TIdMaxLineAction Action;
    std::string Data;
    bool Raises;
    std::vector<size_t> Pieces; // lengths returned in order
    std::vector<bool> Split;
};

TEST(ReadLine, LongLinesRaiseOrSplit) {
    const std::string atLimit(16384, 'a');
    const std::vector<TMaxCase> cases = {
        {"exactly the limit", -1, maException, atLimit + "\n", false, {16384}, {false}},
        {"one byte over", -1, maException, atLimit + "b\n", true, {}, {}},
        {"no terminator yet and over", -1, maException, atLimit + "bb", true, {}, {}},
        {"zero means no limit",
         0,
         maException,
         std::string(40000, 'c') + "\n",
         false,
         {40000},
         {false}},
        {"split", -1, maSplit, std::string(20000, 'd') + "\n", false, {16384, 3616}, {true, false}},
        {"split without terminator", -1, maSplit, std::string(16385, 'e'), false, {16384}, {true}},
        {"explicit max", 3, maException, "abcd\n", true, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TConnectionKit kit;
        kit.Conn.MaxLineAction = c.Action;
        kit.Handler.Chunk(c.Data);
        if (c.Raises) {
            EXPECT_THROW(kit.Conn.ReadLine("", -1, c.MaxLength), EIdReadLnMaxLineLengthExceeded);
            // The over-long line stays where it was.
            EXPECT_EQ(kit.Unread(), c.Data.substr(0, kit.Unread().size()));
            EXPECT_GT(kit.Unread().size(), 3u);
            continue;
        }
        for (size_t i = 0; i < c.Pieces.size(); ++i) {
            EXPECT_EQ(kit.Conn.ReadLine("", -1, c.MaxLength).size(), c.Pieces[i]);
            EXPECT_EQ(kit.Conn.LineWasSplit, c.Split[i]);
        }
    }
}

TEST(ReadLine, CloseWithoutTerminatorLeavesBytesThenRaises) {
    TConnectionKit kit;
    kit.Handler.Chunk("abc").Close();
    EXPECT_EQ(kit.Conn.ReadLine(), "");
    EXPECT_TRUE(kit.Conn.LineIncomplete);
    EXPECT_EQ(kit.Unread(), "abc");
    EXPECT_THROW(kit.Conn.ReadLine(), EIdConnClosedGracefully);
    EXPECT_EQ(kit.Unread(), "abc");
    // The close is reported once, however often it is noticed again.
    EXPECT_EQ(kit.Events, (std::vector<std::string>{"status Disconnected.", "disconnected"}));
    EXPECT_EQ(kit.Handler.ShutCount, 1);
}

TEST(ReadLine, CloseWithNothingUnreadRaisesAtOnce) {
    TConnectionKit kit;
    kit.Handler.Close();
    EXPECT_THROW(kit.Conn.ReadLine(), EIdConnClosedGracefully);
    EXPECT_TRUE(kit.Conn.PeerClosed);
    EXPECT_FALSE(kit.Conn.IsConnected());
}

TEST(ReadLine, ExpiredWaitRaisesAndConnectionStaysUsable) {
    TConnectionKit kit;
    kit.Conn.ReadTimeout = 500;
    kit.Handler.Chunk("ab").WaitExpires().Chunk("c\n");
    EXPECT_THROW(kit.Conn.ReadLine(), EIdReadTimeout);
    EXPECT_EQ(kit.Conn.ReadLine(), "abc");
    EXPECT_EQ(kit.Handler.WaitTimeouts, (std::vector<int32_t>{500, 500, 500}));
}

TEST(ReadLine, ExplicitTimeoutEndsWithIncompleteLine) {
    TConnectionKit kit;
    kit.Handler.Chunk("ab").WaitExpires();
    EXPECT_EQ(kit.Conn.ReadLine("", 20), "");
    EXPECT_TRUE(kit.Conn.LineIncomplete);
    EXPECT_EQ(kit.Unread(), "ab");
    EXPECT_TRUE(kit.Conn.IsConnected());
}

TEST(ReadLine, DefaultTimeoutWithoutReadTimeoutWaitsWithoutLimit) {
    TConnectionKit kit;
    kit.Handler.Chunk("x\n");
    kit.Conn.ReadLine();
    EXPECT_EQ(kit.Handler.WaitTimeouts, (std::vector<int32_t>{-2}));
}

TEST(ReadNonEmptyLine, SkipsBlankLinesAndTrims) {
    TConnectionKit kit;
    kit.Handler.Chunk("   \n\t\n\r\n  220 ready \r\nnext\n");
    EXPECT_EQ(kit.Conn.ReadNonEmptyLine(10), "220 ready");
    EXPECT_EQ(kit.Conn.ReadNonEmptyLine(0), "");
    EXPECT_EQ(kit.Unread(), "next\n");
}

TEST(ReadBytes, CloseInTheMiddleRaisesAndKeepsBytes) {
    TConnectionKit kit;
    kit.Handler.Chunk("12").Close();
    char out[4] = {};
    EXPECT_THROW(kit.Conn.ReadBytes(out, 4), EIdConnClosedGracefully);
    EXPECT_EQ(kit.Unread(), "12");
    kit.Conn.ReadBytes(out, 0);
    kit.Conn.ReadBytes(nullptr, 2);
    EXPECT_EQ(kit.Unread(), "12");
}

TEST(ReadInt32, ConvertsFromNetworkOrder) {
    TConnectionKit kit;
    kit.Handler.Chunk(std::string("\x00\x00\x01\x02\x01\x00\x00\x00", 8));
    EXPECT_EQ(kit.Conn.ReadInt32(true), 0x102);
    EXPECT_EQ(kit.Conn.ReadInt32(false), 1);
}

TEST(ASCIIFilter, ClearsBitSevenOfEveryByte) {
    for (bool filter : {false, true}) {
        TConnectionKit kit;
        kit.Conn.ASCIIFilter = filter;
        kit.Handler.Chunk("\xC1\xC2").Chunk("\xC1\n");
        EXPECT_EQ(kit.Conn.ReadLine(), filter ? "ABA" : "\xC1\xC2\xC1");
    }
}

struct TErrorCase {
    const char* Name;
    int Errno;
    std::string Before; // unread bytes when the error comes
    int32_t Code;       // expected EIdSocketError code, 0 for none
    bool Dropped;
};

TEST(ReceiveMore, SocketErrors) {
    const std::vector<TErrorCase> cases = {
        {"reset raises, socket kept", ECONNRESET, "", 10054, false},
        {"shutdown raises and drops", ESHUTDOWN, "", 10058, true},
        {"aborted raises and drops", ECONNABORTED, "", 10053, true},
        {"aborted with unread bytes is quiet", ECONNABORTED, "xy", 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TConnectionKit kit;
        if (!c.Before.empty()) {
            kit.Handler.Chunk(c.Before);
            kit.Conn.ReceiveMore(true, -1, true);
        }
        kit.Handler.Error(c.Errno);
        if (c.Code != 0) {
            try {
                kit.Conn.ReceiveMore(true, -1, true);
                ADD_FAILURE() << "no exception";
            } catch (const EIdSocketError& e) {
                EXPECT_EQ(e.ErrorCode, c.Code);
            }
        } else {
            EXPECT_EQ(kit.Conn.ReceiveMore(true, -1, true), 0);
            EXPECT_EQ(kit.Unread(), c.Before);
        }
        EXPECT_EQ(kit.Handler.IsOpen(), !c.Dropped);
    }
}

TEST(ReceiveMore, WithoutHandlerIsNotConnected) {
    TIdTCPConnection conn;
    EXPECT_THROW(conn.ReceiveMore(true, -1, true), EIdNotConnected);
    EXPECT_EQ(conn.ReceiveMore(false, -1, true), 0);
    EXPECT_FALSE(conn.IsConnected());
}

TEST(ReadWork, CountedOnlyWhileAReadWorkIsOpen) {
    TConnectionKit kit;
    kit.Handler.Chunk("one\ntwo\n");
    kit.Conn.ReadLine();
    EXPECT_TRUE(kit.Events.empty());
    kit.Conn.StartWork(wmRead, 0);
    kit.Conn.ReadLine();
    kit.Conn.FinishWork(wmRead);
    EXPECT_EQ(kit.Events, (std::vector<std::string>{"r begin 0", "r 4", "r end"}));
}

TEST(ReadUntilClosed, ReturnsEverythingAndBalancesWorkOnEveryPath) {
    {
        TConnectionKit kit;
        kit.Handler.Chunk("abc").Chunk("de").Close();
        EXPECT_EQ(kit.Conn.ReadUntilClosed(), "abcde");
        EXPECT_EQ(kit.Events.front(), "r begin 0");
        EXPECT_EQ(std::count(kit.Events.begin(), kit.Events.end(), "r end"), 1);
        EXPECT_EQ(kit.Conn.WorkTally(wmRead).Nesting, 0);
    }
    {
        TConnectionKit kit;
        kit.Handler.Chunk("abc").Error(EINVAL);
        EXPECT_THROW(kit.Conn.ReadUntilClosed(), EIdSocketError);
        EXPECT_EQ(kit.Events.back(), "r end");
        EXPECT_EQ(kit.Conn.WorkTally(wmRead).Nesting, 0);
    }
}

TEST(ReceiveStream, UntilClosedYieldsExactlyThePeersBytes) {
    for (int32_t bufferSize : {1, 3, 32768}) {
        SCOPED_TRACE(bufferSize);
        TConnectionKit kit;
        kit.Conn.RecvBufferSize = bufferSize;
        kit.Handler.Chunk("hello ").Chunk("world").Close();
        TIdMemoryStream stream;
        kit.Conn.ReceiveStream(stream, -1, true);
        EXPECT_EQ(stream.DataString(), "hello world");
        EXPECT_EQ(kit.Events.front(), "r begin 0");
        EXPECT_EQ(kit.Events.back(), "r end");
    }
}

TEST(ReceiveStream, TailBufferedAtTheCloseRaisesNoWork) {
    TConnectionKit kit;
    kit.Conn.RecvBufferSize = 4;
    kit.Handler.Chunk("abcdef").Close();
    TIdMemoryStream stream;
    kit.Conn.ReceiveStream(stream, -1, true);
    EXPECT_EQ(stream.DataString(), "abcdef");
    EXPECT_EQ(kit.Events, (std::vector<std::string>{"r begin 0", "r 4", "status Disconnected.",
                                                    "disconnected", "r end"}));
}

TEST(ReceiveStream, CountedReceptionCutShortRaisesAndLeavesBytes) {
    TConnectionKit kit;
    kit.Handler.Chunk("123456").Close();
    TIdMemoryStream stream;
    EXPECT_THROW(kit.Conn.ReceiveStream(stream, 10, false), EIdConnClosedGracefully);
    EXPECT_EQ(stream.Size(), 0);
    EXPECT_EQ(kit.Unread(), "123456");
    EXPECT_EQ(kit.Events.back(), "r end");
}

TEST(ReceiveStream, CountedReceptionTakesBufferedBytesFirstAndStopsAtCount) {
    TConnectionKit kit;
    kit.Handler.Chunk(std::string("\x00\x00\x00\x05", 4) + "ab").Chunk("cdeXYZ");
    kit.Conn.ReceiveMore(true, -1, true);
    TIdMemoryStream stream;
    kit.Conn.ReceiveStream(stream, -1, false);
    EXPECT_EQ(stream.DataString(), "abcde");
    EXPECT_EQ(kit.Unread(), "XYZ");
    EXPECT_EQ(kit.Events.front(), "r begin 5");
}

TEST(ReceiveStream, UntilClosedHasNoTwoGigabyteLimit) {
    const int64_t total = (int64_t{1} << 31) + 12345;
    TConnectionKit kit;
    kit.Events.reserve(8);
    int64_t lastWork = 0;
    kit.Conn.OnWork = [&](TIdComponent*, TWorkMode, int64_t count) { lastWork = count; };
    kit.Handler.Generate(total);
    TCountingStream stream(true);
    kit.Conn.ReceiveStream(stream, -1, true);
    EXPECT_EQ(stream.Size(), total);
    EXPECT_EQ(stream.Mismatches, 0);
    // The tail buffered at the close is written without a work report.
    EXPECT_EQ(lastWork, total - total % 32768);
}

} // namespace
