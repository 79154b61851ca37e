#include "IdIOHandlerSocket.h"

#include "IdAntiFreezeBase.h"
#include "IdException.h"
#include "IdResourceStrings.h"
#include "IdSocks.h"
#include "IdStack.h"
#include "IdTCPConnection.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <sys/socket.h>
#include <vector>

using namespace IdResourceStrings;

namespace {

// Refused, unreachable, unbindable, or a family this machine has no sockets
// for (IPv6 switched off): the next address may do. A timeout, or a socket
// the window closed meanwhile, ends the attempt.
bool TriesNextAddress(const EIdException& AError) {
    return dynamic_cast<const EIdConnectException*>(&AError) != nullptr ||
           dynamic_cast<const EIdSocketError*>(&AError) != nullptr ||
           dynamic_cast<const EIdInvalidSocket*>(&AError) != nullptr ||
           dynamic_cast<const EIdSocketHandleError*>(&AError) != nullptr;
}

constexpr int32_t MaxPollStep = 125;
constexpr int32_t DefaultConnectTimeout = 120000;

// Lets a connection tell a socket handler from other handlers without the
// connection unit depending on this one.
const bool SocketHandlerRecognised = [] {
    TIdTCPConnection::SocketHandlerOf = [](TIdIOHandler* AHandler) {
        return dynamic_cast<TIdIOHandlerSocket*>(AHandler->Transport());
    };
    return true;
}();

} // namespace

// ---------------------------------------------------------------------------

TIdIOHandlerSocket::TIdIOHandlerSocket() : FAlive(std::make_shared<bool>(true)) {}

TIdIOHandlerSocket::~TIdIOHandlerSocket() {
    *FAlive = false;
    Shut();
    FSocksInfo = nullptr;
    FOwnSocksInfo.reset();
}

TIdSocksInfo* TIdIOHandlerSocket::SocksInfo() {
    if (!FSocksInfo) {
        if (!FOwnSocksInfo) {
            FOwnSocksInfo = std::make_unique<TIdSocksInfo>();
        }
        FOwnSocksInfo->SetHandler(this);
        FSocksInfo = FOwnSocksInfo.get();
    }
    return FSocksInfo;
}

void TIdIOHandlerSocket::SetSocksInfo(TIdSocksInfo* AValue) {
    if (!AValue) {
        DropSocksInfo();
        return;
    }
    if (AValue != FSocksInfo) {
        if (AValue->Owner) {
            DropSocksInfo();
            FSocksInfo = AValue;
            FreeNotification(AValue);
        } else {
            if (!FOwnSocksInfo) {
                FOwnSocksInfo = std::make_unique<TIdSocksInfo>();
            }
            FOwnSocksInfo->Assign(*AValue);
            FSocksInfo = FOwnSocksInfo.get();
        }
    }
    FSocksInfo->SetHandler(this);
}

void TIdIOHandlerSocket::DropSocksInfo() {
    if (FSocksInfo && FSocksInfo != FOwnSocksInfo.get() && FSocksInfo->Handler() == this) {
        FSocksInfo->SetHandler(nullptr);
    }
    FSocksInfo = nullptr;
    FOwnSocksInfo.reset();
}

void TIdIOHandlerSocket::Notification(TIdBaseComponent* AComponent, TOperation Operation) {
    TIdIOHandler::Notification(AComponent, Operation);
    if (Operation == TOperation::opRemove && AComponent == FSocksInfo) {
        FSocksInfo = nullptr;
    }
}

void TIdIOHandlerSocket::Shut() {
    // Bytes of the old connection must never be served as the next one's.
    DropReadAhead();
    if (Handle) {
        Handle->ShutAndClose();
    }
}

bool TIdIOHandlerSocket::IsOpen() {
    return Handle && Handle->Allocated;
}

void TIdIOHandlerSocket::Prepare() {
    DropReadAhead();
    if (Handle) {
        // Forgetting an open socket would leak its descriptor.
        Handle->ShutAndClose();
        Handle->ClearBinding(true);
    } else {
        Handle = std::make_unique<TIdSocketHandle>();
    }
}

bool TIdIOHandlerSocket::WaitReadable(int32_t AMSec) {
    if (!Handle) {
        throw EIdConnClosedGracefully(RSConnectionClosedGracefully);
    }
    // Bytes read ahead are readable although the socket may have none left.
    if (ReadAheadCount() > 0 && Handle->Allocated) {
        TIdAntiFreezeBase::KeepResponsive(false, false);
        return true;
    }
    return Handle->PollReadable(AMSec);
}

