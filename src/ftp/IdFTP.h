#pragma once

#include "IdFTPList.h"
#include "IdHashStream.h"
#include "IdIOHandlerTls.h"
#include "IdRFCReply.h"
#include "IdStream.h"
#include "IdTCPClient.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TIdFTP;
class TIdSocketHandle;

enum TIdFTPTransferType { ftASCII = 0, ftBinary = 1 };

enum TIdFtpProxyType {
    fpcmNone = 0,
    fpcmUserSite = 1,
    fpcmSite = 2,
    fpcmOpen = 3,
    fpcmUserPass = 4,
    fpcmTransparent = 5,
    fpcmHttpProxyWithFtp = 6
};

// How the client reaches the server through an FTP proxy and signs in there.
class TIdFtpProxySettings {
public:
    std::string Host;
    std::string UserName;
    std::string Password;
    TIdFtpProxyType ProxyType = fpcmNone;
    int32_t Port = 0;

    void CopyFrom(const TIdFtpProxySettings& ASource);
};

enum class TIdFtpTlsMode {
    tmNone,                // plain FTP
    tmExplicitIfAvailable, // AUTH TLS; plain only when the server refuses AUTH
    tmExplicitRequired,    // AUTH TLS; a refusal ends the session
    tmImplicit             // TLS from the first byte (port 990 by convention)
};

// Whether and how the session runs over TLS, and how the server is verified.
class TIdFtpTlsSettings {
public:
    TIdFtpTlsMode Mode = TIdFtpTlsMode::tmNone;
    TIdTlsVerify Verify = TIdTlsVerify::tvChain;
    // PEM file of trusted CAs; empty uses the system store.
    std::string CAFile;
    // Hex SHA-256 of the server's certificate, with or without colons (tvPin).
    std::string PinnedSha256;
};

// How the last transfer was checked: not at all, by the size on the other
// side, or by the size and a digest the server computed.
enum class TIdFTPCheckKind { None, Size, Digest };

struct TIdFTPCheck {
    TIdFTPCheckKind Kind = TIdFTPCheckKind::None;
    // The command the size came from ("SIZE" or "LIST"), and the digest's
    // ("HASH SHA-256", "XSHA256", ...); empty when not checked that way.
    std::string SizeMethod;
    std::string DigestMethod;
    int64_t Size = -1;
    std::string Digest;
};

using TIdCheckListFormat = std::function<void(TIdComponent* ASender, const std::string& ALine,
                                              TIdFTPListFormat& VListFormat)>;
// A handler that puts a holder into VFTPList hands it over to the client.
using TIdCreateFTPList =
    std::function<void(TIdComponent* ASender, std::unique_ptr<TIdFTPListItems>& VFTPList)>;
using TIdFtpAfterGet = std::function<void(TIdComponent* ASender, TIdStream& VStream)>;

class TIdFTP : public TIdTCPClient {
public:
    TIdFTP();
    ~TIdFTP() override;

    // Published properties.
    bool Passive = false;
    // Passive data connections ask with EPSV first. A server that refuses it
    // (500/501/502) gets PASV for the rest of the session; over IPv6 there is
    // nothing but EPSV, whatever this says.
    bool UseEPSV = true;
    // The longest wait in ms for the server to open an active-mode data
    // connection; -2 waits without limit.
    int32_t TransferTimeout = 60000;
    // The longest wait in ms for each reply a failed or aborted transfer
    // still owes. A session whose replies do not come within it is closed
    // rather than left out of step.
    int32_t SettleTimeout = 5000;
    TIdFTPTransferType TransferType() const { return FTransferType; }
    void SetTransferType(TIdFTPTransferType AValue) { ApplyTransferType(AValue); }
    const TIdFtpProxySettings& ProxySettings() const { return *FProxySettings; }
    TIdFtpProxySettings& ProxySettings() { return *FProxySettings; }
    void SetProxySettings(const TIdFtpProxySettings& AValue) { FProxySettings->CopyFrom(AValue); }
    // Read when the session opens.
    TIdFtpTlsSettings TlsSettings;
    // Long listings use MLSD when the server lists MLST; off for servers
    // that advertise it but break it.
    bool UseMLSD = true;

    // Every transfer of a named file is followed by a check of the file on
    // the other side: its size (SIZE, or LIST where SIZE is refused) and,
    // where FEAT offers one, a digest computed while the bytes pass. A
    // difference raises EIdFTPCheckFailed. ASCII transfers change the bytes,
    // so they are not checked.
    bool CheckTransfers = false;
    // Where SIZE is refused, a LIST of the one file gives the size.
    bool CheckByListing = true;
    // The size a listing just gave for the file of the next download: its
    // check compares with it instead of asking the server again (one round
    // trip less per file of a tree). Cleared by that download; -1: unknown.
    int64_t ListedSize = -1;
    const TIdFTPCheck& LastCheck() const { return FLastCheck; }

