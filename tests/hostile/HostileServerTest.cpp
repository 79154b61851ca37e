// A client against servers that misbehave: malformed, oversized, split and
// surprising replies, broken data connections, refused transfers, hostile
// names and command text, SOCKS proxies that answer oddly, a silent server.
// Each case checks the exact outcome and that the client stays usable or
// closes cleanly.

#include "FtpClientTest.h"
#include "HostileTestSupport.h"
#include "IdException.h"
#include "IdFTP.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

using qtest::ExpectRaises;
using qtest::FakeFtpServer;
namespace act = qtest::act;

using namespace std::string_literals;

namespace {

class HostileServerTest : public qtest::FtpClientTest {
protected:
    void SetUp() override {
        // The main window's configuration of its client.
        ftp.MaxLineAction = maException;
        ftp.RecvBufferSize = 1024;
        ftp.SendBufferSize = 1024;
        server.setFile("f", kFile);
        FtpClientTest::SetUp();
    }
    void TearDown() override {
        if (ftp.IsConnected()) {
            ftp.EndSession();
        }
    }

    std::string Fetch(const std::string& AName) {
        TIdMemoryStream stream;
        ftp.Download(AName, stream, false);
        return stream.DataString();
    }
    // The session still works: a plain command gets its own reply.
    void ExpectUsable() {
        ftp.ChangeDirectory("still-here");
        EXPECT_EQ(ftp.LastReply().NumericCode(), 250);
        ASSERT_FALSE(Sent().empty());
        EXPECT_EQ(Sent().back(), "CWD still-here");
    }

