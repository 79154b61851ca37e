#pragma once

#include "IdComponent.h"
#include "IdStack.h"

#include <cstdint>
#include <string>

class TIdSocketHandle;
class TIdSocksInfo;

// The transport a connection talks to. The connection never touches a socket
// itself, so tests can put an in-memory handler under it.
class TIdIOHandler : public TIdComponent {
public:
    // A concrete handler must call its own Shut from its destructor: by the
    // time this base destructor runs, the derived override is gone.
    ~TIdIOHandler() override = default;

    // The handler that carries the bytes: this one, or the one a wrapping
    // handler (TLS) sits on.
    virtual TIdIOHandler* Transport() { return this; }
    // Hook for the one-connection listener after it accepted a connection.
    virtual void AcceptCompleted() {}
    // Closes the transport.
    virtual void Shut() {}
    virtual void ConnectPeer(const std::string& AHost, int32_t APort, const std::string& ABoundIP,
                             int32_t ABoundPort, int32_t ABoundPortLow, int32_t ABoundPortHigh,
                             int32_t ATimeout) {
        (void)AHost, (void)APort, (void)ABoundIP, (void)ABoundPort, (void)ABoundPortLow,
            (void)ABoundPortHigh, (void)ATimeout;
    }
    virtual bool IsOpen() = 0;
    // Makes the handler ready for a new connect.
    virtual void Prepare() {}
    // -2 waits without limit.
    virtual bool WaitReadable(int32_t AMSec) = 0;
    // Bytes moved, 0 at the peer's orderly close, -1 on error.
    virtual int32_t ReceiveInto(void* ABuffer, int32_t ALength) = 0;
    // Receives only what is there already, without waiting. False when nothing
    // was ready (or the handler cannot tell): the caller then waits as usual.
    // True with AResult as ReceiveInto would give it, an orderly close or an
    // error included.
    virtual bool ReceiveIfReady(void* ABuffer, int32_t ALength, int32_t& AResult) {
        (void)ABuffer, (void)ALength, (void)AResult;
        return false;
    }
    virtual int32_t SendFrom(const void* ABuffer, int32_t ALength) = 0;

    // The ends of the transport, for protocols that name addresses on the wire
    // (an unset address when the handler has none); a handler that wraps
    // another answers for the one beneath.
    virtual TIdAddress LocalAddress() { return {}; }
    virtual TIdAddress PeerAddress() { return {}; }
    // The proxy settings the transport connects through; none when it cannot
    // go through a proxy.
    virtual TIdSocksInfo* SocksInfo() { return nullptr; }
    // The socket the transport runs on, for a listener that accepts into it.
    virtual TIdSocketHandle* SocketHandle() { return nullptr; }
};
