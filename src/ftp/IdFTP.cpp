#include "IdFTP.h"

#include "IdException.h"
#include "IdGlobal.h"
#include "IdResourceStrings.h"

#include <algorithm>
#include <iterator>
#include <string_view>
#include <utility>

namespace {

constexpr int16_t kUserLoggedIn = 230;
constexpr int16_t kNeedPassword = 331;
constexpr int16_t kSecurityExchangeDone = 234;
// Some servers of the AUTH SSL era answer it with "334" instead.
constexpr int16_t kSecurityDataAccepted = 334;

// The reply as one line for a message: its code and its text lines.
std::string ReplyLine(const TIdRFCReply& AReply) {
    std::string line = AReply.TextCode();
    for (const std::string& text : AReply.Text()) {
        line += ' ';
        line += text;
    }
    return line;
}

// The lines of a received text; CR LF, LF and CR each end a line, and a final
// line without an ending still counts.
std::vector<std::string> SplitTextLines(const std::string& AText) {
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    std::string::size_type i = 0;
    while (i < AText.size()) {
        const char c = AText[i];
        if (c == '\r' || c == '\n') {
            lines.emplace_back(AText, start, i - start);
            if (c == '\r' && i + 1 < AText.size() && AText[i + 1] == '\n') {
                ++i;
            }
            start = i + 1;
        }
        ++i;
    }
    if (start < AText.size()) {
        lines.emplace_back(AText, start, AText.size() - start);
    }
    return lines;
}

} // namespace

void TIdFtpProxySettings::CopyFrom(const TIdFtpProxySettings& ASource) {
    Host = ASource.Host;
    UserName = ASource.UserName;
    Password = ASource.Password;
    ProxyType = ASource.ProxyType;
    Port = ASource.Port;
}

TIdFTP::TIdFTP() : FProxySettings(std::make_unique<TIdFtpProxySettings>()) {
    SetPort(21);
}

TIdFTP::~TIdFTP() = default;

// ---------------------------------------------------------------------------
// Session

void TIdFTP::OpenSession(bool AWithSignIn, int32_t ATimeout) {
    FFeatures.clear();
    FHashSelected = TIdHashKind::None;
    FMLSDRefused = false;
    FDataProtected = false;
    try {
        const std::string savedHost = Host();
        // Through an FTP proxy the certificate still has to be the server's
        // the user asked for.
        FTlsHost = savedHost;
        const int32_t savedPort = Port();
        if (FProxySettings->ProxyType != fpcmNone && !FProxySettings->Host.empty()) {
            SetHost(FProxySettings->Host);
            SetPort(FProxySettings->Port);
        }
        FConnectedHost = Host();
        FEpsvRefused = false;
        FPortRefused = false;
        try {
            OpenConnection(ATimeout);
        } catch (...) {
            SetHost(savedHost);
            SetPort(savedPort);
            throw;
        }
        SetHost(savedHost);
        SetPort(savedPort);

        if (TlsSettings.Mode == TIdFtpTlsMode::tmImplicit) {
            WrapControlInTls();
        }
        GetReply(TIdReplyCodes{220});
        GreetingReply().CopyFrom(LastReply());
        if (TlsSettings.Mode == TIdFtpTlsMode::tmExplicitIfAvailable ||
            TlsSettings.Mode == TIdFtpTlsMode::tmExplicitRequired) {
            NegotiateTls();
        }
        if (AWithSignIn) {
            SignIn();
            if (OnAfterClientLogin) {
                OnAfterClientLogin(this);
            }
            AnnounceTransferType();
            if (SendCommand("SYST", TIdReplyCodes{200, 215, 500}) == 500) {
                FSystemDescription = "Unknown";
            } else {
                const auto& text = LastReply().Text();
                FSystemDescription = text.empty() ? std::string() : text.front();
            }
            NegotiateFeatures();
            ReportStatus(ftpReady, "Connection established");
        }
    } catch (...) {
        try {
            CloseConnection();
        } catch (...) {
            // The failure that ended the session is the one the caller must see.
        }
        throw;
    }
}

