#include "IdSocks.h"

#include "IdException.h"
#include "IdIOHandler.h"
#include "IdResourceStrings.h"
#include "IdStack.h"

#include <algorithm>
#include <cstring>

using namespace IdResourceStrings;

namespace {

// The request areas of the exchange: 8 header bytes plus 256 for the user id
// and host name of SOCKS 4, and 256 bytes for any SOCKS 5 request.
constexpr size_t Socks4AreaSize = 264;
constexpr size_t Socks5AreaSize = 256;
constexpr size_t MaxLengthByte = 255;

constexpr uint8_t Socks5MethodNone = 0;
constexpr uint8_t Socks5MethodUserPass = 2;
constexpr uint8_t Socks5NoAcceptableMethod = 255;

void AppendRaw(std::string& AOut, const void* AData, size_t ASize) {
    AOut.append(static_cast<const char*>(AData), ASize);
}

void AppendPort(std::string& AOut, int32_t APort) {
    const uint16_t wire = TheStack->HostToNetShort(static_cast<uint16_t>(APort));
    AppendRaw(AOut, &wire, sizeof wire);
}

uint8_t ByteAt(const std::string& AReply, size_t AIndex) {
    return static_cast<uint8_t>(AReply[AIndex]);
}

[[noreturn]] void RaiseSocks4Refusal(uint8_t ACode) {
    switch (ACode) {
    case 91:
        throw EIdSocksRequestFailed(RSSocksRequestFailed);
    case 92:
        throw EIdSocksRequestServerFailed(RSSocksRequestServerFailed);
    case 93:
        throw EIdSocksRequestIdentFailed(RSSocksRequestIdentFailed);
    default:
        throw EIdSocksUnknownError(RSSocksUnknownError);
    }
}

[[noreturn]] void RaiseSocks5Refusal(uint8_t ACode) {
    switch (ACode) {
    case 1:
        throw EIdSocksServerGeneralError(RSSocksServerGeneralError);
    case 2:
        throw EIdSocksServerPermissionError(RSSocksServerPermissionError);
    case 3:
        throw EIdSocksServerNetUnreachableError(RSSocksServerNetUnreachableError);
    case 4:
        throw EIdSocksServerHostUnreachableError(RSSocksServerHostUnreachableError);
    case 5:
        throw EIdSocksServerConnectionRefusedError(RSSocksServerConnectionRefusedError);
    case 6:
        throw EIdSocksServerTTLExpiredError(RSSocksServerTTLExpiredError);
    case 7:
        throw EIdSocksServerCommandError(RSSocksServerCommandError);
    case 8:
        throw EIdSocksServerAddressError(RSSocksServerAddressError);
    default:
        throw EIdSocksUnknownError(RSSocksUnknownError);
    }
}

} // namespace

TIdSocksInfo::~TIdSocksInfo() = default;

void TIdSocksInfo::Assign(const TIdSocksInfo& ASource) {
    if (&ASource == this) {
        return;
    }
    Authentication = ASource.Authentication;
    Host = ASource.Host;
    Password = ASource.Password;
    Port = ASource.Port;
    Username = ASource.Username;
    Version = ASource.Version;
}

void TIdSocksInfo::SetHandler(TIdIOHandler* AHandler) {
    // The old link is left in place: a free-notification link is shared by
    // both ends, and the old handler may still refer to this object through
    // it. A stale link costs nothing; both ends check identity.
    FHandler = AHandler;
    if (FHandler) {
        FreeNotification(FHandler);
    }
}

void TIdSocksInfo::Notification(TIdBaseComponent* AComponent, TOperation Operation) {
    TIdComponent::Notification(AComponent, Operation);
    if (Operation == TOperation::opRemove && AComponent == FHandler) {
        FHandler = nullptr;
    }
}

void TIdSocksInfo::Negotiate(const std::string& AHost, int32_t APort, int32_t ATimeout) {
    if (Version != svNoSocks) {
        // The request carries the port in two bytes.
        TIdStack::CheckPort(APort);
    }
    FDeadline.reset();
    if (ATimeout >= 0) {
        FDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeout);
    }
    switch (Version) {
    case svSocks4:
    case svSocks4A:
        NegotiateV4(AHost, APort);
        break;
    case svSocks5:
        NegotiateV5(AHost, APort);
        break;
    case svNoSocks:
        break;
    }
}

TIdIOHandler& TIdSocksInfo::RequireHandler() const {
    if (!FHandler) {
        throw EIdClosedSocket(RSStatusDisconnected);
    }
    return *FHandler;
}

void TIdSocksInfo::SendAll(const std::string& ARequest) {
    TIdIOHandler& handler = RequireHandler();
    size_t sent = 0;
    while (sent < ARequest.size()) {
        const int32_t n =
            handler.SendFrom(ARequest.data() + sent, static_cast<int32_t>(ARequest.size() - sent));
        // A failed send shows up in the receive that follows, which is where
        // each protocol version decides how a silent proxy is reported.
        if (n <= 0) {
            return;
        }
        sent += static_cast<size_t>(n);
    }
}

