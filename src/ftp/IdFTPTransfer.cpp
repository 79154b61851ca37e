#include "IdFTP.h"

#include "IdException.h"
#include "IdGlobal.h"
#include "IdIOHandlerSocket.h"
#include "IdResourceStrings.h"
#include "IdSimpleServer.h"
#include "IdSocketHandle.h"
#include "IdSocks.h"
#include "IdStack.h"

#include <charconv>
#include <exception>
#include <filesystem>

namespace {

constexpr int32_t kSocketNotASocket = 10038;

int32_t FieldToInt(const std::string& AField) {
    int32_t value = 0;
    const char* begin = AField.data();
    const char* end = begin + AField.size();
    if (begin != end && *begin == '+') {
        ++begin;
    }
    const auto [ptr, ec] = std::from_chars(begin, end, value);
    if (begin == end || ec != std::errc() || ptr != end) {
        throw EIdException("'" + AField + "' is not a valid integer value");
    }
    return value;
}

// Keeps DataConnection pointing at the transfer's channel for exactly as long
// as the channel exists, whichever way the transfer ends.
class TDataChannelScope {
public:
    TDataChannelScope(TIdTCPConnection*& ASlot, TIdTCPConnection* AChannel) : FSlot(ASlot) {
        FSlot = AChannel;
    }
    ~TDataChannelScope() { FSlot = nullptr; }
    TDataChannelScope(const TDataChannelScope&) = delete;
    TDataChannelScope& operator=(const TDataChannelScope&) = delete;

private:
    TIdTCPConnection*& FSlot;
};

void CloseQuietly(TIdTCPConnection& AChannel) {
    try {
        AChannel.CloseConnection();
    } catch (...) {
        // Closing after a failed transfer must not hide the failure itself.
    }
}

} // namespace

void TIdFTP::RequestPassive(std::string& VHost, int32_t& VPort) {
    SendCommand("PASV", TIdReplyCodes{227});
    const auto& text = LastReply().Text();
    std::string reply = TrimControl(text.empty() ? std::string() : text.front());
    const int32_t open = TextPos("(", reply);
    const int32_t close = TextPos(")", reply);
    if (open > 0 && close > 0) {
        reply = close > open ? reply.substr(open, close - open - 1) : std::string();
    } else {
        const int32_t space = ReversePos(" ", reply);
        if (space > 0) {
            reply = reply.substr(space);
        }
    }
    VHost.clear();
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            VHost += '.';
        }
        VHost += CutToken(reply, ",");
    }
    const int32_t high = FieldToInt(CutToken(reply, ","));
    const int32_t low = FieldToInt(CutToken(reply, ","));
    // A hostile reply can name fields whose product overflows, or a number the
    // socket would silently cut to some other 16-bit port.
    const int64_t port = int64_t{high} * 256 + low;
    TIdStack::CheckPort(port);
    VPort = static_cast<int32_t>(port);
}

void TIdFTP::AnnouncePort(TIdSocketHandle& AHandle) {
    std::string address = AHandle.IP;
    for (char& c : address) {
        if (c == '.') {
            c = ',';
        }
    }
    SendCommand("PORT " + address + "," + std::to_string(AHandle.Port / 256) + "," +
                    std::to_string(AHandle.Port % 256),
                TIdReplyCodes{200});
}

void TIdFTP::PrepareDataChannel(TIdTCPConnection& AChannel) {
    AChannel.SendBufferSize = SendBufferSize;
    AChannel.RecvBufferSize = RecvBufferSize;
    AChannel.OnWork = OnWork;
    AChannel.OnWorkBegin = OnWorkBegin;
    AChannel.OnWorkEnd = OnWorkEnd;
}

