#include "IdTCPConnection.h"

#include "IdAntiFreezeBase.h"
#include "IdException.h"
#include "IdGlobal.h"
#include "IdIOHandlerTls.h"
#include "IdResourceStrings.h"
#include "IdStack.h"

#include <algorithm>
#include <cstring>

bool TIdTCPConnection::CheckSocketResult(int32_t AResult, std::initializer_list<int32_t> AIgnored,
                                         int32_t& ACode) {
    if (AResult != Id_SOCKET_ERROR) {
        return false;
    }
    // This call's own code, from the calling thread's last error; the stack's
    // LastErrorCode is shared by every thread that uses the stack.
    ACode = TheStack->LastSocketError();
    if (std::find(AIgnored.begin(), AIgnored.end(), ACode) != AIgnored.end()) {
        return true;
    }
    RaiseSocketFailure(ACode);
}

void TIdTCPConnection::RaiseSocketFailure(int32_t ACode) {
    TheStack->RaiseSocketFailure(ACode);
}

TIdTCPConnection::TIdTCPConnection()
    : FReceivedData(std::make_unique<TIdManagedBuffer>()),
      FRecvChunk(std::make_unique<TIdSimpleBuffer>()) {
    // Bytes consumed from the received data are the connection's read work.
    FReceivedData->RemovalHook = [this](TIdSimpleBuffer*, int64_t ACount) {
        AdvanceWork(wmRead, ACount);
    };
}

TIdTCPConnection::~TIdTCPConnection() {
    try {
        DropSocket();
    } catch (...) {
        // Destruction must finish; a failing shut has nothing left to report to.
    }
    DestroyOwnedIOHandler();
}

TIdTCPConnection::THandlerInUse::THandlerInUse(TIdTCPConnection& AConnection)
    : FConnection(AConnection) {
    ++FConnection.FHandlerUsers;
}

TIdTCPConnection::THandlerInUse::~THandlerInUse() {
    if (--FConnection.FHandlerUsers == 0) {
        // Handlers shut their socket in their destructors and never throw there.
        FConnection.FRetiredIOHandlers.clear();
    }
}

void TIdTCPConnection::DestroyOwnedIOHandler() {
    if (!FOwnedIOHandler) {
        return;
    }
    std::unique_ptr<TIdIOHandler> handler = std::move(FOwnedIOHandler);
    FWrapped = false;
    if (FIOHandler == handler.get()) {
        FIOHandler = nullptr;
        FSocketHandler = nullptr;
    }
    if (FHandlerUsers > 0) {
        handler->Shut();
        FRetiredIOHandlers.push_back(std::move(handler));
        return;
    }
    handler.reset();
}

void TIdTCPConnection::SetIOHandler(TIdIOHandler* AValue) {
    if (AValue == FIOHandler) {
        return;
    }
    DestroyOwnedIOHandler();
    FIOHandler = AValue;
    FSocketHandler = (AValue && SocketHandlerOf) ? SocketHandlerOf(AValue) : nullptr;
    if (AValue) {
        FreeNotification(AValue);
    }
}

void TIdTCPConnection::SetOwnedIOHandler(std::unique_ptr<TIdIOHandler> AValue) {
    SetIOHandler(AValue.get());
    FOwnedIOHandler = std::move(AValue);
}

void TIdTCPConnection::WrapIOHandler(std::unique_ptr<TIdIOHandlerTls> ATls) {
    if (!FIOHandler || !FIOHandler->IsOpen()) {
        throw EIdNotConnected(IdResourceStrings::RSNotConnected);
    }
    if (FReceivedData->Size() != 0) {
        throw EIdTlsHandshakeError(IdResourceStrings::RSTlsUnreadData);
    }
    // The handshake waits like a read: a handler run meanwhile that closes
    // the connection must not free the handlers under it.
    const THandlerInUse inUse(*this);
    TIdIOHandler* transport = FIOHandler;
    if (FOwnedIOHandler) {
        ATls->SetTransport(std::move(FOwnedIOHandler));
    } else {
        RemoveFreeNotification(transport);
        ATls->SetTransport(transport);
    }
    TIdIOHandlerTls* tls = ATls.get();
    FIOHandler = tls;
    FreeNotification(tls);
    FOwnedIOHandler = std::move(ATls);
    FWrapped = true;
    tls->StartTls();
}

void TIdTCPConnection::UnwrapIOHandler() {
    auto* tls = FWrapped ? dynamic_cast<TIdIOHandlerTls*>(FOwnedIOHandler.get()) : nullptr;
    if (!tls || tls->IsOpen()) {
        return;
    }
    TIdIOHandler* transport = tls->Transport();
    if (std::unique_ptr<TIdIOHandler> owned = tls->ReleaseTransport()) {
        SetOwnedIOHandler(std::move(owned));
    } else {
        SetIOHandler(transport);
    }
}

void TIdTCPConnection::SetIntercept(TIdConnectionIntercept* AValue) {
    FIntercept = AValue;
    if (AValue) {
        FreeNotification(AValue);
    }
}

