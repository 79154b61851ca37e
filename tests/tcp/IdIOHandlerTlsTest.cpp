#include "IdIOHandlerTls.h"
#include "ConnectionTestKit.h"
#include "IdException.h"
#include "IdIOHandlerSocket.h"
#include "IdTCPClient.h"
#include "PyftpdlibServer.h"
#include "TestCertificates.h"
#include "TestSockets.h"
#include "VsftpdServer.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <thread>

using namespace qtest;

namespace {

std::string Unavailable(FtpServerKind AKind) {
    if (std::string why = TestCertificates::Unavailable(); !why.empty())
        return why;
    return AKind == FtpServerKind::Vsftpd ? VsftpdServer::Unavailable()
                                          : PyftpdlibServer::Unavailable();
}

std::unique_ptr<RealFtpServer> StartTlsServer(FtpServerKind AKind, FtpTls AMode,
                                              bool ARequired = false,
                                              const TestCertificate* ACertificate = nullptr) {
    if (AKind == FtpServerKind::Vsftpd) {
        VsftpdOptions options;
        options.tls = AMode;
        options.tlsRequired = ARequired;
        options.tlsCertificate = ACertificate;
        return std::make_unique<VsftpdServer>(options);
    }
    PyftpdlibOptions options;
    options.tls = AMode;
    options.tlsRequired = ARequired;
    return std::make_unique<PyftpdlibServer>(options);
}

std::unique_ptr<TIdIOHandlerTls> TrustingTestCA(const std::string& AHost = "127.0.0.1") {
    auto tls = std::make_unique<TIdIOHandlerTls>();
    tls->CAFile = TestCertificates::Get().caFile.string();
    tls->HostName = AHost;
    return tls;
}

// Opens the control connection and reads the greeting: implicit TLS from the
// first byte, explicit after AUTH TLS, the socket upgraded in place.
TIdIOHandlerTls* OpenControl(TIdTCPClient& AClient, const RealFtpServer& AServer, FtpTls AMode,
                             std::unique_ptr<TIdIOHandlerTls> ATls) {
    TIdIOHandlerTls* tls = ATls.get();
    AClient.SetHost(AServer.host());
    AClient.SetPort(AServer.port());
    AClient.ReadTimeout = 20000;
    if (AMode == FtpTls::Implicit)
        AClient.SetOwnedIOHandler(std::move(ATls));
    AClient.OpenConnection(20000);
    AClient.GetReply({220});
    if (AMode == FtpTls::Explicit) {
        AClient.SendCommand("AUTH TLS", 234);
        AClient.WrapIOHandler(std::move(ATls));
    }
    return tls;
}

void SignIn(TIdTCPClient& AClient, const RealFtpServer& AServer) {
    // vsftpd takes anonymous sessions without asking for a password.
    if (AClient.SendCommand("USER " + AServer.user(), {230, 331}) == 331)
        AClient.SendCommand("PASS " + AServer.password(), 230);
}

struct SignInCase {
    const char* name;
    FtpServerKind kind;
    FtpTls mode;
    bool required;
};

class TlsSignInTest : public ::testing::TestWithParam<SignInCase> {};

TEST_P(TlsSignInTest, SignsInOverTheEncryptedControlConnection) {
    const SignInCase& c = GetParam();
    if (std::string why = Unavailable(c.kind); !why.empty())
        GTEST_SKIP() << why;
    auto server = StartTlsServer(c.kind, c.mode, c.required);
    if (c.required) {
        // The fixture really refuses a plain sign-in in this mode.
        TIdTCPClient plain;
        plain.SetHost(server->host());
        plain.SetPort(server->port());
        plain.OpenConnection(20000);
        plain.GetReply({220});
        EXPECT_GE(plain.SendCommand("USER " + server->user()), 500);
    }
    TIdTCPClient client;
    TIdIOHandlerTls* tls = OpenControl(client, *server, c.mode, TrustingTestCA());
    SignIn(client, *server);
    EXPECT_TRUE(tls->Encrypted());
    EXPECT_NE(tls->Protocol().find("TLSv1."), std::string::npos);
    EXPECT_EQ(client.IOHandler(), tls);
    // The socket under the TLS layer stays reachable, e.g. for the PASV peer.
    ASSERT_NE(client.SocketHandler(), nullptr);
    EXPECT_EQ(client.SocketHandler()->Handle->RemotePort, server->port());
    EXPECT_EQ(client.SendCommand("QUIT"), 221) << server->log();
}

INSTANTIATE_TEST_SUITE_P(
    Servers, TlsSignInTest,
    ::testing::Values(
        SignInCase{"VsftpdExplicit", FtpServerKind::Vsftpd, FtpTls::Explicit, false},
        SignInCase{"VsftpdRequired", FtpServerKind::Vsftpd, FtpTls::Explicit, true},
        SignInCase{"VsftpdImplicit", FtpServerKind::Vsftpd, FtpTls::Implicit, false},
        SignInCase{"PyftpdlibExplicit", FtpServerKind::Pyftpdlib, FtpTls::Explicit, false},
        SignInCase{"PyftpdlibRequired", FtpServerKind::Pyftpdlib, FtpTls::Explicit, true}),
    [](const auto& info) { return std::string(info.param.name); });

using CertificateOf = TestCertificate TestCertificates::*;

struct VerifyCase {
    const char* name;
    CertificateOf presented;
    TIdTlsVerify verify;
    bool testCA; // else the system store
    const char* host;
    CertificateOf pinned;
    bool trusted;
};

class TlsVerifyTest : public ::testing::TestWithParam<VerifyCase> {};

TEST_P(TlsVerifyTest, AcceptsOrRefusesTheCertificate) {
    const VerifyCase& c = GetParam();
    if (std::string why = Unavailable(FtpServerKind::Vsftpd); !why.empty())
        GTEST_SKIP() << why;
    const TestCertificates& all = TestCertificates::Get();
    const TestCertificate& presented = all.*c.presented;
    auto server = StartTlsServer(FtpServerKind::Vsftpd, FtpTls::Implicit, false, &presented);
    auto tls = TrustingTestCA(c.host);
    tls->Verify = c.verify;
    if (!c.testCA)
        tls->CAFile.clear();
    if (c.pinned) {
        // Written as people paste it: lower case, without colons.
        for (char ch : (all.*c.pinned).sha256)
            if (ch != ':')
                tls->PinnedSha256 += static_cast<char>(std::tolower(ch));
    }
    TIdTCPClient client;
    if (c.trusted) {
        OpenControl(client, *server, FtpTls::Implicit, std::move(tls));
        EXPECT_EQ(client.SendCommand("QUIT"), 221);
        return;
    }
    try {
        OpenControl(client, *server, FtpTls::Implicit, std::move(tls));
        FAIL() << "the certificate was accepted";
    } catch (const EIdTlsVerifyError& e) {
        EXPECT_EQ(e.Certificate.Sha256, presented.sha256);
        EXPECT_NE(std::string(e.what()).find(presented.sha256), std::string::npos) << e.what();
        EXPECT_FALSE(e.Reason.empty());
        EXPECT_NE(e.Certificate.Subject.find(".quorvan.test"), std::string::npos);
        EXPECT_FALSE(e.Certificate.NotAfter.empty());
    }
    EXPECT_FALSE(client.IsConnected());
}

constexpr auto kChain = TIdTlsVerify::tvChain;
INSTANTIATE_TEST_SUITE_P(
    Outcomes, TlsVerifyTest,
    ::testing::Values(VerifyCase{"GoodByAddress", &TestCertificates::server, kChain, true,
                                 "127.0.0.1", nullptr, true},
                      VerifyCase{"GoodByName", &TestCertificates::server, kChain, true, "localhost",
                                 nullptr, true},
                      VerifyCase{"OtherAddress", &TestCertificates::otherName, kChain, true,
                                 "127.0.0.1", nullptr, false},
                      VerifyCase{"OtherName", &TestCertificates::server, kChain, true,
                                 "ftp.example", nullptr, false},
                      VerifyCase{"Expired", &TestCertificates::expired, kChain, true, "127.0.0.1",
                                 nullptr, false},
                      VerifyCase{"SelfSigned", &TestCertificates::selfSigned, kChain, true,
                                 "127.0.0.1", nullptr, false},
                      VerifyCase{"UnknownCA", &TestCertificates::server, kChain, false, "127.0.0.1",
                                 nullptr, false},
                      VerifyCase{"PinMatches", &TestCertificates::selfSigned, TIdTlsVerify::tvPin,
                                 false, "127.0.0.1", &TestCertificates::selfSigned, true},
                      VerifyCase{"PinDiffers", &TestCertificates::server, TIdTlsVerify::tvPin, true,
                                 "127.0.0.1", &TestCertificates::otherName, false},
                      VerifyCase{"Insecure", &TestCertificates::expired, TIdTlsVerify::tvNone,
                                 false, "ftp.example", nullptr, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A data connection only gets its listing from vsftpd when it resumes the
// control connection's session (TLS 1.3 tickets included).
class TlsDataSessionTest : public ::testing::TestWithParam<bool> {};

TEST_P(TlsDataSessionTest, ListsOnlyWhenTheDataConnectionResumesTheSession) {
    const bool resume = GetParam();
    if (std::string why = Unavailable(FtpServerKind::Vsftpd); !why.empty())
        GTEST_SKIP() << why;
    auto server = StartTlsServer(FtpServerKind::Vsftpd, FtpTls::Explicit, true);
    server->writeFile("listed.txt", "x");
    TIdTCPClient control;
    TIdIOHandlerTls* tls = OpenControl(control, *server, FtpTls::Explicit, TrustingTestCA());
    SignIn(control, *server);
    control.SendCommand("PBSZ 0", 200);
    control.SendCommand("PROT P", 200);
    control.SendCommand("CWD " + server->remoteWorkDir(), 250);
    control.SendCommand("PASV", 227);
    int h[4] = {}, p[2] = {};
    const std::string text = control.LastReply().Text().at(0);
    ASSERT_EQ(std::sscanf(text.c_str() + text.find('('), "(%d,%d,%d,%d,%d,%d)", &h[0], &h[1], &h[2],
                          &h[3], &p[0], &p[1]),
              6)
        << text;

    TIdTCPClient data;
    data.SetHost(server->host());
    data.SetPort(p[0] * 256 + p[1]);
    data.ReadTimeout = 20000;
    data.OpenConnection(20000);
    control.WriteLine("LIST");
    control.GetReply({150});
    auto dataTls = TrustingTestCA();
    TIdIOHandlerTls* dataHandler = dataTls.get();
    if (resume)
        dataTls->ResumeSession(tls->Session());
    std::string listing;
    bool reused = false;
    try {
        data.WrapIOHandler(std::move(dataTls));
        reused = dataHandler->SessionReused();
        listing = data.ReadUntilClosed();
    } catch (const EIdException&) {
    }
    data.CloseConnection();
    if (resume) {
        EXPECT_TRUE(reused);
        EXPECT_NE(listing.find("listed.txt"), std::string::npos) << listing;
        EXPECT_EQ(control.GetReply({}), 226) << server->log();
    } else {
        EXPECT_EQ(listing, "");
        EXPECT_EQ(control.GetReply({}), 522) << server->log();
    }
}

INSTANTIATE_TEST_SUITE_P(Resumption, TlsDataSessionTest, ::testing::Bool());

// A TLS peer in this process that sends a text and then ends the connection,
// with or without the close_notify that marks the end as deliberate. AClear
// goes out in clear first (an AUTH TLS answer), the handshake right after it.
class TlsSender {
public:
    TlsSender(const std::string& AText, bool ACloseNotify, const std::string& AClear = "")
        : listener_(ListenLoopback()), port_(LocalPort(listener_.get())) {
        thread_ = std::thread(
            [this, AText, ACloseNotify, AClear] { Serve(AText, ACloseNotify, AClear); });
    }
    ~TlsSender() { thread_.join(); }
    uint16_t port() const { return port_; }

private:
    void Serve(const std::string& AText, bool ACloseNotify, const std::string& AClear) {
        UniqueFd peer = AcceptWithin(listener_.get(), Millis(20000));
        if (!AClear.empty())
            (void)::send(peer.get(), AClear.data(), AClear.size(), MSG_NOSIGNAL);
        const TestCertificate& cert = TestCertificates::Get().server;
        SSL_CTX* context = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_file(context, cert.cert.c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(context, cert.key.c_str(), SSL_FILETYPE_PEM);
        SSL* ssl = SSL_new(context);
        SSL_set_fd(ssl, peer.get());
        char go;
        if (SSL_accept(ssl) == 1) {
            SSL_write(ssl, AText.data(), static_cast<int>(AText.size()));
            // Holds the connection until the client has looked at what it got.
            SSL_read(ssl, &go, 1);
            if (ACloseNotify)
                SSL_shutdown(ssl);
        }
        SSL_free(ssl);
        SSL_CTX_free(context);
    }

    UniqueFd listener_;
    uint16_t port_;
    std::thread thread_;
};

class TlsEndTest : public ::testing::TestWithParam<bool> {};

TEST_P(TlsEndTest, OnlyACloseNotifyEndsTheStreamCleanly) {
    const bool closeNotify = GetParam();
    if (std::string why = TestCertificates::Unavailable(); !why.empty())
        GTEST_SKIP() << why;
    const std::string text = "hello, world";
    TlsSender sender(text, closeNotify);
    TIdTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(sender.port());
    client.ReadTimeout = 20000;
    auto tls = TrustingTestCA();
    TIdIOHandlerTls* handler = tls.get();
    client.SetOwnedIOHandler(std::move(tls));
    client.OpenConnection(20000);
    char head[3];
    ASSERT_EQ(handler->ReceiveInto(head, 3), 3);
    // The rest of the record is inside the TLS layer; the socket has nothing.
    EXPECT_TRUE(handler->WaitReadable(0));
    client.WriteText("x");
    if (closeNotify) {
        EXPECT_EQ(client.ReadUntilClosed(), text.substr(3));
    } else {
        EXPECT_THROW(client.ReadUntilClosed(), EIdTlsTruncated);
    }
}

INSTANTIATE_TEST_SUITE_P(Ends, TlsEndTest, ::testing::Bool());

// The socket handler reads ahead of the 234's line; whatever it read beyond
// it belongs to the handshake and must reach TLS, never be lost or served in
// clear.
TEST(TlsWrapTest, TheHandshakeRightAfterThe234GoesToTls) {
    if (std::string why = TestCertificates::Unavailable(); !why.empty())
        GTEST_SKIP() << why;
    // The peer's OpenSSL writes with plain write(): a client that gave up
    // must not kill the test program.
    std::signal(SIGPIPE, SIG_IGN);
    const std::string go = "234 Go ahead\r\n";
    const struct {
        const char* name;
        int32_t bufferSize;
        std::string clear;
        bool succeeds;
    } cases[] = {
        {"1024-byte steps", 1024, go, true},
        {"7-byte steps", 7, go, true},
        {"direct receives", 32768, go, true},
        // Clear bytes behind the line: refused as unread, or fed to the
        // handshake, which they break; never a session.
        {"clear bytes behind, 7-byte steps", 7, go + "230 Injected\r\n", false},
        {"clear bytes behind, 1024-byte steps", 1024, go + "230 Injected\r\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text = "hello after the handshake";
        TlsSender sender(text, true, c.clear);
        TIdTCPClient client;
        client.SetHost("127.0.0.1");
        client.SetPort(sender.port());
        client.ReadTimeout = 20000;
        client.RecvBufferSize = c.bufferSize;
        client.OpenConnection(20000);
        EXPECT_EQ(client.ReadLine(), "234 Go ahead");
        if (!c.succeeds) {
            EXPECT_THROW(client.WrapIOHandler(TrustingTestCA()), EIdTlsHandshakeError);
            continue;
        }
        client.WrapIOHandler(TrustingTestCA());
        client.WriteText("x");
        EXPECT_EQ(client.ReadUntilClosed(), text);
    }
}

TEST(TlsWrapTest, RefusesBytesReceivedInClearBeforeTheHandshake) {
    // Whatever follows the 234 in the same read came in clear after TLS was
    // asked for: an injection, never part of the encrypted session.
    TConnectionKit kit;
    kit.Handler.Prepare();
    kit.Handler.Chunk("234 Go ahead\r\n230 Injected\r\n");
    kit.Conn.GetReply({234});
    EXPECT_THROW(kit.Conn.WrapIOHandler(std::make_unique<TIdIOHandlerTls>()), EIdTlsHandshakeError);
    EXPECT_EQ(kit.Handler.Sent, "");
    EXPECT_EQ(kit.Conn.IOHandler(), &kit.Handler);
}

} // namespace
