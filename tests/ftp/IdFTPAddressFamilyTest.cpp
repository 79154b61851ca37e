// EPSV, its fallback to PASV and EPRT: against the scripted server for the
// refusals and malformed replies, and against pyftpdlib and vsftpd on ::1 and
// 127.0.0.1 in both modes.

#include "FtpClientTest.h"
#include "IdException.h"
#include "IdFTP.h"
#include "IdIntercept.h"
#include "PyftpdlibServer.h"
#include "TempDir.h"
#include "TestSockets.h"
#include "VsftpdServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

class FtpEpsvTest : public qtest::FtpClientTest {
protected:
    FtpEpsvTest() { ftp.UseEPSV = true; }
    void Fetch(const std::string& AExpected = "payload") {
        TIdMemoryStream stream;
        ftp.Download("f", stream, false);
        EXPECT_EQ(stream.DataString(), AExpected);
    }
};

TEST_F(FtpEpsvTest, ThePortComesFromThe229ReplyWhateverTheDelimiter) {
    server.setFile("f", "payload");
    server.enqueue("EPSV", "229 Entering Extended Passive Mode (|||{port}|)\r\n");
    server.enqueue("EPSV", "229 Entering Extended Passive Mode (!!!{port}!).\r\n");
    Fetch();
    Fetch();
    EXPECT_EQ(Sent(), (Lines{"EPSV", "RETR f", "EPSV", "RETR f"}));
    EXPECT_TRUE(server.problems().empty());
}

// A refusal of EPSV is remembered for the session: the next transfer asks
// with PASV straight away, and a new session tries EPSV again.
TEST_F(FtpEpsvTest, RefusedEpsvFallsBackToPasvForTheRestOfTheSession) {
    server.setFile("f", "payload");
    for (const char* refusal : {"500 Unknown command.", "501 Not now.", "502 Not here."}) {
        server.enqueue("EPSV", std::string(refusal) + "\r\n");
        Fetch();
        Fetch();
        EXPECT_EQ(Sent(), (Lines{"EPSV", "PASV", "RETR f", "PASV", "RETR f"})) << refusal;
        ftp.EndSession();
        ftp.OpenSession();
        sessionCommands = server.commands().size();
    }
}

TEST_F(FtpEpsvTest, OtherEpsvFailuresAreNotTakenForARefusal) {
    server.enqueue("EPSV", "421 Too many users.\r\n");
    TIdMemoryStream stream;
    EXPECT_THROW(ftp.Download("f", stream, false), EIdProtocolReplyError);
    EXPECT_EQ(Sent(), Lines{"EPSV"});
}

TEST_F(FtpEpsvTest, MalformedRepliesAreErrorsWithTheReplyText) {
    const char* const replies[] = {
        "Entering Extended Passive Mode |||2121|",      // no parentheses
        "Entering Extended Passive Mode (|||2121|",     // no closing one
        "Entering Extended Passive Mode (|!|2121|)",    // mixed delimiters
        "Entering Extended Passive Mode (|||2121!)",    // mixed at the end
        "Entering Extended Passive Mode (   2121 )",    // blank is no delimiter
        "Entering Extended Passive Mode (|||0|)",       // port 0
        "Entering Extended Passive Mode (|||65536|)",   // one past the last port
        "Entering Extended Passive Mode (|||4294969|)", // wraps to 2121 in 16 bits
        "Entering Extended Passive Mode (|||99999999999999999999999|)",
        "Entering Extended Passive Mode (|||21x1|)",
        "Entering Extended Passive Mode (|||-21|)",
        "Entering Extended Passive Mode (|||+21|)",
        "Entering Extended Passive Mode (||||)",
        "Entering Extended Passive Mode (|1|::1|2121|)", // an address is not ours to take
        "",
    };
    for (const char* reply : replies) {
        try {
            TIdFTP::ExtendedPassivePort(reply);
            ADD_FAILURE() << "accepted: " << reply;
        } catch (const EIdException& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Malformed EPSV reply: ") + reply);
        }
    }
    EXPECT_EQ(TIdFTP::ExtendedPassivePort("Extended Passive (|||1|)"), 1);
    EXPECT_EQ(TIdFTP::ExtendedPassivePort("(~~~65535~)"), 65535);

    // Over the wire the transfer fails before its command, and the session goes on.
    server.enqueue("EPSV", "229 Entering Extended Passive Mode (|||65536|)\r\n");
    TIdMemoryStream stream;
    EXPECT_THROW(ftp.Download("f", stream, false), EIdException);
    EXPECT_EQ(Sent(), Lines{"EPSV"});
    EXPECT_EQ(ftp.QueryCurrentDir(), "/");
}

// ---------------------------------------------------------------------------
// Real servers

// Records the command lines the client writes.
class TCommandRecorder : public TIdConnectionIntercept {
public:
    TCommandRecorder() {
        OnSend = [this](TIdConnectionIntercept*, TIdStream& AStream) {
            std::string bytes(static_cast<size_t>(AStream.Size()), '\0');
            AStream.Read(bytes.data(), AStream.Size());
            AStream.SetPosition(0);
            Text += bytes;
        };
    }
    bool Sent(const std::string& AVerb) const {
        return Text.find("\n" + AVerb) != std::string::npos;
    }
    std::string Text = "\n";
};

struct FamilyRow {
    const char* Label;
    qtest::FtpServerKind Kind;
    bool IPv6;
    bool Passive;
    bool UseEpsv;
    const char* Verb;    // the data-connection command that must be sent
    const char* NotVerb; // and the one that must not
};

