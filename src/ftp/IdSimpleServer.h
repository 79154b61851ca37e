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
    int32_t AcceptWait = 0;
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

    // The socket handle of the listener (and, after the accept, of the accepted connection).
    TIdSocketHandle* Binding();

private:
    void CloseListenSocket();
};