int32_t TIdIOHandlerSocket::ServeAhead(void* ABuffer, int32_t ALength) {
    const int32_t n = std::min(ALength, ReadAheadCount());
    std::memcpy(ABuffer, FAhead.get() + FAheadStart, static_cast<size_t>(n));
    FAheadStart += n;
    if (FAheadStart == FAheadEnd) {
        DropReadAhead();
    }
    return n;
}

int32_t TIdIOHandlerSocket::ReceiveAhead(void* ABuffer, int32_t ALength, int32_t AFlags) {
    if (ALength >= DirectReceiveSize) {
        return Handle->RecvBytes(ABuffer, ALength, AFlags);
    }
    if (!FAhead) {
        FAhead = std::make_unique_for_overwrite<char[]>(ReadAheadSize);
    }
    // The kernel hands over what it has, up to the size asked: asking for
    // more than the caller wants never waits for more than is there.
    const int32_t n = Handle->RecvBytes(FAhead.get(), ReadAheadSize, AFlags);
    if (n <= 0) {
        return n;
    }
    FAheadStart = 0;
    FAheadEnd = n;
    return ServeAhead(ABuffer, ALength);
}

int32_t TIdIOHandlerSocket::ReceiveInto(void* ABuffer, int32_t ALength) {
    if (!IsOpen()) {
        throw EIdClosedSocket(RSStatusDisconnected);
    }
    if (ALength <= 0) {
        return Handle->RecvBytes(ABuffer, ALength, 0);
    }
    if (ReadAheadCount() > 0) {
        return ServeAhead(ABuffer, ALength);
    }
    return ReceiveAhead(ABuffer, ALength, 0);
}

bool TIdIOHandlerSocket::ReceiveIfReady(void* ABuffer, int32_t ALength, int32_t& AResult) {
    // A closed handle is left to the wait, which reports it in its own words.
    if (!Handle || !Handle->Allocated || ALength <= 0) {
        return false;
    }
    if (ReadAheadCount() > 0) {
        AResult = ServeAhead(ABuffer, ALength);
        return true;
    }
    const int32_t n = ReceiveAhead(ABuffer, ALength, MSG_DONTWAIT);
    if (n == -1 && TheStack->LastSocketError() == Id_WSAEWOULDBLOCK) {
        return false;
    }
    AResult = n;
    return true;
}

int32_t TIdIOHandlerSocket::SendFrom(const void* ABuffer, int32_t ALength) {
    if (!IsOpen()) {
        throw EIdClosedSocket(RSStatusDisconnected);
    }
    return Handle->SendBytes(ABuffer, ALength, 0);
}

TIdAddress TIdIOHandlerSocket::LocalAddress() {
    TIdAddress address;
    return Handle && TIdAddress::Parse(Handle->IP, Handle->Port, address) ? address : TIdAddress();
}

TIdAddress TIdIOHandlerSocket::PeerAddress() {
    TIdAddress address;
    return Handle && TIdAddress::Parse(Handle->RemoteIP, Handle->RemotePort, address)
               ? address
               : TIdAddress();
}

