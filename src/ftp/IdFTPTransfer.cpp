#include "IdFTP.h"

#include "IdException.h"
#include "IdGlobal.h"
#include "IdIOHandlerSocket.h"
#include "IdIOHandlerTls.h"
#include "IdResourceStrings.h"
#include "IdSimpleServer.h"
#include "IdSocketHandle.h"
#include "IdSocks.h"
#include "IdStack.h"

#include <exception>
#include <filesystem>

namespace {

int32_t FieldToInt(const std::string& AField) {
    int32_t value = 0;
    if (!TryStrToInt(AField, value)) {
        throw EIdException(FormatMessage(IdResourceStrings::RSNotAnInteger, AField.c_str()));
    }
    return value;
}

// Once a transfer has failed or been aborted, the replies it still owes come
// at once or not at all: each is awaited for a short while only. A limit of 0
// leaves the wait as it is.
auto LimitReplyWait(TIdTCPConnection& AConnection, int32_t ALimit) {
    const int32_t saved = AConnection.ReadTimeout;
    if (ALimit > 0 && (saved <= 0 || saved > ALimit)) {
        AConnection.ReadTimeout = ALimit;
    }
    return TIdScopeExit([&AConnection, saved] { AConnection.ReadTimeout = saved; });
}

} // namespace

class TIdFTP::TDataChannel {
public:
    TDataChannel(TIdFTP& AClient, std::unique_ptr<TIdTCPConnection> AConnection)
        : FClient(AClient), FConnection(std::move(AConnection)) {}
    virtual ~TDataChannel() {
        FClient.FDataConnection = nullptr;
        // A transfer that did not finish must not end with a close_notify:
        // the server would take a cut-off upload for a complete one.
        if (auto* tls = dynamic_cast<TIdIOHandlerTls*>(FConnection->IOHandler())) {
            tls->Abandon();
        }
        try {
            FConnection->CloseConnection();
        } catch (...) {
            // Closing after a failed transfer must not hide the failure itself.
        }
    }
    TDataChannel(const TDataChannel&) = delete;
    TDataChannel& operator=(const TDataChannel&) = delete;

    TIdTCPConnection& Connection() { return *FConnection; }
    // TLS over the open connection, resuming the control connection's
    // session (servers refuse data connections that do not). The server
    // starts its side only once it has answered the transfer command, so
    // this comes after the preliminary reply.
    void Secure() {
        std::unique_ptr<TIdIOHandlerTls> tls = FClient.NewTlsHandler();
        if (TIdIOHandlerTls* control = FClient.ControlTls()) {
            tls->ResumeSession(control->Session());
        }
        FConnection->WrapIOHandler(std::move(tls));
    }
    // The data ended as it should: a close_notify tells the server so
    // (servers check it on uploads), then the connection is closed.
    void Finish() {
        if (auto* tls = dynamic_cast<TIdIOHandlerTls*>(FConnection->IOHandler())) {
            tls->CloseNotify(FClient.SettleTimeout);
        }
        FConnection->CloseConnection();
    }
    // Tells the server where the data connection is made.
    virtual void Announce() = 0;
    // Connects to the server, or takes the connection the server made.
    virtual void Open() = 0;
    // A passive channel connects before the transfer command's preliminary
    // reply; an active one can only accept after it.
    virtual bool OpensBeforeReply() const = 0;
    virtual void SendStream(TIdStream& ASource) = 0;

protected:
    // From now on an abort reaches the channel, and the transfer type stays put.
    void Register() {
        FClient.PrepareDataChannel(*FConnection);
        FClient.FDataConnection = FConnection.get();
    }

    TIdFTP& FClient;
    std::unique_ptr<TIdTCPConnection> FConnection;
};

class TIdFTP::TPassiveChannel : public TDataChannel {
public:
    explicit TPassiveChannel(TIdFTP& AClient)
        : TDataChannel(AClient, std::make_unique<TIdTCPClient>()) {}
    bool OpensBeforeReply() const override { return true; }