void TIdTCPConnection::Notification(TIdBaseComponent* AComponent, TOperation Operation) {
    TIdComponent::Notification(AComponent, Operation);
    if (Operation != TOperation::opRemove) {
        return;
    }
    if (AComponent == FIOHandler) {
        FIOHandler = nullptr;
        FSocketHandler = nullptr;
    }
    if (AComponent == FIntercept) {
        FIntercept = nullptr;
    }
}

void TIdTCPConnection::NotifyDisconnected() {
    if (OnDisconnected) {
        OnDisconnected(this);
    }
}

void TIdTCPConnection::ResetReadState() {
    FReceivedData->Empty();
    PeerClosed = false;
}

bool TIdTCPConnection::IsConnected() {
    CheckClosed(false, false);
    return FIOHandler && FIOHandler->IsOpen();
}

void TIdTCPConnection::CheckClosed(bool ARaiseIfClosed, bool AIgnoreReceivedData) {
    bool closed = false;
    if (PeerClosed || !FIOHandler) {
        if (FIOHandler) {
            closed = true;
            // Only the first discovery reports; later checks find the socket shut.
            if (FIOHandler->IsOpen()) {
                DropSocket();
                ReportStatus(hsDisconnected);
                NotifyDisconnected();
            }
        }
    } else {
        closed = !FIOHandler->IsOpen();
    }
    if (closed && (FReceivedData->Size() == 0 || AIgnoreReceivedData) && ARaiseIfClosed) {
        throw EIdConnClosedGracefully(IdResourceStrings::RSConnectionClosedGracefully);
    }
}

void TIdTCPConnection::ProbeClosed(bool ARaiseIfClosed) {
    ReceiveMore(ARaiseIfClosed, 1, false);
}

void TIdTCPConnection::DropSocket() {
    if (!FIOHandler) {
        return;
    }
    PeerClosed = true;
    if (FIntercept) {
        FIntercept->Detach();
    }
    FIOHandler->Shut();
}

void TIdTCPConnection::CloseConnection() {
    ReportStatus(hsDisconnecting);
    DropSocket();
    DestroyOwnedIOHandler();
    NotifyDisconnected();
    ReportStatus(hsDisconnected);
}

int32_t TIdTCPConnection::EffectiveTimeout(int32_t ATimeout) const {
    if (ATimeout == -1) {
        return ReadTimeout == 0 ? -2 : ReadTimeout;
    }
    return ATimeout;
}

int32_t TIdTCPConnection::ReceiveOnce() {
    const int32_t size = std::max<int32_t>(1, RecvBufferSize);
    // Without an intercept nobody sees the scratch chunk, so the bytes go
    // straight behind the received data instead of being copied there.
    char* target;
    if (FIntercept) {
        FRecvChunk->SetSize(size);
        target = FRecvChunk->Memory();
    } else {
        target = FReceivedData->BeginAppend(size);
    }
    return TakeReceived(target, FIOHandler->ReceiveInto(target, size));
}

bool TIdTCPConnection::ReceiveReady(int32_t& AResult) {
    const int32_t size = std::max<int32_t>(1, RecvBufferSize);
    // The scratch chunk, not the tail of the received data: the window
    // messages handled below may empty or move the received data.
    FRecvChunk->SetSize(size);
    int32_t n = 0;
    if (!FIOHandler->ReceiveIfReady(FRecvChunk->Memory(), size, n)) {
        return false;
    }
    // What a wait that found data ready at once would have done; a handler
    // run here may close the connection, and then the bytes taken are as lost
    // as they would have been in the socket.
    TIdAntiFreezeBase::KeepResponsive(false, false);
    if (!FIOHandler || !FIOHandler->IsOpen()) {
        throw EIdClosedSocket(IdResourceStrings::RSStatusDisconnected);
    }
    AResult = TakeReceived(FRecvChunk->Memory(), n);
    return true;
}

int32_t TIdTCPConnection::TakeReceived(char* ATarget, int32_t AResult) {
    int32_t n = AResult;
    char* target = ATarget;
    const bool scratch = target == FRecvChunk->Memory();
    PeerClosed = (n == 0);
    if (n != 0) {
        int32_t code = 0;
        if (CheckSocketResult(n, {10058, 10053}, code)) {
            n = 0;
            DropSocket();
            if (FReceivedData->Size() == 0) {
                RaiseSocketFailure(code);
            }
        }
    }
    if (n > 0) {
        if (FIntercept) {
            FRecvChunk->SetSize(n);
            FRecvChunk->SetPosition(0);
            FIntercept->FilterReceived(*FRecvChunk);
            n = static_cast<int32_t>(FRecvChunk->Size());
            target = FRecvChunk->Memory();
        }
        if (ASCIIFilter) {
            for (int32_t i = 0; i < n; ++i) {
                target[i] = static_cast<char>(static_cast<unsigned char>(target[i]) & 0x7F);
            }
        }
        if (scratch || FIntercept) {
            FReceivedData->Seek(0, TIdSeekOrigin::soEnd);
            FReceivedData->WriteBuffer(target, n);
        } else {
            FReceivedData->CommitAppend(n);
        }
    }
    return n;
}

