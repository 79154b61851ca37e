#include "IdException.h"
#include "IdStackPosix.h"
#include "NetTestUtil.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

namespace {

TEST(ErrnoTranslation, EveryPlatformErrorHasItsWinsockNumber) {
    const struct {
        int Errno;
        int32_t Winsock;
    } cases[] = {
        {EINTR, 10004},           {EBADF, 10009},           {EACCES, 10013},
        {EFAULT, 10014},          {EINVAL, 10022},          {EMFILE, 10024},
        {EWOULDBLOCK, 10035},     {EAGAIN, 10035},          {EINPROGRESS, 10036},
        {EALREADY, 10037},        {ENOTSOCK, 10038},        {EDESTADDRREQ, 10039},
        {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},
        {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},
        {EPFNOSUPPORT, 10046},    {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},
        {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},        {ENETUNREACH, 10051},
        {ENETRESET, 10052},       {ECONNABORTED, 10053},    {ECONNRESET, 10054},
        {ENOBUFS, 10055},         {EISCONN, 10056},         {ENOTCONN, 10057},
        {ESHUTDOWN, 10058},       {EPIPE, 10058},           {ETIMEDOUT, 10060},
        {ECONNREFUSED, 10061},    {ELOOP, 10062},           {ENAMETOOLONG, 10063},
        {EHOSTDOWN, 10064},       {EHOSTUNREACH, 10065},    {ENOTEMPTY, 10066},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WinsockErrorFromErrno(c.Errno), c.Winsock) << "errno " << c.Errno;
    }
}

TEST(ErrorTextTest, FormatsCodeAndTableText) {
    TIdStackPosix stack;
    const struct {
        int32_t Code;
        const char* Expected;
    } cases[] = {
        {10061, "Socket Error # 10061\r\nConnection refused."},
        {10035, "Socket Error # 10035\r\nOperation would block. "},
        {10066, "Socket Error # 10066\r\nDirectory not empty"},
        {10004, "Socket Error # 10004\r\nInterrupted system call."},
        {10059, "Socket Error # 10059\r\nToo many references, cannot splice."},
        {11001, "Socket Error # 11001\r\nHost not found."},
        {12345, "Socket Error # 12345\r\n"},
        {10093, "Socket Error # 10093\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(stack.ErrorText(c.Code), c.Expected) << c.Code;
    }
}

TEST(DottedQuadTest, AcceptsOnlyFourPartsInByteRange) {
    TIdStackPosix stack;
    const struct {
        const char* Text;
        bool Expected;
    } cases[] = {
        {"127.0.0.1", true}, {"0.0.0.0", true},    {"255.255.255.255", true},
        {"1.2.3", false},    {"1.2.3.4.5", false}, {"10.0.0.256", false},
        {"1.2.3.-1", false}, {"a.b.c.d", false},   {"", false},
        {"1..2.3", false},   {"1.2.3.4 ", false},  {"localhost", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(stack.IsDottedQuad(c.Text), c.Expected) << c.Text;
    }
}

// Counts look-ups so that tests can tell whether the resolver was asked.
class CountingStack : public TIdStackPosix {
public:
    int LookUps = 0;
    std::string HostByName(const std::string& AHostName) override {
        ++LookUps;
        return "lookup:" + AHostName;
    }
};

TEST(ResolveHostNameTest, LocalhostAndDottedQuadsNeedNoLookUp) {
    const struct {
        const char* Host;
        const char* Expected;
        int LookUps;
    } cases[] = {
        {"LOCALHOST", "127.0.0.1", 0},          {"localhost", "127.0.0.1", 0},
        {"LocalHost", "127.0.0.1", 0},          {"192.168.0.1", "192.168.0.1", 0},
        {"10.0.0.256", "lookup:10.0.0.256", 1}, {"ftp.example", "lookup:ftp.example", 1},
    };
    for (const auto& c : cases) {
        CountingStack stack;
        EXPECT_EQ(stack.ResolveHostName(c.Host), c.Expected) << c.Host;
        EXPECT_EQ(stack.LookUps, c.LookUps) << c.Host;
    }
}

TEST(ResolveHostNameTest, UnknownHostRaises11001) {
    TIdStackPosix stack;
    try {
        stack.ResolveHostName("no-such-host.invalid");
        FAIL() << "no exception";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.ErrorCode, 11001);
        EXPECT_STREQ(e.what(), "Socket Error # 11001\r\nHost not found.");
    }
}

TEST(AddressTextTest, RoundTripsInMemoryOrder) {
    TIdStackPosix stack;
    EXPECT_EQ(stack.AddressToText({192, 168, 0, 1}), "192.168.0.1");
    TIdIn4Bytes bytes{};
    stack.TextToAddress("10.20.30.300", bytes);
    // Only the low eight bits of a part are kept.
    EXPECT_EQ(bytes, (TIdIn4Bytes{10, 20, 30, 44}));
    EXPECT_EQ(stack.TextToInAddr("127.0.0.1"), stack.HostToNetLong(0x7F000001));
    EXPECT_THROW(stack.TextToAddress("1.x.3.4", bytes), std::invalid_argument);
    EXPECT_THROW(stack.TextToInAddr(""), std::invalid_argument);
}

TEST(CheckSocketResultTest, OnlyMinusOneReadsTheLastError) {
    TIdStackPosix stack;
    stack.LastErrorCode = 77;
    EXPECT_FALSE(stack.CheckSocketResult(0));
    EXPECT_FALSE(stack.CheckSocketResult(5, {10048}));
    EXPECT_EQ(stack.LastErrorCode, 77);

    // A failed listen on a descriptor that is no socket sets the thread's last error.
    EXPECT_EQ(stack.SockListen(0, 1), -1);
    EXPECT_TRUE(stack.CheckSocketResult(-1, {10038}));
    EXPECT_EQ(stack.LastErrorCode, 10038);
    try {
        stack.CheckSocketResult(-1, {10048});
        FAIL() << "no exception";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.ErrorCode, 10038);
        EXPECT_STREQ(e.what(), "Socket Error # 10038\r\nSocket operation on non-socket.");
    }
}