    TIdNotifyEvent OnAfterClientLogin;
    TIdCheckListFormat OnCheckListFormat;
    TIdCreateFTPList OnCreateFTPList;
    TIdFtpAfterGet OnAfterGet;
    TIdOnParseCustomListFormat OnParseCustomListFormat();
    void SetOnParseCustomListFormat(TIdOnParseCustomListFormat AValue);

    // State.
    bool RestartAllowed() const { return FRestartAllowed; }
    bool RestartChecked() const { return FRestartChecked; }
    std::vector<std::string> ListLines;
    const TIdRFCReply& LoginReply() const { return FLoginReply; }
    const std::string& SystemDescription() const { return FSystemDescription; }
    // The server's FEAT lines ("MLST type*;size*;", "UTF8"), without the
    // leading blank; empty when it refused FEAT or was not asked yet.
    const std::vector<std::string>& Features() const { return FFeatures; }
    // Whether a feature's first word is AName, in any letter case.
    bool HasFeature(const std::string& AName) const;
    // The last listing came from MLSD, so ListItems reads it as such.
    bool ListedByMLSD() const { return FListedByMLSD; }
    // The control connection runs over TLS (and so does every data connection).
    bool Encrypted() const;
    // The server's certificate; empty fields when the session is not encrypted.
    TIdCertificateInfo PeerCertificate() const;
    // The control connection resumed an earlier TLS session rather than
    // shaking hands in full.
    bool TlsSessionResumed() const;
    // The control connection's TLS version ("TLSv1.3") and cipher suite
    // ("TLS_AES_128_GCM_SHA256"); empty on a plain session.
    std::string TlsProtocol() const;
    std::string TlsCipher() const;
    // The control connection's TLS session; none on a plain session.
    std::shared_ptr<TIdTlsSession> TlsSession() const;
    // The next control connection resumes a copy of ASession (another
    // session's, taken on that session's thread), so sessions opened beside
    // one that is signed in skip the full handshake where the server allows it.
    void ResumeTlsSession(std::shared_ptr<TIdTlsSession> ASession) { FTlsSeed = std::move(ASession); }
    // The data connection of the running transfer; empty otherwise.
    TIdTCPConnection* DataConnection() const { return FDataConnection; }

    // Session.
    void OpenSession(bool AWithSignIn = true, int32_t ATimeout = -1);
    void SignIn();
    void ApplyTransferType(TIdFTPTransferType AValue);
    void AnnounceTransferType();
    // FEAT, then OPTS UTF8 ON when the server lists UTF8; part of
    // OpenSession's sign-in, public for callers that sign in step by step.
    void NegotiateFeatures();
    void EndSession();
    // Ends the session from inside a wait on it: QUIT while the control
    // connection can still carry it (its answer is never awaited), then both
    // sockets are closed so the waiting call fails. Nothing is freed.
    void Interrupt();

    // Commands without a data connection.
    void ChangeDirectory(const std::string& ADirName);
    void MakeDirectory(const std::string& ADirName);
    void DeleteDirectory(const std::string& ADirName);
    void DeleteRemoteFile(const std::string& AFileName);
    // RNFR, then RNTO once the server has accepted the first half (350).
    void Rename(const std::string& AFromName, const std::string& AToName);
    std::string QueryCurrentDir();
    int16_t RawCommand(const std::string& ACommand);

    // Transfers.
    void Download(const std::string& AFromName, const std::string& AToName, bool AOverwrite = false,
                  bool ARestart = false);
    void Download(const std::string& AFromName, TIdStream& ADest, bool ARestart);
    // AOnAccepted runs once the server has accepted the RETR, before any data
    // arrives: the moment an old copy of the file may be emptied.
    void Download(const std::string& AFromName, TIdStream& ADest, bool ARestart,
                  const std::function<void()>& AOnAccepted);
    void Upload(const std::string& AFromName, const std::string& AToName = std::string(),
                bool AAppend = false);
    void Upload(TIdStream& ASource, const std::string& AToName, bool AAppend);
    // Continues an upload where the server's copy ends (its SIZE): REST and
    // STOR, or APPE where the server cannot restart or refuses REST for
    // STOR. A missing remote file is uploaded whole.
    void ResumeUpload(TIdStream& ASource, const std::string& AToName);
    // The size of a remote file by SIZE; -1 when the server does not say.
    int64_t RemoteSize(const std::string& AName);
    // By SIZE, else by a listing of the one file; -1 when neither says.
    int64_t RemoteSizeOrListed(const std::string& AName, std::string* VMethod = nullptr);
    virtual void AbortTransfer();

    // Listings.
    void ListDirectory(std::vector<std::string>* ADest, const std::string& AMask = std::string(),
                       bool ALongForm = true);
    TIdFTPListItems& ListItems();

