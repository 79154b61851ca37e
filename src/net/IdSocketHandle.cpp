#include "IdSocketHandle.h"

#include "IdException.h"
#include "IdResourceStrings.h"

#include <algorithm>
#include <memory>

namespace {

[[noreturn]] void RaiseClosedGracefully() {
    throw EIdConnClosedGracefully(IdResourceStrings::RSConnectionClosedGracefully);
}

} // namespace

TIdSocketHandle::TIdSocketHandle() {
    ClearBinding(true);
    ClientPortMin = 0;
    ClientPortMax = 0;
}

TIdSocketHandle::~TIdSocketHandle() {
    ShutAndClose();
}

void TIdSocketHandle::OpenSocket(int32_t ASocketType, int32_t AProtocol) {
    ShutAndClose();
    Socket = TheStack->NewSocket(ASocketType, AProtocol, Family);
    Allocated = true;
}

void TIdSocketHandle::ShutAndClose() {
    // The flag drops first and atomically, so that of two threads closing at once
    // (a timed connect giving up while its worker still runs) only one closes.
    if (!Allocated.exchange(false)) {
        return;
    }
    // A handle may outlive the last network component; it must still let go of
    // its socket then.
    std::unique_ptr<TIdStack> spare;
    TIdStack* stack = TheStack;
    if (!stack) {
        spare = TIdStack::NewStack();
        stack = spare.get();
    }
    stack->SockShutdown(Socket, Id_SD_Send);
    stack->SockClose(Socket);
}

int32_t TIdSocketHandle::ConnectTo(int32_t AFamily) {
    const int32_t result = TheStack->SockConnect(Socket, AFamily, RemotePort, RemoteIP);
    if (result != Id_SOCKET_ERROR) {
        RefreshLocal();
        RefreshRemote();
    }
    return result;
}

int32_t TIdSocketHandle::RecvDatagram(void* ABuffer, int32_t ALength, int32_t AFlags,
                                      std::string& AVIP, int32_t& AVPort) {
    return TheStack->SockRecvFrom(Socket, ABuffer, ALength, AFlags, AVIP, AVPort);
}

void TIdSocketHandle::BindLocal() {
    TIdStack::CheckPort(Port, true);
    if (Port != 0 || ClientPortMin == 0 || ClientPortMax == 0) {
        if (!BindOnce()) {
            throw EIdCouldNotBindSocket(IdResourceStrings::RSCouldNotBindSocket);
        }
        return;
    }
    if (ClientPortMax < ClientPortMin || !TIdStack::IsValidPort(ClientPortMin) ||
        !TIdStack::IsValidPort(ClientPortMax)) {
        throw EIdInvalidPortRange(
            FormatMessage(IdResourceStrings::RSInvalidPortRange, ClientPortMin, ClientPortMax));
    }
    if (!BindInPortRange()) {
        throw EIdCanNotBindPortInRange(
            FormatMessage(IdResourceStrings::RSCannotBindRange, ClientPortMin, ClientPortMax));
    }
}

bool TIdSocketHandle::BindOnce() {
    const int32_t result = TheStack->SockBind(Socket, Family, Port, IP);
    if (TheStack->CheckSocketResult(result, {Id_WSAEADDRINUSE})) {
        return false;
    }
    RefreshLocal();
    return true;
}

bool TIdSocketHandle::BindInPortRange() {
    if (ClientPortMax < ClientPortMin || !TIdStack::IsValidPort(ClientPortMin) ||
        !TIdStack::IsValidPort(ClientPortMax)) {
        return false;
    }
    for (int32_t port = ClientPortMax; port >= ClientPortMin; --port) {
        Port = port;
        if (BindOnce()) {
            return true;
        }
    }
    return false;
}

void TIdSocketHandle::StartListen(int32_t ABackLog) {
    TheStack->CheckSocketResult(TheStack->SockListen(Socket, ABackLog));
}