TEST(ServiceTest, NamesNumbersAndUnknownServices) {
    TIdStackPosix stack;
    EXPECT_EQ(stack.ServicePort("ftp"), 21);
    EXPECT_EQ(stack.ServicePort("2121"), 2121);
    // Not a name: a decimal integer, which must also be a port.
    const struct {
        const char* Text;
        int32_t Port; // 0: refused
    } numbers[] = {{"+21", 21},       {"0021", 21}, {"65535", 65535},
                   {"67657", 0},      {"0", 0},     {"-21", 0},
                   {"4294967317", 0}, {"21x", 0},   {"no-such-service", 0}};
    for (const auto& n : numbers) {
        try {
            EXPECT_EQ(stack.ServicePort(n.Text), n.Port) << n.Text;
        } catch (const EIdInvalidServiceName& e) {
            EXPECT_EQ(n.Port, 0) << n.Text;
            EXPECT_EQ(std::string(e.what()), std::string(n.Text) + " is not a valid service.");
        }
    }
    const TIdStrings names = stack.ServiceNames(21);
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), "ftp");
}

using SockSelectTest = StackTest;

TEST_F(SockSelectTest, MoreThan64SocketsRaiseBeforeWaiting) {
    // Descriptors that are not open: any wait on them would fail with 10038 instead.
    const TIdSocketList bad(65, 999999);
    const struct { int Which; } cases[] = {{0}, {1}, {2}};
    for (const auto& c : cases) {
        TIdSocketList lists[3];
        lists[c.Which] = bad;
        try {
            Stack().SockSelect(&lists[0], &lists[1], -2, &lists[2]);
            FAIL() << "no exception for list " << c.Which;
        } catch (const EIdStackSetSizeExceeded& e) {
            EXPECT_STREQ(e.what(), "Set Size Exceeded.");
        }
        EXPECT_EQ(lists[c.Which], bad);
    }
    TIdSocketList sixtyFour(64, 999999);
    EXPECT_EQ(Stack().SockSelect(&sixtyFour, nullptr, 0, nullptr), -1);
    EXPECT_EQ(Stack().LastSocketError(), 10038);
}

TEST_F(SockSelectTest, RefillsListsWithReadySocketsOnly) {
    LoopbackPair pair;
    TIdSocketList read{pair.Client.Socket, pair.Server.Socket};
    TIdSocketList write{pair.Client.Socket, pair.Client.Socket};
    TIdSocketList except{pair.Client.Socket};
    EXPECT_EQ(Stack().SockSelect(&read, &write, 0, &except), 1);
    EXPECT_TRUE(read.empty());
    EXPECT_EQ(write, TIdSocketList{pair.Client.Socket});
    EXPECT_TRUE(except.empty());

    pair.SendFromServer("x");
    read = {pair.Server.Socket, pair.Client.Socket};
    EXPECT_EQ(Stack().SockSelect(&read, nullptr, -2, nullptr), 1);
    EXPECT_EQ(read, TIdSocketList{pair.Client.Socket});

    TIdSocketList none{pair.Server.Socket};
    EXPECT_EQ(Stack().SockSelect(&none, nullptr, 20, nullptr), 0);
    EXPECT_TRUE(none.empty());
}

