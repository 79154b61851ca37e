#include "IdAntiFreeze.h"
#include "IdException.h"
#include "NetTestUtil.h"

#include <fcntl.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <thread>

namespace {

using SocketHandleTest = StackTest;

TEST_F(SocketHandleTest, LoopbackConnectAcceptSendReceive) {
    LoopbackPair pair;
    EXPECT_TRUE(pair.Client.Allocated);
    EXPECT_TRUE(pair.Server.Allocated);
    EXPECT_EQ(pair.Client.RemoteIP, "127.0.0.1");
    EXPECT_EQ(pair.Client.RemotePort, pair.Listener->Port);
    EXPECT_EQ(pair.Client.IP, "127.0.0.1");
    EXPECT_NE(pair.Client.Port, 0);
    EXPECT_EQ(pair.Server.Port, pair.Listener->Port);
    EXPECT_EQ(pair.Server.RemotePort, pair.Client.Port);
    EXPECT_EQ(pair.Server.RemoteIP, "127.0.0.1");

    const std::string text = "hello\r\n";
    EXPECT_EQ(pair.Client.SendBytes(text.data(), static_cast<int32_t>(text.size())), 7);
    ASSERT_TRUE(pair.Server.PollReadable(-2));
    char buffer[16];
    EXPECT_EQ(pair.Server.RecvBytes(buffer, sizeof buffer), 7);
    EXPECT_EQ(std::string(buffer, 7), text);

    // The peer's orderly close is readable and reads as 0 bytes.
    pair.Client.ShutAndClose();
    EXPECT_TRUE(pair.Server.PollReadable(-2));
    EXPECT_EQ(pair.Server.RecvBytes(buffer, sizeof buffer), 0);
}

bool PortFree(int32_t APort) {
    TIdSocketHandle probe;
    probe.OpenSocket();
    probe.IP = "127.0.0.1";
    probe.Port = APort;
    return probe.BindOnce();
}

// Three consecutive free loopback ports; returns the lowest.
int32_t FreeRunOfThree() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int32_t top = UnusedPort();
        if (top > 1026 && PortFree(top - 1) && PortFree(top - 2)) {
            return top - 2;
        }
    }
    return 0;
}

TEST_F(SocketHandleTest, BindLocalPortsAndRanges) {
    enum Outcome { Bound, CouldNotBind, CanNotBindInRange, InvalidRange };
    struct Case {
        const char* Name;
        std::vector<int> Busy; // offsets from the base port kept bound by others
        std::optional<int> PortOffset;
        int MinOffset, MaxOffset; // -1: 0 (no range end)
        Outcome Expected;
        int BoundOffset; // for Bound; -1: any port
    };
    const Case cases[] = {
        {"top of range busy binds the next one down", {2}, std::nullopt, 0, 2, Bound, 1},
        {"free range binds its highest port", {}, std::nullopt, 0, 2, Bound, 2},
        {"whole range busy", {1, 2}, std::nullopt, 1, 2, CanNotBindInRange, 0},
        {"busy fixed port ignores the range", {2}, 2, 0, 1, CouldNotBind, 0},
        {"inverted range", {}, std::nullopt, 2, 0, InvalidRange, 0},
        {"no range binds any port", {}, std::nullopt, 0, -1, Bound, -1},
    };
    const int32_t base = FreeRunOfThree();
    ASSERT_NE(base, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<std::unique_ptr<TIdSocketHandle>> busy;
        for (const int offset : c.Busy) {
            busy.push_back(std::make_unique<TIdSocketHandle>());
            busy.back()->OpenSocket();
            busy.back()->IP = "127.0.0.1";
            busy.back()->Port = base + offset;
            busy.back()->BindLocal();
        }
        TIdSocketHandle handle;
        handle.OpenSocket();
        handle.IP = "127.0.0.1";
        handle.Port = c.PortOffset ? base + *c.PortOffset : 0;
        handle.ClientPortMin = c.MinOffset < 0 ? 0 : base + c.MinOffset;
        handle.ClientPortMax = c.MaxOffset < 0 ? 0 : base + c.MaxOffset;
        const std::string range = "(" + std::to_string(handle.ClientPortMin) + " - " +
                                  std::to_string(handle.ClientPortMax) + ")";
        try {
            handle.BindLocal();
            ASSERT_EQ(c.Expected, Bound);
            if (c.BoundOffset >= 0) {
                EXPECT_EQ(handle.Port, base + c.BoundOffset);
            } else {
                EXPECT_GT(handle.Port, 0);
            }
        } catch (const EIdCouldNotBindSocket& e) {
            EXPECT_EQ(c.Expected, CouldNotBind);
            EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
        } catch (const EIdCanNotBindPortInRange& e) {
            EXPECT_EQ(c.Expected, CanNotBindInRange);
            EXPECT_EQ(e.what(), "Can not bind in port range " + range);
            EXPECT_EQ(handle.Port, handle.ClientPortMin);
        } catch (const EIdInvalidPortRange& e) {
            EXPECT_EQ(c.Expected, InvalidRange);
            EXPECT_EQ(e.what(), "Invalid Port Range " + range);
        }
    }
}