std::unique_ptr<TIdTCPClient> TIdFTP::CreatePassiveChannel(int32_t APort) {
    auto channel = std::make_unique<TIdTCPClient>();
    // The channel gets its socket handler now rather than at connect time so
    // that the proxy settings are in place before it connects.
    auto handler = std::make_unique<TIdIOHandlerSocket>();
    TIdIOHandlerSocket* control = SocketHandler();
    const bool viaSocks = control != nullptr && control->SocksInfo()->Version != svNoSocks;
    if (control != nullptr) {
        handler->SocksInfo()->Assign(*control->SocksInfo());
    }
    channel->SetOwnedIOHandler(std::move(handler));
    PrepareDataChannel(*channel);
    // Whatever address the server names, the data connection goes to the
    // server the control connection talks to: a hostile reply must not be able
    // to aim it at a third host.
    if (viaSocks || control == nullptr || !control->Handle) {
        channel->SetHost(FConnectedHost);
    } else {
        channel->SetHost(control->Handle->RemoteIP);
    }
    channel->SetPort(APort);
    return channel;
}

std::string TIdFTP::ControlLocalIP() {
    TIdIOHandlerSocket* control = SocketHandler();
    // Without a control connection there is no local address to listen on,
    // and the PORT command could not be sent anyway.
    if (control == nullptr || !control->Handle || !IsConnected()) {
        throw EIdNotConnected(IdResourceStrings::RSNotConnected);
    }
    return control->Handle->IP;
}

// Once a transfer has failed or been aborted, the replies it still owes come
// at once or not at all: each is awaited for a short while only.
class TSettleReplyWait {
public:
    TSettleReplyWait(TIdTCPConnection& AConnection, int32_t ALimit)
        : FConnection(AConnection), FSaved(AConnection.ReadTimeout) {
        if (ALimit > 0 && (FSaved <= 0 || FSaved > ALimit)) {
            FConnection.ReadTimeout = ALimit;
        }
    }
    ~TSettleReplyWait() { FConnection.ReadTimeout = FSaved; }
    TSettleReplyWait(const TSettleReplyWait&) = delete;
    TSettleReplyWait& operator=(const TSettleReplyWait&) = delete;

private:
    TIdTCPConnection& FConnection;
    int32_t FSaved;
};

void TIdFTP::WriteTransferCommand(const std::string& ACommand) {
    // An abort that came in during an earlier step of the transfer (PASV,
    // PORT, REST) would otherwise have its reply taken for the command's.
    if (FAbortRequested) {
        throw EIdException("Transfer aborted");
    }
    WriteLine(ACommand);
    FOwed = TOwedReplies::Preliminary;
}

int16_t TIdFTP::ReadPreliminaryReply(const TIdReplyCodes& AAllowed) {
    ReadReply();
    const auto code = static_cast<int16_t>(LastReply().NumericCode());
    FOwed = code >= 100 && code < 200 ? TOwedReplies::Final : TOwedReplies::None;
    return CheckReplyCode(code, AAllowed);
}

// A 426 or 450 is itself the transfer's final reply; only an ABOR makes the
// server send one more.
void TIdFTP::FinishTransfer() {
    if (!FAbortRequested) {
        const int16_t code = GetReply(TIdReplyCodes{225, 226, 250, 426, 450});
        FOwed = TOwedReplies::None;
        if (code == 426 || code == 450) {
            ReportStatus(ftpAborted, "Transfer aborted");
        }
        return;
    }
    const TSettleReplyWait wait(*this, SettleTimeout);
    try {
        int16_t code = 0;
        try {
            code = GetReply(TIdReplyCodes{225, 226, 250, 426, 450});
            FOwed = TOwedReplies::None;
        } catch (const EIdProtocolReplyError&) {
            FOwed = TOwedReplies::None;
            SettleAbort();
            throw;
        }
        if (FAbortSent) {
            FAbortSent = false;
            GetReply(TIdReplyCodes{226, 225});
        }
        if (code == 426 || code == 450) {
            ReportStatus(ftpAborted, "Transfer aborted");
        }
    } catch (const EIdProtocolReplyError&) {
        throw;
    } catch (...) {
        // A reply that did not come may still come; reading on would take
        // it for the next command's.
        DropSocket();
        throw;
    }
}

// The server answers every accepted transfer with a final reply, whether the
// data arrived or not. Left unread, it would be taken for the reply to the
// next command, and the session would stay one reply behind for good.
void TIdFTP::SettleFailedTransfer() {
    if (FAbortRequested) {
        SettleAbort();
        return;
    }
    const TSettleReplyWait wait(*this, SettleTimeout);
    try {
        if (FOwed == TOwedReplies::Final && IsConnected()) {
            ReadReply();
        }
    } catch (...) {
        // The transfer's own failure is the one the caller must see; a reply
        // that did not come in time would put the session out of step.
        try {
            DropSocket();
        } catch (...) {
        }
    }
    FOwed = TOwedReplies::None;
}

