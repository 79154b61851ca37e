// FTP over TLS with TIdFTP: real servers in every mode, refusals, hostile
// certificates and servers that cut the TLS stream short.

#include "BytePattern.h"
#include "FtpClientTest.h"
#include "IdAntiFreeze.h"
#include "IdException.h"
#include "IdFTP.h"
#include "PyftpdlibServer.h"
#include "TestCertificates.h"
#include "VsftpdServer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using namespace qtest;
using TMode = TIdFtpTlsMode;

namespace {

std::string Unavailable(FtpServerKind AKind) {
    if (std::string why = TestCertificates::Unavailable(); !why.empty())
        return why;
    return AKind == FtpServerKind::Vsftpd ? VsftpdServer::Unavailable()
                                          : PyftpdlibServer::Unavailable();
}

std::unique_ptr<RealFtpServer> StartServer(FtpServerKind AKind, FtpTls ATls, bool ARequired,
                                           const TestCertificate* ACertificate = nullptr) {
    if (AKind == FtpServerKind::Vsftpd) {
        VsftpdOptions options;
        options.tls = ATls;
        options.tlsRequired = ARequired;
        options.tlsCertificate = ACertificate;
        return std::make_unique<VsftpdServer>(options);
    }
    PyftpdlibOptions options;
    options.tls = ATls;
    options.tlsRequired = ARequired;
    return std::make_unique<PyftpdlibServer>(options);
}

void Aim(TIdFTP& AFtp, const RealFtpServer& AServer, TMode AMode) {
    AFtp.SetHost(AServer.host());
    AFtp.SetPort(AServer.port());
    AFtp.Username = AServer.user();
    AFtp.Password = AServer.password();
    AFtp.ReadTimeout = 20000;
    AFtp.TlsSettings.Mode = AMode;
    AFtp.TlsSettings.CAFile = TestCertificates::Get().caFile.string();
}

std::string Contents(TIdMemoryStream& AStream) {
    return AStream.DataString();
}

struct SessionCase {
    const char* name;
    FtpServerKind kind;
    FtpTls serverTls;
    bool required; // the server refuses plain sign-in and plain data
    TMode mode;
    bool passive;
    bool encrypted;
};

class FtpTlsSessionTest : public ::testing::TestWithParam<SessionCase> {};

void Exercise(TIdFTP& ftp, RealFtpServer& AServer, bool AEncrypted);

TEST_P(FtpTlsSessionTest, ListsDownloadsAndUploadsEveryByte) {
    const SessionCase& c = GetParam();
    if (std::string why = Unavailable(c.kind); !why.empty())
        GTEST_SKIP() << why;
    auto server = StartServer(c.kind, c.serverTls, c.required);
    const std::string bytes = RandomBytes(3 << 20, 18);
    server->writeFile("down.bin", bytes);
    TIdFTP ftp;
    Aim(ftp, *server, c.mode);
    ftp.Passive = c.passive;
    try {
        Exercise(ftp, *server, c.encrypted);
    } catch (const std::exception& e) {
        FAIL() << e.what() << "\n" << server->log();
    }
}

void Exercise(TIdFTP& ftp, RealFtpServer& AServer, bool AEncrypted) {
    RealFtpServer* server = &AServer;
    const std::string bytes = server->readFile("down.bin");
    ftp.OpenSession();
    EXPECT_EQ(ftp.Encrypted(), AEncrypted);
    EXPECT_EQ(ftp.PeerCertificate().Sha256,
              AEncrypted ? TestCertificates::Get().server.sha256 : std::string());
    ftp.ChangeDirectory(server->remoteWorkDir());

    ftp.ListDirectory(nullptr, "", false);
    EXPECT_NE(std::find(ftp.ListLines.begin(), ftp.ListLines.end(), "down.bin"),
              ftp.ListLines.end())
        << server->log();
    TIdMemoryStream down;
    ftp.Download("down.bin", down, false);
    EXPECT_TRUE(Contents(down) == bytes) << down.Size() << " bytes\n" << server->log();
    TIdMemoryStream up;
    up.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
    up.SetPosition(0);
    ftp.Upload(up, "up.bin", false);
    up.SetPosition(0);
    ftp.Upload(up, "up.bin", true);
    EXPECT_TRUE(server->readFile("up.bin") == bytes + bytes) << server->log();
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    EXPECT_EQ(ftp.RawCommand("NOOP"), 200);
    ftp.EndSession();
}

constexpr auto kVsftpd = FtpServerKind::Vsftpd;
constexpr auto kPyftpdlib = FtpServerKind::Pyftpdlib;
INSTANTIATE_TEST_SUITE_P(Servers, FtpTlsSessionTest,
                         ::testing::Values(
                             // vsftpd also requires every data connection to resume the session.
                             SessionCase{"VsftpdExplicitPassive", kVsftpd, FtpTls::Explicit, false,
                                         TMode::tmExplicitRequired, true, true},
                             SessionCase{"VsftpdRequiredActive", kVsftpd, FtpTls::Explicit, true,
                                         TMode::tmExplicitIfAvailable, false, true},
                             SessionCase{"VsftpdImplicitPassive", kVsftpd, FtpTls::Implicit, true,
                                         TMode::tmImplicit, true, true},
                             SessionCase{"VsftpdImplicitActive", kVsftpd, FtpTls::Implicit, true,
                                         TMode::tmImplicit, false, true},
                             SessionCase{"VsftpdPlainIfAvailable", kVsftpd, FtpTls::Off, false,
                                         TMode::tmExplicitIfAvailable, true, false},
                             SessionCase{"PyftpdlibExplicitPassive", kPyftpdlib, FtpTls::Explicit,
                                         false, TMode::tmExplicitRequired, true, true},
                             SessionCase{"PyftpdlibRequiredActive", kPyftpdlib, FtpTls::Explicit,
                                         true, TMode::tmExplicitRequired, false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Refusals of AUTH and a server that hangs up after accepting it. The
// password must never go out in clear once TLS was required or begun.
struct RefusalCase {
    const char* name;
    const char* authReply; // to AUTH TLS; nullptr: the server does not know AUTH
    bool closeAfterReply;
    TMode mode;
    const char* failure; // nullptr: the session goes on in clear
    std::vector<std::string> commands;
};

class FtpTlsRefusalTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(FtpTlsRefusalTest, GoesOnInClearOnlyWhenAllowedAndRefused) {
    const RefusalCase& c = GetParam();
    FakeFtpServer server;
    if (c.authReply) {
        FtpScript script{act::Reply(c.authReply)};
        if (c.closeAfterReply)
            script.push_back(act::CloseControl());
        server.enqueue("AUTH", script);
    }
    TIdFTP ftp;
    ftp.SetHost(server.host());
    ftp.SetPort(server.port());
    ftp.Username = "u";
    ftp.Password = "p";
    ftp.ReadTimeout = 10000;
    ftp.TlsSettings.Mode = c.mode;
    if (c.failure) {
        try {
            ftp.OpenSession();
            ADD_FAILURE() << "the session opened";
        } catch (const EIdTlsError& e) {
            EXPECT_EQ(std::string(e.what()), c.failure);
        }
        EXPECT_FALSE(ftp.IsConnected());
    } else {
        ftp.OpenSession();
        EXPECT_FALSE(ftp.Encrypted());
        ftp.EndSession();
    }
    EXPECT_TRUE(server.waitForSessionsEnded(1));
    std::vector<std::string> sent = server.commands();
    EXPECT_EQ(sent, c.commands);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, FtpTlsRefusalTest,
    ::testing::Values(RefusalCase{"UnknownIfAvailable",
                                  nullptr,
                                  false,
                                  TMode::tmExplicitIfAvailable,
                                  nullptr,
                                  {"AUTH TLS", "AUTH SSL", "USER u", "PASS p", "TYPE I", "SYST",
                                   "QUIT"}},
                      RefusalCase{"RefusedIfAvailable",
                                  "534 Policy says no.",
                                  false,
                                  TMode::tmExplicitIfAvailable,
                                  nullptr,
                                  {"AUTH TLS", "USER u", "PASS p", "TYPE I", "SYST", "QUIT"}},
                      RefusalCase{"RefusedRequired",
                                  "534 Policy says no.",
                                  false,
                                  TMode::tmExplicitRequired,
                                  "The server refused TLS: 534 Policy says no.",
                                  {"AUTH TLS"}},
                      RefusalCase{"UnknownRequired",
                                  nullptr,
                                  false,
                                  TMode::tmExplicitRequired,
                                  "The server refused TLS: 500 Unknown command.",
                                  {"AUTH TLS", "AUTH SSL"}},
                      RefusalCase{"HangsUpAfter234",
                                  "234 Proceed.",
                                  true,
                                  TMode::tmExplicitIfAvailable,
                                  "TLS handshake failed: the server closed the connection",
                                  {"AUTH TLS"}}),
    [](const auto& info) { return std::string(info.param.name); });

using CertificateOf = TestCertificate TestCertificates::*;

struct CertificateCase {
    const char* name;
    CertificateOf presented;
    TIdTlsVerify verify;
    bool trusted;
};

class FtpTlsCertificateTest : public ::testing::TestWithParam<CertificateCase> {};

TEST_P(FtpTlsCertificateTest, RefusesWhatCannotBeVerifiedAndSaysWhy) {
    const CertificateCase& c = GetParam();
    if (std::string why = Unavailable(kVsftpd); !why.empty())
        GTEST_SKIP() << why;
    const TestCertificate& presented = TestCertificates::Get().*c.presented;
    auto server = StartServer(kVsftpd, FtpTls::Explicit, true, &presented);
    TIdFTP ftp;
    Aim(ftp, *server, TMode::tmExplicitRequired);
    ftp.TlsSettings.Verify = c.verify;
    ftp.TlsSettings.PinnedSha256 = presented.sha256;
    if (c.trusted) {
        ftp.OpenSession();
        EXPECT_TRUE(ftp.Encrypted());
        ftp.ListDirectory(nullptr);
        EXPECT_EQ(ftp.PeerCertificate().Sha256, presented.sha256);
        ftp.EndSession();
        return;
    }
    try {
        ftp.OpenSession();
        ADD_FAILURE() << "the certificate was accepted";
    } catch (const EIdTlsVerifyError& e) {
        EXPECT_FALSE(e.Reason.empty());
        EXPECT_EQ(e.Certificate.Sha256, presented.sha256);
        EXPECT_NE(std::string(e.what()).find(e.Reason), std::string::npos);
    }
    EXPECT_FALSE(ftp.IsConnected());
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, FtpTlsCertificateTest,
    ::testing::Values(
        CertificateCase{"OtherName", &TestCertificates::otherName, TIdTlsVerify::tvChain, false},
        CertificateCase{"Expired", &TestCertificates::expired, TIdTlsVerify::tvChain, false},
        CertificateCase{"SelfSigned", &TestCertificates::selfSigned, TIdTlsVerify::tvChain, false},
        CertificateCase{"SelfSignedPinned", &TestCertificates::selfSigned, TIdTlsVerify::tvPin,
                        true}),
    [](const auto& info) { return std::string(info.param.name); });

// pyftpdlib cuts the TCP connection under TLS (see pyftpd_server.py): a
// download that ends so is a failure, and so is the control connection.
TEST(FtpTlsTruncation, ABareTcpCloseIsNeverTheEndOfTheData) {
    if (std::string why = Unavailable(kPyftpdlib); !why.empty())
        GTEST_SKIP() << why;
    auto server = StartServer(kPyftpdlib, FtpTls::Explicit, true);
    server->writeFile("truncated.bin", RandomBytes(8 << 20, 5));
    TIdFTP ftp;
    Aim(ftp, *server, TMode::tmExplicitRequired);
    ftp.Passive = true;
    ftp.OpenSession();
    TIdMemoryStream stream;
    EXPECT_THROW(ftp.Download("truncated.bin", stream, false), EIdTlsTruncated);
    EXPECT_LT(stream.Size(), 8 << 20);
    EXPECT_EQ(ftp.DataConnection(), nullptr);
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
    auto server = StartServer(kVsftpd, FtpTls::Explicit, true);
    server->writeFile("big.bin", RandomBytes(64 << 20, 7));
    for (const bool passive : {true, false}) {
        for (const bool interrupt : {false, true}) {
            TIdFTP ftp;
            Aim(ftp, *server, TMode::tmExplicitRequired);
            ftp.Passive = passive;
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
            EXPECT_TRUE(stopped);
            EXPECT_LT(stream.Size(), 64 << 20);
            EXPECT_EQ(ftp.DataConnection(), nullptr);
            if (interrupt) {
                EXPECT_TRUE(failed);
                EXPECT_FALSE(ftp.IsConnected());
            } else {
                EXPECT_EQ(ftp.RawCommand("NOOP"), 200) << server->log();
            }
            ftp.EndSession();
        }
    }
}

// A window handler that closes the connection while the handshake waits
// (implicit from the first byte, or after AUTH TLS): the wait finds a closed
// connection, and nothing it uses is freed under it.
TEST(FtpTlsReentrancy, ClosingDuringTheHandshakeWait) {
    for (const TMode mode : {TMode::tmImplicit, TMode::tmExplicitRequired}) {
        FakeFtpServer server;
        if (mode == TMode::tmImplicit)
            server.withholdGreeting();
        server.enqueue("AUTH", {act::Reply("234 Go"), act::Delay(Millis(30000))});
        TIdFTP ftp;
        ftp.SetHost(server.host());
        ftp.SetPort(server.port());
        ftp.ReadTimeout = 10000;
        ftp.TlsSettings.Mode = mode;
        TIdAntiFreeze antiFreeze;
        int closes = 0;
        TIdAntiFreeze::InstallPump([&] { closes++ == 0 ? ftp.CloseConnection() : void(); },
                                   nullptr);
        EXPECT_THROW(ftp.OpenSession(), EIdException);
        TIdAntiFreeze::InstallPump(nullptr, nullptr);
        EXPECT_GT(closes, 0);
        EXPECT_FALSE(ftp.IsConnected());
        EXPECT_FALSE(ftp.Encrypted());
    }
}

} // namespace