// A reply that arrives in pieces is read to its end: bytes left behind would
// otherwise reach the application as the first bytes of its own stream.
std::string TIdSocksInfo::ReceiveExactly(int32_t ACount) {
    TIdIOHandler& handler = RequireHandler();
    std::string reply(static_cast<size_t>(ACount), '\0');
    int32_t got = 0;
    while (got < ACount) {
        int32_t wait = -2;
        if (FDeadline) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                *FDeadline - std::chrono::steady_clock::now());
            wait = static_cast<int32_t>(std::max<int64_t>(left.count(), 0));
        }
        if (!handler.WaitReadable(wait)) {
            throw EIdConnectTimeout(RSConnectTimeout);
        }
        const int32_t n = handler.ReceiveInto(reply.data() + got, ACount - got);
        if (n < 0) {
            TheStack->RaiseSocketFailure(TheStack->LastSocketError());
        }
        if (n == 0) {
            throw EIdConnClosedGracefully(RSConnectionClosedGracefully);
        }
        got += n;
    }
    return reply;
}

// Whatever goes wrong while waiting for a SOCKS 5 answer is reported as the
// server's silence, the one failure a caller can act on.
std::string TIdSocksInfo::ReceiveFromServer(int32_t ACount) {
    try {
        return ReceiveExactly(ACount);
    } catch (const std::exception&) {
        throw EIdSocksServerRespondError(RSSocksServerRespondError);
    }
}

void TIdSocksInfo::NegotiateV4(const std::string& AHost, int32_t APort) {
    std::string request;
    request.reserve(Socks4AreaSize);
    request += '\x04';
    request += '\x01';
    AppendPort(request, APort);
    // SOCKS 4 carries four address bytes: an IPv6 target cannot be named,
    // and 4A would hand the literal to a proxy that reads it as a host name.
    TIdAddress literal;
    if (TIdAddress::Parse(AHost, 0, literal) && literal.Family == TIdAddressFamily::IPv6) {
        throw EIdSocksRequestFailed(RSSocks4NoIPv6);
    }
    // 4A hands the name to the proxy: 0.0.0.x with x non-zero is the
    // protocol's marker for "the host name follows the user id".
    std::string target = "0.0.0.1";
    if (Version == svSocks4) {
        try {
            target = TheStack->ResolveHostName(AHost);
        } catch (const EIdSocketError&) {
            // A name with IPv6 addresses only is not unknown: say why it fails.
            TheStack->ResolveAddresses(AHost, 0, TIdAddressFamily::IPv6);
            throw EIdSocksRequestFailed(RSSocks4NoIPv6);
        }
    }
    const uint32_t address = TheStack->TextToInAddr(target);
    AppendRaw(request, &address, sizeof address);
    request += Username.substr(0, MaxLengthByte);
    request += '\0';
    if (Version == svSocks4A) {
        request += AHost;
        request += '\0';
    }
    SendAll(request);

    const std::string reply = ReceiveExactly(8);
    if (ByteAt(reply, 1) != 90) {
        RaiseSocks4Refusal(ByteAt(reply, 1));
    }
}

void TIdSocksInfo::NegotiateV5(const std::string& AHost, int32_t APort) {
    const uint8_t method =
        Authentication == saNoAuthentication ? Socks5MethodNone : Socks5MethodUserPass;
    // Lengths travel in one byte; a longer value cannot be expressed, and a
    // cut one would reach the wrong host or fail authentication anyway.
    if (method == Socks5MethodUserPass &&
        (Username.size() > MaxLengthByte || Password.size() > MaxLengthByte)) {
        throw EIdSocksAuthError(RSSocksAuthError);
    }
    if (AHost.size() > MaxLengthByte) {
        throw EIdSocksRequestFailed(RSSocksRequestFailed);
    }

    std::string request;
    request.reserve(Socks5AreaSize);
    request += '\x05';
    request += '\x01';
    request += static_cast<char>(method);
    SendAll(request);

    std::string reply = ReceiveFromServer(2);
    if (ByteAt(reply, 1) != method || ByteAt(reply, 1) == Socks5NoAcceptableMethod) {
        throw EIdSocksAuthMethodError(RSSocksAuthMethodError);
    }

    if (method == Socks5MethodUserPass) {
        request.clear();
        request += '\x01';
        request += static_cast<char>(Username.size());
        request += Username;
        request += static_cast<char>(Password.size());
        request += Password;
        SendAll(request);
        reply = ReceiveFromServer(2);
        if (ByteAt(reply, 1) != 0) {
            throw EIdSocksAuthError(RSSocksAuthError);
        }
    }

    // The target travels as a name so that the proxy, not this machine,
    // resolves it; an IPv6 literal goes as its sixteen bytes, which no proxy
    // would take for a name.
    request.clear();
    request += '\x05';
    request += '\x01';
    request += '\x00';
    TIdAddress literal;
    if (TIdAddress::Parse(AHost, 0, literal) && literal.Family == TIdAddressFamily::IPv6) {
        request += '\x04';
        AppendRaw(request, literal.Bytes.data(), literal.Bytes.size());
    } else {
        request += '\x03';
        request += static_cast<char>(AHost.size());
        request += AHost;
    }
    AppendPort(request, APort);
    SendAll(request);

    reply = ReceiveFromServer(5);
    if (ByteAt(reply, 1) != 0) {
        RaiseSocks5Refusal(ByteAt(reply, 1));
    }
    // Five bytes are in; the rest of the bound address and the port follow.
    int32_t rest = 0;
    switch (ByteAt(reply, 3)) {
    case 1:
        rest = 5;
        break;
    case 3:
        rest = ByteAt(reply, 4) + 2;
        break;
    case 4:
        rest = 17;
        break;
    default:
        // Without a known address type the reply's length is unknown; going
        // on would leave an unknown number of its bytes in the data stream.
        throw EIdSocksServerAddressError(RSSocksServerAddressError);
    }
    ReceiveFromServer(rest);
}
