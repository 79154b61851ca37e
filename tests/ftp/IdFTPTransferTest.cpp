// Data connections, transfers, the restart probe, aborts and listings,
// against the scripted server.

#include "CountingStream.h"
#include "FtpClientTest.h"
#include "IdException.h"
#include "IdFTP.h"
#include "TempDir.h"
#include "TestSockets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace act = qtest::act;

namespace {

std::string Contents(TIdMemoryStream& s) {
    return s.DataString();
}

class FtpTransferTest : public qtest::FtpClientTest {
protected:
    qtest::TempDir dir;
};

class FtpBothModesTest : public FtpTransferTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        FtpTransferTest::SetUp();
        ftp.Passive = GetParam();
    }
    std::string ModeVerb() const { return GetParam() ? "PASV" : "PORT"; }
};

TEST_P(FtpBothModesTest, DownloadIntoStream) {
    server.setFile("a b.txt", "hello world");
    TIdMemoryStream stream;
    ftp.Download("a b.txt", stream, false);
    EXPECT_EQ(Contents(stream), "hello world");
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].substr(0, 4), ModeVerb());
    EXPECT_EQ(sent[1], "RETR a b.txt");
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    EXPECT_TRUE(HasStatus(ftpTransfer, "Starting FTP transfer"));
    EXPECT_TRUE(HasStatus(ftpReady, "Transfer complete"));
    EXPECT_FALSE(HasStatus(ftpAborted, "Transfer aborted"));
}

TEST_P(FtpBothModesTest, UploadCommands) {
    struct Case {
        const char* toName;
        bool append;
        const char* line;
    };
    for (const Case& c : {Case{"up.bin", false, "STOR up.bin"}, Case{"up.bin", true, "APPE up.bin"},
                          Case{"", false, "STOU "}, Case{"", true, "STOU "}}) {
        TIdMemoryStream source;
        const std::string bytes = qtest::RandomBytes(70000, 7);
        source.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
        // Passive uploads send from the current position, active ones from the start.
        source.SetPosition(0);
        ftp.Upload(source, c.toName, c.append);
        const auto uploads = server.uploads();
        ASSERT_FALSE(uploads.empty());
        EXPECT_EQ(uploads.back().command, c.line);
        EXPECT_EQ(uploads.back().bytes, bytes) << c.line;
        EXPECT_EQ(ftp.DataConnection(), nullptr);
    }
}

TEST_P(FtpBothModesTest, PreliminaryRefusalLeavesNoDataConnection) {
    TIdMemoryStream stream;
    try {
        ftp.Download("missing", stream, false);
        FAIL();
    } catch (const EIdProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyCode, 550);
    }
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    EXPECT_TRUE(HasStatus(ftpReady, "Transfer complete"));
    EXPECT_EQ(ftp.RawCommand("NOOP"), 200);
}

TEST_P(FtpBothModesTest, StalledDataConnectionEndsWithTheReadTimeout) {
    ftp.ReadTimeout = 300;
    // The data comes, but only long after the control connection's limit.
    server.setFile("f", "late");
    server.enqueue("RETR", qtest::FtpScript{act::Reply("150 Here it comes"), act::OpenData(),
                                            act::Delay(qtest::Millis(1500)), act::SendData(),
                                            act::CloseData(), act::Reply("226 Done")});
    TIdMemoryStream stream;
    EXPECT_THROW(ftp.Download("f", stream, false), EIdReadTimeout);
    EXPECT_EQ(Contents(stream), "");
    EXPECT_EQ(ftp.DataConnection(), nullptr);
}

struct FinalCase {
    const char* name;
    std::string finalRaw;
    bool aborted;
    int32_t failCode; // 0: returns normally
};

class FtpFinalReplyTest : public FtpTransferTest,
                          public ::testing::WithParamInterface<FinalCase> {};

TEST_P(FtpFinalReplyTest, FinalReplyAfterTheData) {
    const FinalCase& c = GetParam();
    // A reply awaited by mistake then fails the test instead of hanging it.
    ftp.ReadTimeout = 5000;
    server.setFile("f", "12345");
    server.enqueue("RETR", act::Download(c.finalRaw));
    TIdMemoryStream stream;
    if (c.failCode != 0) {
        try {
            ftp.Download("f", stream, false);
            FAIL();
        } catch (const EIdProtocolReplyError& e) {
            EXPECT_EQ(e.ReplyCode, c.failCode);
        }
    } else {
        ftp.Download("f", stream, false);
    }
    EXPECT_EQ(Contents(stream), "12345") << "the data moved before the final reply";
    EXPECT_EQ(HasStatus(ftpAborted, "Transfer aborted"), c.aborted);
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    server.enqueue("NOOP", "200 in step\r\n");
    EXPECT_EQ(ftp.RawCommand("NOOP"), 200);
    EXPECT_EQ(ftp.LastReply().Text(), std::vector<std::string>{"in step"});
}