    void Announce() override {
        TIdIOHandler* control = FClient.IOHandler();
        TIdSocksInfo* socks = control != nullptr ? control->SocksInfo() : nullptr;
        const TIdAddress peer = control != nullptr ? control->PeerAddress() : TIdAddress();
        const bool viaSocks = socks != nullptr && socks->Version != svNoSocks;
        // PASV can only name an IPv4 address; a server reached over IPv6 has
        // no answer to it that could be used.
        TIdAddress target;
        const bool ipv6 = viaSocks ? TIdAddress::Parse(FClient.FConnectedHost, 0, target) &&
                                         target.Family == TIdAddressFamily::IPv6
                                   : peer.Family == TIdAddressFamily::IPv6;
        int32_t port = 0;
        bool extended = false;
        if (ipv6 || (FClient.UseEPSV && !FClient.FEpsvRefused)) {
            extended = FClient.RequestExtendedPassive(port);
            if (!extended) {
                if (ipv6) {
                    const int32_t code = FClient.LastReply().NumericCode();
                    const auto& text = FClient.LastReply().Text();
                    throw EIdProtocolReplyError(
                        code, IdResourceStrings::RSFTPNoPassiveOverIPv6 + std::to_string(code) +
                                  " " + (text.empty() ? std::string() : text.front()));
                }
                FClient.FEpsvRefused = true;
            }
        }
        if (!extended) {
            std::string host;
            FClient.RequestPassive(host, port);
        }
        // The handler is in place before the connect so that the proxy
        // settings apply to it.
        Client().SetOwnedIOHandler(FClient.CreateDataHandler());
        Register();
        // Whatever address the server names, the data connection goes to the
        // server the control connection talks to: a hostile reply must not be
        // able to aim it at a third host.
        Client().SetHost(viaSocks || peer.Family == TIdAddressFamily::None ? FClient.FConnectedHost
                                                                           : peer.Text());
        Client().SetPort(port);
        Client().AddressFamily = FClient.AddressFamily;
    }

    void Open() override { Client().OpenConnection(-1); }

    void SendStream(TIdStream& ASource) override {
        try {
            FConnection->SendStream(ASource, false, false, 0);
        } catch (const EIdSocketError& e) {
            // An abort closes the socket under the running send.
            if (e.ErrorCode != Id_WSAENOTSOCK) {
                throw;
            }
        }
    }

private:
    TIdTCPClient& Client() { return static_cast<TIdTCPClient&>(*FConnection); }
};

class TIdFTP::TActiveChannel : public TDataChannel {
public:
    explicit TActiveChannel(TIdFTP& AClient)
        : TDataChannel(AClient, std::make_unique<TIdSimpleServer>()) {}
    bool OpensBeforeReply() const override { return false; }

    void Announce() override {
        TIdIOHandler* control = FClient.IOHandler();
        const TIdAddress local = control != nullptr ? control->LocalAddress() : TIdAddress();
        // Without a control connection there is no local address to listen
        // on, and the PORT command could not be sent anyway.
        if (local.Family == TIdAddressFamily::None || !FClient.IsConnected()) {
            throw EIdNotConnected(IdResourceStrings::RSNotConnected);
        }
        std::unique_ptr<TIdIOHandler> handler = FClient.CreateDataHandler();
        handler->Prepare();
        Server().SetOwnedIOHandler(std::move(handler));
        Register();
        Server().BoundIP = local.Text();
        Server().Binding()->Family = IdFamilyCode(local.Family);
        Server().AcceptTimeout = FClient.TransferTimeout;
        Server().StartListening();
        FClient.AnnouncePort(*Server().Binding());
    }

    void Open() override { Server().AcceptConnection(); }
    // From the stream's position, as in passive mode: a resumed upload
    // starts in the middle.
    void SendStream(TIdStream& ASource) override { Server().SendStream(ASource, false, false, 0); }

private:
    TIdSimpleServer& Server() { return static_cast<TIdSimpleServer&>(*FConnection); }
};

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

bool TIdFTP::RequestExtendedPassive(int32_t& VPort) {
    if (SendCommand("EPSV", TIdReplyCodes{229, 500, 501, 502}) != 229) {
        return false;
    }
    const auto& text = LastReply().Text();
    VPort = ExtendedPassivePort(text.empty() ? std::string() : text.front());
    return true;
}

