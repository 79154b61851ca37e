#pragma once

#include "IdComponent.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

class TIdIOHandler;

enum TSocksAuthentication : uint8_t { saNoAuthentication = 0, saUsernamePassword = 1 };

enum TSocksVersion : uint8_t { svNoSocks = 0, svSocks4 = 1, svSocks4A = 2, svSocks5 = 3 };

// Proxy settings and the exchange that asks a SOCKS proxy to connect onward
// to the real target, run over the handler whose socket already reaches the
// proxy.
class TIdSocksInfo : public TIdComponent {
public:
    TIdSocksInfo() = default;
    ~TIdSocksInfo() override;

    TSocksAuthentication Authentication = saNoAuthentication;
    std::string Host;
    std::string Password;
    int32_t Port = 1080;
    std::string Username;
    TSocksVersion Version = svNoSocks;

    // Copies the six published settings; the handler stays as it is, because
    // it names the connection this object belongs to, not a setting.
    void Assign(const TIdSocksInfo& ASource);

    // Not owned; cleared when the handler is destroyed.
    TIdIOHandler* Handler() const { return FHandler; }
    void SetHandler(TIdIOHandler* AHandler);

    // Runs after the connect to the proxy succeeded, with the target the
    // caller asked for. Does nothing without a proxy version. ATimeout in ms
    // bounds the whole exchange (-2: no limit).
    void Negotiate(const std::string& AHost, int32_t APort, int32_t ATimeout = -2);
    void NegotiateV4(const std::string& AHost, int32_t APort);
    void NegotiateV5(const std::string& AHost, int32_t APort);

protected:
    void Notification(TIdBaseComponent* AComponent, TOperation Operation) override;

private:
    TIdIOHandler& RequireHandler() const;
    void SendAll(const std::string& ARequest);
    std::string ReceiveExactly(int32_t ACount);
    std::string ReceiveFromServer(int32_t ACount);

    TIdIOHandler* FHandler = nullptr;
    // When the running exchange must be over; unset without a limit.
    std::optional<std::chrono::steady_clock::time_point> FDeadline;
};
