#include "IdSocks.h"
#include "DanteServer.h"
#include "EchoServer.h"
#include "FakeSocksServer.h"
#include "IdException.h"
#include "IdIOHandler.h"
#include "IdIOHandlerSocket.h"
#include "IdTCPClient.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

// Records every byte sent and answers each receive with at most one scripted
// chunk, so a reply split over several chunks arrives in pieces.
class ScriptedHandler : public TIdIOHandler {
public:
    std::string Sent;
    std::deque<std::string> Replies;

    ~ScriptedHandler() override { Shut(); }
    bool IsOpen() override { return true; }
    bool WaitReadable(int32_t) override { return true; }
    int32_t ReceiveInto(void* ABuffer, int32_t ALength) override {
        if (Replies.empty()) {
            return 0; // the proxy closed
        }
        std::string& chunk = Replies.front();
        const auto n = std::min<size_t>(static_cast<size_t>(ALength), chunk.size());
        chunk.copy(static_cast<char*>(ABuffer), n);
        chunk.erase(0, n);
        if (chunk.empty()) {
            Replies.pop_front();
        }
        return static_cast<int32_t>(n);
    }
    int32_t SendFrom(const void* ABuffer, int32_t ALength) override {
        Sent.append(static_cast<const char*>(ABuffer), static_cast<size_t>(ALength));
        return ALength;
    }
};

std::string Bytes(std::initializer_list<int> AValues) {
    std::string out;
    for (int v : AValues) {
        out += static_cast<char>(v);
    }
    return out;
}

std::string Hex(const std::string& AData) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : AData) {
        out += digits[c >> 4];
        out += digits[c & 15];
        out += ' ';
    }
    return out;
}

using ExceptionCheck = std::function<bool(const std::exception&)>;

template <class E> ExceptionCheck Is() {
    return [](const std::exception& e) { return dynamic_cast<const E*>(&e) != nullptr; };
}

// Runs a negotiation and returns the exception it raised (empty check when none).
struct Outcome {
    bool Raised = false;
    std::string Message;
    std::exception_ptr Error;
};

Outcome Negotiated(TIdSocksInfo& ASocks, const std::string& AHost, int32_t APort) {
    Outcome outcome;
    try {
        ASocks.Negotiate(AHost, APort);
    } catch (const std::exception& e) {
        outcome.Raised = true;
        outcome.Message = e.what();
        outcome.Error = std::current_exception();
    }
    return outcome;
}

bool Matches(const Outcome& AOutcome, const ExceptionCheck& ACheck) {
    try {
        std::rethrow_exception(AOutcome.Error);
    } catch (const std::exception& e) {
        return ACheck(e);
    }
}

const std::string Socks4Granted = Bytes({0, 90, 0, 0, 0, 0, 0, 0});
const std::string Socks5NoAuth = Bytes({5, 0});
const std::string Socks5Succeeded = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x12, 0x34});