void TIdFTP::PlainLogin() {
    if (SendCommand("USER " + Username, TIdReplyCodes{kUserLoggedIn, kNeedPassword}) ==
        kNeedPassword) {
        SendCommand("PASS " + Password, TIdReplyCodes{kUserLoggedIn});
    }
}

void TIdFTP::ProxyLogin() {
    if (FProxySettings->UserName.empty()) {
        return;
    }
    if (SendCommand("USER " + FProxySettings->UserName,
                    TIdReplyCodes{kUserLoggedIn, kNeedPassword}) == kNeedPassword) {
        SendCommand("PASS " + FProxySettings->Password, TIdReplyCodes{kUserLoggedIn});
    }
}

void TIdFTP::SignIn() {
    switch (FProxySettings->ProxyType) {
    case fpcmNone:
        PlainLogin();
        break;
    case fpcmUserSite:
        ProxyLogin();
        if (SendCommand("USER " + Username + "@" + Host(),
                        TIdReplyCodes{kUserLoggedIn, kNeedPassword}) == kNeedPassword) {
            SendCommand("PASS " + Password, TIdReplyCodes{kUserLoggedIn});
        }
        break;
    case fpcmSite:
        ProxyLogin();
        SendCommand("SITE " + Host(), -1);
        PlainLogin();
        break;
    case fpcmOpen:
        ProxyLogin();
        SendCommand("OPEN " + Host(), -1);
        PlainLogin();
        break;
    case fpcmUserPass:
        if (SendCommand("USER " + Username + "@" + FProxySettings->UserName + "@" + Host(),
                        TIdReplyCodes{kUserLoggedIn, kNeedPassword}) == kNeedPassword) {
            const std::string pass = FProxySettings->Password.empty()
                                         ? Password
                                         : Password + "@" + FProxySettings->Password;
            SendCommand("PASS " + pass, TIdReplyCodes{kUserLoggedIn});
        }
        break;
    case fpcmTransparent:
        ProxyLogin();
        PlainLogin();
        break;
    case fpcmHttpProxyWithFtp:
        throw EIdException(IdResourceStrings::RSFTPCommandNotSupported);
    }
    FLoginReply.CopyFrom(LastReply());
    if (Encrypted()) {
        // Before these the server would still expect the data in clear.
        SendCommand("PBSZ 0", TIdReplyCodes{200});
        SendCommand("PROT P", TIdReplyCodes{200});
        FDataProtected = true;
    }
}

void TIdFTP::NegotiateTls() {
    int16_t code = SendCommand("AUTH TLS", -1);
    // 500/502: a server that does not know the command by this name; the
    // older one may still work.
    if (code == 500 || code == 502) {
        code = SendCommand("AUTH SSL", -1);
    }
    if (code == kSecurityExchangeDone || code == kSecurityDataAccepted) {
        // From here on a failure ends the session; it is never taken for a
        // refusal and continued in clear.
        WrapControlInTls();
        return;
    }
    // Only a refusal may lead on in clear. Anything else (a stray banner line,
    // a reply that cannot answer AUTH) means client and server are out of
    // step, and going on would send the password unencrypted. vsftpd without
    // TLS answers every command before sign-in, AUTH too, with 530.
    constexpr int16_t kRefusals[] = {431, 500, 501, 502, 504, 530, 534};
    if (std::find(std::begin(kRefusals), std::end(kRefusals), code) == std::end(kRefusals)) {
        RaiseReplyError();
    }
    if (TlsSettings.Mode == TIdFtpTlsMode::tmExplicitRequired) {
        throw EIdTlsError(
            FormatMessage(IdResourceStrings::RSFTPTlsRefused, ReplyLine(LastReply()).c_str()));
    }
}

std::unique_ptr<TIdIOHandlerTls> TIdFTP::NewTlsHandler() const {
    auto tls = std::make_unique<TIdIOHandlerTls>();
    tls->HostName = FTlsHost;
    tls->Verify = TlsSettings.Verify;
    tls->CAFile = TlsSettings.CAFile;
    tls->PinnedSha256 = TlsSettings.PinnedSha256;
    // A server that stalls in the handshake is a server that stalls a reply.
    if (ReadTimeout > 0) {
        tls->HandshakeTimeout = ReadTimeout;
    }
    return tls;
}