INSTANTIATE_TEST_SUITE_P(Codes, FtpFinalReplyTest,
                         ::testing::Values(FinalCase{"ok226", "226 Done\r\n", false, 0},
                                           FinalCase{"ok250", "250 Done\r\n", false, 0},
                                           FinalCase{"ok225", "225 Done\r\n", false, 0},
                                           // Without an ABOR nothing follows a 426 or 450.
                                           FinalCase{"broken426", "426 Broken\r\n", true, 0},
                                           FinalCase{"busy450", "450 Busy\r\n", true, 0},
                                           FinalCase{"local451", "451 Local error\r\n", false, 451},
                                           FinalCase{"full552", "552 Disk full\r\n", false, 552}),
                         [](const auto& info) { return std::string(info.param.name); });

struct PasvCase {
    const char* name;
    std::string reply;
    std::string host;
    int32_t port;
};

class FtpPasvParseTest : public FtpTransferTest, public ::testing::WithParamInterface<PasvCase> {};

TEST_P(FtpPasvParseTest, HostTextAndPort) {
    server.enqueue("PASV", GetParam().reply + "\r\n");
    std::string host;
    int32_t port = 0;
    ftp.RequestPassive(host, port);
    EXPECT_EQ(host, GetParam().host);
    EXPECT_EQ(port, GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, FtpPasvParseTest,
    ::testing::Values(
        PasvCase{"parens", "227 Entering Passive Mode (192,168,1,20,19,137)", "192.168.1.20", 5001},
        PasvCase{"parensAndDot", "227 Entering Passive Mode (10,0,0,1,0,21).", "10.0.0.1", 21},
        PasvCase{"afterLastSpace", "227 Entering Passive Mode 192,168,1,20,19,137", "192.168.1.20",
                 5001},
        PasvCase{"noSpace", "227 1,2,3,4,255,255", "1.2.3.4", 65535}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpTransferTest, PasvWithoutNumbersIsAConversionError) {
    server.enqueue("PASV", "227 Entering Passive Mode (1,2,3,4,x,5)\r\n");
    std::string host;
    int32_t port = 0;
    try {
        ftp.RequestPassive(host, port);
        FAIL();
    } catch (const EIdException& e) {
        EXPECT_STREQ(e.what(), "'x' is not a valid integer value");
    }
}

// A hostile server must not be able to aim the data connection elsewhere.
TEST_F(FtpTransferTest, ForeignPasvAddressStillConnectsToTheServer) {
    server.setAdvertisedHost("192.0.2.77");
    server.setFile("f", "payload");
    TIdMemoryStream stream;
    ftp.Download("f", stream, false);
    EXPECT_EQ(Contents(stream), "payload");
    EXPECT_TRUE(server.problems().empty());
}

// Passive downloads connect before RETR; passive uploads write STOR first.
// A PASV reply naming a closed port makes the order visible.
TEST_F(FtpTransferTest, PassiveOrderOfCommandAndConnect) {
    const uint16_t closed = qtest::PickFreePort();
    const std::string pasv = "227 Entering Passive Mode (127,0,0,1," +
                             std::to_string(closed / 256) + "," + std::to_string(closed % 256) +
                             ")\r\n";
    server.enqueue("PASV", pasv);
    TIdMemoryStream stream;
    EXPECT_THROW(ftp.Download("f", stream, false), EIdException);
    EXPECT_EQ(Sent(), std::vector<std::string>{"PASV"});
    EXPECT_EQ(ftp.DataConnection(), nullptr);

    server.enqueue("PASV", pasv);
    EXPECT_THROW(ftp.Upload(stream, "up", false), EIdException);
    ASSERT_TRUE(server.waitForCommands(sessionCommands + 3));
    EXPECT_EQ(Sent(), (std::vector<std::string>{"PASV", "PASV", "STOR up"}));
    EXPECT_EQ(ftp.DataConnection(), nullptr);
}

TEST_F(FtpTransferTest, ServerClosingTheDataConnectionEarly) {
    server.setFile("f", qtest::RandomBytes(100000, 3));
    server.enqueue("RETR", act::Download("226 Done\r\n", 1000));
    TIdMemoryStream stream;
    ftp.Download("f", stream, false);
    EXPECT_EQ(Contents(stream), qtest::RandomBytes(100000, 3).substr(0, 1000));
    EXPECT_EQ(ftp.DataConnection(), nullptr);
}

TEST_F(FtpTransferTest, AbortDuringADownload) {
    server.setFile("big", qtest::Payload::Pattern(256ull << 20));
    TCountingStream stream(true);
    bool aborted = false;
    TIdComponent* sender = nullptr;
    ftp.OnWork = [&](TIdComponent* s, TWorkMode, int64_t count) {
        sender = s;
        if (!aborted && count > 200000) {
            aborted = true;
            ftp.AbortTransfer();
        }
    };
    ftp.Download("big", stream, false);
    EXPECT_TRUE(aborted);
    EXPECT_NE(sender, &ftp) << "work is reported by the data connection";
    EXPECT_LT(stream.Size(), int64_t(256) << 20);
    EXPECT_EQ(stream.Mismatches, 0);
    EXPECT_TRUE(HasStatus(ftpAborted, "Transfer aborted"));
    EXPECT_EQ(Sent().back(), "ABOR");
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    EXPECT_EQ(ftp.RawCommand("NOOP"), 200);
}

// A transfer that fails after the user aborted it reads the replies the
// abort left owing (the broken transfer's and ABOR's), so that the next
// command gets its own reply.
TEST_F(FtpTransferTest, FailureAfterAnAbortLeavesTheSessionInStep) {
    class TAbortingStream : public TIdMemoryStream {
    public:
        explicit TAbortingStream(TIdFTP& AFtp) : FFtp(AFtp) {
            const std::string data(100000, 'u');
            TIdMemoryStream::Write(data.data(), static_cast<int64_t>(data.size()));
            SetPosition(0);
        }
        int64_t Read(void*, int64_t) override { return Fail(); }
        int64_t Write(const void*, int64_t) override { return Fail(); }

    private:
        int64_t Fail() {
            FFtp.AbortTransfer();
            throw EIdException("gone");
        }
        TIdFTP& FFtp;
    };
    struct TCase {
        const char* Name;
        bool Upload;
        bool Passive;
    } const cases[] = {{"passive download", false, true},
                       {"passive upload", true, true},
                       {"active download", false, false},
                       {"active upload", true, false}};
    server.setFile("big", qtest::Payload::Pattern(64u << 20));
    // A reply awaited by mistake then fails the test instead of hanging it.
    ftp.ReadTimeout = 5000;
    for (const TCase& c : cases) {
        ftp.Passive = c.Passive;
        TAbortingStream stream(ftp);
        try {
            c.Upload ? ftp.Upload(stream, "up", false) : ftp.Download("big", stream, false);
            ADD_FAILURE() << c.Name << ": no exception";
        } catch (const EIdException& e) {
            EXPECT_STREQ(e.what(), "gone") << c.Name;
        }
        EXPECT_EQ(ftp.DataConnection(), nullptr) << c.Name;
        server.enqueue("NOOP", "200 in step\r\n");
        EXPECT_EQ(ftp.RawCommand("NOOP"), 200) << c.Name;
        EXPECT_EQ(ftp.LastReply().Text(), std::vector<std::string>{"in step"}) << c.Name;
    }
}

// The server accepted RETR but never opens the active data connection.
TEST_F(FtpTransferTest, ActiveAcceptWaitEndsAtTransferTimeout) {
    ftp.Passive = false;
    ftp.TransferTimeout = 200;
    server.enqueue("RETR",
                   qtest::FtpScript{act::Reply("150 Opening"), act::Delay(qtest::Millis(400)),
                                    act::Reply("425 No data connection")});
    TIdMemoryStream stream;
    try {
        ftp.Download("f", stream, false);
        ADD_FAILURE() << "no exception";
    } catch (const EIdException& e) {
        EXPECT_STREQ(e.what(), "Accept timed out.");
    }
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    // The transfer's final reply was read with the failure.
    EXPECT_EQ(ftp.LastReply().NumericCode(), 425);
    EXPECT_EQ(ftp.RawCommand("NOOP"), 200);
}

TEST_F(FtpTransferTest, AbortWithoutTransferLeavesItsReplyForTheNextExchange) {
    server.enqueue("ABOR", "225 Nothing to abort\r\n");
    ftp.AbortTransfer();
    ASSERT_TRUE(server.waitForVerb("ABOR"));
    EXPECT_EQ(ftp.RawCommand("NOOP"), 225);
    EXPECT_EQ(ftp.RawCommand("NOOP"), 200);
}

TEST_F(FtpTransferTest, DownloadAbove2GiBIsCountedIn64Bits) {
    const uint64_t size = (1ull << 31) + 4097;
    server.setFile("huge", qtest::Payload::Pattern(size));
    TCountingStream stream(true);
    int64_t lastWork = 0;
    ftp.OnWork = [&](TIdComponent*, TWorkMode, int64_t count) { lastWork = count; };
    ftp.Download("huge", stream, false);
    EXPECT_EQ(stream.Size(), static_cast<int64_t>(size));
    EXPECT_EQ(stream.Mismatches, 0);
    EXPECT_GT(lastWork, int64_t(INT32_MAX));
}

// --- Restart probe and file downloads ---

TEST_F(FtpTransferTest, RestartProbeRunsOnceAndRefusalDownloadsWhole) {
    server.setResponse("REST", "502 No restart\r\n");
    server.setFile("f", "abcdef");
    TIdMemoryStream stream;
    stream.WriteBuffer("xy", 2);
    ftp.Download("f", stream, true);
    TIdMemoryStream again;
    ftp.Download("f", again, true);
    const auto sent = Sent();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "REST 1"), 1);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "REST 0"), 1);
    EXPECT_EQ(std::count_if(sent.begin(), sent.end(),
                            [](const std::string& l) { return l.rfind("REST", 0) == 0; }),
              2);
    EXPECT_TRUE(ftp.RestartChecked());
    EXPECT_FALSE(ftp.RestartAllowed());
    EXPECT_EQ(Contents(stream), "xyabcdef");
}

