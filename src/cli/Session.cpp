#include "Session.h"

#include "CliSession.h"

#include "Errors.h"
#include "IdAntiFreezeBase.h"
#include "IdException.h"
#include "IdFTP.h"
#include "IdFTPTree.h"
#include "IdGlobal.h"
#include "IdIOHandlerSocket.h"
#include "IdIntercept.h"
#include "IdSimpleServer.h"
#include "IdSocketHandle.h"
#include "IdSocks.h"
#include "LocalFile.h"
#include "Progress.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace {

// Steps of 64 KiB move a big file with few system calls, and each step's
// bytes are still in the processor's cache when they are written to the
// file: with 1 MiB steps the kernel took twice the time to copy a download
// into the page cache, and a TLS download to a file fell behind curl's.
constexpr int32_t kBufferSize = 1 << 16;
// The accept wait of active mode polls without a pause unless told otherwise.
constexpr int32_t kAcceptPollMs = 50;

constexpr int32_t kWouldBlock = 10035;
constexpr int32_t kTimedOut = 10060;

// Socket errors arrive as "Socket Error # N" and the system's text on a
// second line; the text alone is what a person needs.
std::string OneLine(const std::string& AText) {
    const std::string text = WithoutSocketErrorNumber(AText);
    std::string out;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            if (!out.empty() && out.back() != ' ') {
                out += ' ';
            }
        } else {
            out += c;
        }
    }
    while (!out.empty() && out.back() == ' ') {
        out.pop_back();
    }
    return out;
}

std::string ReplyLine(const EIdProtocolReplyError& AError) {
    std::string text = AError.what();
    text = text.substr(0, text.find_first_of("\r\n"));
    if (AError.ReplyCode == 0) {
        return text.empty() ? "an unreadable reply" : text;
    }
    return OneLine(std::to_string(AError.ReplyCode) + " " + text);
}

