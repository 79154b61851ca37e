// EPSV, its fallback to PASV and EPRT: against the scripted server for the
// refusals and malformed replies, and against pyftpdlib and vsftpd on ::1 and
// 127.0.0.1 in both modes.

#include "FtpClientTest.h"
#include "IdException.h"
#include "IdIntercept.h"
#include "PyftpdlibServer.h"
#include "TempDir.h"
#include "VsftpdServer.h"

namespace {

using Lines = std::vector<std::string>;

class FtpEpsvTest : public qtest::FtpClientTest {
protected:
    FtpEpsvTest() {
        ftp.UseEPSV = true;
        server.setFile("f", "payload");
    }
    void Fetch() {
        TIdMemoryStream stream;
        ftp.Download("f", stream, false);
        EXPECT_EQ(stream.DataString(), "payload");
    }
};

TEST_F(FtpEpsvTest, ThePortComesFromThe229ReplyWhateverTheDelimiter) {
    server.enqueue("EPSV", "229 Entering Extended Passive Mode (|||{port}|)\r\n");
    server.enqueue("EPSV", "229 Entering Extended Passive Mode (!!!{port}!).\r\n");
    Fetch();
    Fetch();
    EXPECT_EQ(Sent(), (Lines{"EPSV", "RETR f", "EPSV", "RETR f"}));
}

// A refusal is remembered for the session; a new session tries EPSV again.
TEST_F(FtpEpsvTest, RefusedEpsvFallsBackToPasvForTheRestOfTheSession) {
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

TEST_F(FtpEpsvTest, MalformedRepliesAreErrorsWithTheReplyText) {
    for (const char* reply :
         {"Extended Passive |||2121|", "(|||2121|", "(|!|2121|)", "(|||2121!)", "(   2121 )",
          "(|||0|)", "(|||65536|)", "(|||4294969|)", "(|||99999999999999999999999|)", "(|||21x1|)",
          "(|||-21|)", "(|||+21|)", "(||||)", "(|1|::1|2121|)", ""}) {
        try {
            TIdFTP::ExtendedPassivePort(reply);
            ADD_FAILURE() << "accepted: " << reply;
        } catch (const EIdException& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Malformed EPSV reply: ") + reply);
        }
    }
    EXPECT_EQ(TIdFTP::ExtendedPassivePort("Extended Passive (|||1|)"), 1);
    EXPECT_EQ(TIdFTP::ExtendedPassivePort("(~~~65535~)"), 65535);
    // Over the wire the transfer fails before its command; a 421 is no refusal.
    server.enqueue("EPSV", "229 Entering Extended Passive Mode (|||65536|)\r\n");
    server.enqueue("EPSV", "421 Too many users.\r\n");
    TIdMemoryStream stream;
    EXPECT_THROW(ftp.Download("f", stream, false), EIdException);
    EXPECT_THROW(ftp.Download("f", stream, false), EIdProtocolReplyError);
    EXPECT_EQ(Sent(), (Lines{"EPSV", "EPSV"}));
}

// ---------------------------------------------------------------------------

// Records the command lines the client writes.
struct TCommandRecorder : TIdConnectionIntercept {
    std::string Text = "\n";
    TCommandRecorder() {
        OnSend = [this](TIdConnectionIntercept*, TIdStream& AStream) {
            std::string bytes(static_cast<size_t>(AStream.Size()), '\0');
            AStream.Read(bytes.data(), AStream.Size());
            AStream.SetPosition(0);
            Text += bytes;
        };
    }
    bool Sent(const std::string& AVerb) const { return Text.find("\n" + AVerb) != Text.npos; }
};

struct FamilyRow {
    const char* Label;
    bool Vsftpd, IPv6, Passive, UseEpsv;
    const char* Verb;    // the data-connection command that must be sent
    const char* NotVerb; // and the one that must not
};

// The caller has checked that the server can run here.
std::unique_ptr<qtest::RealFtpServer> StartServer(bool AVsftpd, bool AIPv6,
                                                  std::vector<std::string> AArgs = {}) {
    if (AVsftpd) {
        qtest::VsftpdOptions options;
        options.ipv6 = AIPv6;
        return std::make_unique<qtest::VsftpdServer>(options);
    }
    qtest::PyftpdlibOptions options;
    options.address = AIPv6 ? "::1" : "127.0.0.1";
    options.extraArgs = std::move(AArgs);
    return std::make_unique<qtest::PyftpdlibServer>(options);
}

class FtpAddressFamilyTest : public ::testing::TestWithParam<FamilyRow> {
protected:
    void SetUp() override {
        const FamilyRow& row = GetParam();
        const std::string why = (row.Vsftpd ? qtest::VsftpdServer::Unavailable()
                                            : qtest::PyftpdlibServer::Unavailable()) +
                                (row.IPv6 ? qtest::IPv6Unavailable() : "");
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        server = StartServer(row.Vsftpd, row.IPv6);
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

    std::unique_ptr<qtest::RealFtpServer> server;
    TCommandRecorder recorder;
    TIdFTP ftp;
    qtest::TempDir local;
};

TEST_P(FtpAddressFamilyTest, ListDownloadAndUploadKeepEveryByte) {
    EXPECT_EQ(ftp.IOHandler()->PeerAddress().Text(), server->host());
    EXPECT_EQ(ftp.IOHandler()->LocalAddress().Text(), server->host());
    const std::string down = qtest::RandomBytes(300000, 7);
    server->writeFile("down load.bin", down);
    ftp.ListDirectory(&ftp.ListLines);
    ASSERT_EQ(ftp.ListItems().Count(), 1);
    EXPECT_EQ(ftp.ListItems().ItemAt(0).Name, "down load.bin");
    EXPECT_EQ(ftp.ListItems().ItemAt(0).FileSize, 300000);
    TIdMemoryStream got;
    ftp.Download("down load.bin", got, false);
    EXPECT_EQ(got.DataString(), down) << server->log();
    const std::string up = qtest::RandomBytes(200001, 8);
    ftp.Upload(local.write("up.bin", up).string(), "up.bin");
    EXPECT_EQ(server->readFile("up.bin"), up) << server->log();
    EXPECT_TRUE(recorder.Sent(GetParam().Verb)) << recorder.Text;
    EXPECT_FALSE(recorder.Sent(GetParam().NotVerb)) << recorder.Text;
    ftp.EndSession();
}

INSTANTIATE_TEST_SUITE_P(
    Servers, FtpAddressFamilyTest,
    ::testing::Values(FamilyRow{"pyftpdlib4Epsv", false, false, true, true, "EPSV", "PASV"},
                      FamilyRow{"pyftpdlib4Pasv", false, false, true, false, "PASV", "EPSV"},
                      FamilyRow{"pyftpdlib4Port", false, false, false, true, "PORT", "EPRT"},
                      FamilyRow{"pyftpdlib6Epsv", false, true, true, true, "EPSV", "PASV"},
                      // Over IPv6 there is only EPSV, whatever UseEPSV says.
                      FamilyRow{"pyftpdlib6EpsvOnly", false, true, true, false, "EPSV", "PASV"},
                      FamilyRow{"pyftpdlib6Eprt", false, true, false, true, "EPRT", "PORT"},
                      FamilyRow{"vsftpd4Epsv", true, false, true, true, "EPSV", "PASV"},
                      FamilyRow{"vsftpd6Epsv", true, true, true, true, "EPSV", "PASV"},
                      FamilyRow{"vsftpd6Eprt", true, true, false, true, "EPRT", "PORT"}),
    [](const auto& info) { return std::string(info.param.Label); });

// Over IPv6 a server that refuses EPSV leaves no passive data connection: the
// failure says so instead of sending a PASV whose answer could not be used.
TEST(FtpIPv6RefusalTest, RefusedEpsvOverIPv6SaysWhy) {
    if (const std::string why = qtest::PyftpdlibServer::Unavailable() + qtest::IPv6Unavailable();
        !why.empty()) {
        GTEST_SKIP() << why;
    }
    const auto server = StartServer(false, true, {"--refuse", "EPSV"});
    TIdFTP ftp;
    TCommandRecorder recorder;
    ftp.SetIntercept(&recorder);
    ftp.SetHost("::1");
    ftp.SetPort(server->port());
    ftp.Username = server->user();
    ftp.Password = server->password();
    ftp.Passive = true;
    ftp.OpenSession();
    try {
        ftp.ListDirectory(&ftp.ListLines);
        FAIL() << "no error";
    } catch (const EIdProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyCode, 502);
        EXPECT_NE(std::string(e.what()).find("over IPv6: 502 EPSV not implemented."),
                  std::string::npos)
            << e.what();
    }
    EXPECT_FALSE(recorder.Sent("PASV")) << recorder.Text;
    EXPECT_EQ(ftp.QueryCurrentDir(), "/");
}

} // namespace