int32_t TIdFTP::ExtendedPassivePort(const std::string& AReplyLine) {
    const auto malformed = [&AReplyLine]() {
        return EIdException(IdResourceStrings::RSFTPBadExtendedPassive + TrimControl(AReplyLine));
    };
    // "(<d><d><d>port<d>)": the address fields stay empty, since the data
    // connection goes to the control connection's peer anyway.
    const auto open = AReplyLine.find('(');
    if (open == std::string::npos || AReplyLine.size() - open < 7) {
        throw malformed();
    }
    const char delimiter = AReplyLine[open + 1];
    if (delimiter < 33 || delimiter > 126 || AReplyLine[open + 2] != delimiter ||
        AReplyLine[open + 3] != delimiter) {
        throw malformed();
    }
    const auto end = AReplyLine.find(delimiter, open + 4);
    if (end == std::string::npos || end + 1 >= AReplyLine.size() || AReplyLine[end + 1] != ')') {
        throw malformed();
    }
    const std::string digits = AReplyLine.substr(open + 4, end - open - 4);
    // Plain decimal digits only, and few enough that no number can wrap.
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        throw malformed();
    }
    const int32_t port = std::stoi(digits);
    if (!TIdStack::IsValidPort(port)) {
        throw malformed();
    }
    return port;
}

void TIdFTP::AnnouncePort(TIdSocketHandle& AHandle) {
    TIdAddress local;
    if (TIdAddress::Parse(AHandle.IP, AHandle.Port, local) &&
        local.Family == TIdAddressFamily::IPv6) {
        // PORT has room for four address bytes only.
        SendCommand("EPRT |2|" + local.WireText() + "|" + std::to_string(AHandle.Port) + "|",
                    TIdReplyCodes{200});
        return;
    }
    std::string address = AHandle.IP;
    for (char& c : address) {
        if (c == '.') {
            c = ',';
        }
    }
    const std::string port = "PORT " + address + "," + std::to_string(AHandle.Port / 256) + "," +
                             std::to_string(AHandle.Port % 256);
    if (!HasFeature("EPRT")) {
        SendCommand(port, TIdReplyCodes{200});
        return;
    }
    // Some servers (and the NAT helpers in front of them) refuse PORT but
    // take the same address as EPRT; that holds for the rest of the session.
    if (!FPortRefused && SendCommand(port, TIdReplyCodes{200, 500, 501, 502}) == 200) {
        return;
    }
    FPortRefused = true;
    SendCommand("EPRT |1|" + AHandle.IP + "|" + std::to_string(AHandle.Port) + "|",
                TIdReplyCodes{200});
}

void TIdFTP::PrepareDataChannel(TIdTCPConnection& AChannel) {
    AChannel.SendBufferSize = SendBufferSize;
    AChannel.RecvBufferSize = RecvBufferSize;
    // A data connection that stalls must end like a stalled control connection.
    AChannel.ReadTimeout = ReadTimeout;
    AChannel.OnWork = OnWork;
    AChannel.OnWorkBegin = OnWorkBegin;
    AChannel.OnWorkEnd = OnWorkEnd;
}

std::unique_ptr<TIdIOHandler> TIdFTP::CreateDataHandler() {
    auto handler = std::make_unique<TIdIOHandlerSocket>();
    TIdSocksInfo* socks = IOHandler() != nullptr ? IOHandler()->SocksInfo() : nullptr;
    if (socks != nullptr) {
        handler->SocksInfo()->Assign(*socks);
    }
    return handler;
}

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

void TIdFTP::Transfer(const std::string& ACommand, TIdStream& AStream, TDirection ADirection,
                      bool ARestart, const std::function<void()>& AOnAccepted) {
    CheckCommandText(ACommand);
    FAbortRequested = false;
    FAbortSent = false;
    FOwed = TOwedReplies::None;
    ReportStatus(ftpTransfer, "Starting FTP transfer");
    const bool receive = ADirection == TDirection::Receive;
    std::exception_ptr failure;
    try {
        std::unique_ptr<TDataChannel> channel;
        if (Passive) {
            channel = std::make_unique<TPassiveChannel>(*this);
        } else {
            channel = std::make_unique<TActiveChannel>(*this);
        }
        channel->Announce();
        const bool early = channel->OpensBeforeReply();
        // A passive download connects before its command; a passive upload
        // writes its command first, and its reply waits until the channel is up.
        if (early && receive) {
            channel->Open();
        }
        if (ARestart) {
            SendCommand("REST " + std::to_string(AStream.Position()), TIdReplyCodes{350});
        }
        WriteTransferCommand(ACommand);
        if (early && !receive) {
            channel->Open();
        }
        if (receive) {
            ReadPreliminaryReply(TIdReplyCodes{125, 150, 154});
        } else if (early) {
            ReadPreliminaryReply(TIdReplyCodes{110, 125, 150});
        } else {
            ReadPreliminaryReply(TIdReplyCodes{125, 150});
        }
        if (AOnAccepted) {
            AOnAccepted();
        }
        if (!early) {
            channel->Open();
        }
        if (FDataProtected && Encrypted()) {
            channel->Secure();
        }
        if (receive) {
            channel->Connection().ReceiveStream(AStream, -1, true);
        } else {
            channel->SendStream(AStream);
        }
        channel->Finish();
    } catch (...) {
        failure = std::current_exception();
    }
    ReportStatus(ftpReady, "Transfer complete");
    if (failure) {
        // The server answers every accepted transfer with a final reply,
        // whether the data arrived or not; left unread, it would be taken for
        // the next command's.
        SettleOwedReplies();
        std::rethrow_exception(failure);
    }
    ReadFinalReply();
}

