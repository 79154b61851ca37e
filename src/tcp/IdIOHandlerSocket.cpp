#include "IdIOHandlerSocket.h"

#include "IdAntiFreezeBase.h"
#include "IdException.h"
#include "IdResourceStrings.h"
#include "IdSocks.h"
#include "IdStack.h"
#include "IdTCPConnection.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace IdResourceStrings;

namespace {

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

TIdConnectThread::TIdConnectThread() : FWakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TIdConnectThread::~TIdConnectThread() {
    Terminate();
    WaitFor();
    if (FWakeFd != -1) {
        ::close(FWakeFd);
    }
}

void TIdConnectThread::Start() {
    if (!FThread.joinable()) {
        FThread = std::thread([this] { Execute(); });
    }
}

void TIdConnectThread::MarkTerminated() {
    {
        std::lock_guard<std::mutex> guard(FLock);
        FTerminated = true;
    }
    FSignal.notify_all();
}

void TIdConnectThread::Terminate() {
    MarkTerminated();
    if (FWakeFd != -1) {
        const uint64_t one = 1;
        (void)!::write(FWakeFd, &one, sizeof one);
    }
}

void TIdConnectThread::WaitTerminated(int32_t AMSec) {
    std::unique_lock<std::mutex> lock(FLock);
    FSignal.wait_for(lock, std::chrono::milliseconds(std::max<int32_t>(AMSec, 0)),
                     [this] { return FTerminated.load(); });
}

void TIdConnectThread::WaitFor() {
    if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) {
        FThread.join();
    }
}

void TIdConnectThread::Execute() {
    try {
        int32_t result = 0;
        // A socket closed under the connect reports a bad descriptor or a
        // non-socket; that is the timed-out or cancelled path, not a failure.
        if (ConnectUnlessTerminated(result)) {
            TheStack->CheckSocketResult(result, {10009, 10038});
        }
    } catch (const std::exception& e) {
        FailureMessage = e.what();
    }
    MarkTerminated();
}

bool TIdConnectThread::ConnectUnlessTerminated(int32_t& AResult) {
    if (Terminated() || !Handle) {
        return false;
    }
    const TIdStackSocketHandle socket = Handle->Socket;
    if (TheStack->SockSetBlocking(socket, false) != 0) {
        // Not a usable socket: let the connect report it in its own words.
        AResult = Handle->ConnectTo(Id_PF_INET);
        return true;
    }
    AResult = Handle->ConnectTo(Id_PF_INET);
    if (AResult != -1 || TheStack->LastSocketError() != Id_WSAEINPROGRESS) {
        // A success or a failure known at once; restoring the mode keeps the
        // failure's code, which the stack holds apart from errno.
        (void)TheStack->SockSetBlocking(socket, true);
        return true;
    }

    pollfd waits[2] = {{socket, POLLOUT, 0}, {FWakeFd, POLLIN, 0}};
    const nfds_t count = FWakeFd != -1 ? 2 : 1;
    for (;;) {
        // Without a wake descriptor the terminate request is noticed by polling.
        const int ready = ::poll(waits, count, FWakeFd != -1 ? -1 : MaxPollStep);
        if (Terminated() || (count == 2 && waits[1].revents != 0)) {
            // Abandoned: the caller closes the socket once this thread is gone,
            // and nobody waits for the outcome any more.
            return false;
        }
        if (ready > 0 && waits[0].revents != 0) {
            break;
        }
        if (ready < 0 && errno != EINTR) {
            break;
        }
    }
    (void)TheStack->SockSetBlocking(socket, true);
    AResult = TheStack->SockConnectResult(socket);
    if (AResult == 0) {
        // What a completed blocking connect learns on its own.
        Handle->RefreshLocal();
        Handle->RefreshRemote();
    }
    return true;
}

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
    // The worker must be out of the socket before it is closed: the
    // descriptor number could otherwise be reused under its connect.
    if (FConnectThread) {
        FConnectThread->Terminate();
        FConnectThread->WaitFor();
    }
    if (Handle) {
        Handle->ShutAndClose();
    }
}

bool TIdIOHandlerSocket::IsOpen() {
    return Handle && Handle->Allocated;
}

