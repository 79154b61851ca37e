// FTP over TLS with TIdFTP: real servers in every mode, refusals of AUTH,
// servers that cut the TLS stream short, abort and interrupt.
// (Certificate verification: tests/tcp/IdIOHandlerTlsTest.cpp and qvftp's.)

#include "BytePattern.h"
#include "FakeFtpServer.h"
#include "IdException.h"
#include "IdFTP.h"
#include "PyftpdlibServer.h"
#include "TestCertificates.h"
#include "VsftpdServer.h"

#include <gtest/gtest.h>

using namespace qtest;
using TMode = TIdFtpTlsMode;
constexpr auto kVsftpd = FtpServerKind::Vsftpd;
constexpr auto kPyftpdlib = FtpServerKind::Pyftpdlib;

namespace {

std::string Unavailable(FtpServerKind AKind) {
    return TestCertificates::Unavailable() +
           (AKind == kVsftpd ? VsftpdServer::Unavailable() : PyftpdlibServer::Unavailable());
}

void Aim(TIdFTP& AFtp, const std::string& AHost, int APort, TMode AMode) {
    AFtp.SetHost(AHost);
    AFtp.SetPort(APort);
    AFtp.ReadTimeout = 20000;
    AFtp.TlsSettings.Mode = AMode;
    if (TestCertificates::Unavailable().empty())
        AFtp.TlsSettings.CAFile = TestCertificates::Get().caFile.string();
}

void Aim(TIdFTP& AFtp, const RealFtpServer& AServer, TMode AMode) {
    Aim(AFtp, AServer.host(), AServer.port(), AMode);
    AFtp.Username = AServer.user();
    AFtp.Password = AServer.password();
}

struct SessionCase {
    const char* name;
    FtpServerKind kind;
    FtpTls serverTls;
    bool required; // the server refuses plain sign-in and plain data
    TMode mode;
    bool passive;
};

class FtpTlsSessionTest : public ::testing::TestWithParam<SessionCase> {};

// vsftpd also refuses every data connection that does not resume the
// control connection's session (TLS 1.3 tickets).
TEST_P(FtpTlsSessionTest, ListsDownloadsAndUploadsEveryByte) {
    const SessionCase& c = GetParam();
    if (std::string why = Unavailable(c.kind); !why.empty())
        GTEST_SKIP() << why;
    auto server = StartFtpServer(c.kind, c.serverTls, c.required);
    const std::string bytes = RandomBytes(3 << 20, 18);
    server->writeFile("down.bin", bytes);
    TIdFTP ftp;
    Aim(ftp, *server, c.mode);
    ftp.Passive = c.passive;
    ftp.OpenSession();
    const bool encrypted = c.serverTls != FtpTls::Off;
    EXPECT_EQ(ftp.Encrypted(), encrypted);
    EXPECT_EQ(ftp.PeerCertificate().Sha256, encrypted ? TestCertificates::Get().server.sha256 : "");
    ftp.ChangeDirectory(server->remoteWorkDir());
    ftp.ListDirectory(nullptr, "", false);
    EXPECT_EQ(ftp.ListLines, std::vector<std::string>{"down.bin"}) << server->log();
    TIdMemoryStream stream;
    ftp.Download("down.bin", stream, false);
    EXPECT_TRUE(stream.DataString() == bytes) << stream.Size() << server->log();
    for (const bool append : {false, true}) {
        stream.SetPosition(0);
        ftp.Upload(stream, "up.bin", append);
    }
    EXPECT_TRUE(server->readFile("up.bin") == bytes + bytes) << server->log();
    EXPECT_EQ(ftp.RawCommand("NOOP"), 200);
    ftp.EndSession();
}

using enum TIdFtpTlsMode;
constexpr auto kExplicit = FtpTls::Explicit, kImplicit = FtpTls::Implicit;
const SessionCase kSessions[] = {
    {"VsftpdExplicit", kVsftpd, kExplicit, false, tmExplicitRequired, true},
    {"VsftpdRequiredActive", kVsftpd, kExplicit, true, tmExplicitIfAvailable, false},
    {"VsftpdImplicit", kVsftpd, kImplicit, true, tmImplicit, true},
    {"VsftpdImplicitActive", kVsftpd, kImplicit, true, tmImplicit, false},
    {"VsftpdPlainIfAvailable", kVsftpd, FtpTls::Off, false, tmExplicitIfAvailable, true},
    {"PyftpdlibExplicit", kPyftpdlib, kExplicit, false, tmExplicitRequired, true},
    {"PyftpdlibRequiredActive", kPyftpdlib, kExplicit, true, tmExplicitRequired, false}};
INSTANTIATE_TEST_SUITE_P(Servers, FtpTlsSessionTest, ::testing::ValuesIn(kSessions),
                         [](const auto& info) { return std::string(info.param.name); });

// Refusals of AUTH and a server that hangs up after accepting it: the
// sign-in goes out in clear only when allowed and AUTH was refused.
TEST(FtpTlsRefusal, GoesOnInClearOnlyWhenAllowedAndRefused) {
    struct {
        const char* authReply; // nullptr: the server does not know AUTH
        TMode mode;
        const char* failure; // nullptr: the session goes on in clear
        bool authSsl;        // AUTH SSL follows a refused AUTH TLS
    } const cases[] = {
        {nullptr, tmExplicitIfAvailable, nullptr, true},
        {"534 Policy says no.", tmExplicitIfAvailable, nullptr, false},
        {"530 Please login with USER and PASS.", tmExplicitIfAvailable, nullptr, false},
        {"534 Policy says no.", tmExplicitRequired, "The server refused TLS: 534 Policy says no.",
         false},
        {nullptr, tmExplicitRequired, "The server refused TLS: 500 Unknown command.", true},
        {"234 Proceed.", tmExplicitIfAvailable,
         "TLS handshake failed: the server closed the connection", false},
        // Not an answer to AUTH: out of step, never a reason to sign in in clear.
        {"200 Fine.", tmExplicitIfAvailable, "Fine.\r\n", false},
        {" --", tmExplicitIfAvailable, "\r\n", false},
        {"331 Go on.", tmExplicitRequired, "Go on.\r\n", false},
    };
    const std::vector<std::string> inClear = {"USER u", "PASS p", "TYPE I", "SYST", "FEAT", "QUIT"};
    for (const auto& c : cases) {
        std::vector<std::string> commands = {"AUTH TLS"};
        if (c.authSsl)
            commands.push_back("AUTH SSL");
        if (!c.failure)
            commands.insert(commands.end(), inClear.begin(), inClear.end());
        SCOPED_TRACE(commands.back());
        FakeFtpServer server;
        if (c.authReply && *c.authReply == '2')
            server.enqueue("AUTH", {act::Reply(c.authReply), act::CloseControl()});
        else if (c.authReply)
            server.enqueue("AUTH", c.authReply + std::string("\r\n"));
        TIdFTP ftp;
        Aim(ftp, server.host(), server.port(), c.mode);
        ftp.Username = "u";
        ftp.Password = "p";
        try {
            ftp.OpenSession();
            EXPECT_FALSE(ftp.Encrypted());
            ftp.EndSession();
            EXPECT_EQ(c.failure, nullptr);
        } catch (const EIdException& e) {
            EXPECT_STREQ(e.what(), c.failure);
        }
        EXPECT_FALSE(ftp.IsConnected());
        EXPECT_TRUE(server.waitForSessionsEnded(1));
        EXPECT_EQ(server.commands(), commands);
    }
}

// pyftpdlib cuts the TCP connection under TLS (see pyftpd_server.py): a
// download that ends so is a failure, and so is the control connection.
TEST(FtpTlsTruncation, ABareTcpCloseIsNeverTheEndOfTheData) {
    if (std::string why = Unavailable(kPyftpdlib); !why.empty())
        GTEST_SKIP() << why;
    auto server = StartFtpServer(kPyftpdlib, FtpTls::Explicit, true);
    server->writeFile("truncated.bin", RandomBytes(8 << 20, 5));
    TIdFTP ftp;
    Aim(ftp, *server, TMode::tmExplicitRequired);
    ftp.Passive = true;
    ftp.OpenSession();
    TIdMemoryStream stream;
    EXPECT_THROW(ftp.Download("truncated.bin", stream, false), EIdTlsTruncated);
    EXPECT_LT(stream.Size(), 8 << 20);
    EXPECT_EQ(ftp.RawCommand("NOOP"), 200);
    EXPECT_THROW(ftp.RawCommand("SITE CUT"), EIdTlsTruncated);
    EXPECT_FALSE(ftp.IsConnected());
}

// ABOR over TLS drops the data connection without a close_notify and the
// session stays in step; an interrupt from inside the wait ends both
// connections, and the waiting call fails instead of touching freed memory.
TEST(FtpTlsAbort, AbortOrInterruptDuringADownload) {
    if (std::string why = Unavailable(kVsftpd); !why.empty())
        GTEST_SKIP() << why;
    auto server = StartFtpServer(kVsftpd, FtpTls::Explicit, true);
    server->writeFile("big.bin", RandomBytes(64 << 20, 7));
    for (const int run : {0, 1, 2, 3}) {
        const bool interrupt = run & 1;
        TIdFTP ftp;
        Aim(ftp, *server, TMode::tmExplicitRequired);
        ftp.Passive = run & 2;
        ftp.OpenSession();
        ftp.ChangeDirectory(server->remoteWorkDir());
        bool stopped = false;
        ftp.OnWork = [&](TIdComponent*, TWorkMode, int64_t count) {
            if (!stopped && count > 200000) {
                stopped = true;
                interrupt ? ftp.Interrupt() : ftp.AbortTransfer();
            }
        };
        TIdMemoryStream stream;
        bool failed = false;
        try {
            ftp.Download("big.bin", stream, false);
        } catch (const EIdException&) {
            failed = true;
        }
        EXPECT_TRUE(stopped && stream.Size() < (64 << 20));
        EXPECT_EQ(ftp.DataConnection(), nullptr);
        EXPECT_EQ(failed, interrupt);
        EXPECT_EQ(ftp.IsConnected(), !interrupt);
        if (!interrupt) {
            EXPECT_EQ(ftp.RawCommand("NOOP"), 200) << server->log();
        }
    }
}

} // namespace