TEST_F(SocketHandleTest, InvalidRangeMessageNamesBothEnds) {
    TIdSocketHandle handle;
    handle.OpenSocket();
    handle.ClientPortMin = 5002;
    handle.ClientPortMax = 5000;
    try {
        handle.BindLocal();
        FAIL() << "no exception";
    } catch (const EIdInvalidPortRange& e) {
        EXPECT_STREQ(e.what(), "Invalid Port Range (5002 - 5000)");
    }
}

TEST_F(SocketHandleTest, AcceptOnClosedListenerReturnsFalse) {
    auto listener = MakeListener();
    const TIdStackSocketHandle listening = listener->Socket;
    listener->ShutAndClose();
    TIdSocketHandle handle;
    EXPECT_FALSE(handle.AcceptOn(listening));
    EXPECT_FALSE(handle.Allocated);
    EXPECT_EQ(handle.Socket, Id_INVALID_SOCKET);
    EXPECT_EQ(Stack().LastErrorCode, 10038);
}

// The socket interface keeps 16 bits of a port: 65536 more than a listening
// port would reach that port. Every place that sets a port refuses it.
TEST_F(SocketHandleTest, PortsOutsideOneTo65535AreRefused) {
    auto listener = MakeListener();
    const int32_t wrapped = listener->Port + 65536;
    const std::string refused = "'" + std::to_string(wrapped) + "' is not a valid port";
    const struct {
        const char* Name;
        std::function<void(TIdSocketHandle&)> Run;
        std::string Message;
    } cases[] = {
        {"connect", [&](TIdSocketHandle& h) { h.SetRemote("127.0.0.1", wrapped); }, refused},
        {"connect to 0", [](TIdSocketHandle& h) { h.SetRemote("127.0.0.1", 0); },
         "'0' is not a valid port"},
        {"stack connect",
         [&](TIdSocketHandle& h) {
             Stack().CheckSocketResult(
                 Stack().SockConnect(h.Socket, Id_PF_INET, wrapped, "127.0.0.1"));
         },
         "Socket Error # 10022\r\nInvalid argument."},
        {"bind", [](TIdSocketHandle& h) { h.Port = 70000, h.BindLocal(); },
         "'70000' is not a valid port"},
        {"bind range",
         [](TIdSocketHandle& h) {
             h.ClientPortMin = 65530, h.ClientPortMax = 70000, h.BindLocal();
         },
         "Invalid Port Range (65530 - 70000)"},
    };
    for (const auto& c : cases) {
        TIdSocketHandle handle;
        handle.OpenSocket();
        try {
            c.Run(handle);
            ADD_FAILURE() << c.Name << ": no exception";
        } catch (const EIdException& e) {
            EXPECT_EQ(e.what(), c.Message) << c.Name;
        }
    }
}

TEST_F(SocketHandleTest, RefusedConnectRaisesWinsock10061) {
    TIdSocketHandle client;
    client.OpenSocket();
    client.SetRemote("127.0.0.1", UnusedPort());
    try {
        Stack().CheckSocketResult(client.ConnectTo(Id_PF_INET));
        FAIL() << "no exception";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.ErrorCode, 10061);
        EXPECT_STREQ(e.what(), "Socket Error # 10061\r\nConnection refused.");
    }
    // A failed connect leaves the addresses alone and the socket for the caller.
    EXPECT_TRUE(client.Allocated);
    EXPECT_EQ(client.RemoteIP, "127.0.0.1");
}