void TIdIOHandlerSocket::ConnectPeer(const std::string& AHost, int32_t APort,
                                     const std::string& ABoundIP, int32_t ABoundPort,
                                     int32_t ABoundPortLow, int32_t ABoundPortHigh,
                                     int32_t ATimeout) {
    TIdSocksInfo* socks = SocksInfo();
    const bool viaProxy = socks->Version != svNoSocks;
    const std::string host = viaProxy ? socks->Host : AHost;
    const int32_t port = viaProxy ? socks->Port : APort;

    if (!Handle) {
        Handle = std::make_unique<TIdSocketHandle>();
    }
    // A bound address decides the family as much as the caller's choice does.
    TIdAddressFamily family = AddressFamily;
    TIdAddress bound;
    if (family == TIdAddressFamily::None && !ABoundIP.empty() &&
        TIdAddress::Parse(ABoundIP, 0, bound)) {
        family = bound.Family;
    }
    TIdAddress literal;
    if (!TIdAddress::Parse(host, 0, literal)) {
        ReportStatus(hsResolving, host);
    }
    const std::vector<TIdAddress> targets = TheStack->ResolveAddresses(host, port, family);

    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const bool timed = (ATimeout != -1 && ATimeout != 0) || TIdAntiFreezeBase::IsActiveHere();
    const int32_t limit = ATimeout != -1 && ATimeout != 0 ? ATimeout : DefaultConnectTimeout;
    // Each address in turn until one answers; they share the one limit, so a
    // host with many dead addresses still fails in time.
    for (size_t i = 0; i < targets.size(); ++i) {
        const bool last = i + 1 == targets.size();
        try {
            Handle->Family = IdFamilyCode(targets[i].Family);
            Handle->OpenSocket(Id_SOCK_STREAM, 0);
            Handle->IP = ABoundIP;
            Handle->Port = ABoundPort;
            Handle->ClientPortMin = ABoundPortLow;
            Handle->ClientPortMax = ABoundPortHigh;
            Handle->BindLocal();
            Handle->SetRemote(targets[i].Text(), port);
            if (!UseNagle) {
                const int32_t on = 1;
                Handle->SetOption(Id_IPPROTO_TCP, Id_TCP_NODELAY, &on, sizeof on);
            }
            ReportStatus(hsConnecting, Handle->RemoteIP);
            if (timed) {
                int32_t left = -2;
                if (limit != -2) {
                    const auto spent =
                        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
                            .count();
                    left = static_cast<int32_t>(std::max<int64_t>(int64_t{limit} - spent, 1));
                }
                ConnectWithTimeout(left);
            } else {
                // The platform's connect has a limit of its own; the proxy
                // exchange after it gets the default one.
                TheStack->CheckSocketResult(Handle->ConnectTo(Handle->Family), {});
            }
            break;
        } catch (const EIdException& e) {
            if (last || !TriesNextAddress(e)) {
                throw;
            }
        }
        Shut();
    }

    // A settings object shared between handlers negotiates over the one that
    // is connecting now, whichever handler wrote it last.
    socks = SocksInfo();
    socks->SetHandler(this);
    if (socks->Version == svNoSocks) {
        return;
    }
    // A proxy that accepts the connection and then never answers must not
    // hold the connect beyond its limit.
    int32_t left = -2;
    if (limit != -2) {
        const auto spent =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        left = static_cast<int32_t>(std::max<int64_t>(int64_t{limit} - spent, 1));
    }
    socks->Negotiate(AHost, APort, left);
}

void TIdIOHandlerSocket::ConnectWithTimeout(int32_t ATimeout) {
    // A window message handled between the poll steps may destroy this
    // handler; the token tells the unwinding call not to touch it then.
    const std::shared_ptr<bool> alive = FAlive;
    const TIdStackSocketHandle socket = Handle->Socket;

    int32_t result = Id_SOCKET_ERROR;
    const bool started = TheStack->SockSetBlocking(socket, false) == 0;
    result = Handle->ConnectTo(Handle->Family);
    int32_t code = result == 0 ? 0 : TheStack->LastSocketError();
    if (started && (result == 0 || code == Id_WSAEINPROGRESS)) {
        int32_t step = MaxPollStep;
        if (TIdAntiFreezeBase::IsActiveHere()) {
            step = std::min(TheAntiFreeze.load()->IdleTimeOut, MaxPollStep);
        }
        // A step of zero would never use up the time left.
        step = std::max(step, 1);
        const bool unlimited = ATimeout == -2;
        int32_t remaining = unlimited ? step + 1 : ATimeout;
        // Waits at most AMSec, returning as soon as the connect has an outcome.
        const auto settled = [socket](int32_t AMSec) {
            TIdSocketList writable{socket};
            return TheStack->SockSelect(nullptr, &writable, AMSec, nullptr) != 0;
        };
        bool done = false;
        while (step < remaining) {
            done = settled(step);
            remaining = unlimited ? step + 1 : remaining - step;
            TIdAntiFreezeBase::KeepResponsive(true, false);
            if (!*alive || !IsOpen()) {
                // Closed from a window message during the wait: connecting on
                // would go nowhere, and reporting success would be a lie.
                throw EIdClosedSocket(RSStatusDisconnected);
            }
            if (done) {
                remaining = 0;
                break;
            }
        }
        if (!done) {
            done = settled(std::max(remaining, 0));
        }
        if (!done) {
            Shut();
            throw EIdConnectTimeout(RSConnectTimeout);
        }
        result = TheStack->SockConnectResult(socket);
        code = result == 0 ? 0 : TheStack->LastSocketError();
        if (result == 0) {
            // What a completed blocking connect learns on its own.
            Handle->RefreshLocal();
            Handle->RefreshRemote();
        }
    }
    if (result != 0) {
        throw EIdConnectException(TheStack->ErrorText(code));
    }
    // Reads and writes after the connect block and are waited for by poll.
    TheStack->CheckSocketResult(TheStack->SockSetBlocking(socket, true));
}
