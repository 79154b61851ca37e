#include "IdException.h"
#include "IdTCPConnection.h"
#include "PosixIOHandler.h"
#include "TempDir.h"

#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace {

TEST(Loopback, StreamBothWaysUntilClosed) {
    for (int32_t bufferSize : {1024, 32768}) {
        SCOPED_TRACE(bufferSize);
        const auto [client, server] = qtest::LoopbackSocketPair();
        const std::string data = qtest::RandomBytes(3 * 1000 * 1000 + 17);
        std::thread sender([&, fd = server] {
            TPosixIOHandler handler(fd);
            TIdTCPConnection conn;
            conn.SetIOHandler(&handler);
            conn.SendBufferSize = bufferSize;
            TIdMemoryStream source;
            source.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
            conn.SendStream(source, true, false, 0);
            conn.CloseConnection();
        });
        TPosixIOHandler handler(client);
        TIdTCPConnection conn;
        conn.SetIOHandler(&handler);
        conn.RecvBufferSize = bufferSize;
        TIdMemoryStream target;
        conn.ReceiveStream(target, -1, true);
        sender.join();
        EXPECT_TRUE(target.DataString() == data);
        EXPECT_FALSE(conn.IsConnected());
    }
}

TEST(Loopback, LinesThenGracefulClose) {
    const auto [client, server] = qtest::LoopbackSocketPair();
    const std::string wire = "220 hello\r\n230-a\r\n230 b\r\ntail";
    ASSERT_EQ(write(server, wire.data(), wire.size()), static_cast<ssize_t>(wire.size()));
    close(server);
    TPosixIOHandler handler(client);
    TIdTCPConnection conn;
    conn.SetIOHandler(&handler);
    EXPECT_EQ(conn.GetReply({220}), 220);
    EXPECT_EQ(conn.GetReply({}), 230);
    EXPECT_EQ(conn.LastReply().Text(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(conn.ReadLine(), "");
    EXPECT_TRUE(conn.LineIncomplete);
    EXPECT_THROW(conn.ReadLine(), EIdConnClosedGracefully);
    EXPECT_EQ(conn.TakeAvailable(), "tail");
}

TEST(Loopback, SendingToAClosedPeerRaisesTheSocketError) {
    const auto [client, server] = qtest::LoopbackSocketPair();
    close(server);
    TPosixIOHandler handler(client);
    TIdTCPConnection conn;
    conn.SetIOHandler(&handler);
    const std::string block(65536, 'x');
    try {
        // The first sends may still be taken before the peer's reset arrives.
        for (int i = 0; i < 1000; ++i) {
            conn.WriteText(block);
        }
        ADD_FAILURE() << "no exception";
    } catch (const EIdSocketError& e) {
        EXPECT_TRUE(e.ErrorCode == 10054 || e.ErrorCode == 10058) << e.ErrorCode;
        EXPECT_FALSE(handler.IsOpen());
    }
}

} // namespace
