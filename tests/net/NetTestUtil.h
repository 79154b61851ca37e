#pragma once

#include "IdComponent.h"
#include "IdSocketHandle.h"
#include "IdStack.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

// Keeps the process-wide stack alive for a test, as any network component does.
class StackTest : public ::testing::Test {
protected:
    TIdComponent Component;
    TIdStack& Stack() { return *TheStack; }
};

// A listening handle on 127.0.0.1 with a port chosen by the kernel.
inline std::unique_ptr<TIdSocketHandle> MakeListener() {
    auto listener = std::make_unique<TIdSocketHandle>();
    listener->OpenSocket();
    listener->IP = "127.0.0.1";
    listener->BindLocal();
    listener->StartListen(15);
    return listener;
}

// A loopback port that nothing listens on right now.
inline int32_t UnusedPort() {
    TIdSocketHandle probe;
    probe.OpenSocket();
    probe.IP = "127.0.0.1";
    probe.BindLocal();
    return probe.Port;
}

// A connected pair: Client connected to the listener, Server the accepted side.
struct LoopbackPair {
    std::unique_ptr<TIdSocketHandle> Listener = MakeListener();
    TIdSocketHandle Client;
    TIdSocketHandle Server;

    LoopbackPair() {
        Client.OpenSocket();
        Client.SetRemote("127.0.0.1", Listener->Port);
        TheStack->CheckSocketResult(Client.ConnectTo(Id_PF_INET));
        EXPECT_TRUE(Server.AcceptOn(Listener->Socket));
    }

    void SendFromServer(const std::string& AData) {
        EXPECT_EQ(Server.SendBytes(AData.data(), static_cast<int32_t>(AData.size())),
                  static_cast<int32_t>(AData.size()));
    }
};