int32_t TIdTCPConnection::ReceiveMore(bool ARaiseIfClosed, int32_t ATimeout, bool ARaiseOnTimeout) {
    const THandlerInUse inUse(*this);
    ATimeout = EffectiveTimeout(ATimeout);
    int32_t result = 0;
    CheckClosed(ARaiseIfClosed, false);
    if (!IsConnected()) {
        if (ARaiseIfClosed) {
            throw EIdNotConnected(IdResourceStrings::RSNotConnected);
        }
        return 0;
    }
    int32_t n = 0;
    do {
        // Data already there needs no wait: a wait costs a system call per
        // chunk, and chunks are small.
        if (!ReceiveReady(n)) {
            if (!FIOHandler->WaitReadable(ATimeout)) {
                if (ARaiseOnTimeout) {
                    throw EIdReadTimeout(IdResourceStrings::RSReadTimeout);
                }
                return -1;
            }
            // A handler run after the wait may have closed the connection.
            if (!FIOHandler) {
                throw EIdConnClosedGracefully(IdResourceStrings::RSConnectionClosedGracefully);
            }
            n = ReceiveOnce();
        }
        CheckClosed(ARaiseIfClosed, false);
        result = n;
        // An intercept that swallowed the whole chunk makes the step wait again.
    } while (n == 0 && IsConnected());
    return result;
}

std::string TIdTCPConnection::ReadLine(const std::string& ATerminator, int32_t ATimeout,
                                       int32_t AMaxLength) {
    if (AMaxLength == -1) {
        AMaxLength = MaxLineLength;
    }
    const std::string terminator = ATerminator.empty() ? std::string("\n") : ATerminator;
    const int64_t overlap = static_cast<int64_t>(terminator.size()) - 1;
    LineWasSplit = false;
    LineIncomplete = false;
    int64_t p = 0;
    int64_t s = 0;
    auto overLong = [&]() -> std::string {
        if (MaxLineAction == maException) {
            throw EIdReadLnMaxLineLengthExceeded(IdResourceStrings::RSReadLnMaxLineLengthExceeded);
        }
        LineWasSplit = true;
        return FReceivedData->TakeString(AMaxLength);
    };
    do {
        const int64_t size = FReceivedData->Size();
        if (size > 0) {
            // Only new bytes are searched; the overlap catches a terminator of
            // several bytes that arrived in two pieces.
            const int64_t from = std::max<int64_t>(0, s - overlap);
            const int32_t found =
                BufferPos(terminator, FReceivedData->DataStart() + from, size - from);
            p = found > 0 ? found + from : 0;
            s = size;
        }
        if (AMaxLength != 0 && p - 1 > AMaxLength) {
            return overLong();
        }
        if (p == 0) {
            if (AMaxLength != 0 && s > AMaxLength) {
                return overLong();
            }
            CheckClosed(true, true);
            const int32_t n = ReceiveMore(true, ATimeout, ATimeout == -1);
            LineIncomplete = (n <= 0);
            if (LineIncomplete) {
                return std::string();
            }
        }
    } while (p <= 0);
    std::string line = FReceivedData->TakeString(p + static_cast<int64_t>(terminator.size()) - 1);
    line.resize(line.size() - terminator.size());
    if (terminator == "\n" && !line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

std::string TIdTCPConnection::ReadNonEmptyLine(int32_t AAttempts) {
    std::string result;
    int32_t count = 0;
    while (result.empty() && count < AAttempts) {
        ++count;
        result = TrimControl(ReadLine("\n", -1, -1));
    }
    return result;
}

void TIdTCPConnection::ReadBytes(void* ADestination, int32_t ACount) {
    if (ACount <= 0 || !ADestination) {
        return;
    }
    while (FReceivedData->Size() < ACount) {
        ReceiveMore(true, -1, true);
        // A close is reported even while fewer than ACount bytes are buffered.
        CheckClosed(true, true);
    }
    std::memcpy(ADestination, FReceivedData->DataStart(), static_cast<size_t>(ACount));
    FReceivedData->Discard(ACount);
}

int32_t TIdTCPConnection::ReadInt32(bool AConvert) {
    uint32_t value = 0;
    ReadBytes(&value, 4);
    if (AConvert) {
        value = TheStack->NetToHostLong(value);
    }
    return static_cast<int32_t>(value);
}

std::string TIdTCPConnection::TakeAvailable() {
    if (IsConnected()) {
        ReceiveMore(false, -1, true);
    }
    return FReceivedData->TakeString(FReceivedData->Size());
}

std::string TIdTCPConnection::ReadUntilClosed() {
    StartWork(wmRead, 0);
    TIdScopeExit work([this] { FinishWork(wmRead); });
    std::string result;
    while (IsConnected()) {
        result += TakeAvailable();
    }
    // A close discovered before the loop could run would otherwise strand the
    // bytes still buffered.
    result += FReceivedData->TakeString(FReceivedData->Size());
    work.Commit();
    return result;
}
