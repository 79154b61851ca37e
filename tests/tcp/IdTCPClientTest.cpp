#include "IdTCPClient.h"
#include "EchoServer.h"
#include "IdAntiFreezeBase.h"
#include "IdException.h"
#include "IdIOHandlerSocket.h"
#include "IdSocks.h"
#include "IdStack.h"
#include "TestSockets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

int LoopbackSocket(uint16_t& APort, bool AListen, int ABacklog) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (AListen && ::listen(fd, ABacklog) != 0)) {
        ADD_FAILURE() << "cannot set up a loopback socket";
    }
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    APort = ntohs(address.sin_port);
    return fd;
}

// A port that refuses: bound, so nobody else takes it, but not listening.
class RefusingPort {
public:
    RefusingPort() { FSocket = LoopbackSocket(Port, false, 0); }
    ~RefusingPort() { ::close(FSocket); }
    uint16_t Port = 0;

private:
    int FSocket = -1;
};

class TestAntiFreeze : public TIdAntiFreezeBase {
public:
    int Pumps = 0;
    std::function<void()> OnPump;
    void PumpMessages() override {
        ++Pumps;
        if (OnPump) {
            OnPump();
        }
    }
};

struct Recorder {
    std::vector<std::string> Texts;
    std::vector<TIdComponent*> Senders;
    TIdStatusEvent Handler() {
        return [this](TIdComponent* ASender, TIdStatus, const std::string& AText) {
            Texts.push_back(AText);
            Senders.push_back(ASender);
        };
    }
};

std::string SocketErrorText(int32_t ACode) {
    return TheStack->ErrorText(ACode);
}