// Each digest command as its servers answer it, with the digest of "hello
// world"; a wrong digest is a failed check that names both values.
TEST_F(FtpTransferTest, DigestCommandsCheckTheDownload) {
    const struct {
        const char* feature;
        const char* verb;
        std::string reply;
        bool good;
    } cases[] = {
        {"HASH SHA-256*;MD5", "HASH",
         "213 SHA-256 0-10 b94d27b9934d3e08a52e52d7da7dabfac484efe37a5380ee9088f7ace2efcde9 f\r\n",
         true},
        {"XSHA1", "XSHA1", "250 2AAE6C35C94FCFB415DBE95F408B9CE91EE846ED\r\n", true},
        {"XMD5", "XMD5", "250 5eb63bbbe01eeed093cb22bb8f5acdc3\r\n", true},
        {"XCRC", "XCRC", "250 D4A1185\r\n", true},
        {"XCRC", "XCRC", "250 0D4A1186\r\n", false},
    };
    server.setFile("f", "hello world");
    server.setResponse("SIZE", "213 11\r\n");
    server.setResponse("OPTS", "200 SHA-256\r\n");
    ftp.CheckTransfers = true;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        server.setResponse("FEAT", std::string("211-Features:\r\n ") + c.feature + "\r\n211 End\r\n");
        ftp.NegotiateFeatures();
        server.setResponse(c.verb, c.reply);
        TIdMemoryStream stream;
        try {
            ftp.Download("f", stream, false);
            EXPECT_TRUE(c.good);
            EXPECT_EQ(ftp.LastCheck().Kind, TIdFTPCheckKind::Digest);
        } catch (const EIdFTPCheckFailed& e) {
            EXPECT_FALSE(c.good);
            EXPECT_NE(std::string(e.what()).find("0d4a1185 here, 0d4a1186 on the server"),
                      std::string::npos)
                << e.what();
        }
    }
}