void TIdFTP::ReceiveTransfer(const std::string& ACommand, TIdStream& ADest, bool ARestart,
                             const std::function<void()>& AOnAccepted) {
    Transfer(ACommand, ADest, TDirection::Receive, ARestart, AOnAccepted);
}

void TIdFTP::SendTransfer(const std::string& ACommand, TIdStream& ASource) {
    Transfer(ACommand, ASource, TDirection::Send, false, {});
}

// A 426 or 450 is itself the transfer's final reply; only an ABOR makes the
// server send one more.
void TIdFTP::ReadFinalReply() {
    const auto wait = LimitReplyWait(*this, FAbortRequested ? SettleTimeout : 0);
    try {
        const int16_t code = GetReply(TIdReplyCodes{225, 226, 250, 426, 450});
        FOwed = TOwedReplies::None;
        if (FAbortSent) {
            FAbortSent = false;
            GetReply(TIdReplyCodes{226, 225});
        }
        if (code == 426 || code == 450) {
            ReportStatus(ftpAborted, "Transfer aborted");
        }
    } catch (const EIdProtocolReplyError&) {
        if (FAbortRequested) {
            FOwed = TOwedReplies::None;
            SettleOwedReplies();
        }
        throw;
    } catch (...) {
        // After an abort, a reply that did not come may still come; reading
        // on would take it for the next command's.
        if (FAbortRequested) {
            DropSocket();
        }
        throw;
    }
}

void TIdFTP::SettleOwedReplies() {
    const auto wait = LimitReplyWait(*this, SettleTimeout);
    try {
        if (IsConnected()) {
            // Without an abort a command whose preliminary reply never came
            // owes nothing that could be waited for in time.
            if (FOwed == TOwedReplies::Preliminary && FAbortRequested) {
                ReadPreliminaryReply({});
            }
            if (FOwed == TOwedReplies::Final) {
                ReadReply();
            }
            if (FAbortSent) {
                ReadReply();
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

void TIdFTP::Download(const std::string& AFromName, TIdStream& ADest, bool ARestart,
                      const std::function<void()>& AOnAccepted) {
    DownloadInto(AFromName, ADest, ARestart, AOnAccepted);
}

void TIdFTP::DownloadInto(const std::string& AFromName, TIdStream& ADest, bool ARestart,
                          const std::function<void()>& AOnAccepted) {
    const bool restart = ARestart && CanRestart();
    CheckedTransfer(AFromName, ADest, restart, [&](TIdStream& AStream) {
        ReceiveTransfer("RETR " + AFromName, AStream, restart, AOnAccepted);
        // A download is done only once its bytes are in the target, and a
        // target that cannot take them fails the download.
        AStream.Flush();
    });
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
    if (AToName.empty()) {
        SendTransfer("STOU ", ASource);
    } else if (AAppend) {
        // What the server held before is unknown here, so there is nothing to check against.
        SendTransfer("APPE " + AToName, ASource);
    } else {
        ListedSize = -1;
        CheckedTransfer(AToName, ASource, false,
                        [&](TIdStream& AStream) { SendTransfer("STOR " + AToName, AStream); });
    }
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
        // An aborted upload must not look complete to the server.
        if (auto* tls = dynamic_cast<TIdIOHandlerTls*>(FDataConnection->IOHandler())) {
            tls->Abandon();
        }
        FDataConnection->DropSocket();
    }
}