    const std::string kFile = qtest::RandomBytes(5000, 7);
};

// ---------------------------------------------------------------------------
// PASV replies

struct PasvCase {
    const char* name;
    const char* reply;
    const char* error; // empty: the download succeeds
};

// Cases print by name; their raw bytes include padding.
void PrintTo(const PasvCase& ACase, std::ostream* AOut) {
    *AOut << ACase.name;
}

class HostilePasvTest : public HostileServerTest, public ::testing::WithParamInterface<PasvCase> {};

TEST_P(HostilePasvTest, DataConnectionGoesToControlPeerOrIsRefused) {
    const PasvCase& c = GetParam();
    server.enqueue("PASV", c.reply + std::string("\r\n"));
    if (*c.error == '\0') {
        EXPECT_EQ(Fetch("f"), kFile);
        EXPECT_EQ(Sent(), (std::vector<std::string>{"PASV", "RETR f"}));
    } else {
        ExpectRaises<EIdException>([&] { Fetch("f"); }, c.error);
        // Nothing went on after the reply that could not be used.
        EXPECT_EQ(Sent(), std::vector<std::string>{"PASV"});
    }
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    ExpectUsable();
    EXPECT_EQ(Fetch("f"), kFile);
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, HostilePasvTest,
    ::testing::Values(
        PasvCase{"FieldsOver255ButPortInRange", "227 Entering Passive Mode (127,0,0,1,0,{port})",
                 ""},
        PasvCase{"PortOutOfRange", "227 Entering Passive Mode (127,0,0,1,300,5)",
                 "'76805' is not a valid port"},
        PasvCase{"PortOverflowing", "227 Entering Passive Mode (127,0,0,1,99999999,5)",
                 "'25599999749' is not a valid port"},
        PasvCase{"NegativePort", "227 (127,0,0,1,0,-1)", "'-1' is not a valid port"},
        PasvCase{"MissingPortField", "227 Entering Passive Mode (127,0,0,1,{p1})",
                 "'' is not a valid integer value"},
        PasvCase{"MissingEverything", "227 Entering Passive Mode ()",
                 "'' is not a valid integer value"},
        PasvCase{"Letters", "227 Entering Passive Mode (127,0,0,1,ab,{p2})",
                 "'ab' is not a valid integer value"},
        PasvCase{"CodeOnly", "227", "'' is not a valid integer value"},
        PasvCase{"NoParentheses", "227 =127,0,0,1,{p1},{p2}", ""},
        PasvCase{"ForeignAddress", "227 Entering Passive Mode (203,0,113,9,{p1},{p2})", ""},
        PasvCase{"PrivateAddress", "227 Entering Passive Mode (192,168,1,20,{p1},{p2})", ""},
        PasvCase{"NoAddressAtAll", "227 Entering Passive Mode (,,,,{p1},{p2})", ""}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

// ---------------------------------------------------------------------------
// 421 in mid-session

struct ServiceClosingCase {
    const char* verb;
    std::function<void(TIdFTP&)> run;
};

void PrintTo(const ServiceClosingCase& ACase, std::ostream* AOut) {
    *AOut << ACase.verb;
}

class HostileServiceClosingTest : public HostileServerTest,
                                  public ::testing::WithParamInterface<ServiceClosingCase> {};

TEST_P(HostileServiceClosingTest, ReplyErrorThenNextCommandFailsCleanly) {
    const ServiceClosingCase& c = GetParam();
    server.enqueue(c.verb, {act::Reply("421 Service not available, closing control connection."),
                            act::CloseControl()});
    try {
        c.run(ftp);
        FAIL() << "no exception";
    } catch (const EIdProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyCode, 421);
        EXPECT_STREQ(e.what(), "Service not available, closing control connection.\r\n");
    }
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    ASSERT_TRUE(server.waitForSessionsEnded(1));
    // The server's close is noticed by the next command; the client is then
    // disconnected, and every further command is refused the same way.
    ExpectRaises<EIdConnClosedGracefully>([&] { ftp.ChangeDirectory("x"); },
                                          "Connection Closed Gracefully.");
    EXPECT_FALSE(ftp.IsConnected());
    ExpectRaises<EIdConnClosedGracefully>([&] { ftp.ChangeDirectory("y"); },
                                          "Connection Closed Gracefully.");
    // And the same object connects again.
    ftp.OpenSession();
    ftp.ChangeDirectory("again");
    EXPECT_EQ(server.commands().back(), "CWD again");
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, HostileServiceClosingTest,
    ::testing::Values(ServiceClosingCase{"CWD", [](TIdFTP& f) { f.ChangeDirectory("d"); }},
                      ServiceClosingCase{"PWD", [](TIdFTP& f) { f.QueryCurrentDir(); }},
                      ServiceClosingCase{"MKD", [](TIdFTP& f) { f.MakeDirectory("d"); }},
                      ServiceClosingCase{"DELE", [](TIdFTP& f) { f.DeleteRemoteFile("d"); }},
                      ServiceClosingCase{"TYPE", [](TIdFTP& f) { f.SetTransferType(ftASCII); }},
                      ServiceClosingCase{"PASV",
                                         [](TIdFTP& f) {
                                             TIdMemoryStream s;
                                             f.Download("f", s, false);
                                         }},
                      ServiceClosingCase{"RETR",
                                         [](TIdFTP& f) {
                                             TIdMemoryStream s;
                                             f.Download("f", s, false);
                                         }},
                      ServiceClosingCase{"LIST", [](TIdFTP& f) { f.ListDirectory(nullptr); }},
                      ServiceClosingCase{"STOR",
                                         [](TIdFTP& f) {
                                             // A passive upload writes STOR before it connects, so
                                             // the
                                             // server's close could refuse that connect first; the
                                             // active order reads the reply before anything else.
                                             f.Passive = false;
                                             TIdMemoryStream s;
                                             s.Write("data", 4);
                                             s.SetPosition(0);
                                             f.Upload(s, "u", false);
                                         }}),
    [](const auto& AInfo) { return std::string(AInfo.param.verb); });

// ---------------------------------------------------------------------------
// Data connections that never come or break

TEST_F(HostileServerTest, ActiveModeServerNeverConnectsAndAnswers425) {
    ftp.Passive = false;
    server.enqueue("RETR", "425 Can't open data connection.\r\n");
    try {
        Fetch("f");
        FAIL() << "no exception";
    } catch (const EIdProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyCode, 425);
        EXPECT_STREQ(e.what(), "Can't open data connection.\r\n");
    }
    const std::vector<std::string> sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].rfind("PORT 127,0,0,1,", 0), 0u) << sent[0];
    EXPECT_EQ(sent[1], "RETR f");
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    ExpectUsable();
    EXPECT_EQ(Fetch("f"), kFile);
}