TEST(TCPClientConnect, ReportsResolvingOnlyForNames) {
    qtest::EchoServer server;
    struct Case {
        std::string Host;
        std::vector<std::string> Expected;
    };
    const std::vector<Case> cases = {
        {"127.0.0.1", {"Connecting to 127.0.0.1.", "Connected."}},
        {"localhost", {"Resolving hostname localhost.", "Connecting to 127.0.0.1.", "Connected."}},
        {"LocalHost", {"Resolving hostname LocalHost.", "Connecting to 127.0.0.1.", "Connected."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Host);
        TIdTCPClient client;
        Recorder recorder;
        client.OnStatus = recorder.Handler();
        client.SetHost(c.Host);
        client.SetPort(server.port());
        client.OpenConnection();
        EXPECT_EQ(recorder.Texts, c.Expected);
        // The handler reports its own steps; the client reports the result.
        ASSERT_EQ(recorder.Senders.size(), c.Expected.size());
        EXPECT_EQ(recorder.Senders.front(), client.IOHandler());
        EXPECT_EQ(recorder.Senders.back(), &client);
        client.WriteLine("ping");
        EXPECT_EQ(client.ReadLine(), "ping");
        client.CloseConnection();
    }
}

TEST(TCPClientConnect, AlreadyConnectedLeavesTheConnectionAlone) {
    qtest::EchoServer server;
    for (const int32_t timeout : {-1, 2000}) {
        SCOPED_TRACE(timeout);
        TIdTCPClient client;
        client.SetHost("127.0.0.1");
        client.SetPort(server.port());
        int connected = 0;
        client.OnConnected = [&](TIdComponent* ASender) {
            EXPECT_EQ(ASender, &client);
            ++connected;
        };
        client.OpenConnection(timeout);
        TIdIOHandler* const handler = client.IOHandler();
        const int32_t socket = client.SocketHandler()->Handle->Socket;
        try {
            client.OpenConnection(timeout);
            ADD_FAILURE() << "a second open succeeded";
        } catch (const EIdAlreadyConnected& e) {
            EXPECT_STREQ(e.what(), "Already connected.");
        }
        EXPECT_EQ(connected, 1);
        EXPECT_EQ(client.IOHandler(), handler);
        EXPECT_EQ(client.SocketHandler()->Handle->Socket, socket);
        EXPECT_TRUE(client.IsConnected());
        client.WriteLine("still here");
        EXPECT_EQ(client.ReadLine(), "still here");
    }
}

struct FailureCase {
    const char* Name;
    int32_t Timeout;
    bool WithAntiFreeze;
    std::function<void(const std::exception&)> Check;
};

void ExpectRefused(const std::exception& e, bool ATimed) {
    const std::string text = SocketErrorText(10061);
    EXPECT_EQ(std::string(e.what()), text);
    if (ATimed) {
        EXPECT_NE(dynamic_cast<const EIdConnectException*>(&e), nullptr);
    } else {
        const auto* socketError = dynamic_cast<const EIdSocketError*>(&e);
        ASSERT_NE(socketError, nullptr);
        EXPECT_EQ(socketError->ErrorCode, 10061);
    }
}

// A failed open drops the socket but keeps the handler, raises neither the
// connected report nor the event, and a second open at once reuses it.
void ExpectFailureThenRecovery(const FailureCase& ACase, uint16_t AFailingPort) {
    SCOPED_TRACE(ACase.Name);
    std::unique_ptr<TestAntiFreeze> antiFreeze;
    if (ACase.WithAntiFreeze) {
        antiFreeze = std::make_unique<TestAntiFreeze>();
    }
    TIdTCPClient client;
    Recorder recorder;
    client.OnStatus = recorder.Handler();
    int connected = 0;
    client.OnConnected = [&](TIdComponent*) { ++connected; };
    client.SetHost("127.0.0.1");
    client.SetPort(AFailingPort);
    bool raised = false;
    try {
        client.OpenConnection(ACase.Timeout);
    } catch (const std::exception& e) {
        raised = true;
        ACase.Check(e);
    }
    EXPECT_TRUE(raised);
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(recorder.Texts, (std::vector<std::string>{"Connecting to 127.0.0.1."}));
    TIdIOHandler* const handler = client.IOHandler();
    ASSERT_NE(handler, nullptr);
    EXPECT_TRUE(client.OwnsIOHandler());
    EXPECT_FALSE(handler->IsOpen());
    EXPECT_FALSE(client.IsConnected());

    qtest::EchoServer server;
    client.SetPort(server.port());
    client.OpenConnection(ACase.Timeout);
    EXPECT_EQ(client.IOHandler(), handler);
    EXPECT_EQ(connected, 1);
    client.WriteLine("again");
    EXPECT_EQ(client.ReadLine(), "again");
    client.CloseConnection();
    EXPECT_EQ(client.IOHandler(), nullptr);
}

TEST(TCPClientConnect, RefusedConnections) {
    RefusingPort refusing;
    const std::vector<FailureCase> cases = {
        {"plain connect", -1, false, [](const std::exception& e) { ExpectRefused(e, false); }},
        {"zero is the default", 0, false, [](const std::exception& e) { ExpectRefused(e, false); }},
        {"timed connect", 5000, false, [](const std::exception& e) { ExpectRefused(e, true); }},
        {"timed connect without limit", -2, false,
         [](const std::exception& e) { ExpectRefused(e, true); }},
        {"default with anti-freeze is timed", -1, true,
         [](const std::exception& e) { ExpectRefused(e, true); }},
        {"limit with anti-freeze", 5000, true,
         [](const std::exception& e) { ExpectRefused(e, true); }},
    };
    for (const FailureCase& c : cases) {
        ExpectFailureThenRecovery(c, refusing.Port);
    }
}

TEST(TCPClientConnect, TimedConnectGivesUpAtItsLimit) {
    qtest::StalledListener stalled;
    auto timedOut = [](const std::exception& e) {
        EXPECT_NE(dynamic_cast<const EIdConnectTimeout*>(&e), nullptr);
        EXPECT_STREQ(e.what(), "Connect timed out.");
    };
    const std::vector<FailureCase> cases = {
        {"without anti-freeze", 300, false, timedOut},
        {"with anti-freeze", 300, true, timedOut},
        {"limit below one step", 50, false, timedOut},
    };
    for (const FailureCase& c : cases) {
        ExpectFailureThenRecovery(c, stalled.port());
    }
}

size_t ThreadCount() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++n;
    }
    return n;
}

TEST(TCPClientConnect, TimedConnectKeepsTheWindowResponsive) {
    qtest::StalledListener stalled;
    TestAntiFreeze antiFreeze;
    antiFreeze.IdleTimeOut = 20;
    TIdTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(stalled.port());
    // The connect is polled by the caller itself: no thread per connect.
    const size_t threadsBefore = ThreadCount();
    size_t threadsDuring = 0;
    antiFreeze.OnPump = [&] { threadsDuring = std::max(threadsDuring, ThreadCount()); };
    EXPECT_THROW(client.OpenConnection(400), EIdConnectTimeout);
    // 20 ms steps over 400 ms: the window was served many times, not once.
    EXPECT_GE(antiFreeze.Pumps, 5);
    EXPECT_EQ(threadsDuring, threadsBefore);
    antiFreeze.OnPump = nullptr;

    antiFreeze.Active = false;
    antiFreeze.Pumps = 0;
    EXPECT_THROW(client.OpenConnection(200), EIdConnectTimeout);
    EXPECT_EQ(antiFreeze.Pumps, 0);
}