TEST(SocksRequestLayout, SendsTheExactRequestBytes) {
    struct Case {
        const char* Name;
        TSocksVersion Version;
        TSocksAuthentication Authentication;
        std::string Username;
        std::string Password;
        std::string Host;
        int32_t Port;
        std::vector<std::string> Replies;
        std::string Expected;
    };
    const std::string longUser(300, 'u');
    const std::vector<Case> cases = {
        {"socks4 empty user id is nine bytes",
         svSocks4,
         saNoAuthentication,
         "",
         "",
         "127.0.0.1",
         21,
         {Socks4Granted},
         Bytes({4, 1, 0, 21, 127, 0, 0, 1, 0})},
        {"socks4 user id and high port",
         svSocks4,
         saNoAuthentication,
         "bob",
         "",
         "10.1.2.3",
         0xABCD,
         {Socks4Granted},
         Bytes({4, 1, 0xAB, 0xCD, 10, 1, 2, 3}) + "bob" + Bytes({0})},
        {"socks4 localhost resolves without a look-up",
         svSocks4,
         saNoAuthentication,
         "",
         "",
         "localhost",
         80,
         {Socks4Granted},
         Bytes({4, 1, 0, 80, 127, 0, 0, 1, 0})},
        {"socks4 user id cut to 255 bytes",
         svSocks4,
         saNoAuthentication,
         longUser,
         "",
         "1.2.3.4",
         1,
         {Socks4Granted},
         Bytes({4, 1, 0, 1, 1, 2, 3, 4}) + std::string(255, 'u') + Bytes({0})},
        // An unresolvable name proves that 4A never looks the host up itself.
        {"socks4a sends 0.0.0.1 and the name",
         svSocks4A,
         saNoAuthentication,
         "ann",
         "",
         "no-such-host.invalid",
         2121,
         {Socks4Granted},
         Bytes({4, 1, 0x08, 0x49, 0, 0, 0, 1}) + "ann" + Bytes({0}) + "no-such-host.invalid" +
             Bytes({0})},
        {"socks5 without authentication",
         svSocks5,
         saNoAuthentication,
         "ignored",
         "ignored",
         "ftp.example.org",
         21,
         {Socks5NoAuth, Socks5Succeeded},
         Bytes({5, 1, 0}) + Bytes({5, 1, 0, 3, 15}) + "ftp.example.org" + Bytes({0, 21})},
        {"socks5 sends a dotted quad as a name too",
         svSocks5,
         saNoAuthentication,
         "",
         "",
         "127.0.0.1",
         65535,
         {Socks5NoAuth, Socks5Succeeded},
         Bytes({5, 1, 0}) + Bytes({5, 1, 0, 3, 9}) + "127.0.0.1" + Bytes({0xFF, 0xFF})},
        {"socks5 with user name and password",
         svSocks5,
         saUsernamePassword,
         "alice",
         "secret",
         "h",
         1080,
         {Bytes({5, 2}), Bytes({1, 0}), Socks5Succeeded},
         Bytes({5, 1, 2}) + Bytes({1, 5}) + "alice" + Bytes({6}) + "secret" +
             Bytes({5, 1, 0, 3, 1}) + "h" + Bytes({0x04, 0x38})},
        {"socks5 with empty user name and password",
         svSocks5,
         saUsernamePassword,
         "",
         "",
         "h",
         7,
         {Bytes({5, 2}), Bytes({1, 0}), Socks5Succeeded},
         Bytes({5, 1, 2, 1, 0, 0, 5, 1, 0, 3, 1}) + "h" + Bytes({0, 7})},
        {"socks5 sends an IPv6 literal as its sixteen bytes",
         svSocks5,
         saNoAuthentication,
         "",
         "",
         "[2001:db8::1]",
         21,
         {Socks5NoAuth, Socks5Succeeded},
         Bytes({5, 1, 0}) +
             Bytes({5, 1, 0, 4, 0x20, 1, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 21})},
        {"no proxy sends nothing", svNoSocks, saNoAuthentication, "x", "y", "host", 21, {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ScriptedHandler handler;
        handler.Replies.assign(c.Replies.begin(), c.Replies.end());
        TIdSocksInfo socks;
        socks.Version = c.Version;
        socks.Authentication = c.Authentication;
        socks.Username = c.Username;
        socks.Password = c.Password;
        socks.SetHandler(&handler);
        const Outcome outcome = Negotiated(socks, c.Host, c.Port);
        EXPECT_FALSE(outcome.Raised) << outcome.Message;
        EXPECT_EQ(Hex(handler.Sent), Hex(c.Expected));
        EXPECT_TRUE(handler.Replies.empty()) << "reply bytes left unread";
    }
}

struct RefusalCase {
    const char* Name;
    TSocksVersion Version;
    TSocksAuthentication Authentication;
    std::vector<std::string> Replies;
    ExceptionCheck Check;
    const char* Message;
};

void ExpectRefusals(const std::vector<RefusalCase>& ACases) {
    for (const RefusalCase& c : ACases) {
        SCOPED_TRACE(c.Name);
        ScriptedHandler handler;
        handler.Replies.assign(c.Replies.begin(), c.Replies.end());
        TIdSocksInfo socks;
        socks.Version = c.Version;
        socks.Authentication = c.Authentication;
        socks.Username = "user";
        socks.Password = "pass";
        socks.SetHandler(&handler);
        const Outcome outcome = Negotiated(socks, "target.example", 21);
        ASSERT_TRUE(outcome.Raised);
        EXPECT_EQ(outcome.Message, c.Message);
        EXPECT_TRUE(Matches(outcome, c.Check));
        EXPECT_TRUE(Matches(outcome, Is<EIdException>()));
    }
}

TEST(SocksRefusal, Socks4ReplyCodes) {
    auto reply = [](int code) { return Bytes({0, code, 0, 0, 0, 0, 0, 0}); };
    ExpectRefusals({
        {"91",
         svSocks4A,
         saNoAuthentication,
         {reply(91)},
         Is<EIdSocksRequestFailed>(),
         "Request rejected or failed."},
        {"92",
         svSocks4A,
         saNoAuthentication,
         {reply(92)},
         Is<EIdSocksRequestServerFailed>(),
         "Request rejected because SOCKS server cannot connect."},
        {"93",
         svSocks4A,
         saNoAuthentication,
         {reply(93)},
         Is<EIdSocksRequestIdentFailed>(),
         "Request rejected because the client program and identd report different user-ids."},
        {"0",
         svSocks4A,
         saNoAuthentication,
         {reply(0)},
         Is<EIdSocksUnknownError>(),
         "Unknown socks error."},
        {"94",
         svSocks4A,
         saNoAuthentication,
         {reply(94)},
         Is<EIdSocksUnknownError>(),
         "Unknown socks error."},
        // A proxy that closes must not look like a grant.
        {"closed",
         svSocks4A,
         saNoAuthentication,
         {},
         Is<EIdConnClosedGracefully>(),
         "Connection Closed Gracefully."},
        {"closed mid-reply",
         svSocks4A,
         saNoAuthentication,
         {Bytes({0, 90, 0})},
         Is<EIdConnClosedGracefully>(),
         "Connection Closed Gracefully."},
    });
}

// Four address bytes cannot name an IPv6 host; nothing reaches the proxy.
TEST(SocksRefusal, Socks4CannotCarryAnIPv6Target) {
    for (const TSocksVersion version : {svSocks4, svSocks4A}) {
        for (const char* host : {"::1", "[2001:db8::1]"}) {
            SCOPED_TRACE(host);
            ScriptedHandler handler;
            TIdSocksInfo socks;
            socks.Version = version;
            socks.SetHandler(&handler);
            const Outcome outcome = Negotiated(socks, host, 21);
            ASSERT_TRUE(outcome.Raised);
            EXPECT_EQ(outcome.Message, "SOCKS 4 cannot reach an IPv6 address.");
            EXPECT_TRUE(Matches(outcome, Is<EIdSocksRequestFailed>()));
            EXPECT_EQ(handler.Sent, "");
        }
    }
}

TEST(SocksRefusal, Socks5MethodAndAuthentication) {
    const char* noResponse = "Socks server did not respond.";
    const char* badMethod = "Invalid socks authentication method.";
    ExpectRefusals({
        {"255 method",
         svSocks5,
         saNoAuthentication,
         {Bytes({5, 255})},
         Is<EIdSocksAuthMethodError>(),
         badMethod},
        {"255 method with auth offered",
         svSocks5,
         saUsernamePassword,
         {Bytes({5, 255})},
         Is<EIdSocksAuthMethodError>(),
         badMethod},
        {"another method than offered",
         svSocks5,
         saNoAuthentication,
         {Bytes({5, 2})},
         Is<EIdSocksAuthMethodError>(),
         badMethod},
        {"no auth chosen when auth offered",
         svSocks5,
         saUsernamePassword,
         {Bytes({5, 0})},
         Is<EIdSocksAuthMethodError>(),
         badMethod},
        {"close instead of method",
         svSocks5,
         saNoAuthentication,
         {},
         Is<EIdSocksServerRespondError>(),
         noResponse},
        {"half a method reply",
         svSocks5,
         saNoAuthentication,
         {Bytes({5})},
         Is<EIdSocksServerRespondError>(),
         noResponse},
        {"authentication refused",
         svSocks5,
         saUsernamePassword,
         {Bytes({5, 2}), Bytes({1, 1})},
         Is<EIdSocksAuthError>(),
         "Authentication error to socks server."},
        {"close instead of auth reply",
         svSocks5,
         saUsernamePassword,
         {Bytes({5, 2})},
         Is<EIdSocksServerRespondError>(),
         noResponse},
        {"close instead of connect reply",
         svSocks5,
         saNoAuthentication,
         {Socks5NoAuth},
         Is<EIdSocksServerRespondError>(),
         noResponse},
        {"close before the bound address",
         svSocks5,
         saNoAuthentication,
         {Socks5NoAuth, Bytes({5, 0, 0, 1, 127})},
         Is<EIdSocksServerRespondError>(),
         noResponse},
        {"unknown bound address type",
         svSocks5,
         saNoAuthentication,
         {Socks5NoAuth, Bytes({5, 0, 0, 9, 0, 0, 0})},
         Is<EIdSocksServerAddressError>(),
         "Address type not supported."},
    });
}

TEST(SocksRefusal, Socks5ConnectReplyCodes) {
    struct Code {
        int Value;
        ExceptionCheck Check;
        const char* Message;
    };
    const std::vector<Code> codes = {
        {1, Is<EIdSocksServerGeneralError>(), "General SOCKS server failure."},
        {2, Is<EIdSocksServerPermissionError>(), "Connection not allowed by ruleset."},
        {3, Is<EIdSocksServerNetUnreachableError>(), "Network unreachable."},
        {4, Is<EIdSocksServerHostUnreachableError>(), "Host unreachable."},
        {5, Is<EIdSocksServerConnectionRefusedError>(), "Connection refused."},
        {6, Is<EIdSocksServerTTLExpiredError>(), "TTL expired."},
        {7, Is<EIdSocksServerCommandError>(), "Command not supported."},
        {8, Is<EIdSocksServerAddressError>(), "Address type not supported."},
        {9, Is<EIdSocksUnknownError>(), "Unknown socks error."},
        {255, Is<EIdSocksUnknownError>(), "Unknown socks error."},
    };
    std::vector<RefusalCase> cases;
    std::vector<std::string> names;
    names.reserve(codes.size());
    for (const Code& code : codes) {
        names.push_back("reply code " + std::to_string(code.Value));
        cases.push_back({names.back().c_str(),
                         svSocks5,
                         saNoAuthentication,
                         {Socks5NoAuth, Bytes({5, code.Value, 0, 1, 0, 0, 0, 0, 0, 0})},
                         code.Check,
                         code.Message});
    }
    ExpectRefusals(cases);
}

// Whatever the bound address type, exactly the reply is consumed: a byte too
// few or too many would shift the application's own stream.
TEST(SocksBoundAddress, ReadsTheWholeReplyAndNoMore) {
    struct Case {
        const char* Name;
        std::vector<std::string> Reply;
    };
    const std::string ipv6(16, '\x01');
    const std::vector<Case> cases = {
        {"ipv4", {Bytes({5, 0, 0, 1, 10, 0, 0, 1, 0, 21})}},
        {"name", {Bytes({5, 0, 0, 3, 11}) + "proxy.local" + Bytes({4, 0})}},
        {"empty name", {Bytes({5, 0, 0, 3, 0, 4, 0})}},
        {"ipv6", {Bytes({5, 0, 0, 4}) + ipv6 + Bytes({0, 21})}},
        {"ipv4 in pieces", {Bytes({5, 0}), Bytes({0, 1, 10}), Bytes({0, 0}), Bytes({1, 0, 21})}},
        {"ipv6 in pieces", {Bytes({5, 0, 0, 4, 1}), ipv6.substr(1), Bytes({0}), Bytes({21})}},
    };
    const std::string stream = "220 greeting\r\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ScriptedHandler handler;
        handler.Replies.push_back(Socks5NoAuth);
        for (const std::string& piece : c.Reply) {
            handler.Replies.push_back(piece);
        }
        handler.Replies.push_back(stream);
        TIdSocksInfo socks;
        socks.Version = svSocks5;
        socks.SetHandler(&handler);
        const Outcome outcome = Negotiated(socks, "h", 21);
        EXPECT_FALSE(outcome.Raised) << outcome.Message;
        ASSERT_EQ(handler.Replies.size(), 1u);
        EXPECT_EQ(handler.Replies.front(), stream);
    }
}

TEST(SocksLimits, RefusesValuesTooLongForTheirLengthByte) {
    struct Case {
        const char* Name;
        std::string Username;
        std::string Password;
        std::string Host;
        ExceptionCheck Check;
    };
    const std::string tooLong(256, 'a');
    const std::vector<Case> cases = {
        {"user name", tooLong, "p", "h", Is<EIdSocksAuthError>()},
        {"password", "u", tooLong, "h", Is<EIdSocksAuthError>()},
        {"host", "u", "p", tooLong, Is<EIdSocksRequestFailed>()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ScriptedHandler handler;
        TIdSocksInfo socks;
        socks.Version = svSocks5;
        socks.Authentication = saUsernamePassword;
        socks.Username = c.Username;
        socks.Password = c.Password;
        socks.SetHandler(&handler);
        const Outcome outcome = Negotiated(socks, c.Host, 21);
        ASSERT_TRUE(outcome.Raised);
        EXPECT_TRUE(Matches(outcome, c.Check));
        EXPECT_EQ(handler.Sent, "") << "nothing may be sent before the refusal";
    }
}

TEST(SocksSettings, CopyTakesTheSixSettingsButNotTheHandler) {
    ScriptedHandler first;
    ScriptedHandler second;
    TIdSocksInfo source;
    source.Authentication = saUsernamePassword;
    source.Host = "proxy";
    source.Password = "pw";
    source.Port = 1081;
    source.Username = "me";
    source.Version = svSocks4A;
    source.SetHandler(&first);
    TIdSocksInfo target;
    target.SetHandler(&second);
    target.Assign(source);
    EXPECT_EQ(target.Authentication, saUsernamePassword);
    EXPECT_EQ(target.Host, "proxy");
    EXPECT_EQ(target.Password, "pw");
    EXPECT_EQ(target.Port, 1081);
    EXPECT_EQ(target.Username, "me");
    EXPECT_EQ(target.Version, svSocks4A);
    EXPECT_EQ(target.Handler(), &second);

    const TIdSocksInfo fresh;
    EXPECT_EQ(fresh.Port, 1080);
    EXPECT_EQ(fresh.Version, svNoSocks);
    EXPECT_EQ(fresh.Authentication, saNoAuthentication);
}

TEST(SocksSettings, ForgetsAHandlerThatIsDestroyed) {
    TIdSocksInfo socks;
    socks.Version = svSocks5;
    {
        ScriptedHandler handler;
        socks.SetHandler(&handler);
        EXPECT_EQ(socks.Handler(), &handler);
    }
    EXPECT_EQ(socks.Handler(), nullptr);
    const Outcome outcome = Negotiated(socks, "h", 21);
    ASSERT_TRUE(outcome.Raised);
    EXPECT_TRUE(Matches(outcome, Is<EIdClosedSocket>()));
}

// --- Over real loopback sockets ------------------------------------------

struct ProxySettings {
    TSocksVersion Version = svSocks5;
    TSocksAuthentication Authentication = saNoAuthentication;
    std::string Host;
    int32_t Port = 0;
    std::string Username;
    std::string Password;
};

// A client whose own socket handler goes through the given proxy.
std::unique_ptr<TIdTCPClient> ProxiedClient(const ProxySettings& AProxy,
                                            const std::string& ATargetHost, int32_t ATargetPort) {
    auto client = std::make_unique<TIdTCPClient>();
    auto handler = std::make_unique<TIdIOHandlerSocket>();
    TIdSocksInfo* socks = handler->SocksInfo();
    socks->Version = AProxy.Version;
    socks->Authentication = AProxy.Authentication;
    socks->Host = AProxy.Host;
    socks->Port = AProxy.Port;
    socks->Username = AProxy.Username;
    socks->Password = AProxy.Password;
    client->SetOwnedIOHandler(std::move(handler));
    client->SetHost(ATargetHost);
    client->SetPort(ATargetPort);
    return client;
}

// Sends a block and reads the echo back, in both directions at once through
// whatever sits in between.
void ExpectEchoed(TIdTCPClient& AClient, const std::string& AData) {
    AClient.WriteText(AData);
    std::string back(AData.size(), '\0');
    AClient.ReadBytes(back.data(), static_cast<int32_t>(back.size()));
    EXPECT_TRUE(back == AData) << "echoed bytes differ";
}

TEST(SocksThroughFakeProxy, EachVersionReachesTheTarget) {
    qtest::EchoServer echo;
    struct Case {
        const char* Name;
        ProxySettings Proxy;
        std::string Target;
        std::string ExpectedRequest;
    };
    const std::string port = std::string(1, static_cast<char>(echo.port() >> 8)) +
                             std::string(1, static_cast<char>(echo.port() & 0xFF));
    const std::vector<Case> cases = {
        {"socks4",
         {svSocks4, saNoAuthentication, "127.0.0.1", 0, "", ""},
         "127.0.0.1",
         Bytes({4, 1}) + port + Bytes({127, 0, 0, 1, 0})},
        {"socks4a",
         {svSocks4A, saNoAuthentication, "localhost", 0, "ftpuser", ""},
         "echo.target",
         Bytes({4, 1}) + port + Bytes({0, 0, 0, 1}) + "ftpuser" + Bytes({0}) + "echo.target" +
             Bytes({0})},
        {"socks5",
         {svSocks5, saNoAuthentication, "127.0.0.1", 0, "", ""},
         "echo.target",
         Bytes({5, 1, 0, 3, 11}) + "echo.target" + port},
        {"socks5 with password",
         {svSocks5, saUsernamePassword, "127.0.0.1", 0, "alice", "pw"},
         "echo.target",
         Bytes({5, 1, 0, 3, 11}) + "echo.target" + port},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        qtest::FakeSocksServer proxy;
        proxy.mapHost("echo.target", "127.0.0.1");
        proxy.setCredentials("alice", "pw");
        ProxySettings settings = c.Proxy;
        settings.Port = proxy.port();
        auto client = ProxiedClient(settings, c.Target, echo.port());
        std::vector<std::string> reports;
        client->OnStatus = [&](TIdComponent*, TIdStatus, const std::string& AText) {
            reports.push_back(AText);
        };
        client->SocketHandler()->OnStatus = client->OnStatus;
        client->OpenConnection(5000);
        // The proxy is what gets resolved and connected to; the target only
        // travels inside the request.
        std::vector<std::string> expected = {"Connecting to 127.0.0.1.", "Connected."};
        if (settings.Host == "localhost") {
            expected.insert(expected.begin(), "Resolving hostname localhost.");
        }
        EXPECT_EQ(reports, expected);
        ExpectEchoed(*client, qtest::RandomBytes(70000, 7));
        client->CloseConnection();
        ASSERT_TRUE(proxy.waitForExchanges(1));
        const qtest::SocksExchange exchange = proxy.exchanges().front();
        EXPECT_EQ(Hex(exchange.connectRequest), Hex(c.ExpectedRequest));
        EXPECT_TRUE(exchange.granted);
        if (c.Proxy.Authentication == saUsernamePassword) {
            EXPECT_EQ(Hex(exchange.methodRequest), Hex(Bytes({5, 1, 2})));
            EXPECT_EQ(exchange.user, "alice");
            EXPECT_EQ(exchange.password, "pw");
        }
    }
}

// A refusal drops the socket to the proxy; nothing stays open behind it.
TEST(SocksThroughFakeProxy, RefusalsDropTheSocket) {
    struct Case {
        const char* Name;
        qtest::SocksScript Script;
        const char* Message;
    };
    const std::vector<Case> cases = {
        {"close instead of the method",
         {qtest::SocksStep::CloseAfter(), {}, {}},
         "Socks server did not respond."},
        {"255 method",
         {qtest::SocksStep::Bytes(Bytes({5, 255})), {}, {}},
         "Invalid socks authentication method."},
        {"connection refused",
         {{}, {}, qtest::SocksStep::Bytes(Bytes({5, 5, 0, 1, 0, 0, 0, 0, 0, 0}))},
         "Connection refused."},
        {"reply in pieces then close",
         {{}, {}, qtest::SocksStep::CloseAfter(Bytes({5, 0, 0, 1, 127}))},
         "Socks server did not respond."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        qtest::FakeSocksServer proxy;
        proxy.enqueue(c.Script);
        auto client = ProxiedClient(
            {svSocks5, saNoAuthentication, "127.0.0.1", proxy.port(), "", ""}, "127.0.0.1", 9);
        try {
            client->OpenConnection(5000);
            ADD_FAILURE() << "the refusal was not raised";
        } catch (const EIdSocksError& e) {
            EXPECT_STREQ(e.what(), c.Message);
        }
        ASSERT_NE(client->IOHandler(), nullptr);
        EXPECT_FALSE(client->IOHandler()->IsOpen());
        EXPECT_TRUE(proxy.waitForCompleted(1));
    }
}

TEST(SocksThroughDante, MovesDataBothWays) {
    const std::string unavailable = qtest::DanteServer::Unavailable();
    if (!unavailable.empty()) {
        GTEST_SKIP() << unavailable;
    }
    qtest::DanteServer dante;
    qtest::EchoServer echo;
    for (const char* target : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(target);
        auto client =
            ProxiedClient({svSocks5, saNoAuthentication, dante.host(), dante.port(), "", ""},
                          target, echo.port());
        client->OpenConnection(10000);
        client->WriteLine("hello through dante");
        EXPECT_EQ(client->ReadLine(), "hello through dante");
        ExpectEchoed(*client, qtest::RandomBytes(300000, 11));
        client->CloseConnection();
    }
    EXPECT_EQ(echo.connections(), 2u);

    // A target that refuses comes back as the proxy's refusal.
    auto refused = ProxiedClient({svSocks5, saNoAuthentication, dante.host(), dante.port(), "", ""},
                                 "127.0.0.1", qtest::PickFreePort());
    EXPECT_THROW(refused->OpenConnection(10000), EIdSocksError) << dante.log();
    EXPECT_FALSE(refused->IOHandler()->IsOpen());
}

} // namespace
