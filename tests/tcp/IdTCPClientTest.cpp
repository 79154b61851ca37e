#include "IdAntiFreezeBase.h"
#include "IdException.h"
#include "IdIOHandlerSocket.h"
#include "IdSocks.h"
#include "IdStack.h"
#include "IdTCPClient.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
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

std::string ReceiveSome(int AFd, size_t ACount) {
    std::string data(ACount, '\0');
    size_t got = 0;
    while (got < ACount) {
        pollfd wait{AFd, POLLIN, 0};
        if (::poll(&wait, 1, 10000) <= 0) {
            break;
        }
        const ssize_t n = ::recv(AFd, data.data() + got, ACount - got, 0);
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    data.resize(got);
    return data;
}

void SendAll(int AFd, const std::string& AData) {
    size_t sent = 0;
    while (sent < AData.size()) {
        const ssize_t n = ::send(AFd, AData.data() + sent, AData.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<size_t>(n);
    }
}

// A loopback server that accepts connections one after another and runs the
// session on each until it is destroyed.
class LoopbackServer {
public:
    explicit LoopbackServer(std::function<void(int)> ASession) : FSession(std::move(ASession)) {
        FListener = LoopbackSocket(Port, true, 8);
        FThread = std::thread([this] { Run(); });
    }
    ~LoopbackServer() {
        FStop = true;
        FThread.join();
        ::close(FListener);
    }
    uint16_t Port = 0;
    std::atomic<int> Accepted{0};

private:
    void Run() {
        while (!FStop) {
            pollfd wait{FListener, POLLIN, 0};
            if (::poll(&wait, 1, 20) <= 0) {
                continue;
            }
            const int peer = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
            if (peer < 0) {
                continue;
            }
            ++Accepted;
            FSession(peer);
            ::close(peer);
        }
    }
    std::function<void(int)> FSession;
    int FListener = -1;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

void Echo(int AFd) {
    char buffer[4096];
    for (;;) {
        pollfd wait{AFd, POLLIN, 0};
        if (::poll(&wait, 1, 10000) <= 0) {
            return;
        }
        const ssize_t n = ::recv(AFd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return;
        }
        SendAll(AFd, std::string(buffer, static_cast<size_t>(n)));
    }
}

// A listener whose queue is full: a further SYN is dropped, so a connect to it
// never completes, without reaching outside the loopback network.
class StalledListener {
public:
    StalledListener() {
        FListener = LoopbackSocket(Port, true, 0);
        for (int i = 0; i < 16; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(Port);
            (void)::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            FFillers.push_back(fd);
            pollfd wait{fd, POLLOUT, 0};
            if (::poll(&wait, 1, 300) == 0) {
                return; // this one hangs, so the queue is full
            }
        }
        ADD_FAILURE() << "the listen queue never filled";
    }
    ~StalledListener() {
        for (int fd : FFillers) {
            ::close(fd);
        }
        ::close(FListener);
    }
    uint16_t Port = 0;

private:
    int FListener = -1;
    std::vector<int> FFillers;
};

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

std::string SocketErrorText(int32_t ACode) { return TheStack->ErrorText(ACode); }

TEST(TCPClientConnect, ReportsResolvingOnlyForNames) {
    LoopbackServer server(Echo);
    struct Case {
        std::string Host;
        std::vector<std::string> Expected;
    };
    const std::vector<Case> cases = {
        {"127.0.0.1", {"Connecting to 127.0.0.1.", "Connected."}},
        {"localhost",
         {"Resolving hostname localhost.", "Connecting to 127.0.0.1.", "Connected."}},
        {"LocalHost",
         {"Resolving hostname LocalHost.", "Connecting to 127.0.0.1.", "Connected."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Host);
        TIdTCPClient client;
        Recorder recorder;
        client.OnStatus = recorder.Handler();
        client.SetHost(c.Host);
        client.SetPort(server.Port);
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
    LoopbackServer server(Echo);
    for (const int32_t timeout : {-1, 2000}) {
        SCOPED_TRACE(timeout);
        TIdTCPClient client;
        client.SetHost("127.0.0.1");
        client.SetPort(server.Port);
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
    EXPECT_EQ(recorder.Texts,
              (std::vector<std::string>{"Connecting to 127.0.0.1."}));
    TIdIOHandler* const handler = client.IOHandler();
    ASSERT_NE(handler, nullptr);
    EXPECT_TRUE(client.OwnsIOHandler());
    EXPECT_FALSE(handler->IsOpen());
    EXPECT_FALSE(client.IsConnected());

    LoopbackServer server(Echo);
    client.SetPort(server.Port);
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
        {"zero is the default", 0, false,
         [](const std::exception& e) { ExpectRefused(e, false); }},
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
    StalledListener stalled;
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
        ExpectFailureThenRecovery(c, stalled.Port);
    }
}

TEST(TCPClientConnect, TimedConnectKeepsTheWindowResponsive) {
    StalledListener stalled;
    TestAntiFreeze antiFreeze;
    antiFreeze.IdleTimeOut = 20;
    TIdTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(stalled.Port);
    EXPECT_THROW(client.OpenConnection(400), EIdConnectTimeout);
    // 20 ms steps over 400 ms: the window was served many times, not once.
    EXPECT_GE(antiFreeze.Pumps, 5);

    antiFreeze.Active = false;
    antiFreeze.Pumps = 0;
    EXPECT_THROW(client.OpenConnection(200), EIdConnectTimeout);
    EXPECT_EQ(antiFreeze.Pumps, 0);
}

// A window message handled during the wait may close or destroy what the
// connect is using; the connect must then fail, neither hang nor report a
// connection that does not exist.
TEST(TCPClientConnect, CloseDuringTheWaitEndsTheConnect) {
    StalledListener stalled;
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
        client.SetPort(stalled.Port);
        int connected = 0;
        client.OnConnected = [&](TIdComponent*) { ++connected; };
        antiFreeze.OnPump = [&] {
            antiFreeze.OnPump = nullptr;
            c.Click(client);
        };
        EXPECT_THROW(client.OpenConnection(-2), EIdException);
        EXPECT_EQ(connected, 0);
        EXPECT_FALSE(client.IsConnected());
    }
}

TEST(TCPClientConnect, NagleSwitchSetsNoDelayBeforeTheConnect) {
    LoopbackServer server(Echo);
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
        client.SetPort(server.Port);
        client.OpenConnection();
        EXPECT_EQ(noDelayWhileConnecting != 0, !useNagle);
        client.CloseConnection();
        // A handler the client did not create survives the close.
        EXPECT_FALSE(handler->IsOpen());
    }
}

TEST(TCPClientConnect, BindsTheRequestedLocalPort) {
    LoopbackServer server(Echo);
    uint16_t freePort = 0;
    ::close(LoopbackSocket(freePort, false, 0));
    TIdTCPClient client;
    client.BoundIP = "127.0.0.1";
    client.BoundPort = freePort;
    client.SetHost("127.0.0.1");
    client.SetPort(server.Port);
    client.OpenConnection();
    EXPECT_EQ(client.SocketHandler()->Handle->Port, freePort);
    EXPECT_EQ(client.SocketHandler()->Handle->RemotePort, server.Port);
    EXPECT_EQ(client.SocketHandler()->Handle->RemoteIP, "127.0.0.1");
}

TEST(TCPClientReadAll, ReturnsEverythingAndClosesInEveryCase) {
    const std::string payload(100000, 'x');
    LoopbackServer server([&](int fd) { SendAll(fd, payload); });
    TIdTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(server.Port);
    EXPECT_EQ(client.OpenAndReadAll(), payload);
    EXPECT_EQ(client.IOHandler(), nullptr);

    RefusingPort refusing;
    client.SetPort(refusing.Port);
    EXPECT_THROW(client.OpenAndReadAll(), EIdSocketError);
    EXPECT_EQ(client.IOHandler(), nullptr);
}

// The proxy end of a SOCKS exchange over real sockets: checks the request,
// answers, then echoes as if it were the target.
void SocksThenEcho(int AFd, const std::string& AExpected, const std::string& AReply,
                   std::string& AReceived) {
    AReceived = ReceiveSome(AFd, AExpected.size());
    SendAll(AFd, AReply);
    Echo(AFd);
}

TEST(TCPClientSocks, ConnectsToTheProxyAndNegotiatesTheTarget) {
    struct Case {
        const char* Name;
        TSocksVersion Version;
        std::string Expected;
        std::string Reply;
    };
    const std::vector<Case> cases = {
        {"socks4a", svSocks4A,
         std::string("\x04\x01\x00\x15\x00\x00\x00\x01", 8) + "me" + std::string(1, '\0') +
             "ftp.target.test" + std::string(1, '\0'),
         std::string("\x00\x5a\x00\x00\x00\x00\x00\x00", 8)},
        {"socks5", svSocks5,
         std::string("\x05\x01\x00\x05\x01\x00\x03\x0f", 8) + "ftp.target.test" +
             std::string("\x00\x15", 2),
         std::string("\x05\x00\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x15", 12)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::string received;
        LoopbackServer proxy(
            [&](int fd) { SocksThenEcho(fd, c.Expected, c.Reply, received); });
        TIdTCPClient client;
        Recorder recorder;
        client.OnStatus = recorder.Handler();
        auto socks = std::make_unique<TIdSocksInfo>();
        socks->Version = c.Version;
        socks->Host = "localhost";
        socks->Port = proxy.Port;
        socks->Username = "me";
        auto handler = std::make_unique<TIdIOHandlerSocket>();
        handler->SetSocksInfo(socks.get());
        handler->OnStatus = client.OnStatus;
        client.SetIOHandler(handler.get());
        client.SetHost("ftp.target.test");
        client.SetPort(21);
        client.OpenConnection();
        client.WriteLine("through the proxy");
        EXPECT_EQ(client.ReadLine(), "through the proxy");
        EXPECT_EQ(received, c.Expected);
        // The proxy is what gets resolved and connected; the target only travels
        // inside the request.
        EXPECT_EQ(recorder.Texts,
                  (std::vector<std::string>{"Resolving hostname localhost.",
                                            "Connecting to 127.0.0.1.", "Connected."}));
        client.CloseConnection();
    }
}

TEST(TCPClientSocks, RefusalDropsTheSocket) {
    const std::string request = std::string("\x05\x01\x00", 3);
    LoopbackServer proxy([&](int fd) {
        ReceiveSome(fd, request.size());
        SendAll(fd, std::string("\x05\xff", 2));
        ReceiveSome(fd, 1);
    });
    TIdTCPClient client;
    TIdIOHandlerSocket handler;
    handler.SocksInfo()->Version = svSocks5;
    handler.SocksInfo()->Host = "127.0.0.1";
    handler.SocksInfo()->Port = proxy.Port;
    client.SetIOHandler(&handler);
    client.SetHost("target");
    client.SetPort(21);
    try {
        client.OpenConnection(3000);
        ADD_FAILURE() << "the refusal was not raised";
    } catch (const EIdSocksAuthMethodError& e) {
        EXPECT_STREQ(e.what(), "Invalid socks authentication method.");
    }
    EXPECT_FALSE(handler.IsOpen());
    client.SetIOHandler(nullptr);
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