void TIdIOHandlerSocket::Prepare() {
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
    return Handle->PollReadable(AMSec);
}

int32_t TIdIOHandlerSocket::ReceiveInto(void* ABuffer, int32_t ALength) {
    if (!IsOpen()) {
        throw EIdClosedSocket(RSStatusDisconnected);
    }
    return Handle->RecvBytes(ABuffer, ALength, 0);
}

bool TIdIOHandlerSocket::ReceiveIfReady(void* ABuffer, int32_t ALength, int32_t& AResult) {
    // A closed handle is left to the wait, which reports it in its own words.
    if (!Handle || !Handle->Allocated) {
        return false;
    }
    const int32_t n = Handle->RecvBytes(ABuffer, ALength, MSG_DONTWAIT);
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
    Handle->OpenSocket(Id_SOCK_STREAM, 0);
    Handle->IP = ABoundIP;
    Handle->Port = ABoundPort;
    Handle->ClientPortMin = ABoundPortLow;
    Handle->ClientPortMax = ABoundPortHigh;
    Handle->BindLocal();

    if (!TheStack->IsDottedQuad(host)) {
        ReportStatus(hsResolving, host);
    }
    Handle->SetRemote(TheStack->ResolveHostName(host), port);
    if (!UseNagle) {
        const int32_t on = 1;
        Handle->SetOption(Id_IPPROTO_TCP, Id_TCP_NODELAY, &on, sizeof on);
    }
    ReportStatus(hsConnecting, Handle->RemoteIP);

    if (ATimeout != -1 && ATimeout != 0) {
        ConnectWithTimeout(ATimeout);
    } else if (TIdAntiFreezeBase::IsActiveHere()) {
        ConnectWithTimeout(DefaultConnectTimeout);
    } else {
        TheStack->CheckSocketResult(Handle->ConnectTo(Id_PF_INET), {});
    }

    // A settings object shared between handlers negotiates over the one that
    // is connecting now, whichever handler wrote it last.
    socks = SocksInfo();
    socks->SetHandler(this);
    socks->Negotiate(AHost, APort);
}

void TIdIOHandlerSocket::ConnectWithTimeout(int32_t ATimeout) {
    // A window message handled between the poll steps may destroy this
    // handler; the token tells the unwinding call not to touch it then.
    const std::shared_ptr<bool> alive = FAlive;
    auto worker = std::make_unique<TIdConnectThread>();
    worker->Handle = Handle.get();
    FConnectThread = worker.get();
    struct Unregister {
        const std::shared_ptr<bool>& alive;
        TIdConnectThread*& slot;
        ~Unregister() {
            if (*alive) {
                slot = nullptr;
            }
        }
    } unregister{alive, FConnectThread};
    worker->Start();

    int32_t step = MaxPollStep;
    if (TIdAntiFreezeBase::IsActiveHere()) {
        step = std::min(TheAntiFreeze->IdleTimeOut, MaxPollStep);
    }
    // A step of zero would never use up the time left.
    step = std::max(step, 1);
    const bool unlimited = ATimeout == -2;
    int32_t remaining = unlimited ? step + 1 : ATimeout;

    while (step < remaining) {
        // Sleeps one step, but wakes as soon as the worker is done, so that a
        // fast connect does not pay for a whole step.
        worker->WaitTerminated(step);
        remaining = unlimited ? step + 1 : remaining - step;
        TIdAntiFreezeBase::KeepResponsive(true, false);
        if (worker->Terminated()) {
            remaining = 0;
            break;
        }
    }
    worker->WaitTerminated(remaining);

    if (!*alive) {
        throw EIdClosedSocket(RSStatusDisconnected);
    }
    if (!worker->Terminated()) {
        worker->Terminate();
        worker->WaitFor();
        Shut();
        throw EIdConnectTimeout(RSConnectTimeout);
    }
    worker->WaitFor();
    if (!worker->FailureMessage.empty()) {
        throw EIdConnectException(worker->FailureMessage);
    }
    // Closed from a window message during the wait: connecting on went
    // nowhere, and reporting success would be a lie.
    if (!IsOpen()) {
        throw EIdClosedSocket(RSStatusDisconnected);
    }
}