TEST_F(SockSelectTest, DescriptorAbove1024CanBeWaitedOn) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur < 1200) {
        if (limit.rlim_max < 1200) {
            GTEST_SKIP() << "descriptor limit too low";
        }
        rlimit raised = limit;
        raised.rlim_cur = 1200;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    }
    std::vector<int> files;
    for (int i = 0; i < 1100; ++i) {
        const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        files.push_back(fd);
    }
    {
        LoopbackPair pair;
        EXPECT_GT(pair.Client.Socket, 1024);
        EXPECT_FALSE(pair.Client.PollReadable(0));
        pair.SendFromServer("data");
        EXPECT_TRUE(pair.Client.PollReadable(-2));
        char buffer[8];
        EXPECT_EQ(pair.Client.RecvBytes(buffer, sizeof buffer), 4);
    }
    for (const int fd : files) {
        close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &limit);
}

using SocketCallsTest = StackTest;

TEST_F(SocketCallsTest, SocketsAreCloseOnExec) {
    const TIdStackSocketHandle s = Stack().NewSocket(Id_SOCK_STREAM, 0);
    EXPECT_NE(fcntl(s, F_GETFD) & FD_CLOEXEC, 0);
    Stack().SockClose(s);
    LoopbackPair pair;
    EXPECT_NE(fcntl(pair.Server.Socket, F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(SocketCallsTest, SendToClosedPeerFailsWithoutSignal) {
    LoopbackPair pair;
    pair.Server.ShutAndClose();
    const std::string block(65536, 'x');
    int32_t result = 0;
    // The first sends may still be buffered; the peer's reset then fails the next.
    for (int i = 0; i < 100 && result != -1; ++i) {
        result = pair.Client.SendBytes(block.data(), static_cast<int32_t>(block.size()));
    }
    ASSERT_EQ(result, -1);
    const int32_t code = Stack().LastSocketError();
    EXPECT_TRUE(code == 10058 || code == 10054) << code;
}

TEST_F(SocketCallsTest, OptionsTakeWinsockNumbers) {
    LoopbackPair pair;
    const int32_t on = 1;
    pair.Client.SetOption(Id_IPPROTO_TCP, Id_TCP_NODELAY, &on, sizeof on);
    pair.Client.SetOption(Id_SOL_SOCKET, Id_SO_KEEPALIVE, &on, sizeof on);
    const struct {
        int32_t Level;
        int32_t Option;
    } cases[] = {{Id_IPPROTO_TCP, Id_TCP_NODELAY}, {Id_SOL_SOCKET, Id_SO_KEEPALIVE}};
    for (const auto& c : cases) {
        int32_t value = 0;
        int32_t length = sizeof value;
        ASSERT_EQ(Stack().SockGetOption(pair.Client.Socket, c.Level, c.Option, &value, length), 0);
        EXPECT_NE(value, 0) << c.Option;
    }
    const uint16_t linger[2] = {1, 7};
    pair.Client.SetOption(Id_SOL_SOCKET, Id_SO_LINGER, linger, sizeof linger);
    uint16_t back[2] = {};
    int32_t length = sizeof back;
    ASSERT_EQ(Stack().SockGetOption(pair.Client.Socket, Id_SOL_SOCKET, Id_SO_LINGER, back, length),
              0);
    EXPECT_EQ(back[0], 1);
    EXPECT_EQ(back[1], 7);
    try {
        pair.Client.SetOption(Id_SOL_SOCKET, 0x7777, &on, sizeof on);
        FAIL() << "no exception";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.ErrorCode, 10042);
    }
}

TEST_F(SocketCallsTest, NonBlockingConnectReportsItsOutcome) {
    const struct {
        bool Listening;
        int32_t Expected;
    } cases[] = {{true, 0}, {false, 10061}};
    for (const auto& c : cases) {
        auto listener = MakeListener();
        const int32_t port = listener->Port;
        if (!c.Listening) {
            listener.reset();
        }
        TIdSocketHandle client;
        client.OpenSocket();
        ASSERT_EQ(Stack().SockSetBlocking(client.Socket, false), 0);
        client.SetRemote("127.0.0.1", port);
        if (client.ConnectTo(Id_PF_INET) == -1) {
            EXPECT_EQ(Stack().LastSocketError(), 10036);
            TIdSocketList write{client.Socket};
            EXPECT_EQ(Stack().SockSelect(nullptr, &write, -2, nullptr), 1);
        }
        const int32_t result = Stack().SockConnectResult(client.Socket);
        EXPECT_EQ(result == 0 ? 0 : Stack().LastSocketError(), c.Expected);
    }
}

} // namespace