void TIdFTP::SettleAbort() {
    const TSettleReplyWait wait(*this, SettleTimeout);
    try {
        if (IsConnected()) {
            if (FOwed == TOwedReplies::Preliminary) {
                ReadPreliminaryReply({});
            }
            if (FOwed == TOwedReplies::Final) {
                ReadReply();
                FOwed = TOwedReplies::None;
            }
            if (FAbortSent) {
                ReadReply();
                FAbortSent = false;
            }
        }
    } catch (...) {
        // Out of step with no way back: the session is closed instead, so
        // that no command takes another's reply.
        try {
            DropSocket();
        } catch (...) {
        }
    }
    FOwed = TOwedReplies::None;
    FAbortSent = false;
}

void TIdFTP::ReceiveTransfer(const std::string& ACommand, TIdStream& ADest, bool ARestart,
                             const std::function<void()>& AOnAccepted) {
    CheckCommandText(ACommand);
    FAbortRequested = false;
    FAbortSent = false;
    FOwed = TOwedReplies::None;
    ReportStatus(ftpTransfer, "Starting FTP transfer");
    std::exception_ptr failure;
    try {
        if (Passive) {
            std::string host;
            int32_t port = 0;
            RequestPassive(host, port);
            std::unique_ptr<TIdTCPClient> channel = CreatePassiveChannel(port);
            TDataChannelScope scope(FDataConnection, channel.get());
            channel->OpenConnection(-1);
            try {
                if (ARestart) {
                    SendCommand("REST " + std::to_string(ADest.Position()), TIdReplyCodes{350});
                }
                WriteTransferCommand(ACommand);
                ReadPreliminaryReply(TIdReplyCodes{125, 150, 154});
                if (AOnAccepted) {
                    AOnAccepted();
                }
                channel->ReceiveStream(ADest, -1, true);
            } catch (...) {
                CloseQuietly(*channel);
                throw;
            }
            channel->CloseConnection();
        } else {
            auto server = std::make_unique<TIdSimpleServer>();
            TDataChannelScope scope(FDataConnection, server.get());
            ListenAndAnnounce(*server);
            if (ARestart) {
                SendCommand("REST " + std::to_string(ADest.Position()), TIdReplyCodes{350});
            }
            WriteTransferCommand(ACommand);
            ReadPreliminaryReply(TIdReplyCodes{125, 150, 154});
            if (AOnAccepted) {
                AOnAccepted();
            }
            server->AcceptConnection();
            server->ReceiveStream(ADest, -1, true);
        }
    } catch (...) {
        failure = std::current_exception();
    }
    EndTransfer(failure);
}

void TIdFTP::SendTransfer(const std::string& ACommand, TIdStream& ASource) {
    CheckCommandText(ACommand);
    FAbortRequested = false;
    FAbortSent = false;
    FOwed = TOwedReplies::None;
    ReportStatus(ftpTransfer, "Starting FTP transfer");
    std::exception_ptr failure;
    try {
        if (Passive) {
            std::string host;
            int32_t port = 0;
            RequestPassive(host, port);
            // Written before the data connection opens; its reply waits on the
            // control connection until the channel is up.
            WriteTransferCommand(ACommand);
            std::unique_ptr<TIdTCPClient> channel = CreatePassiveChannel(port);
            TDataChannelScope scope(FDataConnection, channel.get());
            channel->OpenConnection(-1);
            try {
                ReadPreliminaryReply(TIdReplyCodes{110, 125, 150});
                try {
                    channel->SendStream(ASource, false, false, 0);
                } catch (const EIdSocketError& e) {
                    // An abort closes the socket under the running send.
                    if (e.ErrorCode != kSocketNotASocket) {
                        throw;
                    }
                }
            } catch (...) {
                CloseQuietly(*channel);
                throw;
            }
            channel->CloseConnection();
        } else {
            auto server = std::make_unique<TIdSimpleServer>();
            TDataChannelScope scope(FDataConnection, server.get());
            ListenAndAnnounce(*server);
            WriteTransferCommand(ACommand);
            ReadPreliminaryReply(TIdReplyCodes{125, 150});
            server->AcceptConnection();
            server->SendStream(ASource, true, false, 0);
        }
    } catch (...) {
        failure = std::current_exception();
    }
    EndTransfer(failure);
}