struct LocalFileCase {
    const char* name;
    bool restSupported;
    bool exists;
    bool overwrite;
    bool restart;
    bool refused;       // EIdFTPFileAlreadyExists
    std::string result; // file contents afterwards
};

class FtpFileDownloadTest : public FtpTransferTest,
                            public ::testing::WithParamInterface<LocalFileCase> {};

TEST_P(FtpFileDownloadTest, OverwriteAndResumeRules) {
    const LocalFileCase& c = GetParam();
    if (!c.restSupported) {
        server.setResponse("REST", "500 No\r\n");
    }
    server.setFile("remote", "0123456789");
    const auto local = dir / "local.bin";
    if (c.exists) {
        qtest::WriteFile(local, "0123xxxxxxxxxxxxxxxxx");
        std::filesystem::resize_file(local, 4);
    }
    if (c.refused) {
        try {
            ftp.Download("remote", local.string(), c.overwrite, c.restart);
            FAIL();
        } catch (const EIdFTPFileAlreadyExists& e) {
            EXPECT_STREQ(e.what(), "Destination file already exists.");
        }
        for (const std::string& line : Sent()) {
            EXPECT_TRUE(line == "REST 1" || line == "REST 0") << line;
        }
    } else {
        ftp.Download("remote", local.string(), c.overwrite, c.restart);
    }
    EXPECT_EQ(qtest::ReadFile(local), c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, FtpFileDownloadTest,
    ::testing::Values(LocalFileCase{"newFile", true, false, false, false, false, "0123456789"},
                      LocalFileCase{"overwrite", true, true, true, false, false, "0123456789"},
                      LocalFileCase{"existsNoOverwrite", true, true, false, false, true, "0123"},
                      LocalFileCase{"overwriteAndRestart", true, true, true, true, true, "0123"},
                      LocalFileCase{"resumeAppends", true, true, false, true, false, "0123456789"},
                      LocalFileCase{"resumeWithoutServerSupport", false, true, false, true, true,
                                    "0123"},
                      LocalFileCase{"overwriteAndRestartNoSupport", false, true, true, true, false,
                                    "0123456789"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpTransferTest, ResumeSendsTheLocalLength) {
    server.setFile("remote", "0123456789");
    const auto local = dir / "part.bin";
    qtest::WriteFile(local, "0123");
    ftp.Download("remote", local.string(), false, true);
    const auto sent = Sent();
    EXPECT_NE(std::find(sent.begin(), sent.end(), "REST 4"), sent.end());
    EXPECT_EQ(qtest::ReadFile(local), "0123456789");
}

TEST_F(FtpTransferTest, OverwriteLongerFileLeavesExactlyTheDownload) {
    server.setFile("remote", "new");
    const auto local = dir / "old.bin";
    qtest::WriteFile(local, "an old and much longer content");
    ftp.Download("remote", local.string(), true, false);
    EXPECT_EQ(qtest::ReadFile(local), "new");
}

TEST_F(FtpTransferTest, RefusedOverwritingDownloadKeepsTheOldFile) {
    const auto local = dir / "keep.bin";
    qtest::WriteFile(local, "precious");
    EXPECT_THROW(ftp.Download("missing", local.string(), true, false), EIdProtocolReplyError);
    EXPECT_EQ(qtest::ReadFile(local), "precious");
}

TEST_F(FtpTransferTest, AfterGetSeesTheFilledStream) {
    server.setFile("f", "data");
    std::string seen;
    ftp.OnAfterGet = [&](TIdComponent* sender, TIdStream& s) {
        EXPECT_EQ(sender, &ftp);
        seen = static_cast<TIdMemoryStream&>(s).DataString();
    };
    TIdMemoryStream stream;
    ftp.Download("f", stream, false);
    EXPECT_EQ(seen, "data");
}

TEST_F(FtpTransferTest, UploadOfMissingFileSendsNothing) {
    EXPECT_THROW(ftp.Upload((dir / "nope").string(), "x"), EIdException);
    EXPECT_TRUE(Sent().empty());
}

TEST_F(FtpTransferTest, TransferTypeIgnoredWhileADataConnectionExists) {
    server.setFile("f", std::string(300000, 'z'));
    bool tried = false;
    ftp.OnWork = [&](TIdComponent*, TWorkMode, int64_t) {
        if (!tried) {
            tried = true;
            ftp.SetTransferType(ftASCII);
        }
    };
    TIdMemoryStream stream;
    ftp.Download("f", stream, false);
    EXPECT_TRUE(tried);
    EXPECT_EQ(ftp.TransferType(), ftBinary);
    const auto sent = Sent();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "TYPE A"), 0);
}

// --- Listings ---

const char* kListing = "total 2\r\n"
                       "-rw-r--r--   1 u  g   5 Jan  1  2020 a  b.txt\r\n"
                       "drwxr-xr-x   2 u  g   4096 Jan  1  2020 dir\n";

struct ListCase {
    const char* name;
    std::string mask;
    bool longForm;
    std::string line;
};

class FtpListCommandTest : public FtpTransferTest,
                           public ::testing::WithParamInterface<ListCase> {};

TEST_P(FtpListCommandTest, CommandLine) {
    server.setListing(kListing);
    server.setNameList("a  b.txt\r\ndir\r\n");
    ftp.ListDirectory(nullptr, GetParam().mask, GetParam().longForm);
    EXPECT_EQ(Sent().back(), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(Forms, FtpListCommandTest,
                         ::testing::Values(ListCase{"list", "", true, "LIST"},
                                           ListCase{"listMask", "-la", true, "LIST -la"},
                                           ListCase{"nlst", "", false, "NLST"},
                                           ListCase{"nlstMask", "*.txt", false, "NLST *.txt"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpTransferTest, ListingIntoListLinesAndLazyItems) {
    server.setListing(kListing);
    int checks = 0;
    ftp.OnCheckListFormat = [&](TIdComponent*, const std::string& line, TIdFTPListFormat& fmt) {
        ++checks;
        EXPECT_EQ(line, "total 2");
        EXPECT_EQ(fmt, flfUnix);
    };
    ftp.ListDirectory(&ftp.ListLines);
    ASSERT_EQ(ftp.ListLines.size(), 3u);
    EXPECT_EQ(ftp.ListLines[2], "drwxr-xr-x   2 u  g   4096 Jan  1  2020 dir");
    TIdFTPListItems& items = ftp.ListItems();
    EXPECT_EQ(&ftp.ListItems(), &items);
    EXPECT_EQ(checks, 1);
    ASSERT_EQ(items.Count(), 2);
    EXPECT_EQ(items.ItemAt(1).Name, "dir");

    std::vector<std::string> copy;
    ftp.ListDirectory(&copy);
    EXPECT_EQ(copy, ftp.ListLines);
    ftp.ListItems();
    EXPECT_EQ(checks, 2) << "a new listing is parsed again";
}

TEST_F(FtpTransferTest, EmptyListingGivesEmptyItemsWithoutFormatCheck) {
    server.setListing("");
    int checks = 0;
    ftp.OnCheckListFormat = [&](TIdComponent*, const std::string&, TIdFTPListFormat&) { ++checks; };
    ftp.ListDirectory(nullptr);
    EXPECT_TRUE(ftp.ListLines.empty());
    EXPECT_EQ(ftp.ListItems().Count(), 0);
    EXPECT_EQ(checks, 0);
}

TEST_F(FtpTransferTest, CreateFtpListSuppliesTheHolderAndCheckCanOverrideFormat) {
    server.setListing("custom: one\r\ncustom: two\r\n");
    TIdFTPListItems* supplied = nullptr;
    ftp.OnCreateFTPList = [&](TIdComponent* sender, std::unique_ptr<TIdFTPListItems>& holder) {
        EXPECT_EQ(sender, &ftp);
        holder = std::make_unique<TIdFTPListItems>();
        holder->OnParseCustomListFormat = [](TIdFTPListItem& item) {
            item.Name = item.RawLine.substr(8);
        };
        supplied = holder.get();
    };
    ftp.OnCheckListFormat = [](TIdComponent*, const std::string&, TIdFTPListFormat& fmt) {
        EXPECT_EQ(fmt, flfUnknown);
        fmt = flfCustom;
    };
    ftp.ListDirectory(nullptr);
    TIdFTPListItems& items = ftp.ListItems();
    EXPECT_EQ(&items, supplied);
    EXPECT_EQ(items.ListingFormat(), flfCustom);
    ASSERT_EQ(items.Count(), 2);
    EXPECT_EQ(items.ItemAt(0).Name, "one");
    EXPECT_EQ(items.ItemAt(1).Name, "two");
    EXPECT_TRUE(static_cast<bool>(ftp.OnParseCustomListFormat()));

    // A handler written after a new listing lands on the holder built for it.
    ftp.ListDirectory(nullptr);
    ftp.SetOnParseCustomListFormat([](TIdFTPListItem&) {});
    EXPECT_TRUE(static_cast<bool>(ftp.ListItems().OnParseCustomListFormat));
}

TEST_F(FtpTransferTest, FailedListingKeepsThePreviousLines) {
    server.setListing(kListing);
    ftp.ListDirectory(nullptr);
    TIdFTPListItems* before = &ftp.ListItems();
    server.enqueue("LIST", "550 No such directory\r\n");
    EXPECT_THROW(ftp.ListDirectory(nullptr, "nope"), EIdProtocolReplyError);
    EXPECT_EQ(ftp.ListLines.size(), 3u);
    EXPECT_EQ(&ftp.ListItems(), before);
}

// A server listing EPRT that refuses PORT gets EPRT for the rest of the
// session; one that does not list it keeps PORT's refusal as the error.
TEST_F(FtpTransferTest, RefusedPortFallsBackToEprtWhenListed) {
    ftp.Passive = false;
    server.setFile("f", "eprt");
    for (const bool listed : {true, false}) {
        SCOPED_TRACE(listed ? "EPRT listed" : "EPRT not listed");
        server.setResponse("FEAT", listed ? "211-Ext:\r\n EPRT\r\n211 End\r\n" : "500 No.\r\n");
        server.setResponse("PORT", "500 Illegal PORT command.\r\n");
        ftp.EndSession();
        ftp.OpenSession();
        const size_t before = server.commands().size();
        for (int i = 0; i < 2; ++i) {
            TIdMemoryStream stream;
            if (!listed) {
                EXPECT_THROW(ftp.Download("f", stream, false), EIdProtocolReplyError);
                continue;
            }
            ftp.Download("f", stream, false);
            EXPECT_EQ(Contents(stream), "eprt");
        }
        std::vector<std::string> verbs;
        for (size_t i = before; i < server.commands().size(); ++i) {
            verbs.push_back(server.commands()[i].substr(0, 4));
        }
        using V = std::vector<std::string>;
        EXPECT_EQ(verbs, (listed ? V{"PORT", "EPRT", "RETR", "EPRT", "RETR"} : V{"PORT", "PORT"}));
    }
}

// --- FEAT and MLSD ---

const std::string kFeatMlst = "211-Features:\r\n MLST type*;size*;\r\n UTF8\r\n211 End\r\n";

std::vector<std::string> ListingVerbs(const std::vector<std::string>& ACommands) {
    std::vector<std::string> verbs;
    for (const std::string& c : ACommands) {
        if (c.rfind("MLSD", 0) == 0 || c.rfind("LIST", 0) == 0) {
            verbs.push_back(c.substr(0, 4));
        }
    }
    return verbs;
}

struct FeatCase {
    const char* name;
    std::string reply;
    std::vector<std::string> features;
    bool optsUtf8;     // sent right after FEAT
    std::string lists; // the command that lists first
    std::string greeting = "220 Fake FTP ready.\r\n";
};

class FtpFeatTest : public FtpTransferTest, public ::testing::WithParamInterface<FeatCase> {};

// A greeting or FEAT reply read short or long puts every later reply out of
// step: the exact commands of the session and of a listing in each mode show it.
TEST_P(FtpFeatTest, FeaturesDecideUtf8AndMlsd) {
    const FeatCase& c = GetParam();
    server.setGreeting(c.greeting);
    server.setResponse("FEAT", c.reply);
    server.setResponse("OPTS", "501 Option not understood\r\n");
    server.setResponse("MLSD", act::Download());
    ftp.EndSession();
    ASSERT_TRUE(server.waitForSessionsEnded(1));
    sessionCommands = server.commands().size();
    ftp.OpenSession();
    EXPECT_EQ(ftp.Features(), c.features);
    std::vector<std::string> session = {"USER u", "PASS p", "TYPE I", "SYST", "FEAT"};
    if (c.optsUtf8)
        session.push_back("OPTS UTF8 ON");
    EXPECT_EQ(Sent(), session);
    for (const bool passive : {true, false}) {
        ftp.Passive = passive;
        sessionCommands = server.commands().size();
        ftp.ListDirectory(nullptr);
        std::vector<std::string> sent = Sent();
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[0].substr(0, 4) + " " + sent[1], (passive ? "PASV " : "PORT ") + c.lists);
        EXPECT_EQ(ftp.RawCommand("NOOP"), 200) << "in step after the listing";
    }
}

const FeatCase kFeatCases[] = {
    {"refused", "500 Unknown command.\r\n", {}, false, "LIST"},
    {"mlstAndUtf8", kFeatMlst, {"MLST type*;size*;", "UTF8"}, true, "MLSD"},
    {"lowerCase", "211-Ext:\r\n mlst size*;\r\n211 END\r\n", {"mlst size*;"}, false, "MLSD"},
    {"firstWordOnly",
     "211-Ext:\r\n MLSTX\r\n211-UTF8X\r\n211 END\r\n",
     {"MLSTX", "UTF8X"},
     false,
     "LIST"},
    {"oneLine", "211 No features\r\n", {}, false, "LIST"},
    // TLS servers list CCC; a short feature line is no end of the reply.
    {"shortFeatures",
     "211-Features:\r\n CCC\r\n XX\r\n MLST type*;\r\n UTF8\r\n211 End\r\n",
     {"CCC", "XX", "MLST type*;", "UTF8"},
     true,
     "MLSD"},
    {"codeMissingOrRepeated",
     "211-Features:\r\nMDTM\r\n211-MLST size*;\r\n211-\r\n SIZE\r\n211 End\r\n",
     {"MDTM", "MLST size*;", "SIZE"},
     false,
     "MLSD"},
    {"bannerOfShortLines", kFeatMlst, {"MLST type*;size*;", "UTF8"}, true, "MLSD",
     "220-Welcome\r\n  *\r\n--\r\nok\r\n\r\n   \r\n\t\r\n230-not yet\r\n220 Ready\r\n"},
    {"bannerWithCodes", "500 Unknown command.\r\n", {}, false, "LIST",
     "220-Hello\r\n220-again\r\n221 not the end\r\n2200 nor this\r\n220\r\n"}};
INSTANTIATE_TEST_SUITE_P(Replies, FtpFeatTest, ::testing::ValuesIn(kFeatCases),
                         [](const auto& info) { return std::string(info.param.name); });

// MLSD names keep blanks and semicolons; a refused MLSD falls back to LIST
// for the rest of the session, and the next session tries MLSD again.
TEST_P(FtpBothModesTest, MlsdThenRefusedMlsdFallsBackToListForTheSession) {
    server.setResponse("FEAT", kFeatMlst);
    server.setListing(kListing);
    ftp.EndSession();
    ftp.OpenSession();
    const std::string lines = "type=cdir;sizd=4096; /pub\r\ntype=pdir; ..\r\n"
                              "Size=12;Type=file; a; b  c.txt\r\nnot an entry\r\n"
                              "type=dir;sizd=512; sub dir\n";
    server.enqueue("MLSD", {act::Reply("150 Here"), act::OpenData(),
                            act::SendData(qtest::Payload::Bytes(lines)), act::CloseData(),
                            act::Reply("226 Done")});
    ftp.ListDirectory(nullptr, "pub");
    EXPECT_TRUE(ftp.ListedByMLSD());
    const TIdFTPListItems& items = ftp.ListItems();
    EXPECT_EQ(items.ListingFormat(), flfMlsd);
    ASSERT_EQ(items.Count(), 2);
    EXPECT_EQ(items.ItemAt(0).Name, "a; b  c.txt");
    EXPECT_EQ(items.ItemAt(0).FileSize, 12);
    EXPECT_EQ(items.ItemAt(1).Name + std::to_string(items.ItemAt(1).Kind), "sub dir0");
    // A missing directory is the listing's failure, not a refusal of MLSD.
    server.enqueue("MLSD", "550 No such directory.\r\n");
    EXPECT_THROW(ftp.ListDirectory(nullptr, "gone"), EIdProtocolReplyError);

    ftp.ListDirectory(nullptr);
    EXPECT_FALSE(ftp.ListedByMLSD());
    EXPECT_EQ(ftp.ListItems().Count(), 2);
    ftp.ListDirectory(nullptr);
    ftp.EndSession();
    ftp.OpenSession();
    ftp.UseMLSD = false;
    ftp.ListDirectory(nullptr);
    ftp.UseMLSD = true;
    ftp.ListDirectory(nullptr);
    EXPECT_EQ(
        ListingVerbs(server.commands()),
        (std::vector<std::string>{"MLSD", "MLSD", "MLSD", "LIST", "LIST", "LIST", "MLSD", "LIST"}));
    EXPECT_TRUE(server.problems().empty()) << ::testing::PrintToString(server.problems());
}

INSTANTIATE_TEST_SUITE_P(Modes, FtpBothModesTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "passive" : "active"; });

} // namespace