void TIdFTP::WrapControlInTls() {
    std::unique_ptr<TIdIOHandlerTls> tls = NewTlsHandler();
    tls->StartFromSession(FTlsSeed);
    FTlsSeed.reset();
    WrapIOHandler(std::move(tls));
}

std::shared_ptr<TIdTlsSession> TIdFTP::TlsSession() const {
    const TIdIOHandlerTls* tls = ControlTls();
    return tls != nullptr && tls->Encrypted() ? tls->Session() : nullptr;
}

bool TIdFTP::TlsSessionResumed() const {
    const TIdIOHandlerTls* tls = ControlTls();
    return tls != nullptr && tls->SessionReused();
}

std::string TIdFTP::TlsProtocol() const {
    const TIdIOHandlerTls* tls = ControlTls();
    return tls != nullptr ? tls->Protocol() : std::string();
}

std::string TIdFTP::TlsCipher() const {
    const TIdIOHandlerTls* tls = ControlTls();
    return tls != nullptr ? tls->Cipher() : std::string();
}

TIdIOHandlerTls* TIdFTP::ControlTls() const {
    return dynamic_cast<TIdIOHandlerTls*>(IOHandler());
}

void TIdFTP::ApplyTransferType(TIdFTPTransferType AValue) {
    if (AValue == FTransferType || FDataConnection != nullptr) {
        return;
    }
    FTransferType = AValue;
    if (IsConnected()) {
        AnnounceTransferType();
    }
}

void TIdFTP::AnnounceTransferType() {
    SendCommand(FTransferType == ftASCII ? "TYPE A" : "TYPE I", TIdReplyCodes{200});
}

void TIdFTP::NegotiateFeatures() {
    FFeatures.clear();
    // Any answer but 211 means the server has nothing to tell.
    if (SendCommand("FEAT", -1) == 211) {
        const std::vector<std::string>& lines = LastReplyLines();
        // The first and last lines carry the code; the features lie between.
        for (size_t i = 1; i + 1 < lines.size(); ++i) {
            std::string_view line = lines[i];
            // A few servers repeat the code on every line ("211-MDTM").
            if (line.starts_with("211-")) {
                line.remove_prefix(4);
            }
            std::string feature = TrimControl(line);
            if (!feature.empty()) {
                FFeatures.push_back(std::move(feature));
            }
        }
    }
    if (HasFeature("UTF8")) {
        // Servers that list UTF8 may still refuse the option; names are bytes
        // either way.
        SendCommand("OPTS UTF8 ON", -1);
    }
}

bool TIdFTP::HasFeature(const std::string& AName) const {
    for (const std::string& feature : FFeatures) {
        const std::string_view word = std::string_view(feature).substr(0, feature.find(' '));
        if (SameTextAscii(word, AName)) {
            return true;
        }
    }
    return false;
}

void TIdFTP::EndSession() {
    TIdScopeExit close([this] { CloseConnection(); });
    if (IsConnected()) {
        // The answer to QUIT is never read: the connection is closed right away.
        WriteLine("QUIT");
    }
    close.Commit();
}

void TIdFTP::Interrupt() {
    try {
        if (IsConnected()) {
            WriteLine("QUIT");
        }
    } catch (...) {
    }
    // The waiting call may be on the data connection rather than the control one.
    CloseDataChannel();
    DropSocket();
}

// ---------------------------------------------------------------------------
// Commands without a data connection

void TIdFTP::ChangeDirectory(const std::string& ADirName) {
    SendCommand("CWD " + ADirName, TIdReplyCodes{200, 250});
}

void TIdFTP::MakeDirectory(const std::string& ADirName) {
    SendCommand("MKD " + ADirName, TIdReplyCodes{257});
}

void TIdFTP::DeleteDirectory(const std::string& ADirName) {
    SendCommand("RMD " + ADirName, TIdReplyCodes{250});
}

void TIdFTP::DeleteRemoteFile(const std::string& AFileName) {
    SendCommand("DELE " + AFileName, TIdReplyCodes{250});
}

void TIdFTP::Rename(const std::string& AFromName, const std::string& AToName) {
    SendCommand("RNFR " + AFromName, TIdReplyCodes{350});
    SendCommand("RNTO " + AToName, TIdReplyCodes{200, 250});
}

