// The receive step over a real socket: bytes already waiting are taken without
// a wait, and the anti-freeze still runs exactly as a wait would run it.
#include "IdAntiFreeze.h"
#include "IdException.h"
#include "IdIOHandlerSocket.h"
#include "IdTCPConnection.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A socket handler over one end of a socket pair; the test holds the other.
class PairedConnection {
public:
    PairedConnection() {
        int fds[2] = {-1, -1};
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
            ADD_FAILURE() << "socketpair";
            return;
        }
        Handler.Handle = std::make_unique<TIdSocketHandle>();
        Handler.Handle->Socket = fds[0];
        Handler.Handle->Allocated = true;
        Peer = fds[1];
        Connection.SetIOHandler(&Handler);
    }
    ~PairedConnection() {
        Connection.SetIOHandler(nullptr);
        if (Peer >= 0) {
            ::close(Peer);
        }
    }
    void Send(const std::string& ABytes) const {
        ASSERT_EQ(::send(Peer, ABytes.data(), ABytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(ABytes.size()));
    }

    TIdIOHandlerSocket Handler;
    TIdTCPConnection Connection;
    int Peer = -1;
};

enum class TPumpAction { paNothing, paSendOnFirst, paCloseOnFirst };

} // namespace

TEST(ReceiveReady, PumpsAsTheWaitWouldHave) {
    const struct {
        const char* Name;
        bool OnlyWhenIdle;
        size_t ReadyBefore; // bytes waiting before the step
        TPumpAction Action;
        int32_t Timeout;
        int32_t ExpectedResult;
        int ExpectedPumps;
    } cases[] = {
        // Ready at once: the non-idle step pumps only when not limited to idle time.
        {"ready, pump always", false, 5000, TPumpAction::paNothing, -2, 1024, 1},
        {"ready, pump when idle", true, 5000, TPumpAction::paNothing, -2, 1024, 0},
        {"ready, short chunk", false, 10, TPumpAction::paNothing, -2, 10, 1},
        // Nothing there: the wait runs idle pumps until it expires.
        {"nothing, expires", true, 0, TPumpAction::paNothing, 30, -1, 3},
        {"nothing, expires, pump always", false, 0, TPumpAction::paNothing, 30, -1, 3},
        // Data arrives during the wait: one idle pump, then the ready slice.
        {"arrives, pump when idle", true, 0, TPumpAction::paSendOnFirst, -2, 7, 1},
        {"arrives, pump always", false, 0, TPumpAction::paSendOnFirst, -2, 7, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        PairedConnection pair;
        pair.Connection.RecvBufferSize = 1024;
        pair.Send(std::string(c.ReadyBefore, 'r'));
        int pumps = 0;
        TIdAntiFreeze::InstallPump(
            [&] {
                if (++pumps == 1 && c.Action == TPumpAction::paSendOnFirst) {
                    pair.Send("arrived");
                }
            },
            nullptr);
        {
            TIdAntiFreeze antiFreeze;
            antiFreeze.OnlyWhenIdle = c.OnlyWhenIdle;
            antiFreeze.IdleTimeOut = 10;
            EXPECT_EQ(pair.Connection.ReceiveMore(true, c.Timeout, false), c.ExpectedResult);
        }
        TIdAntiFreeze::InstallPump(nullptr, nullptr);
        EXPECT_EQ(pumps, c.ExpectedPumps);
        const int64_t expectedSize = c.ExpectedResult > 0 ? c.ExpectedResult : 0;
        EXPECT_EQ(pair.Connection.ReceivedData().Size(), expectedSize);
    }
}

TEST(ReceiveReady, ReadyBytesKeepTheirOrderAcrossChunks) {
    PairedConnection pair;
    pair.Connection.RecvBufferSize = 7;
    std::string sent;
    for (int i = 0; i < 100; ++i) {
        sent += static_cast<char>('A' + i % 26);
    }
    pair.Send(sent);
    std::string got;
    while (got.size() < sent.size()) {
        const int32_t n = pair.Connection.ReceiveMore(true, -2, true);
        ASSERT_GT(n, 0);
        ASSERT_LE(n, 7);
        got += pair.Connection.ReceivedData().TakeString(n);
    }
    EXPECT_EQ(got, sent);
}

TEST(ReceiveReady, CloseAndErrorsAreSeenWithoutAWait) {
    const struct {
        const char* Name;
        std::string Before;
        int32_t ExpectedFirst;
    } cases[] = {
        {"close after bytes", "tail", 4},
        {"close alone", "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        PairedConnection pair;
        if (!c.Before.empty()) {
            pair.Send(c.Before);
        }
        ::shutdown(pair.Peer, SHUT_WR);
        if (c.ExpectedFirst > 0) {
            EXPECT_EQ(pair.Connection.ReceiveMore(false, -2, true), c.ExpectedFirst);
            EXPECT_EQ(pair.Connection.ReceivedData().TakeString(c.ExpectedFirst), c.Before);
        }
        EXPECT_EQ(pair.Connection.ReceiveMore(false, -2, true), 0);
        EXPECT_TRUE(pair.Connection.PeerClosed);
        EXPECT_FALSE(pair.Connection.IsConnected());
        EXPECT_THROW(pair.Connection.ReceiveMore(true, -2, true), EIdException);
    }
}

TEST(ReceiveReady, APumpThatClosesTheSocketEndsTheStep) {
    PairedConnection pair;
    pair.Send("lost");
    TIdAntiFreeze::InstallPump([&] { pair.Handler.Handle->ShutAndClose(); }, nullptr);
    {
        TIdAntiFreeze antiFreeze;
        antiFreeze.OnlyWhenIdle = false;
        try {
            pair.Connection.ReceiveMore(true, -2, true);
            ADD_FAILURE() << "no exception";
        } catch (const EIdClosedSocket& e) {
            EXPECT_STREQ(e.what(), "Disconnected.");
        }
    }
    TIdAntiFreeze::InstallPump(nullptr, nullptr);
    EXPECT_EQ(pair.Connection.ReceivedData().Size(), 0);
}
