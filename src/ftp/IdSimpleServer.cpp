#include "IdSimpleServer.h"

#include "IdIOHandlerSocket.h"
#include "IdSocketHandle.h"
#include "IdStack.h"

#include <memory>

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
    TIdIOHandlerSocket* handler = SocketHandler();
    return handler != nullptr ? handler->Handle.get() : nullptr;
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
    bool waiting = false;
    try {
        TIdSocketHandle& handle = *Binding();
        while (!StopRequested && !waiting) {
            waiting = handle.PollReadable(AcceptWait);
        }
        if (waiting) {
            handle.StartListen(1);
            handle.AcceptOn(ListenHandle);
            IOHandler()->AcceptCompleted();
        }
    } catch (...) {
        CloseListenSocket();
        throw;
    }
    CloseListenSocket();
    return waiting;
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
