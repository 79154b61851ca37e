#include "IdException.h"
#include "IdStack.h"
#include "IdTCPConnection.h"

#include <arpa/inet.h>
#include <cerrno>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// A blocking socket under the connection, doing what the socket handler does.
class TLoopbackHandler : public TIdIOHandler {
public:
    explicit TLoopbackHandler(int ADescriptor) : FDescriptor(ADescriptor) {}
    ~TLoopbackHandler() override { Shut(); }
    void Shut() override {
        if (FDescriptor >= 0) {
            close(FDescriptor);
            FDescriptor = -1;
        }
    }
    bool IsOpen() override { return FDescriptor >= 0; }
    bool WaitReadable(int32_t AMSec) override {
        pollfd entry{FDescriptor, POLLIN, 0};
        return poll(&entry, 1, AMSec < 0 ? -1 : AMSec) > 0;
    }
    int32_t ReceiveInto(void* ABuffer, int32_t ALength) override {
        return static_cast<int32_t>(TheStack->SockRecv(FDescriptor, ABuffer, ALength, 0));
    }
    int32_t SendFrom(const void* ABuffer, int32_t ALength) override {
        return static_cast<int32_t>(TheStack->SockSend(FDescriptor, ABuffer, ALength, 0));
    }

private:
    int FDescriptor;
};

// Two connected loopback sockets on an ephemeral port.
std::pair<int, int> SocketPair() {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(listen(listener, 1), 0);
    EXPECT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), length), 0);
    const int server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
    return {client, server};
}

std::string Pattern(size_t ASize) {
    std::string data(ASize, '\0');
    for (size_t i = 0; i < ASize; ++i) {
        data[i] = static_cast<char>(i * 7 + i / 253);
    }
    return data;
}

TEST(Loopback, StreamBothWaysUntilClosed) {
    for (int32_t bufferSize : {1024, 32768}) {
        SCOPED_TRACE(bufferSize);
        const auto [client, server] = SocketPair();
        const std::string data = Pattern(3 * 1000 * 1000 + 17);
        std::thread sender([&, fd = server] {
            TLoopbackHandler handler(fd);
            TIdTCPConnection conn;
            conn.SetIOHandler(&handler);
            conn.SendBufferSize = bufferSize;
            TIdMemoryStream source;
            source.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
            conn.SendStream(source, true, false, 0);
            conn.CloseConnection();
        });
        TLoopbackHandler handler(client);
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
    const auto [client, server] = SocketPair();
    const std::string wire = "220 hello\r\n230-a\r\n230 b\r\ntail";
    ASSERT_EQ(write(server, wire.data(), wire.size()), static_cast<ssize_t>(wire.size()));
    close(server);
    TLoopbackHandler handler(client);
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
    const auto [client, server] = SocketPair();
    close(server);
    TLoopbackHandler handler(client);
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
