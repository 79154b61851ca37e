// The receive step over a real socket: bytes already waiting are taken without
// a wait, and the anti-freeze still runs exactly as a wait would run it.
#include "IdAntiFreeze.h"
#include "IdException.h"
#include "IdIOHandlerSocket.h"
#include "IdTCPConnection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

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

// The socket handler reads ahead of small receive steps: what the caller sees
// (lines, exact counts, readability, work per chunk) must not change, however
// the bytes fall across the read-ahead's refills.
TEST(ReceiveReady, ReadAheadIsInvisibleToReaders) {
    std::string sent;
    for (int i = 0; sent.size() < size_t(TIdIOHandlerSocket::ReadAheadSize) * 2; ++i) {
        sent += "line " + std::to_string(i) + std::string(size_t(i % 97), '.') + "\r\n";
    }
    enum class TRead { rdLines, rdExact, rdStream };
    const struct {
        const char* Name;
        TRead Read;
        int32_t BufferSize;
        size_t Step; // exact-count reads
    } cases[] = {
        {"lines, 1024-byte steps", TRead::rdLines, 1024, 0},
        {"lines, 7-byte steps", TRead::rdLines, 7, 0},
        {"lines, direct receives", TRead::rdLines, 32768, 0},
        {"exact counts across refills", TRead::rdExact, 1024, 1000},
        {"exact counts, direct receives", TRead::rdExact, 32768, 70001},
        {"stream, 1024-byte chunks", TRead::rdStream, 1024, 0},
        {"stream, 1000-byte chunks", TRead::rdStream, 1000, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        PairedConnection pair;
        TIdTCPConnection& conn = pair.Connection;
        conn.RecvBufferSize = c.BufferSize;
        // More than the socket pair holds: the peer writes while we read.
        std::thread peer([&] {
            pair.Send(sent);
            ::shutdown(pair.Peer, SHUT_WR);
        });
        std::string got;
        std::vector<int64_t> work, expected;
        conn.OnWork = [&](TIdComponent*, TWorkMode, int64_t ACount) { work.push_back(ACount); };
        while (c.Read == TRead::rdLines && got.size() < sent.size()) {
            got += conn.ReadLine() + "\r\n";
            // Bytes read ahead count as readable with the socket empty.
            EXPECT_TRUE(pair.Handler.ReadAheadCount() == 0 || pair.Handler.WaitReadable(0));
        }
        for (size_t at = 0; c.Read == TRead::rdExact && at < sent.size(); at += c.Step) {
            std::string chunk(std::min(c.Step, sent.size() - at), '\0');
            conn.ReadBytes(chunk.data(), int32_t(chunk.size()));
            got += chunk;
        }
        if (c.Read == TRead::rdStream) {
            TIdMemoryStream stream;
            conn.ReceiveStream(stream, -1, true);
            got = stream.DataString();
            // One event per whole chunk with the running total; the tail the
            // close found buffered raises none.
            for (size_t i = 1; i <= sent.size() / size_t(c.BufferSize); ++i) {
                expected.push_back(int64_t(i) * c.BufferSize);
            }
            EXPECT_TRUE(work == expected) << work.size() << " events";
        }
        peer.join();
        EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size();
    }
}
