#pragma once

#include "IdIOHandler.h"
#include "IdSocketHandle.h"

#include <cstdint>
#include <memory>
#include <string>

class TIdSocksInfo;

// The transport of every client connection: one TCP socket, optionally
// reaching its target through a SOCKS proxy.
class TIdIOHandlerSocket : public TIdIOHandler {
public:
    TIdIOHandlerSocket();
    ~TIdIOHandlerSocket() override;

    // Created by the first Prepare and destroyed with the handler.
    std::unique_ptr<TIdSocketHandle> Handle;
    // False sets TCP_NODELAY before the connect.
    bool UseNagle = true;
    // The family the connect may use; None tries every address the host has,
    // in the resolver's order.
    TIdAddressFamily AddressFamily = TIdAddressFamily::None;

    // The handler's own settings, created on first read when none are set, or
    // a settings object owned elsewhere that the handler only refers to.
    TIdSocksInfo* SocksInfo() override;
    // None drops the settings; an object with an owner is referred to; an
    // object without one is copied into the handler's own settings.
    void SetSocksInfo(TIdSocksInfo* AValue);

    void Shut() override;
    void ConnectPeer(const std::string& AHost, int32_t APort, const std::string& ABoundIP,
                     int32_t ABoundPort, int32_t ABoundPortLow, int32_t ABoundPortHigh,
                     int32_t ATimeout) override;
    bool IsOpen() override;
    void Prepare() override;
    bool WaitReadable(int32_t AMSec) override;
    int32_t ReceiveInto(void* ABuffer, int32_t ALength) override;
    bool ReceiveIfReady(void* ABuffer, int32_t ALength, int32_t& AResult) override;
    int32_t SendFrom(const void* ABuffer, int32_t ALength) override;
    TIdAddress LocalAddress() override;
    TIdAddress PeerAddress() override;
    TIdSocketHandle* SocketHandle() override { return Handle.get(); }

    // A receive asking for less than this is served from one large receive
    // of up to ReadAheadSize bytes, so small steps cost a copy each instead
    // of a system call each; a larger one goes straight to the socket.
    static constexpr int32_t ReadAheadSize = 65536;
    static constexpr int32_t DirectReceiveSize = 16384;
    // Received from the socket and not yet handed out.
    int32_t ReadAheadCount() const { return FAheadEnd - FAheadStart; }

protected:
    void Notification(TIdBaseComponent* AComponent, TOperation Operation) override;
    // Starts the connect without blocking and polls it in short steps,
    // keeping the window responsive between them. No second thread is
    // involved: on Linux a thread blocked in connect() cannot be woken by
    // closing its socket, and a connect that is only polled can be dropped at
    // any step.
    virtual void ConnectWithTimeout(int32_t ATimeout);

private:
    void DropSocksInfo();
    // Receives into the read-ahead (empty on entry) and hands out its first
    // bytes; results as RecvBytes gives them.
    int32_t ReceiveAhead(void* ABuffer, int32_t ALength, int32_t AFlags);
    int32_t ServeAhead(void* ABuffer, int32_t ALength);
    void DropReadAhead() { FAheadStart = FAheadEnd = 0; }

    std::unique_ptr<char[]> FAhead;
    int32_t FAheadStart = 0;
    int32_t FAheadEnd = 0;

    std::unique_ptr<TIdSocksInfo> FOwnSocksInfo;
    TIdSocksInfo* FSocksInfo = nullptr;
    // Cleared by the destructor; a timed connect holds a copy.
    std::shared_ptr<bool> FAlive;
};
