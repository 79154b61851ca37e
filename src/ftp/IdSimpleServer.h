#pragma once

#include "IdTCPConnection.h"

#include <cstdint>
#include <string>

class TIdIOHandlerSocket;
class TIdSocketHandle;

// A connection that listens on one local socket and accepts exactly one
// incoming connection, then behaves like any other connection. Active-mode
// data connections are made this way.
class TIdSimpleServer : public TIdTCPConnection {
public:
    static constexpr int32_t InvalidSocket = -1;

    TIdSimpleServer();
    ~TIdSimpleServer() override;

    bool StopRequested = false;
    // One poll of the accept wait in ms; 0 takes the anti-freeze's slice (or
    // a short default), so that the wait never spins.
    int32_t AcceptWait = 0;
    // The whole accept wait in ms; -2 waits without limit.
    int32_t AcceptTimeout = -2;
    std::string BoundIP;
    int32_t BoundPort = 0;
    int32_t ListenHandle = InvalidSocket;
    bool Listening = false;

    virtual void RequestStop();
    virtual void StartListening();
    virtual void BindListener();
    virtual void StopListening();
    virtual bool AcceptConnection();

    void ResetReadState() override;
    // The listening socket goes first: the handler that also holds it may
    // outlive the call when a wait is still using it.
    void CloseConnection() override;

    // The socket handle of the listener (and, after the accept, of the accepted connection).
    TIdSocketHandle* Binding();

private:
    void CloseListenSocket();
};