void SetSocketTimeouts(TIdIOHandlerSocket* AHandler, int32_t ALimitMs) {
    if (AHandler == nullptr || !AHandler->Handle || ALimitMs <= 0) {
        return;
    }
    timeval limit{};
    limit.tv_sec = ALimitMs / 1000;
    limit.tv_usec = (ALimitMs % 1000) * 1000;
    // Blocking calls the connection layer makes without a wait of its own
    // (a SOCKS exchange, a send into a full buffer) end at the limit too.
    (void)::setsockopt(AHandler->Handle->Socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    (void)::setsockopt(AHandler->Handle->Socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

// "(12345 bytes)" in a preliminary reply, as vsftpd and others announce a download.
int64_t AnnouncedSize(const TIdRFCReply& AReply) {
    for (const std::string& line : AReply.Text()) {
        const size_t close = line.rfind(" bytes)");
        const size_t open = line.rfind('(', close);
        if (close == std::string::npos || open == std::string::npos) {
            continue;
        }
        const std::string digits = line.substr(open + 1, close - open - 1);
        if (!digits.empty() && digits.size() < 19 &&
            digits.find_first_not_of("0123456789") == std::string::npos) {
            return std::stoll(digits);
        }
    }
    return -1;
}

// Days since 1970-01-01 of a calendar date.
int64_t DayNumber(int32_t AYear, int32_t AMonth, int32_t ADay) {
    const int64_t y = AMonth <= 2 ? AYear - 1 : AYear;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (AMonth + (AMonth > 2 ? -3 : 9)) + 2) / 5 + ADay - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

// As ls and Unix servers show it: the time of day for the last half year,
// the year otherwise ("Mar  3 14:05", "Mar  3  2019").
std::string ListingDate(const TIdDateTime& ADate, const TIdDateTime& ANow) {
    if (ADate.IsZero()) {
        return std::string(12, '-');
    }
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const int64_t age =
        DayNumber(ANow.Year, ANow.Month, ANow.Day) - DayNumber(ADate.Year, ADate.Month, ADate.Day);
    char text[32];
    if (age >= -1 && age < 183) {
        std::snprintf(text, sizeof text, "%s %2d %02d:%02d", months[ADate.Month - 1], ADate.Day,
                      ADate.Hour, ADate.Minute);
    } else {
        std::snprintf(text, sizeof text, "%s %2d  %4d", months[ADate.Month - 1], ADate.Day,
                      ADate.Year);
    }
    return text;
}

// Whether a failure that is no server reply may pass with a fresh session:
// a connection refused, cut or timed out; not a name that does not resolve.
bool TransientFailure(const std::exception& AError) {
    if (const auto* socket = dynamic_cast<const EIdSocketError*>(&AError)) {
        constexpr int32_t kNotFound = 11001;
        return socket->ErrorCode != kNotFound;
    }
    return true;
}

// Local trouble shows before anything goes over the network, and the local
// file stays open from one attempt to the next.
void PrepareLocal(const TCliOptions& AOptions, TTransferState& AState) {
    const std::string& name = AOptions.Url.Name;
    AState.RemoteName = name;
    if (AOptions.Command == TCliCommand::Get) {
        std::string path = AOptions.LocalPath;
        std::error_code ec;
        if (path.empty()) {
            path = CheckedLocalName(name);
        } else if (std::filesystem::is_directory(path, ec)) {
            path = (std::filesystem::path(path) / CheckedLocalName(name)).string();
        }
        AState.Target = std::make_unique<TDownloadTarget>(path, AOptions.Resume);
    } else if (AOptions.Command == TCliCommand::Put) {
        AState.Source = OpenUploadSource(AOptions.LocalPath);
        if (AState.RemoteName.empty()) {
            AState.RemoteName = std::filesystem::path(AOptions.LocalPath).filename().string();
        }
        if (AState.RemoteName.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
            throw EUsage("'" + AOptions.LocalPath + "': a name with CR, LF or NUL cannot be sent");
        }
    }
}

} // namespace

void TLimitWatch::PumpMessages() {
    FSession.CheckLimit();
}

TCliSession::TCliSession(const TCliOptions& AOptions, const std::string& APassword, std::FILE* AOut,
                         std::FILE* AErr, TTransferState& AState, bool AWorker)
    : FOptions(AOptions), FState(AState), FOut(AOut), FErr(AErr), FPassword(APassword),
      FProgress(AErr, !AWorker && !AOptions.Quiet && ::isatty(::fileno(AErr)) == 1),
      FWorker(AWorker) {
    const TFtpUrl& url = AOptions.Url;
    FUser = AOptions.User ? *AOptions.User : url.HasUser ? url.User : "anonymous";
    // The anti-freeze is the process's and acts on the main thread only; a
    // worker's waits are bounded by its socket timeouts.
    if (!AWorker) {
        FWatch = std::make_unique<TLimitWatch>(*this);
    }
    SetUpConnection();
}

TCliSession::~TCliSession() {
    // QUIT is a courtesy; the server's answer is never awaited.
    try {
        FFtp.EndSession();
    } catch (...) {
    }
    FWatch.reset();
}

void TCliSession::CheckLimit() {
    TIdTCPConnection* data = FFtp.DataConnection();
    if (auto* server = dynamic_cast<TIdSimpleServer*>(data); server && server->AcceptWait == 0) {
        server->AcceptWait = kAcceptPollMs;
    }
    if (data != nullptr) {
        // Bytes that trickle in count as progress before a whole step is complete.
        const int64_t seen = data->ReceivedData().Size() + data->WorkTally(wmRead).Done +
                             data->WorkTally(wmWrite).Done;
        if (seen != FDataSeen) {
            FDataSeen = seen;
            Touch();
        }
    }
    if (FOptions.TimeoutMs > 0 && Clock::now() - FLastActivity.load(std::memory_order_relaxed) >=
                                      std::chrono::milliseconds(FOptions.TimeoutMs)) {
        throw ETimedOut(TimeoutText());
    }
}

std::string TCliSession::TimeoutText() const {
    const int32_t ms = FOptions.TimeoutMs;
    char text[64];
    if (ms % 1000 == 0) {
        std::snprintf(text, sizeof text, "timed out after %d s", ms / 1000);
    } else {
        std::snprintf(text, sizeof text, "timed out after %.3g s", ms / 1000.0);
    }
    return text;
}

std::string TCliSession::Endpoint() const {
    const TFtpUrl& url = FOptions.Url;
    const std::string host = url.HostIsIPv6 ? "[" + url.Host + "]" : url.Host;
    std::string text = host + ":" + std::to_string(url.Port);
    const TSocksOption& socks = FOptions.Socks;
    if (socks.Version != 0) {
        const char* name = socks.Version == 4    ? "SOCKS4"
                           : socks.Version == 41 ? "SOCKS4A"
                                                 : "SOCKS5";
        text += std::string(" through ") + name + " proxy " + socks.Host + ":" +
                std::to_string(socks.Port);
    }
    return text;
}

void TCliSession::LogLine(const char* APrefix, std::string ALine) {
    while (!ALine.empty() && (ALine.back() == '\r' || ALine.back() == '\n')) {
        ALine.pop_back();
    }
    // The password never reaches a terminal or a log.
    if (ALine.size() >= 5 &&
        (ALine.compare(0, 5, "PASS ") == 0 || ALine.compare(0, 5, "pass ") == 0)) {
        ALine = ALine.substr(0, 5) + "****";
    }
    std::fprintf(FErr, "%s%s\n", APrefix, EscapeControl(ALine).c_str());
    std::fflush(FErr);
}

void TCliSession::SetUpConnection() {
    const TFtpUrl& url = FOptions.Url;
    FFtp.SetHost(url.Host);
    FFtp.SetPort(url.Port);
    FFtp.Username = FUser;
    FFtp.Password = FPassword;
    FFtp.Passive = !FOptions.Active;
    FFtp.UseEPSV = !FOptions.NoEpsv;
    FFtp.AddressFamily = FOptions.Family == 4   ? TIdAddressFamily::IPv4
                         : FOptions.Family == 6 ? TIdAddressFamily::IPv6
                                                : TIdAddressFamily::None;
    FFtp.UseMLSD = !FOptions.NoMlsd;
    FFtp.SetTransferType(FOptions.Ascii ? ftASCII : ftBinary);
    FFtp.RecvBufferSize = kBufferSize;
    FFtp.SendBufferSize = kBufferSize;
    FFtp.ReadTimeout = FOptions.TimeoutMs;
    FFtp.TransferTimeout = FOptions.TimeoutMs > 0 ? FOptions.TimeoutMs : -2;
    FFtp.CheckTransfers = true;

    auto handler = std::make_unique<TIdIOHandlerSocket>();
    const int32_t limit = FOptions.TimeoutMs;
    handler->OnStatus = [this, limit](TIdComponent* ASender, TIdStatus AStatus,
                                      const std::string& AText) {
        Touch();
        if (AStatus == hsConnecting) {
            SetSocketTimeouts(dynamic_cast<TIdIOHandlerSocket*>(ASender), limit);
        }
        if (FOptions.Verbose && (AStatus == hsResolving || AStatus == hsConnecting)) {
            LogLine("* ", AText);
        }
    };
    const TSocksOption& socks = FOptions.Socks;
    if (socks.Version != 0) {
        TIdSocksInfo* info = handler->SocksInfo();
        info->Version = socks.Version == 4 ? svSocks4 : socks.Version == 41 ? svSocks4A : svSocks5;
        info->Host = socks.Host;
        info->Port = socks.Port;
        info->Authentication = socks.HasLogin ? saUsernamePassword : saNoAuthentication;
        info->Username = socks.User;
        info->Password = socks.Password;
    }
    FFtp.SetOwnedIOHandler(std::move(handler));

    TIdFtpTlsSettings& tls = FFtp.TlsSettings;
    // In the order of TCliTls.
    constexpr TIdFtpTlsMode kModes[] = {TIdFtpTlsMode::tmNone, TIdFtpTlsMode::tmExplicitIfAvailable,
                                        TIdFtpTlsMode::tmExplicitRequired,
                                        TIdFtpTlsMode::tmImplicit};
    tls.Mode = kModes[static_cast<size_t>(FOptions.Tls)];
    tls.CAFile = FOptions.CAFile;
    tls.PinnedSha256 = FOptions.Pin;
    tls.Verify = FOptions.Insecure       ? TIdTlsVerify::tvNone
                 : !FOptions.Pin.empty() ? TIdTlsVerify::tvPin
                                         : TIdTlsVerify::tvChain;

    // Sees every byte of the control connection: the -v exchange, and the
    // activity the time limit counts from.
    FLog.OnSend = [this](TIdConnectionIntercept*, TIdStream& AStream) {
        Touch();
        if (FOptions.Verbose) {
            std::string bytes(static_cast<size_t>(AStream.Size()), '\0');
            AStream.ReadBuffer(bytes.data(), AStream.Size());
            size_t start = 0;
            while (start < bytes.size()) {
                const size_t end = bytes.find('\n', start);
                LogLine("> ", bytes.substr(start, end - start));
                start = end == std::string::npos ? bytes.size() : end + 1;
            }
        }
    };
    FLog.OnReceive = [this](TIdConnectionIntercept*, TIdStream& AStream) {
        Touch();
        if (FOptions.Verbose) {
            std::string bytes(static_cast<size_t>(AStream.Size()), '\0');
            AStream.ReadBuffer(bytes.data(), AStream.Size());
            FReceivedLine += bytes;
            size_t end;
            while ((end = FReceivedLine.find('\n')) != std::string::npos) {
                LogLine("< ", FReceivedLine.substr(0, end));
                FReceivedLine.erase(0, end + 1);
            }
        }
    };
    FFtp.SetIntercept(&FLog);

    FFtp.OnWorkBegin = [this](TIdComponent* ASender, TWorkMode AMode, int64_t) {
        OnWorkBegin(ASender, AMode);
    };
    FFtp.OnWork = [this](TIdComponent* ASender, TWorkMode, int64_t ACount) {
        Touch();
        if (ASender != &FFtp && FShowProgress) {
            FProgress.Update(ACount);
        }
    };
    FFtp.OnWorkEnd = [this](TIdComponent* ASender, TWorkMode) {
        if (ASender != &FFtp && FShowProgress) {
            // The work count misses the bytes that arrive together with the
            // peer's close; the stream knows how far it got.
            if (FProgressStream != nullptr) {
                FProgress.Update(FProgressStream->Position() - FProgressOffset);
            }
            FProgress.End();
        }
    };
}

void TCliSession::OnWorkBegin(TIdComponent* ASender, TWorkMode AMode) {
    Touch();
    if (ASender == &FFtp) {
        return;
    }
    // The data connection gets the same limit as the control connection
    // once it is open.
    if (auto* data = dynamic_cast<TIdTCPConnection*>(ASender)) {
        SetSocketTimeouts(data->SocketHandler(), FOptions.TimeoutMs);
    }
    if (AMode == wmRead && FTarget != nullptr) {
        FTarget->Accepted();
    }
    if (AMode == wmWrite && FProgressStream != nullptr) {
        // A resumed upload starts where the server's copy ends.
        FState.UploadStarted = true;
        FProgressOffset = FProgressStream->Position();
    }
    if (FShowProgress) {
        int64_t total = AMode == wmWrite ? FUploadSize : AnnouncedSize(FFtp.LastReply());
        if (AMode == wmRead && total < 0 && FRemoteSize > 0) {
            total = FRemoteSize;
        }
        FProgress.Begin(total, FProgressOffset);
    }
}

std::string TCliSession::Reason(const std::exception& AError) const {
    if (dynamic_cast<const ETimedOut*>(&AError) || dynamic_cast<const EIdReadTimeout*>(&AError) ||
        dynamic_cast<const EIdConnectTimeout*>(&AError)) {
        return TimeoutText();
    }
    if (const auto* socket = dynamic_cast<const EIdSocketError*>(&AError)) {
        if (socket->ErrorCode == kWouldBlock || socket->ErrorCode == kTimedOut) {
            return TimeoutText();
        }
    }
    if (dynamic_cast<const EIdConnClosedGracefully*>(&AError)) {
        return "the server closed the connection";
    }
    return OneLine(AError.what());
}

void TCliSession::Step(TPhase APhase, const std::string& AWhat,
                       const std::function<void()>& AStep) {
    Touch();
    try {
        AStep();
    } catch (const ECliFailure&) {
        throw;
    } catch (const ELocalFile& e) {
        throw ECliFailure(ecLocalFile, e.what());
    } catch (const EIdTreeLocalError& e) {
        throw ECliFailure(ecLocalFile, AWhat + ": " + e.what());
    } catch (const EIdFTPCheckFailed& e) {
        throw ECliFailure(ecCheck, AWhat + ": " + OneLine(e.what()));
    } catch (const EIdTlsTruncated& e) {
        throw ECliFailure(APhase == TPhase::Connect ? ecConnect : ecLost, AWhat + ": " + Reason(e),
                          true);
    } catch (const EIdTlsHandshakeError& e) {
        // Verification failures say why and name the certificate's fingerprint.
        throw ECliFailure(ecTls, AWhat + ": " + Reason(e));
    } catch (const EIdTlsError& e) {
        const bool lost = APhase == TPhase::Operation;
        throw ECliFailure(lost ? ecLost : ecTls, AWhat + ": " + Reason(e), lost);
    } catch (const EIdProtocolReplyError& e) {
        const TExitCode code = APhase == TPhase::Connect  ? ecConnect
                               : APhase == TPhase::SignIn ? ecSignIn
                                                          : ecRefused;
        // The codes by which a server says "not now" rather than "no".
        constexpr int kNotNow[] = {421, 425, 426, 450, 451};
        const bool transient =
            std::find(std::begin(kNotNow), std::end(kNotNow), e.ReplyCode) != std::end(kNotNow);
        throw ECliFailure(code, AWhat + ": " + ReplyLine(e), transient);
    } catch (const std::exception& e) {
        throw ECliFailure(APhase == TPhase::Connect ? ecConnect : ecLost, AWhat + ": " + Reason(e),
                          TransientFailure(e));
    }
}

void TCliSession::ReportCheck(const std::string& AWhat) {
    const TIdFTPCheck& check = FFtp.LastCheck();
    if (FOptions.Verbose) {
        std::string text;
        if (check.Kind == TIdFTPCheckKind::None) {
            text = FOptions.Ascii ? "not checked: ASCII transfers change the bytes"
                                  : "not checked: the server tells neither size nor digest";
        } else {
            text = "checked";
            if (check.Size >= 0) {
                text += " size " + std::to_string(check.Size) + " bytes (" + check.SizeMethod + ")";
            }
            if (check.Kind == TIdFTPCheckKind::Digest) {
                text += std::string(check.Size >= 0 ? " and" : "") + " digest " + check.Digest +
                        " (" + check.DigestMethod + ")";
            }
        }
        LogLine("* ", text);
    }
    if (FOptions.Verify && check.Kind != TIdFTPCheckKind::Digest) {
        throw ECliFailure(
            ecCheck,
            AWhat + ": not verified: the server offers no digest of the file" +
                std::string(check.Kind == TIdFTPCheckKind::Size ? " (its size matched)" : ""));
    }
}

void TCliSession::List() {
    Step(TPhase::Operation, "list " + FOptions.Url.RawPath, [&] { FFtp.ListDirectory(nullptr); });
    TIdFTPListItems& items = FFtp.ListItems();
    // Long lines come from the parsed entries, not the server's own lines,
    // so they read the same whether LIST or MLSD listed.
    size_t sizeWidth = 1;
    for (int32_t i = 0; FOptions.LongList && i < items.Count(); ++i) {
        sizeWidth = std::max(sizeWidth, std::to_string(items.ItemAt(i).FileSize).size());
    }
    // In name order: servers send MLSD entries in directory order but LIST
    // sorted, and the output must not depend on which one listed.
    std::vector<const TIdFTPListItem*> sorted;
    for (int32_t i = 0; i < items.Count(); ++i) {
        sorted.push_back(&items.ItemAt(i));
    }
    std::stable_sort(
        sorted.begin(), sorted.end(),
        [](const TIdFTPListItem* a, const TIdFTPListItem* b) { return a->Name < b->Name; });
    const TIdDateTime now = LocalNow();
    for (const TIdFTPListItem* entry : sorted) {
        const TIdFTPListItem& item = *entry;
        if (item.Name == "." || item.Name == "..") {
            continue;
        }
        const char kind = item.Kind == likDirectory      ? 'd'
                          : item.Kind == likSymbolicLink ? 'l'
                                                         : 'f';
        if (FOptions.LongList) {
            std::fprintf(FOut, "%c %*lld %s ", kind, static_cast<int>(sizeWidth),
                         static_cast<long long>(item.FileSize),
                         ListingDate(item.Modified, now).c_str());
        } else {
            std::fprintf(FOut, "%c\t%lld\t", kind, static_cast<long long>(item.FileSize));
        }
        // A name with a tab or line break would break the line's columns.
        std::fputs(EscapeControl(item.Name).c_str(), FOut);
        if (FOptions.LongList && item.Kind == likSymbolicLink && !item.LinkTarget.empty()) {
            std::fputs(" -> ", FOut);
            std::fputs(EscapeControl(item.LinkTarget).c_str(), FOut);
        }
        std::fputc('\n', FOut);
    }
}

std::string CheckedLocalName(const std::string& AName) {
    if (!IsSafeEntryName(AName)) {
        throw EUsage("refusing '" + AName + "' as a local file name; give DEST");
    }
    return AName;
}

void TCliSession::Connect() {
    const std::string where = "connect to " + Endpoint();
    const int32_t limit = FOptions.TimeoutMs > 0 ? FOptions.TimeoutMs : -2;
    if (FOptions.Insecure && !FWorker) {
        std::fprintf(FErr, "qvftp: warning: --insecure: the server's certificate is not "
                           "verified; anyone between here and the server can read the session\n");
        std::fflush(FErr);
    }
    Step(TPhase::Connect, where, [&] { FFtp.OpenSession(false, limit); });
    if (FOptions.Verbose && FFtp.Encrypted()) {
        LogLine("* ", std::string(FFtp.TlsSessionResumed() ? "TLS session resumed"
                                                           : "TLS session established") +
                          " (" + FFtp.TlsProtocol() + ", " + FFtp.TlsCipher() + ")");
    }
    Step(TPhase::SignIn, "sign in as " + FUser, [&] { FFtp.SignIn(); });
    Step(TPhase::Operation, "set the transfer type", [&] { FFtp.AnnounceTransferType(); });
    // Taken here, on this session's thread, for the sessions opened beside it.
    FTlsSession = FFtp.TlsSession();
    Step(TPhase::Operation, "ask for the server's features", [&] { FFtp.NegotiateFeatures(); });
}

void TCliSession::ChangeToUrlDirs() {
    for (const std::string& dir : FOptions.Url.Dirs) {
        Step(TPhase::Operation, "change directory to " + dir, [&] { FFtp.ChangeDirectory(dir); });
    }
}

void TCliSession::Get() {
    const std::string& name = FOptions.Url.Name;
    TDownloadTarget& target = *FState.Target;
    if (FState.Attempt > 0) {
        target.PrepareRetry();
    }
    int64_t offset = target.Offset();
    if (offset > 0) {
        bool can = false;
        Step(TPhase::Operation, "resume " + name, [&] { can = FFtp.CanRestart(); });
        // Without REST the whole file would land after the part already there.
        if (!can && FOptions.Resume) {
            throw ECliFailure(ecRefused, "resume " + name + ": the server does not support REST");
        }
        if (!can) {
            // A retry that cannot continue starts over.
            target.Restart();
            offset = 0;
        }
    }
    FProgressOffset = offset;
    FProgressStream = &target.Stream();
    FTarget = &target;
    // The total for the progress line, when the preliminary reply will
    // not name it; asked only when there is a terminal to show it on.
    if (FProgress.Enabled()) {
        Step(TPhase::Operation, "download " + name, [&] {
            if (FFtp.RawCommand("SIZE " + name) == 213 && !FFtp.LastReply().Text().empty()) {
                FRemoteSize = std::strtoll(FFtp.LastReply().Text().front().c_str(), nullptr, 10);
            }
        });
    }
    FShowProgress = true;
    Step(TPhase::Operation, "download " + name,
         [&] { FFtp.Download(name, target.Stream(), offset > 0); });
    FShowProgress = false;
    ReportCheck("download " + name);
    target.Commit();
}

void TCliSession::Put() {
    TLocalStream& source = *FState.Source;
    const std::string what = "upload " + FOptions.LocalPath;
    FUploadSize = source.Size();
    FProgressStream = &source;
    FShowProgress = true;
    Step(TPhase::Operation, what, [&] {
        if (FOptions.Resume || FState.UploadStarted) {
            FFtp.ResumeUpload(source, FState.RemoteName);
        } else {
            source.SetPosition(0);
            FFtp.Upload(source, FState.RemoteName, false);
        }
    });
    FShowProgress = false;
    ReportCheck(what);
}

void TCliSession::Run() {
    if (FOptions.Recursive) {
        RunTree();
        return;
    }
    const TFtpUrl& url = FOptions.Url;
    const std::string& name = url.Name;
    Connect();
    std::vector<std::string> dirs = url.Dirs;
    if (FOptions.Command == TCliCommand::Ls && !name.empty()) {
        dirs.push_back(name);
    }
    for (const std::string& dir : dirs) {
        Step(TPhase::Operation, "change directory to " + dir, [&] { FFtp.ChangeDirectory(dir); });
    }

    switch (FOptions.Command) {
    case TCliCommand::Ls:
        List();
        break;
    case TCliCommand::Get:
        Get();
        break;
    case TCliCommand::Put:
        Put();
        break;
    case TCliCommand::Mkdir:
        Step(TPhase::Operation, "make directory " + name, [&] { FFtp.MakeDirectory(name); });
        break;
    case TCliCommand::Rmdir:
        Step(TPhase::Operation, "remove directory " + name, [&] { FFtp.DeleteDirectory(name); });
        break;
    case TCliCommand::Rm:
        Step(TPhase::Operation, "delete " + name, [&] { FFtp.DeleteRemoteFile(name); });
        break;
    case TCliCommand::Mv:
        Step(TPhase::Operation, "rename " + name + " to " + FOptions.NewName,
             [&] { FFtp.Rename(name, FOptions.NewName); });
        break;
    default:
        break;
    }
    if (std::fflush(FOut) != 0 || std::ferror(FOut)) {
        throw ECliFailure(ecLocalFile, "write standard output: " + SystemErrorText(errno));
    }
}

void RunSession(const TCliOptions& AOptions, const std::string& APassword, std::FILE* AOut,
                std::FILE* AErr) {
    TTransferState state;
    // A tree reports its failed entries one by one instead; it is never
    // started over as a whole.
    if (!AOptions.Recursive) {
        PrepareLocal(AOptions, state);
    }
    // Commands that change the server's directories are not repeated: the
    // first attempt may have done its work before the connection broke.
    const bool transfer = !AOptions.Recursive && (AOptions.Command == TCliCommand::Get ||
                                                  AOptions.Command == TCliCommand::Put ||
                                                  AOptions.Command == TCliCommand::Ls);
    // Milliseconds per second of pause; tests shorten it.
    int32_t unit = 1000;
    if (const char* text = std::getenv("QVFTP_RETRY_PAUSE_MS"); text != nullptr && *text != 0) {
        unit = std::atoi(text);
    }
    for (;; ++state.Attempt) {
        try {
            TCliSession session(AOptions, APassword, AOut, AErr, state);
            session.Run();
            return;
        } catch (const ECliFailure& e) {
            if (!transfer || !e.Transient || state.Attempt >= AOptions.Retries ||
                (state.Target && !state.Target->CanRetry())) {
                throw;
            }
            const int32_t seconds = 1 << std::min(state.Attempt, 10);
            std::fprintf(AErr, "qvftp: %s; trying again in %d s (%d of %d)\n", e.what(), seconds,
                         state.Attempt + 1, AOptions.Retries);
            std::fflush(AErr);
            std::this_thread::sleep_for(std::chrono::milliseconds(int64_t{seconds} * unit));
        }
    }
}