TEST_F(SocketHandleTest, PollReadableWithoutSocketRaises) {
    const struct { bool Opened; } cases[] = {{false}, {true}};
    for (const auto& c : cases) {
        TIdSocketHandle handle;
        if (c.Opened) {
            handle.OpenSocket();
            handle.ShutAndClose();
        }
        try {
            handle.PollReadable(0);
            FAIL() << "no exception";
        } catch (const EIdConnClosedGracefully& e) {
            EXPECT_STREQ(e.what(), "Connection Closed Gracefully.");
        }
    }
}

TEST_F(SocketHandleTest, ShutAndCloseTwiceLeavesAReusedNumberAlone) {
    TIdSocketHandle handle;
    handle.OpenSocket();
    const TIdStackSocketHandle number = handle.Socket;
    handle.ShutAndClose();
    EXPECT_FALSE(handle.Allocated);
    EXPECT_EQ(handle.Socket, number);
    // The lowest free descriptor is the one just released.
    const int reused = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(reused, number);
    handle.ShutAndClose();
    EXPECT_NE(fcntl(reused, F_GETFD), -1);
    close(reused);
}

TEST_F(SocketHandleTest, CopyFromTakesAddressesOnly) {
    TIdSocketHandle source;
    source.IP = "10.0.0.1";
    source.Port = 21;
    source.SetRemote("10.0.0.2", 2121);
    source.ClientPortMin = 5000;
    source.ClientPortMax = 5010;
    TIdSocketHandle target;
    target.OpenSocket();
    const TIdStackSocketHandle own = target.Socket;
    target.CopyFrom(source);
    EXPECT_EQ(target.IP, "10.0.0.1");
    EXPECT_EQ(target.Port, 21);
    EXPECT_EQ(target.RemoteIP, "10.0.0.2");
    EXPECT_EQ(target.RemotePort, 2121);
    EXPECT_EQ(target.ClientPortMin, 0);
    EXPECT_EQ(target.ClientPortMax, 0);
    EXPECT_EQ(target.Socket, own);
    EXPECT_TRUE(target.Allocated);
}

// Anti-freeze in force with a pump that counts and may act on the pair.
class PollSlicesTest : public SocketHandleTest {
protected:
    TIdAntiFreeze AntiFreeze;
    int Pumps = 0;
    std::function<void(int)> OnPump;

    void SetUp() override {
        AntiFreeze.IdleTimeOut = 5;
        TIdAntiFreeze::InstallPump(
            [this] {
                ++Pumps;
                if (OnPump) {
                    OnPump(Pumps);
                }
            },
            nullptr);
    }
    void TearDown() override { TIdAntiFreeze::InstallPump(nullptr, nullptr); }
};

TEST_F(PollSlicesTest, LongWaitIsCutIntoIdleSlices) {
    const struct {
        bool Active;
        int32_t TimeOut;
        int ExpectedPumps;
    } cases[] = {
        {true, 0, 1}, {true, 5, 1}, {true, 6, 2}, {true, 23, 5}, {true, 25, 5}, {false, 25, 0},
    };
    LoopbackPair pair;
    for (const auto& c : cases) {
        AntiFreeze.Active = c.Active;
        Pumps = 0;
        EXPECT_FALSE(pair.Client.PollReadable(c.TimeOut));
        EXPECT_EQ(Pumps, c.ExpectedPumps) << c.TimeOut;
    }
}

TEST_F(PollSlicesTest, UnlimitedWaitPumpsUntilDataArrives) {
    LoopbackPair pair;
    OnPump = [&pair](int APump) {
        if (APump == 3) {
            pair.SendFromServer("z");
        }
    };
    EXPECT_TRUE(pair.Client.PollReadable(-2));
    EXPECT_EQ(Pumps, 3);
}

TEST_F(PollSlicesTest, HandlerClosingTheSocketEndsTheWait) {
    const struct { int32_t TimeOut; } cases[] = {{-2}, {1000}};
    for (const auto& c : cases) {
        LoopbackPair pair;
        Pumps = 0;
        OnPump = [&pair](int APump) {
            if (APump == 2) {
                pair.Client.ShutAndClose();
            }
        };
        EXPECT_THROW(pair.Client.PollReadable(c.TimeOut), EIdConnClosedGracefully);
        EXPECT_EQ(Pumps, 2);
    }
}

TEST_F(PollSlicesTest, WorkerThreadWaitsInOnePiece) {
    LoopbackPair pair;
    bool result = true;
    std::thread worker([&] { result = pair.Client.PollReadable(20); });
    worker.join();
    EXPECT_FALSE(result);
    EXPECT_EQ(Pumps, 0);
}

} // namespace
