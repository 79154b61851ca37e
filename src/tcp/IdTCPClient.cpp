#include "IdTCPClient.h"

#include "IdException.h"
#include "IdGlobal.h"
#include "IdIOHandlerSocket.h"
#include "IdIntercept.h"
#include "IdResourceStrings.h"

#include <memory>

using namespace IdResourceStrings;

TIdTCPClient::TIdTCPClient() = default;

TIdTCPClient::~TIdTCPClient() = default;

void TIdTCPClient::SetHost(const std::string& AValue) {
    FHost = AValue;
}

void TIdTCPClient::SetPort(int32_t AValue) {
    FPort = AValue;
}

void TIdTCPClient::NotifyConnected() {
    if (OnConnected) {
        OnConnected(this);
    }
}

void TIdTCPClient::OpenConnection(int32_t ATimeout) {
    // Explicit TLS belonged to the connection it was started on (a session
    // only dropped, then opened again, would shake hands at the greeting).
    UnwrapIOHandler();
    if (!IOHandler()) {
        auto handler = std::make_unique<TIdIOHandlerSocket>();
        // The handler's resolving and connecting reports reach whoever
        // listens to the client's own reports.
        handler->OnStatus = OnStatus;
        SetOwnedIOHandler(std::move(handler));
    } else if (IOHandler()->IsOpen()) {
        throw EIdAlreadyConnected(RSAlreadyConnected);
    }

    // On any failure the socket is dropped but an owned handler stays, so that
    // the next attempt reuses it.
    const THandlerInUse inUse(*this);
    try {
        IOHandler()->Prepare();
        ResetReadState();
        if (TIdIOHandlerSocket* socket = SocketHandlerOf ? SocketHandlerOf(IOHandler()) : nullptr) {
            socket->AddressFamily = AddressFamily;
        }
        IOHandler()->ConnectPeer(FHost, FPort, BoundIP, BoundPort, BoundPortLow, BoundPortHigh,
                                 ATimeout);
        // Closed by a window handler while the connect waited.
        if (!IOHandler() || !IOHandler()->IsOpen()) {
            throw EIdClosedSocket(RSStatusDisconnected);
        }
        if (Intercept()) {
            Intercept()->Attach(this);
        }
        ReportStatus(hsConnected, FHost);
        NotifyConnected();
    } catch (...) {
        DropSocket();
        throw;
    }
}

std::string TIdTCPClient::OpenAndReadAll() {
    TIdScopeExit close([this] { CloseConnection(); });
    OpenConnection(-1);
    std::string result = ReadUntilClosed();
    close.Commit();
    return result;
}
