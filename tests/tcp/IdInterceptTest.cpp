#include "ConnectionTestKit.h"

#include "IdException.h"

#include <gtest/gtest.h>
#include <memory>

namespace {

// Appends its tag to every block it sees, so the order of a chain shows in the data.
void Tag(TIdConnectionIntercept& AIntercept, const std::string& ATag,
         std::vector<std::string>& ALog) {
    AIntercept.OnConnect = [&ALog, ATag](TIdConnectionIntercept*) {
        ALog.push_back("connect " + ATag);
    };
    AIntercept.OnDisconnect = [&ALog, ATag](TIdConnectionIntercept*) {
        ALog.push_back("disconnect " + ATag);
    };
    auto append = [ATag](TIdConnectionIntercept*, TIdStream& AStream) {
        AStream.Seek(0, TIdSeekOrigin::soEnd);
        AStream.WriteBuffer(ATag.data(), static_cast<int64_t>(ATag.size()));
    };
    AIntercept.OnReceive = append;
    AIntercept.OnSend = append;
}

TEST(Intercept, ChainOrders) {
    std::vector<std::string> log;
    TIdConnectionIntercept a;
    TIdConnectionIntercept b;
    Tag(a, "A", log);
    Tag(b, "B", log);
    a.SetChained(&b);
    TConnectionKit kit;
    kit.Conn.SetIntercept(&a);
    a.Attach(&kit.Conn);
    EXPECT_EQ(b.AttachedTo(), &kit.Conn);
    kit.Handler.Chunk("in:");
    kit.Conn.ReceiveMore(true, -1, true);
    EXPECT_EQ(kit.Unread(), "in:BA");
    kit.Conn.WriteText("out:");
    EXPECT_EQ(kit.Handler.Sent, "out:AB");
    kit.Conn.DropSocket();
    EXPECT_EQ(log,
              (std::vector<std::string>{"connect A", "connect B", "disconnect B", "disconnect A"}));
    EXPECT_EQ(a.AttachedTo(), nullptr);
}

TEST(Intercept, WithoutHandlersPassesDataThrough) {
    TIdConnectionIntercept a;
    TConnectionKit kit;
    kit.Conn.SetIntercept(&a);
    kit.Handler.Chunk("abc\n");
    EXPECT_EQ(kit.Conn.ReadLine(), "abc");
    kit.Conn.WriteLine("x");
    EXPECT_EQ(kit.Handler.Sent, "x\r\n");
}

TEST(Intercept, SwallowedChunkMakesTheReceiveWaitAgain) {
    TIdConnectionIntercept a;
    a.OnReceive = [](TIdConnectionIntercept*, TIdStream& AStream) {
        if (AStream.Size() == 4) {
            AStream.SetSize(0);
        }
    };
    TConnectionKit kit;
    kit.Conn.SetIntercept(&a);
    kit.Handler.Chunk("junk").Chunk("ok\n");
    EXPECT_EQ(kit.Conn.ReceiveMore(true, -1, true), 3);
    EXPECT_EQ(kit.Conn.ReadLine(), "ok");
}

TEST(Intercept, DoubledOutgoingDataIsSentAndCounted) {
    TIdConnectionIntercept a;
    a.OnSend = [](TIdConnectionIntercept*, TIdStream& AStream) {
        TIdMemoryStream& memory = dynamic_cast<TIdMemoryStream&>(AStream);
        const std::string copy = memory.DataString();
        memory.Seek(0, TIdSeekOrigin::soEnd);
        memory.WriteBuffer(copy.data(), static_cast<int64_t>(copy.size()));
    };
    TConnectionKit kit;
    kit.Conn.SetIntercept(&a);
    TIdMemoryStream stream;
    stream.WriteBuffer("abc", 3);
    kit.Conn.SendStream(stream);
    EXPECT_EQ(kit.Handler.Sent, "abcabc");
    EXPECT_EQ(kit.Events, (std::vector<std::string>{"w begin 3", "w 6", "w end"}));
}

TEST(Intercept, FileBytesPassTheIntercept) {
    char name[] = "/tmp/quorvan-intercept-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        TIdFileStream file(name, TIdFileMode::fmCreate);
        file.WriteBuffer("data", 4);
    }
    TIdConnectionIntercept a;
    a.OnSend = [](TIdConnectionIntercept*, TIdStream& AStream) { AStream.SetSize(1); };
    TConnectionKit kit;
    kit.Conn.SetIntercept(&a);
    kit.Conn.SendFile(name, true);
    EXPECT_EQ(kit.Handler.Sent, "d");
    unlink(name);
}

TEST(Intercept, DestroyedObjectsAreForgotten) {
    TConnectionKit kit;
    auto outer = std::make_unique<TIdConnectionIntercept>();
    auto inner = std::make_unique<TIdConnectionIntercept>();
    outer->SetChained(inner.get());
    kit.Conn.SetIntercept(outer.get());
    inner.reset();
    EXPECT_EQ(outer->Chained(), nullptr);
    outer.reset();
    EXPECT_EQ(kit.Conn.Intercept(), nullptr);
    kit.Handler.Chunk("x\n");
    EXPECT_EQ(kit.Conn.ReadLine(), "x");

    TIdConnectionIntercept survivor;
    {
        TIdTCPConnection conn;
        survivor.Attach(&conn);
    }
    EXPECT_EQ(survivor.AttachedTo(), nullptr);
}

TEST(IOHandler, DestroyedHandlerIsForgottenAndOwnedOneDestroyed) {
    TIdTCPConnection conn;
    {
        TIdMemoryIOHandler handler;
        conn.SetIOHandler(&handler);
    }
    EXPECT_EQ(conn.IOHandler(), nullptr);
    EXPECT_FALSE(conn.IsConnected());

    auto owned = std::make_unique<TIdMemoryIOHandler>();
    TIdMemoryIOHandler* raw = owned.get();
    bool destroyed = false;
    struct TWatch : TIdBaseComponent {
        bool* Flag;
        void Notification(TIdBaseComponent*, TOperation) override { *Flag = true; }
    } watch;
    watch.Flag = &destroyed;
    watch.FreeNotification(raw);
    conn.SetOwnedIOHandler(std::move(owned));
    EXPECT_TRUE(conn.OwnsIOHandler());
    std::vector<std::string> statuses;
    conn.OnStatus = [&](TIdComponent*, TIdStatus, const std::string& text) {
        statuses.push_back(text);
    };
    conn.CloseConnection();
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(conn.IOHandler(), nullptr);
    EXPECT_FALSE(conn.OwnsIOHandler());
    EXPECT_EQ(statuses, (std::vector<std::string>{"Disconnecting.", "Disconnected."}));
}

} // namespace
