// EPSV, its fallback to PASV and EPRT: against the scripted server for the
// refusals and malformed replies, and against pyftpdlib and vsftpd on ::1 and
// 127.0.0.1 in both modes (qvftp's tests check which command each mode sends).

#include "FtpClientTest.h"
#include "IdException.h"
#include "PyftpdlibServer.h"
#include "TempDir.h"
#include "TestCertificates.h"
#include "VsftpdServer.h"

using namespace qtest;

namespace {

using Lines = std::vector<std::string>;

class FtpEpsvTest : public FtpClientTest {
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

struct FamilyRow {
    const char* Label;
    FtpServerKind Kind;
    bool IPv6, Passive, UseEpsv;
    // Explicit TLS required, data connections included.
    bool Tls = false;
};

class FtpAddressFamilyTest : public ::testing::TestWithParam<FamilyRow> {
protected:
    void SetUp() override {
        const FamilyRow& row = GetParam();
        const std::string why =
            FtpServerUnavailable(row.Kind) + (row.IPv6 ? IPv6Unavailable() : "") +
            (row.Tls ? TestCertificates::Unavailable() +
                           FtpServerLacks(row.Kind, FtpAbility::TlsExplicit)
                     : "") +
            (row.IPv6 ? FtpServerLacks(row.Kind, FtpAbility::Ipv6) : "");
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        server = StartFtpServer(row.Kind, row.Tls ? FtpTls::Explicit : FtpTls::Off, row.Tls, row.IPv6);
        ftp.SetHost(row.IPv6 ? "[::1]" : server->host());
        ftp.SetPort(server->port());
        ftp.Username = server->user();
        ftp.Password = server->password();
        ftp.Passive = row.Passive;
        ftp.UseEPSV = row.UseEpsv;
        if (row.Tls) {
            ftp.TlsSettings.Mode = TIdFtpTlsMode::tmExplicitRequired;
            ftp.TlsSettings.CAFile = TestCertificates::Get().caFile.string();
        }
        ftp.OpenSession();
        EXPECT_EQ(ftp.Encrypted(), row.Tls);
        ftp.ChangeDirectory(server->remoteWorkDir());
    }

    std::unique_ptr<RealFtpServer> server;
    TIdFTP ftp;
    TempDir local;
};

TEST_P(FtpAddressFamilyTest, ListDownloadAndUploadKeepEveryByte) {
    EXPECT_EQ(ftp.IOHandler()->PeerAddress().Text(), server->host());
    EXPECT_EQ(ftp.IOHandler()->LocalAddress().Text(), server->host());
    const std::string down = RandomBytes(300000, 7);
    server->writeFile("down load.bin", down);
    ftp.ListDirectory(&ftp.ListLines);
    ASSERT_EQ(ftp.ListItems().Count(), 1);
    EXPECT_EQ(ftp.ListItems().ItemAt(0).Name, "down load.bin");
    EXPECT_EQ(ftp.ListItems().ItemAt(0).FileSize, 300000);
    TIdMemoryStream got;
    ftp.Download("down load.bin", got, false);
    EXPECT_EQ(got.DataString(), down) << server->log();
    const std::string up = RandomBytes(200001, 8);
    ftp.Upload(local.write("up.bin", up).string(), "up.bin");
    EXPECT_EQ(server->readFile("up.bin"), up) << server->log();
    ftp.EndSession();
}

constexpr auto kV = FtpServerKind::Vsftpd, kP = FtpServerKind::Pyftpdlib;
constexpr auto kInetutils = FtpServerKind::Inetutils, kFtpdSsl = FtpServerKind::FtpdSsl;
const FamilyRow kFamilyRows[] = {{"pyftpdlib4Epsv", kP, false, true, true},
                                 {"pyftpdlib4Pasv", kP, false, true, false},
                                 {"pyftpdlib4Port", kP, false, false, true},
                                 {"pyftpdlib6Epsv", kP, true, true, true},
                                 // Over IPv6 there is only EPSV, whatever UseEPSV says.
                                 {"pyftpdlib6EpsvOnly", kP, true, true, false},
                                 {"pyftpdlib6Eprt", kP, true, false, true},
                                 {"vsftpd6Epsv", kV, true, true, true},
                                 {"vsftpd6Eprt", kV, true, false, true},
                                 {"vsftpd6EpsvTls", kV, true, true, true, true},
                                 {"vsftpd6EprtTls", kV, true, false, true, true},
                                 {"pyftpdlib6EprtTls", kP, true, false, true, true},
                                 {"inetutils4Epsv", kInetutils, false, true, true},
                                 {"inetutils4Pasv", kInetutils, false, true, false},
                                 {"inetutils4Port", kInetutils, false, false, false},
                                 {"inetutils6Epsv", kInetutils, true, true, true},
                                 {"inetutils6Eprt", kInetutils, true, false, true},
                                 {"ftpdSsl4Epsv", kFtpdSsl, false, true, true},
                                 {"ftpdSsl6Epsv", kFtpdSsl, true, true, true},
                                 {"ftpdSsl6Eprt", kFtpdSsl, true, false, true},
                                 {"ftpdSsl6EpsvTls", kFtpdSsl, true, true, true, true},
                                 {"ftpdSsl4PortTls", kFtpdSsl, false, false, false, true}};
INSTANTIATE_TEST_SUITE_P(Servers, FtpAddressFamilyTest, ::testing::ValuesIn(kFamilyRows),
                         [](const auto& info) { return std::string(info.param.Label); });

} // namespace