void TIdFTP::ListenAndAnnounce(TIdSimpleServer& AServer) {
    PrepareDataChannel(AServer);
    AServer.BoundIP = ControlLocalIP();
    AServer.AcceptTimeout = TransferTimeout;
    AServer.StartListening();
    AnnouncePort(*AServer.Binding());
}

void TIdFTP::EndTransfer(const std::exception_ptr& AFailure) {
    ReportStatus(ftpReady, "Transfer complete");
    if (AFailure) {
        SettleFailedTransfer();
        std::rethrow_exception(AFailure);
    }
    FinishTransfer();
}

bool TIdFTP::CanRestart() {
    if (FRestartChecked) {
        return FRestartAllowed;
    }
    FRestartChecked = true;
    FRestartAllowed = RawCommand("REST 1") == 350;
    RawCommand("REST 0");
    return FRestartAllowed;
}

void TIdFTP::FireAfterGet(TIdStream& AStream) {
    if (OnAfterGet) {
        OnAfterGet(this, AStream);
    }
}

void TIdFTP::Download(const std::string& AFromName, TIdStream& ADest, bool ARestart) {
    DownloadInto(AFromName, ADest, ARestart, {});
}

void TIdFTP::DownloadInto(const std::string& AFromName, TIdStream& ADest, bool ARestart,
                          const std::function<void()>& AOnAccepted) {
    ReceiveTransfer("RETR " + AFromName, ADest, ARestart && CanRestart(), AOnAccepted);
    // A download is done only once its bytes are in the target, and a target
    // that cannot take them fails the download.
    ADest.Flush();
    FireAfterGet(ADest);
}

void TIdFTP::Download(const std::string& AFromName, const std::string& AToName, bool AOverwrite,
                      bool ARestart) {
    std::unique_ptr<TIdFileStream> file;
    bool resume = ARestart;
    bool replace = false;
    std::error_code ec;
    if (std::filesystem::exists(AToName, ec)) {
        resume = ARestart && CanRestart();
        if (AOverwrite && !resume) {
            // Opened without emptying it: the old contents go only once the
            // server has accepted the download, so a refusal leaves them intact.
            file = std::make_unique<TIdFileStream>(AToName, TIdFileMode::fmOpenReadWrite);
            replace = true;
        } else if (!AOverwrite && resume) {
            file = std::make_unique<TIdFileStream>(AToName, TIdFileMode::fmOpenReadWrite);
            file->SetPosition(file->Size());
        } else {
            throw EIdFTPFileAlreadyExists(IdResourceStrings::RSDestinationFileAlreadyExists);
        }
    } else {
        file = std::make_unique<TIdFileStream>(AToName, TIdFileMode::fmCreate);
    }
    TIdFileStream* target = file.get();
    std::function<void()> onAccepted;
    if (replace) {
        onAccepted = [target] {
            target->SetSize(0);
            target->SetPosition(0);
        };
    }
    DownloadInto(AFromName, *file, resume, onAccepted);
    file->Flush();
}

void TIdFTP::Upload(TIdStream& ASource, const std::string& AToName, bool AAppend) {
    std::string command;
    if (AToName.empty()) {
        command = "STOU ";
    } else {
        command = (AAppend ? "APPE " : "STOR ") + AToName;
    }
    SendTransfer(command, ASource);
}

void TIdFTP::Upload(const std::string& AFromName, const std::string& AToName, bool AAppend) {
    auto file = std::make_unique<TIdFileStream>(AFromName, TIdFileMode::fmOpenRead);
    Upload(*file, AToName, AAppend);
}

void TIdFTP::AbortTransfer() {
    FAbortRequested = true;
    if (IsConnected()) {
        WriteLine("ABOR");
        FAbortSent = true;
    }
    CloseDataChannel();
}

void TIdFTP::CloseDataChannel() {
    if (FDataConnection != nullptr) {
        FDataConnection->DropSocket();
    }
}