struct BrokenDataCase {
    const char* name;
    qtest::FtpScript script;
    uint64_t expectedBytes;   // what the destination then holds
    bool aborted;             // "Transfer aborted" was reported
    const char* repliesAfter; // the last reply read
};

// Cases print by name; their raw bytes include padding.
void PrintTo(const BrokenDataCase& ACase, std::ostream* AOut) {
    *AOut << ACase.name;
}

class HostileBrokenDataTest : public HostileServerTest,
                              public ::testing::WithParamInterface<BrokenDataCase> {};

TEST_P(HostileBrokenDataTest, FileHoldsWhatArrivedAndOutcomeIsReported) {
    const BrokenDataCase& c = GetParam();
    server.enqueue("RETR", c.script);
    // A reply awaited by mistake then fails the test instead of hanging it.
    ftp.ReadTimeout = 5000;
    qtest::TempDir dir;
    const std::string local = (dir / "local.bin").string();
    // The download returns normally: the final reply is one the transfer allows.
    ftp.Download("f", local, true, false);
    EXPECT_EQ(qtest::ReadFile(local), kFile.substr(0, c.expectedBytes));
    EXPECT_EQ(ftp.LastReply().TextCode(), c.repliesAfter);
    EXPECT_EQ(HasStatus(ftpAborted, "Transfer aborted"), c.aborted);
    EXPECT_EQ(Sent(), (std::vector<std::string>{"PASV", "RETR f"}));
    ExpectUsable();
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, HostileBrokenDataTest,
    ::testing::Values(BrokenDataCase{"ClosesAtOnceAfter150",
                                     {act::Reply("150 Here it comes."), act::OpenData(),
                                      act::CloseData(), act::Reply("226 Transfer complete.")},
                                     0,
                                     false,
                                     "226"},
                      BrokenDataCase{"PartThen226",
                                     act::Download("226 Transfer complete.\r\n", 1700), 1700, false,
                                     "226"},
                      // Without an ABOR the 426 or 450 is the final reply; nothing follows.
                      BrokenDataCase{"PartThen426", act::Download("426 Connection lost.\r\n", 1700),
                                     1700, true, "426"},
                      BrokenDataCase{"PartThen450", act::Download("450 Transfer failed.\r\n", 3000),
                                     3000, true, "450"}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

TEST_F(HostileServerTest, ResetDataConnectionRaisesAndNextCommandGetsItsOwnReply) {
    server.enqueue("RETR", {act::Reply("150 Here it comes."), act::OpenData(), act::CloseData(true),
                            act::Reply("226 Transfer complete.")});
    qtest::TempDir dir;
    const std::string local = (dir / "reset.bin").string();
    try {
        ftp.Download("f", local, true, false);
        FAIL() << "no exception";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.ErrorCode, 10054);
        EXPECT_STREQ(e.what(), "Socket Error # 10054\r\nConnection reset by peer.");
    }
    EXPECT_EQ(qtest::ReadFile(local), "");
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    // The transfer's final reply was taken with the failure, so the session
    // is not left one reply behind.
    EXPECT_EQ(ftp.LastReply().NumericCode(), 226);
    ftp.ChangeDirectory("next");
    EXPECT_EQ(ftp.LastReply().NumericCode(), 250);
    EXPECT_EQ(ftp.RawCommand("NOOP"), 200);
    EXPECT_EQ(ftp.RawCommand("NOOP"), 200);
}

// A destination that accepts the first bytes and then fails, like a full disk.
class TFailingDestination : public TIdMemoryStream {
public:
    int64_t Write(const void* ABuffer, int64_t ACount) override {
        if (Size() > 0) {
            throw EIdException("disk full");
        }
        return TIdMemoryStream::Write(ABuffer, ACount);
    }
};

// A source that fails once the upload has begun, like a file on a vanished mount.
class TFailingSource : public TIdMemoryStream {
public:
    TFailingSource() {
        const std::string data(100000, 'u');
        WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
        SetPosition(0);
    }
    int64_t Read(void* ABuffer, int64_t ACount) override {
        if (Position() > 0) {
            throw EIdException("read error");
        }
        return TIdMemoryStream::Read(ABuffer, std::min<int64_t>(ACount, 10));
    }
};

struct FailedTransferCase {
    const char* name;
    bool passive;
    const char* verb;        // the transfer command the server scripts
    qtest::FtpScript script; // empty: the server's own answer
    std::function<void(TIdFTP&)> run;
    const char* error; // the failure the caller sees, unchanged
    int finalCode;     // the transfer's final reply, read with the failure
    // In active mode the reset can come before the client accepts, which
    // then fails on a socket already gone.
    const char* orError = "";
};

void PrintTo(const FailedTransferCase& ACase, std::ostream* AOut) {
    *AOut << ACase.name;
}

class HostileFailedTransferTest : public HostileServerTest,
                                  public ::testing::WithParamInterface<FailedTransferCase> {};

TEST_P(HostileFailedTransferTest, FinalReplyIsReadAndSessionStaysInStep) {
    const FailedTransferCase& c = GetParam();
    ftp.Passive = c.passive;
    server.setFile("big", qtest::Payload::Pattern(64u << 20));
    if (!c.script.empty()) {
        server.enqueue(c.verb, c.script);
    }
    try {
        c.run(ftp);
        FAIL() << "no exception";
    } catch (const std::exception& e) {
        const std::string what = e.what();
        EXPECT_TRUE(what == c.error || what == c.orError) << what;
    }
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    EXPECT_EQ(ftp.LastReply().NumericCode(), c.finalCode);
    // Each later command reads its own reply, and transfers work again.
    EXPECT_EQ(ftp.RawCommand("NOOP"), 200);
    ExpectUsable();
    EXPECT_EQ(Fetch("f"), kFile);
    EXPECT_EQ(ftp.RawCommand("NOOP"), 200);
}

const auto kFetchBig = [](TIdFTP& f) {
    TIdMemoryStream s;
    f.Download("big", s, false);
};
const auto kFetchIntoFailing = [](TIdFTP& f) {
    TFailingDestination s;
    f.Download("big", s, false);
};
const auto kStoreFailing = [](TIdFTP& f) {
    TFailingSource s;
    f.Upload(s, "u", false);
};
const auto kList = [](TIdFTP& f) { f.ListDirectory(nullptr); };

qtest::FtpScript ResetThen(const char* AFinal) {
    return {act::Reply("150 Here it comes."), act::OpenData(), act::SendData(3000),
            act::CloseData(true), act::Reply(AFinal)};
}

const char* const kReset = "Socket Error # 10054\r\nConnection reset by peer.";
const char* const kResetEarly = "Socket Error # 10057\r\nSocket is not connected.";

INSTANTIATE_TEST_SUITE_P(
    Hostile, HostileFailedTransferTest,
    ::testing::Values(
        FailedTransferCase{"ResetThen426", true, "RETR", ResetThen("426 Connection reset."),
                           kFetchBig, kReset, 426},
        FailedTransferCase{"ResetThen226", true, "RETR", ResetThen("226 Transfer complete."),
                           kFetchBig, kReset, 226},
        FailedTransferCase{"ActiveResetThen426", false, "RETR", ResetThen("426 Connection reset."),
                           kFetchBig, kReset, 426, kResetEarly},
        FailedTransferCase{"ActiveResetThen226", false, "RETR", ResetThen("226 Transfer complete."),
                           kFetchBig, kReset, 226, kResetEarly},
        FailedTransferCase{"ListingResetThen426", true, "LIST", ResetThen("426 Connection reset."),
                           kList, kReset, 426},
        // A 426 after a failure that did not come from an abort stands alone:
        // nothing else follows it.
        FailedTransferCase{"ResetThen426WithText", true, "RETR",
                           ResetThen("426 Failure writing network stream."), kFetchBig, kReset,
                           426},
        // Local failures: the server ends the transfer on its own terms, with
        // 426 while it still had data to send, else 226.
        FailedTransferCase{"LocalWriteFails", true, "", {}, kFetchIntoFailing, "disk full", 426},
        FailedTransferCase{
            "ActiveLocalWriteFails", false, "", {}, kFetchIntoFailing, "disk full", 426},
        FailedTransferCase{
            "LocalReadFailsDuringUpload", true, "", {}, kStoreFailing, "read error", 226},
        FailedTransferCase{
            "ActiveLocalReadFailsDuringUpload", false, "", {}, kStoreFailing, "read error", 226}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

// ---------------------------------------------------------------------------
// Odd replies

struct ReplyCase {
    const char* name;
    qtest::FtpScript script;
    int code;              // the reply code the command sees
    std::string firstText; // the first Text entry
    size_t lines;          // Text entries
};

// Cases print by name; their raw bytes include padding.
void PrintTo(const ReplyCase& ACase, std::ostream* AOut) {
    *AOut << ACase.name;
}

class HostileReplyTest : public HostileServerTest,
                         public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(HostileReplyTest, ReadAsOneReplyAndSessionStaysInStep) {
    const ReplyCase& c = GetParam();
    server.enqueue("NOOP", c.script);
    EXPECT_EQ(ftp.RawCommand("NOOP"), c.code);
    EXPECT_EQ(ftp.LastReply().NumericCode(), c.code);
    ASSERT_EQ(ftp.LastReply().Text().size(), c.lines);
    EXPECT_EQ(ftp.LastReply().Text().front(), c.firstText);
    ExpectUsable();
}

std::string EmptyLineStorm() {
    std::string s;
    for (int i = 0; i < 20000; ++i) {
        s += i % 3 ? "\r\n" : " \t \n";
    }
    return s + "200 calm again\r\n";
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, HostileReplyTest,
    ::testing::Values(
        ReplyCase{"OneByteSegments", act::SendBytewise("200-first\r\n  second\r\n200 last\r\n"),
                  200, "first", 3},
        ReplyCase{"PiecesAcrossCrLf", act::SendInPieces("211-a\r\n211 b\r\n", {5, 1, 1, 3}), 211,
                  "a", 2},
        ReplyCase{"BareLineFeeds", {act::Send("200-one\n200 two\n")}, 200, "one", 2},
        ReplyCase{"CodeLessLine", {act::Send("hello there\r\n")}, 0, "o there", 1},
        ReplyCase{"Code999", {act::Send("999 Strange things\r\n")}, 999, "Strange things", 1},
        ReplyCase{"EmptyLineStorm", {act::Send(EmptyLineStorm())}, 200, "calm again", 1},
        // The CR before the LF still counts against the limit when it is checked.
        ReplyCase{"LineOfExactlyTheLimit",
                  {act::Send("200 " + std::string(16379, 'x') + "\r\n")},
                  200,
                  std::string(16379, 'x'),
                  1}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

TEST_F(HostileServerTest, CodeLessAnd999RepliesFailAnAllowedSet) {
    struct {
        const char* raw;
        int code;
        const char* message;
    } cases[] = {
        {"hello\r\n", 0, "o\r\n"}, {"999 x\r\n", 999, "x\r\n"}, {"\r\n\r\n2\r\n", 2, "\r\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw);
        server.enqueue("CWD", c.raw);
        try {
            ftp.ChangeDirectory("d");
            ADD_FAILURE() << "no exception";
        } catch (const EIdProtocolReplyError& e) {
            EXPECT_EQ(e.ReplyCode, c.code);
            EXPECT_STREQ(e.what(), c.message);
        }
        ExpectUsable();
    }
}

TEST_F(HostileServerTest, SeveralRepliesInOneSegmentAreReadInTurn) {
    // Preliminary and final reply arrive together, before any data.
    server.enqueue("RETR", {act::Send("150 Opening.\r\n226 Done.\r\n"), act::OpenData(),
                            act::SendData(), act::CloseData()});
    EXPECT_EQ(Fetch("f"), kFile);
    EXPECT_EQ(ftp.LastReply().NumericCode(), 226);
    // A stray extra reply is read by the next exchange, as the protocol's
    // order of replies demands.
    server.enqueue("CWD", "250 Changed.\r\n200 Stray.\r\n");
    ftp.ChangeDirectory("a");
    EXPECT_EQ(ftp.RawCommand("NOOP"), 200);
    EXPECT_EQ(ftp.LastReply().Text().front(), "Stray.");
}

TEST_F(HostileServerTest, OverlongReplyLineRaisesAndSessionStillCloses) {
    server.enqueue("NOOP", "200 " + std::string(17000 - 6, 'y') + "\r\n");
    ExpectRaises<EIdReadLnMaxLineLengthExceeded>([&] { ftp.RawCommand("NOOP"); },
                                                 "Max line length exceeded.");
    // The line stays unread, so every later reply read meets it again; the
    // session can still be ended.
    ExpectRaises<EIdReadLnMaxLineLengthExceeded>([&] { ftp.GetReply({}); },
                                                 "Max line length exceeded.");
    ftp.EndSession();
    EXPECT_FALSE(ftp.IsConnected());
    ASSERT_TRUE(server.waitForVerb("QUIT"));
    EXPECT_EQ(server.commands().back(), "QUIT");
}

TEST_F(HostileServerTest, OverlongReplyLineIsSplitWhenAsked) {
    ftp.MaxLineAction = maSplit;
    const std::string tail(17000 - 16384 - 2, 'z');
    server.enqueue("NOOP", "200 " + std::string(16380, 'y') + tail + "\r\n");
    EXPECT_EQ(ftp.RawCommand("NOOP"), 200);
    EXPECT_EQ(ftp.LastReply().Text().front(), std::string(16380, 'y'));
    // The rest of the line comes back as a line of its own: a reply without a code.
    EXPECT_EQ(ftp.GetReply({}), 0);
    ExpectUsable();
}

TEST_F(HostileServerTest, HundredThousandLineReplyIsReadWhole) {
    std::string raw = "211-Start\r\n";
    for (int i = 0; i < 100000; ++i) {
        raw += " line " + std::to_string(i) + " of a long status\r\n";
    }
    raw += "211 End\r\n";
    server.enqueue("NOOP", {act::Send(raw)});
    const long before = qtest::ResidentKiB();
    EXPECT_EQ(ftp.RawCommand("NOOP"), 211);
    const long grown = qtest::ResidentKiB() - before;
    ASSERT_EQ(ftp.LastReply().Text().size(), 100002u);
    // Trimmed first, then the four code places dropped.
    EXPECT_EQ(ftp.LastReply().Text()[1], " 0 of a long status");
    EXPECT_EQ(ftp.LastReply().Text().back(), "End");
    // Every line is kept (the reply's text has no limit), so memory grows with
    // the reply: about 2.9 MB of text here. Note the figure for the record.
    RecordProperty("ResidentGrowthKiB", static_cast<int>(grown));
    std::printf("100,000-line reply (%zu bytes): resident memory grew by %ld KiB\n", raw.size(),
                grown);
    ExpectUsable();
}

// ---------------------------------------------------------------------------
// PWD decoding

TEST_F(HostileServerTest, OddPwdRepliesDecode) {
    struct {
        const char* reply;
        const char* dir;
    } cases[] = {
        {"257 \"/pub/incoming\" is current directory.", "/pub/incoming"},
        {"257 junk before \"/a b\" x", "/a b"},
        {"257 MKD said:\"/x\"", "/x"},
        {"257 \"/say \"\"hi\"\"\" is current", "/say \"hi\""},
        {"257 \"\"\"\"", "\""},
        {"257 \"/no/closing/quote", ""},
        {"257 \"/ends/in/doubled\"\"", ""},
        {"257 /no/quotes/at/all", ""},
        {"257 \"\" empty", ""},
        {"257", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        server.enqueue("PWD", c.reply + std::string("\r\n"));
        EXPECT_EQ(ftp.QueryCurrentDir(), c.dir);
    }
    ExpectUsable();
}

// ---------------------------------------------------------------------------
// A refused download

TEST_F(HostileServerTest, RefusedDownloadKeepsOldFileAndNextDownloadWorks) {
    qtest::TempDir dir;
    const std::string local = (dir / "keep.txt").string();
    qtest::WriteFile(local, "old contents");
    server.enqueue("RETR", "550 No such file.\r\n");
    try {
        ftp.Download("missing", local, true, false);
        FAIL() << "no exception";
    } catch (const EIdProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyCode, 550);
        EXPECT_STREQ(e.what(), "No such file.\r\n");
    }
    EXPECT_EQ(qtest::ReadFile(local), "old contents");
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    ftp.Download("f", local, true, false);
    EXPECT_EQ(qtest::ReadFile(local), kFile);
    EXPECT_EQ(Sent(), (std::vector<std::string>{"PASV", "RETR missing", "PASV", "RETR f"}));
}

} // namespace
