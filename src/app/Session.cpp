#include "Session.h"

#include "IdFTP.h"

#include <algorithm>
#include <iterator>

TFtpSession::TFtpSession() : sckFTP(std::make_unique<TIdFTP>()) {
    sckFTP->MaxLineAction = maException;
    sckFTP->ReadTimeout = 0;
    sckFTP->RecvBufferSize = 1024;
    sckFTP->SendBufferSize = 1024;
    sckFTP->ProxySettings().ProxyType = fpcmNone;
    sckFTP->ProxySettings().Port = 0;
}

TFtpSession::~TFtpSession() = default;

TFtpSession::TNetworkScope::TNetworkScope(TFtpSession& AOwner)
    : FOwner(AOwner), FSession(AOwner.FSession) {
    ++FOwner.FNetworkDepth;
}

TFtpSession::TNetworkScope::~TNetworkScope() {
    if (FOwner.FNetworkDepth == 1) {
        FOwner.IdleSinceLastCommand = true;
    }
    if (--FOwner.FNetworkDepth == 0 && FOwner.FEndSessionPending) {
        FOwner.FEndSessionPending = false;
        try {
            FOwner.sckFTP->EndSession();
        } catch (...) {
        }
    }
}

bool TFtpSession::TNetworkScope::Interrupted() const {
    return FOwner.FSession != FSession;
}

bool TFtpSession::SessionConnected() const {
    return sckFTP && sckFTP->IsConnected();
}

// Ends the session now when no call below us uses the connection; otherwise
// interrupts it so the waiting call fails, and leaves the freeing to the
// outermost network scope.
void TFtpSession::EndSessionNow(int AHeldByCaller) {
    if (FNetworkDepth <= AHeldByCaller) {
        try {
            sckFTP->EndSession();
        } catch (...) {
        }
        return;
    }
    sckFTP->Interrupt();
    FEndSessionPending = true;
}

void TFtpSession::Interrupt(int AHeldByCaller) {
    ++FSession;
    EndSessionNow(AHeldByCaller);
}

void TFtpSession::Disconnect() {
    if (!Busy) {
        Interrupt(0);
        return;
    }
    ++FSession;
    // A second request (closing the window after Disconnect) has nothing
    // left to abort.
    if (!CancelRequested) {
        CancelRequested = true;
        sckFTP->AbortTransfer();
    }
}

void TFtpSession::ConnectionLost() {
    if (Busy) {
        CancelRequested = true;
    }
    Interrupt(FNetworkDepth);
}

bool TFtpSession::RunBatchLoop(int32_t ACount, const std::function<void(int32_t AIndex)>& AWork) {
    Busy = true;
    bool cancelled = false;
    for (int32_t i = 1; i <= ACount; ++i) {
        AWork(i);
        ProcessMessages();
        if (CancelRequested) {
            EndSessionNow(1);
            cancelled = true;
            break;
        }
    }
    Busy = false;
    return !cancelled;
}

bool TFtpSession::TakeCancel() {
    const bool cancelled = CancelRequested;
    CancelRequested = false;
    return cancelled;
}

bool TFtpSession::ParseListing(const std::function<void(TIdFTPListItem&)>& AEntry,
                               const std::function<bool()>& ABreathe) {
    // The client's own list object parses every slice: the layout is judged
    // from the listing's first lines, as for a listing read whole.
    std::vector<std::string> lines = std::move(sckFTP->ListLines);
    sckFTP->ListLines.clear();
    constexpr size_t Slice = 2048;
    try {
        for (size_t from = 0; from < lines.size(); from += Slice) {
            std::vector<std::string> slice(
                std::make_move_iterator(lines.begin() + static_cast<ptrdiff_t>(from)),
                std::make_move_iterator(
                    lines.begin() + static_cast<ptrdiff_t>(std::min(lines.size(), from + Slice))));
            TIdFTPListItems* items = nullptr;
            if (from == 0) {
                sckFTP->ListLines = std::move(slice);
                items = &sckFTP->ListItems();
                sckFTP->ListLines.clear();
            } else {
                items = &sckFTP->ListItems();
                items->LoadLines(slice);
            }
            for (int32_t i = 0; i < items->Count(); ++i) {
                AEntry(items->ItemAt(i));
                if ((i & 255) == 255 && !ABreathe()) {
                    return false;
                }
            }
            items->Clear();
            if (!ABreathe()) {
                return false;
            }
        }
    } catch (...) {
    }
    return true;
}
