#pragma once

#include "IdTCPConnection.h"

#include <cstdint>
#include <functional>
#include <string>

// A connection that opens itself to Host:Port. The FTP control connection and
// every passive-mode data connection are clients.
class TIdTCPClient : public TIdTCPConnection {
public:
    TIdTCPClient();
    ~TIdTCPClient() override;

    // Empty binds any local address.
    std::string BoundIP;
    // 0 lets the system choose.
    int32_t BoundPort = 0;
    // A local port range, used when BoundPort is 0 and both ends are set.
    int32_t BoundPortHigh = 0;
    int32_t BoundPortLow = 0;
    // The address family the connect may use (None: whatever the host has).
    TIdAddressFamily AddressFamily = TIdAddressFamily::None;
    std::function<void(TIdComponent* Sender)> OnConnected;
    std::string Password;
    std::string Username;

    const std::string& Host() const { return FHost; }
    virtual void SetHost(const std::string& AValue);
    int32_t Port() const { return FPort; }
    virtual void SetPort(int32_t AValue);

    virtual void NotifyConnected();
    // -1 or 0: the default wait (120 s through the timed connect when the
    // anti-freeze works on this thread, else the platform's own connect);
    // -2: a timed connect without limit; otherwise a limit in milliseconds.
    virtual void OpenConnection(int32_t ATimeout = -1);
    // Opens, reads until the peer closes and closes again in every case.
    virtual std::string OpenAndReadAll();

protected:
    std::string FHost;
    int32_t FPort = 0;
};
