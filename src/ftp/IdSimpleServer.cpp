#include "IdSimpleServer.h"

#include "IdAntiFreezeBase.h"
#include "IdException.h"
#include "IdIOHandlerSocket.h"
#include "IdResourceStrings.h"
#include "IdSocketHandle.h"
#include "IdStack.h"

#include <algorithm>
#include <chrono>
#include <memory>

namespace {

// Without an anti-freeze nobody needs the wait cut finely; the step only
// bounds how late a stop request is noticed.
constexpr int32_t DefaultAcceptStep = 250;

} // namespace

TIdSimpleServer::TIdSimpleServer() = default;

TIdSimpleServer::~TIdSimpleServer() {
    CloseListenSocket();
}

void TIdSimpleServer::CloseListenSocket() {
    if (ListenHandle == InvalidSocket) {
        return;
    }
    // Until the accept succeeds the listening socket is also the socket handle's own;
    // once the handle has closed it (a dropped data connection), its number may
    // already belong to another socket and must not be closed again.
    TIdSocketHandle* handle = Binding();
    if (handle != nullptr && handle->Socket == ListenHandle) {
        handle->ShutAndClose();
    } else {
        TheStack->SockClose(ListenHandle);
    }
    ListenHandle = InvalidSocket;
}

TIdSocketHandle* TIdSimpleServer::Binding() {
    return IOHandler() != nullptr ? IOHandler()->SocketHandle() : nullptr;
}

void TIdSimpleServer::RequestStop() {
    StopRequested = true;
}

void TIdSimpleServer::BindListener() {
    TIdSocketHandle& handle = *Binding();
    try {
        handle.OpenSocket(Id_SOCK_STREAM, 0);
        ListenHandle = handle.Socket;
        handle.IP = BoundIP;
        handle.Port = BoundPort;
        handle.BindLocal();
    } catch (...) {
        ListenHandle = InvalidSocket;
        throw;
    }
}

void TIdSimpleServer::StartListening() {
    try {
        if (Binding() == nullptr) {
            ResetReadState();
            auto handler = std::make_unique<TIdIOHandlerSocket>();
            handler->Prepare();
            SetOwnedIOHandler(std::move(handler));
        }
        if (ListenHandle == InvalidSocket) {
            BindListener();
        }
        Binding()->StartListen(15);
        Listening = true;
    } catch (...) {
        SetIOHandler(nullptr);
        throw;
    }
}

bool TIdSimpleServer::AcceptConnection() {
    if (!Listening) {
        StartListening();
    }
    const THandlerInUse inUse(*this);
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    int32_t step = AcceptWait;
    if (step <= 0) {
        step = TIdAntiFreezeBase::IsActiveHere() ? std::max(TheAntiFreeze.load()->IdleTimeOut, 1)
                                                 : DefaultAcceptStep;
    }
    bool waiting = false;
    try {
        TIdSocketHandle& handle = *Binding();
        while (!StopRequested && !waiting) {
            int32_t wait = step;
            if (AcceptTimeout != -2) {
                const int64_t spent =
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
                        .count();
                if (spent >= AcceptTimeout) {
                    throw EIdException(IdResourceStrings::RSAcceptTimeout);
                }
                wait = static_cast<int32_t>(std::min<int64_t>(step, AcceptTimeout - spent));
            }
            waiting = handle.PollReadable(wait);
        }
        if (waiting) {
            handle.StartListen(1);
            handle.AcceptOn(ListenHandle);
            // A window handler may have let go of the handler during the wait.
            if (IOHandler() == nullptr) {
                throw EIdConnClosedGracefully(IdResourceStrings::RSConnectionClosedGracefully);
            }
            IOHandler()->AcceptCompleted();
        }
    } catch (...) {
        CloseListenSocket();
        throw;
    }
    CloseListenSocket();
    return waiting;
}

void TIdSimpleServer::CloseConnection() {
    CloseListenSocket();
    TIdTCPConnection::CloseConnection();
}

void TIdSimpleServer::StopListening() {
    ResetReadState();
}

void TIdSimpleServer::ResetReadState() {
    TIdTCPConnection::ResetReadState();
    StopRequested = false;
    Listening = false;
    CloseListenSocket();
    SetIOHandler(nullptr);
}