bool TIdSocketHandle::AcceptOn(TIdStackSocketHandle AListenSocket) {
    ClearBinding(true);
    const TIdStackSocketHandle accepted = TheStack->SockAccept(AListenSocket, IP, Port);
    if (TheStack->CheckSocketResult(accepted, {Id_WSAEINTR, Id_WSAENOTSOCK})) {
        return false;
    }
    Socket = accepted;
    Allocated = true;
    RefreshLocal();
    RefreshRemote();
    return true;
}

bool TIdSocketHandle::PollReadable(int32_t ATimeOut) {
    if (!Allocated) {
        RaiseClosedGracefully();
    }
    // One wait, then the anti-freeze step; idle when nothing was ready.
    const auto waitOnce = [this](int32_t AWait) {
        TIdSocketList readList{Socket};
        const bool ready = TheStack->SockSelect(&readList, nullptr, AWait, nullptr) == 1;
        if (const TIdWaitPump* pump = WaitPump.load(); pump != nullptr) {
            pump->KeepResponsive(!ready, false);
        }
        return ready;
    };
    // A window handler run by the anti-freeze may close this handle; the next
    // slice must then not wait on a descriptor number that is no longer ours.
    const auto requireSocket = [this] {
        if (!Allocated) {
            RaiseClosedGracefully();
        }
    };
    if (const TIdWaitPump* pump = WaitPump.load(); pump != nullptr && pump->ActiveHere()) {
        // A non-positive idle time-out cannot cut a wait into slices.
        const int32_t slice = std::max<int32_t>(pump->Slice(), 1);
        if (ATimeOut == -2) {
            for (;;) {
                if (waitOnce(slice)) {
                    return true;
                }
                requireSocket();
            }
        }
        if (ATimeOut > slice) {
            // The remainder comes first, then whole slices, so every slice after the
            // first lasts exactly IdleTimeOut.
            int32_t first = ATimeOut % slice;
            if (first == 0) {
                first = slice;
            }
            if (waitOnce(first)) {
                return true;
            }
            for (int32_t left = ATimeOut - first; left > 0; left -= slice) {
                requireSocket();
                if (waitOnce(slice)) {
                    return true;
                }
            }
            return false;
        }
    }
    return waitOnce(ATimeOut);
}

int32_t TIdSocketHandle::SendBytes(const void* ABuffer, int32_t ALength, int32_t AFlags) {
    return TheStack->SockSend(Socket, ABuffer, ALength, AFlags);
}

int32_t TIdSocketHandle::RecvBytes(void* ABuffer, int32_t ALength, int32_t AFlags) {
    return TheStack->SockRecv(Socket, ABuffer, ALength, AFlags);
}

void TIdSocketHandle::SetOption(int32_t ALevel, int32_t AOptName, const void* AOptVal,
                                int32_t AOptLen) {
    TheStack->CheckSocketResult(
        TheStack->SockSetOption(Socket, ALevel, AOptName, AOptVal, AOptLen));
}

void TIdSocketHandle::SetRemote(const std::string& AAddress, int32_t APort) {
    TIdStack::CheckPort(APort);
    RemoteIP = AAddress;
    RemotePort = APort;
}

void TIdSocketHandle::RefreshLocal() {
    int32_t family = 0;
    TheStack->SockName(Socket, family, Port, IP);
}

void TIdSocketHandle::RefreshRemote() {
    int32_t family = 0;
    TheStack->PeerName(Socket, family, RemotePort, RemoteIP);
}

void TIdSocketHandle::ClearBinding(bool AAlsoLocal) {
    Allocated = false;
    Socket = Id_INVALID_SOCKET;
    if (AAlsoLocal) {
        IP.clear();
        Port = 0;
    }
    RemoteIP.clear();
    RemotePort = 0;
}

void TIdSocketHandle::CopyFrom(const TIdSocketHandle& ASource) {
    if (&ASource == this) {
        return;
    }
    IP = ASource.IP;
    Port = ASource.Port;
    RemoteIP = ASource.RemoteIP;
    RemotePort = ASource.RemotePort;
}