    // Building blocks of the transfers, public so that a caller can drive a
    // data connection of its own.
    void RequestPassive(std::string& VHost, int32_t& VPort);
    // EPSV: false when the server refused it (500, 501, 502); otherwise the
    // port of its 229 reply, or a raised error.
    bool RequestExtendedPassive(int32_t& VPort);
    // The port of a 229 reply line: "(|||port|)" with any delimiter from '!'
    // to '~' (the same four times). Raises EIdException with the line for a
    // malformed reply or a port outside 1..65535.
    static int32_t ExtendedPassivePort(const std::string& AReplyLine);
    void AnnouncePort(TIdSocketHandle& AHandle);
    bool CanRestart();
    // The transport of each new data connection: by default a socket handler
    // going through the same SOCKS proxy as the control connection.
    virtual std::unique_ptr<TIdIOHandler> CreateDataHandler();

protected:
    virtual void FireAfterGet(TIdStream& AStream);
    virtual void CloseDataChannel();

    // AOnAccepted runs once the server has accepted the command with its
    // preliminary reply, before any data is moved.
    void ReceiveTransfer(const std::string& ACommand, TIdStream& ADest, bool ARestart,
                         const std::function<void()>& AOnAccepted = {});
    void SendTransfer(const std::string& ACommand, TIdStream& ASource);
    void PrepareDataChannel(TIdTCPConnection& AChannel);
    void PrepareListItems();

private:
    // The data connection of one transfer: it tells the server where the data
    // goes (PASV, or a listener and PORT), opens (connects, or accepts) and
    // hands over its connection.
    class TDataChannel;
    class TPassiveChannel;
    class TActiveChannel;
    enum class TDirection { Receive, Send };

    void PlainLogin();
    void ProxyLogin();
    // A TLS handler set up from TlsSettings, for the control connection or a
    // data connection.
    std::unique_ptr<TIdIOHandlerTls> NewTlsHandler() const;
    // The control connection's TLS handler; none on a plain session.
    TIdIOHandlerTls* ControlTls() const;
    // Puts the control connection over TLS.
    void WrapControlInTls();
    // AUTH TLS (AUTH SSL for servers that know only that) and the handshake.
    void NegotiateTls();
    void DownloadInto(const std::string& AFromName, TIdStream& ADest, bool ARestart,
                      const std::function<void()>& AOnAccepted);
    // Every transfer: data channel, command, replies and data, one way or the other.
    void Transfer(const std::string& ACommand, TIdStream& AStream, TDirection ADirection,
                  bool ARestart, const std::function<void()>& AOnAccepted);
    // The transfer command and its preliminary reply, keeping count of the
    // replies the command still owes.
    void WriteTransferCommand(const std::string& ACommand);
    int16_t ReadPreliminaryReply(const TIdReplyCodes& AAllowed);
    // After the data has moved: the final reply, and ABOR's when one was sent.
    void ReadFinalReply();
    // Reads, unchecked, the replies a failed or aborted transfer still owes, or
    // closes the session when they do not come.
    void SettleOwedReplies();

    // The digest this session can compare with the server's, and the
    // command that asks for it.
    TIdHashKind OfferedHash(std::string& VCommand) const;
    std::string RemoteDigest(TIdHashKind AKind, const std::string& ACommand,
                             const std::string& AName);
    // Runs ATransfer over AStream (through a digest where one can be
    // compared), then checks the remote file AName against what passed.
    // ARestarted: the remote file is to equal the whole local stream, not
    // only the bytes that passed.
    void CheckedTransfer(const std::string& AName, TIdStream& AStream, bool ARestarted,
                         const std::function<void(TIdStream&)>& ATransfer);

    TIdFTPCheck FLastCheck;
    // OPTS HASH chose this algorithm in this session.
    TIdHashKind FHashSelected = TIdHashKind::None;

    // The replies the running transfer command still owes.
    enum class TOwedReplies { None, Preliminary, Final };
    TOwedReplies FOwed = TOwedReplies::None;
    // ABOR was written and its reply is still to be read.
    bool FAbortSent = false;

    // The server refused EPSV in this session.
    // PORT was refused on IPv4 and EPRT took its place.
    bool FPortRefused = false;
    bool FEpsvRefused = false;
    bool FRestartAllowed = false;
    bool FRestartChecked = false;
    TIdRFCReply FLoginReply;
    std::string FSystemDescription;
    std::vector<std::string> FFeatures;
    // The server refused MLSD once this session; LIST serves until the next.
    bool FMLSDRefused = false;
    bool FListedByMLSD = false;
    TIdFTPTransferType FTransferType = ftBinary;
    TIdTCPConnection* FDataConnection = nullptr;
    // Set by AbortTransfer until the next transfer starts.
    bool FAbortRequested = false;
    std::unique_ptr<TIdFTPListItems> FListItems;
    std::unique_ptr<TIdFtpProxySettings> FProxySettings;
    // The host the control connection actually went to (the proxy's, when one is used).
    std::string FConnectedHost;
    // The host the user named: the one its certificate must be for.
    std::string FTlsHost;
    // PROT P was accepted: every data connection runs TLS.
    bool FDataProtected = false;
    // Set by ResumeTlsSession for the next control connection.
    std::shared_ptr<TIdTlsSession> FTlsSeed;
};