// A window message handled during the wait may close or destroy what the
// connect is using; the connect must then fail, neither hang nor report a
// connection that does not exist.
TEST(TCPClientConnect, CloseDuringTheWaitEndsTheConnect) {
    qtest::StalledListener stalled;
    struct Case {
        const char* Name;
        std::function<void(TIdTCPClient&)> Click;
    };
    const std::vector<Case> cases = {
        {"socket dropped", [](TIdTCPClient& c) { c.DropSocket(); }},
        {"connection closed and handler destroyed", [](TIdTCPClient& c) { c.CloseConnection(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TestAntiFreeze antiFreeze;
        TIdTCPClient client;
        client.SetHost("127.0.0.1");
        client.SetPort(stalled.port());
        int connected = 0;
        client.OnConnected = [&](TIdComponent*) { ++connected; };
        bool clicked = false;
        antiFreeze.OnPump = [&] {
            if (!clicked) {
                clicked = true;
                c.Click(client);
            }
        };
        EXPECT_THROW(client.OpenConnection(-2), EIdException);
        EXPECT_EQ(connected, 0);
        EXPECT_FALSE(client.IsConnected());
    }
}

// A window handler that closes the connection while a read waits would free
// the handler the wait is still using; the wait ends as a closed connection.
TEST(TCPClientReentrancy, CloseFromAWindowHandlerDuringAReadEndsTheWait) {
    qtest::UniqueFd listener = qtest::ListenLoopback();
    TIdTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(qtest::LocalPort(listener.get()));
    client.OpenConnection(5000);
    qtest::UniqueFd peer = qtest::AcceptWithin(listener.get(), qtest::Millis(5000));
    ASSERT_TRUE(peer.valid());
    TestAntiFreeze antiFreeze;
    antiFreeze.IdleTimeOut = 10;
    antiFreeze.OnPump = [&] {
        if (client.IOHandler() != nullptr) {
            client.CloseConnection();
        }
    };
    try {
        client.ReadLine();
        ADD_FAILURE() << "no exception";
    } catch (const EIdConnClosedGracefully& e) {
        EXPECT_STREQ(e.what(), "Connection Closed Gracefully.");
    }
    EXPECT_EQ(client.IOHandler(), nullptr);
    EXPECT_FALSE(client.IsConnected());
}

// A proxy that takes the connection and then never answers: the connect's
// limit covers the proxy exchange too.
TEST(TCPClientConnect, SilentSocksProxyEndsAtTheConnectLimit) {
    const struct {
        TSocksVersion Version;
        const char* Message;
    } cases[] = {
        {svSocks4, "Connect timed out."},
        {svSocks4A, "Connect timed out."},
        {svSocks5, "Socks server did not respond."},
    };
    qtest::UniqueFd proxy = qtest::ListenLoopback();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Version);
        TIdTCPClient client;
        auto handler = std::make_unique<TIdIOHandlerSocket>();
        handler->SocksInfo()->Version = c.Version;
        handler->SocksInfo()->Host = "127.0.0.1";
        handler->SocksInfo()->Port = qtest::LocalPort(proxy.get());
        client.SetOwnedIOHandler(std::move(handler));
        client.SetHost("127.0.0.1");
        client.SetPort(21);
        try {
            client.OpenConnection(300);
            ADD_FAILURE() << "no exception";
        } catch (const EIdException& e) {
            EXPECT_STREQ(e.what(), c.Message);
        }
        EXPECT_FALSE(client.IsConnected());
    }
}

TEST(TCPClientConnect, NagleSwitchSetsNoDelayBeforeTheConnect) {
    qtest::EchoServer server;
    for (const bool useNagle : {true, false}) {
        SCOPED_TRACE(useNagle);
        TIdTCPClient client;
        auto handler = std::make_unique<TIdIOHandlerSocket>();
        handler->UseNagle = useNagle;
        int noDelayWhileConnecting = -1;
        handler->OnStatus = [&](TIdComponent*, TIdStatus AStatus, const std::string&) {
            if (AStatus == hsConnecting) {
                int value = -1;
                socklen_t length = sizeof value;
                ::getsockopt(handler->Handle->Socket, IPPROTO_TCP, TCP_NODELAY, &value, &length);
                noDelayWhileConnecting = value;
            }
        };
        client.SetIOHandler(handler.get());
        client.SetHost("127.0.0.1");
        client.SetPort(server.port());
        client.OpenConnection();
        EXPECT_EQ(noDelayWhileConnecting != 0, !useNagle);
        client.CloseConnection();
        // A handler the client did not create survives the close.
        EXPECT_FALSE(handler->IsOpen());
    }
}

TEST(TCPClientConnect, BindsTheRequestedLocalPort) {
    qtest::EchoServer server;
    uint16_t freePort = 0;
    ::close(LoopbackSocket(freePort, false, 0));
    TIdTCPClient client;
    client.BoundIP = "127.0.0.1";
    client.BoundPort = freePort;
    client.SetHost("127.0.0.1");
    client.SetPort(server.port());
    client.OpenConnection();
    EXPECT_EQ(client.SocketHandler()->Handle->Port, freePort);
    EXPECT_EQ(client.SocketHandler()->Handle->RemotePort, server.port());
    EXPECT_EQ(client.SocketHandler()->Handle->RemoteIP, "127.0.0.1");
}

TEST(TCPClientReadAll, ReturnsEverythingAndClosesInEveryCase) {
    const std::string payload(100000, 'x');
    qtest::UniqueFd listener = qtest::ListenLoopback();
    std::thread sender([&] {
        qtest::UniqueFd peer = qtest::AcceptWithin(listener.get(), qtest::Millis(10000));
        qtest::SendAll(peer.get(), payload);
    });
    TIdTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(qtest::LocalPort(listener.get()));
    EXPECT_EQ(client.OpenAndReadAll(), payload);
    sender.join();
    EXPECT_EQ(client.IOHandler(), nullptr);

    RefusingPort refusing;
    client.SetPort(refusing.Port);
    EXPECT_THROW(client.OpenAndReadAll(), EIdSocketError);
    EXPECT_EQ(client.IOHandler(), nullptr);
}

TEST(SocketHandlerSocks, OwnedOrReferencedSettings) {
    TIdIOHandlerSocket handler;
    // Read creates the handler's own settings, tied to it.
    TIdSocksInfo* own = handler.SocksInfo();
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own->Handler(), &handler);
    EXPECT_EQ(handler.SocksInfo(), own);

    // An object without an owner is copied into the handler's own settings.
    TIdSocksInfo loose;
    loose.Version = svSocks4;
    loose.Host = "proxy.loose";
    handler.SetSocksInfo(&loose);
    EXPECT_EQ(handler.SocksInfo(), own);
    EXPECT_EQ(own->Host, "proxy.loose");
    EXPECT_EQ(own->Version, svSocks4);
    EXPECT_EQ(loose.Handler(), nullptr);

    {
        // An object with an owner elsewhere is referred to, and forgotten when
        // it is destroyed.
        TIdSocksInfo shared;
        TIdIOHandlerSocket someOwner;
        shared.Owner = &someOwner;
        shared.Host = "proxy.shared";
        handler.SetSocksInfo(&shared);
        EXPECT_EQ(handler.SocksInfo(), &shared);
        EXPECT_EQ(shared.Handler(), &handler);
    }
    TIdSocksInfo* fresh = handler.SocksInfo();
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->Version, svNoSocks);
    EXPECT_EQ(fresh->Handler(), &handler);

    // None drops the settings; the next read starts from the defaults.
    fresh->Version = svSocks5;
    handler.SetSocksInfo(nullptr);
    EXPECT_EQ(handler.SocksInfo()->Version, svNoSocks);
}

TEST(SocketHandlerSocks, ReferencedSettingsForgetADestroyedHandler) {
    TIdSocksInfo shared;
    TIdIOHandlerSocket owner;
    shared.Owner = &owner;
    {
        TIdIOHandlerSocket handler;
        handler.SetSocksInfo(&shared);
        EXPECT_EQ(shared.Handler(), &handler);
    }
    EXPECT_EQ(shared.Handler(), nullptr);
}

TEST(SocketHandler, WithoutASocket) {
    TIdIOHandlerSocket handler;
    char byte = 0;
    EXPECT_FALSE(handler.IsOpen());
    EXPECT_THROW(handler.ReceiveInto(&byte, 1), EIdClosedSocket);
    EXPECT_THROW(handler.SendFrom(&byte, 1), EIdClosedSocket);
    handler.Prepare();
    ASSERT_NE(handler.Handle, nullptr);
    EXPECT_FALSE(handler.IsOpen());
    try {
        handler.ReceiveInto(&byte, 1);
        ADD_FAILURE();
    } catch (const EIdClosedSocket& e) {
        EXPECT_STREQ(e.what(), "Disconnected.");
    }
    handler.Shut();
    handler.Shut();
}

} // namespace