std::string TIdFTP::QueryCurrentDir() {
    SendCommand("PWD", TIdReplyCodes{257});
    const auto& text = LastReply().Text();
    if (text.empty()) {
        return std::string();
    }
    const std::string& line = text.front();
    const std::string::size_type open = line.find('"');
    if (open == std::string::npos) {
        return std::string();
    }
    // Inside the quotes a doubled quote stands for one quote in the name; the
    // path ends at the first quote that is not doubled.
    std::string path;
    for (std::string::size_type i = open + 1; i < line.size(); ++i) {
        if (line[i] != '"') {
            path += line[i];
        } else if (i + 1 < line.size() && line[i + 1] == '"') {
            path += '"';
            ++i;
        } else {
            return path;
        }
    }
    return std::string();
}

int16_t TIdFTP::RawCommand(const std::string& ACommand) {
    return SendCommand(ACommand, -1);
}

// ---------------------------------------------------------------------------
// Listings

void TIdFTP::ListDirectory(std::vector<std::string>* ADest, const std::string& AMask,
                           bool ALongForm) {
    TIdMemoryStream stream;
    bool mlsd = ALongForm && UseMLSD && !FMLSDRefused && HasFeature("MLST");
    if (mlsd) {
        bool accepted = false;
        try {
            ReceiveTransfer(TrimControl("MLSD " + AMask), stream, false,
                            [&accepted] { accepted = true; });
        } catch (const EIdProtocolReplyError& e) {
            // Servers that list MLST without serving MLSD refuse it as an
            // unknown or unimplemented command; LIST then serves for the rest
            // of the session. Any other failure (550 for a missing directory)
            // is the listing's own and says nothing about MLSD.
            const bool refused = e.ReplyCode == 500 || e.ReplyCode == 501 || e.ReplyCode == 502 ||
                                 e.ReplyCode == 504;
            if (accepted || !refused || !IsConnected()) {
                throw;
            }
            FMLSDRefused = true;
            mlsd = false;
        }
    }
    if (!mlsd) {
        const std::string command = TrimControl((ALongForm ? "LIST " : "NLST ") + AMask);
        ReceiveTransfer(command, stream, false);
    }
    FListedByMLSD = mlsd;
    FListItems.reset();
    std::vector<std::string> lines = SplitTextLines(stream.DataString());
    if (ADest != nullptr && ADest != &ListLines) {
        *ADest = lines;
    }
    ListLines = std::move(lines);
}

void TIdFTP::PrepareListItems() {
    std::unique_ptr<TIdFTPListItems> holder;
    if (OnCreateFTPList) {
        OnCreateFTPList(this, holder);
    }
    if (!holder) {
        holder = std::make_unique<TIdFTPListItems>();
    }
    FListItems = std::move(holder);
}

TIdFTPListItems& TIdFTP::ListItems() {
    if (FListItems) {
        return *FListItems;
    }
    PrepareListItems();
    if (!ListLines.empty()) {
        const std::string& first = ListLines.front();
        TIdFTPListFormat format =
            FListedByMLSD
                ? flfMlsd
                : FListItems->DetectFormat(TIdFTPListItems::FirstEntryLine(ListLines), true);
        if (OnCheckListFormat) {
            OnCheckListFormat(this, first, format);
        }
        FListItems->SetListingFormat(format);
        FListItems->LoadLines(ListLines);
    }
    return *FListItems;
}

TIdOnParseCustomListFormat TIdFTP::OnParseCustomListFormat() {
    return ListItems().OnParseCustomListFormat;
}

void TIdFTP::SetOnParseCustomListFormat(TIdOnParseCustomListFormat AValue) {
    ListItems().OnParseCustomListFormat = std::move(AValue);
}

// ---------------------------------------------------------------------------
// TLS

bool TIdFTP::Encrypted() const {
    TIdIOHandlerTls* tls = ControlTls();
    return tls != nullptr && tls->Encrypted() && tls->IsOpen();
}

TIdCertificateInfo TIdFTP::PeerCertificate() const {
    const TIdIOHandlerTls* tls = ControlTls();
    return tls != nullptr ? tls->PeerCertificate() : TIdCertificateInfo();
}