class FtpAddressFamilyTest : public ::testing::TestWithParam<FamilyRow> {
protected:
    void SetUp() override {
        const FamilyRow& row = GetParam();
        const bool vsftpd = row.Kind == qtest::FtpServerKind::Vsftpd;
        std::string why =
            vsftpd ? qtest::VsftpdServer::Unavailable() : qtest::PyftpdlibServer::Unavailable();
        if (why.empty() && row.IPv6) {
            why = qtest::IPv6Unavailable();
        }
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        if (vsftpd) {
            qtest::VsftpdOptions options;
            options.ipv6 = row.IPv6;
            server = std::make_unique<qtest::VsftpdServer>(options);
        } else {
            qtest::PyftpdlibOptions options;
            options.address = row.IPv6 ? "::1" : "127.0.0.1";
            server = std::make_unique<qtest::PyftpdlibServer>(options);
        }
        ftp.SetHost(row.IPv6 ? "[::1]" : server->host());
        ftp.SetPort(server->port());
        ftp.Username = server->user();
        ftp.Password = server->password();
        ftp.Passive = row.Passive;
        ftp.UseEPSV = row.UseEpsv;
        ftp.SetIntercept(&recorder);
        ftp.OpenSession();
        ftp.ChangeDirectory(server->remoteWorkDir());
    }
    void TearDown() override {
        if (server) {
            ftp.EndSession();
        }
    }

    std::unique_ptr<qtest::RealFtpServer> server;
    TCommandRecorder recorder;
    TIdFTP ftp;
    qtest::TempDir local;
};

TEST_P(FtpAddressFamilyTest, ListDownloadAndUploadKeepEveryByte) {
    const FamilyRow& row = GetParam();
    EXPECT_EQ(ftp.IOHandler()->PeerAddress().Text(), server->host());
    EXPECT_EQ(ftp.IOHandler()->LocalAddress().Text(), server->host());

    const std::string down = qtest::RandomBytes(300000, 7);
    server->writeFile("down load.bin", down);
    ftp.ListDirectory(&ftp.ListLines);
    TIdFTPListItems& items = ftp.ListItems();
    bool listed = false;
    for (int32_t i = 0; i < items.Count(); ++i) {
        listed = listed || (items.ItemAt(i).Name == "down load.bin" &&
                            items.ItemAt(i).FileSize == static_cast<int64_t>(down.size()));
    }
    EXPECT_TRUE(listed) << server->log();

    TIdMemoryStream got;
    ftp.Download("down load.bin", got, false);
    EXPECT_EQ(got.DataString(), down) << server->log();

    const std::string up = qtest::RandomBytes(200001, 8);
    const auto source = local.write("up.bin", up);
    ftp.Upload(source.string(), "up.bin");
    EXPECT_EQ(server->readFile("up.bin"), up) << server->log();

    EXPECT_TRUE(recorder.Sent(row.Verb)) << recorder.Text;
    EXPECT_FALSE(recorder.Sent(row.NotVerb)) << recorder.Text;
}

using qtest::FtpServerKind;
INSTANTIATE_TEST_SUITE_P(
    Servers, FtpAddressFamilyTest,
    ::testing::Values(
        FamilyRow{"pyftpdlib4Epsv", FtpServerKind::Pyftpdlib, false, true, true, "EPSV", "PASV"},
        FamilyRow{"pyftpdlib4Pasv", FtpServerKind::Pyftpdlib, false, true, false, "PASV", "EPSV"},
        FamilyRow{"pyftpdlib4Port", FtpServerKind::Pyftpdlib, false, false, true, "PORT", "EPRT"},
        FamilyRow{"pyftpdlib6Epsv", FtpServerKind::Pyftpdlib, true, true, true, "EPSV", "PASV"},
        // Over IPv6 PASV is never used, whatever UseEPSV says.
        FamilyRow{"pyftpdlib6EpsvOnly", FtpServerKind::Pyftpdlib, true, true, false, "EPSV",
                  "PASV"},
        FamilyRow{"pyftpdlib6Eprt", FtpServerKind::Pyftpdlib, true, false, true, "EPRT", "PORT"},
        FamilyRow{"vsftpd4Epsv", FtpServerKind::Vsftpd, false, true, true, "EPSV", "PASV"},
        FamilyRow{"vsftpd6Epsv", FtpServerKind::Vsftpd, true, true, true, "EPSV", "PASV"},
        FamilyRow{"vsftpd6Eprt", FtpServerKind::Vsftpd, true, false, true, "EPRT", "PORT"}),
    [](const auto& info) { return std::string(info.param.Label); });

// A server on IPv6 that refuses EPSV leaves no way to a passive data
// connection: the failure says so instead of sending a PASV whose answer
// could not be used.
TEST(FtpIPv6RefusalTest, RefusedEpsvOverIPv6SaysWhy) {
    if (const std::string why = qtest::PyftpdlibServer::Unavailable() + qtest::IPv6Unavailable();
        !why.empty()) {
        GTEST_SKIP() << why;
    }
    qtest::PyftpdlibOptions options;
    options.address = "::1";
    options.extraArgs = {"--refuse", "EPSV"};
    qtest::PyftpdlibServer server(options);
    TIdFTP ftp;
    TCommandRecorder recorder;
    ftp.SetIntercept(&recorder);
    ftp.SetHost("::1");
    ftp.SetPort(server.port());
    ftp.Username = server.user();
    ftp.Password = server.password();
    ftp.Passive = true;
    ftp.OpenSession();
    TIdMemoryStream stream;
    try {
        ftp.ListDirectory(&ftp.ListLines);
        FAIL() << "no error";
    } catch (const EIdProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyCode, 502);
        EXPECT_NE(std::string(e.what()).find("PASV cannot reach a server over IPv6: 502"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_FALSE(recorder.Sent("PASV")) << recorder.Text;
    EXPECT_EQ(ftp.QueryCurrentDir(), "/");
    ftp.EndSession();
}

} // namespace
