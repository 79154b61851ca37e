#pragma once

#include "IdException.h"
#include "IdIOHandler.h"

#include <cstdint>
#include <memory>
#include <string>

// A TLS session that later connections to the same server can resume: FTP
// servers (vsftpd by default) refuse a data connection that does not resume
// the control connection's session. Opaque; pass it from handler to handler.
class TIdTlsSession;

enum class TIdTlsVerify {
    tvChain, // the chain against the CA file or the system store, and the host name
    tvPin,   // the certificate's SHA-256 fingerprint equals PinnedSha256
    tvNone   // anything is accepted; the caller must choose this explicitly
};

// TLS (1.2 or later, client side) over another handler that carries the bytes,
// normally a socket handler. As a connection's handler from the start it
// shakes hands right after the connect (implicit TLS); put over an open
// connection with TIdTCPConnection::WrapIOHandler it upgrades that connection
// in place (explicit TLS after AUTH TLS).
class TIdIOHandlerTls : public TIdIOHandler {
public:
    // Over a socket handler of its own.
    TIdIOHandlerTls();
    ~TIdIOHandlerTls() override;

    // Settings, read at the handshake.
    // The name sent as SNI and checked against the certificate (an IP address
    // is checked against its IP entries); empty takes the host ConnectPeer got.
    std::string HostName;
    TIdTlsVerify Verify = TIdTlsVerify::tvChain;
    // PEM file of trusted CAs; empty uses the system store.
    std::string CAFile;
    // Hex, with or without colons, either case.
    std::string PinnedSha256;
    // Milliseconds; -2 is no limit.
    int32_t HandshakeTimeout = 30000;

    // The handler under this one; none once an assigned one was destroyed.
    TIdIOHandler* Transport() override;
    // Owned from now on.
    void SetTransport(std::unique_ptr<TIdIOHandler> AValue);
    // Not owned; the reference is cleared when that handler is destroyed.
    void SetTransport(TIdIOHandler* AValue);
    // Lets go of the handler under this one, handing it over when it was owned
    // (none when it was assigned); the TLS state goes with it.
    std::unique_ptr<TIdIOHandler> ReleaseTransport();

    // Shakes hands over the open transport and verifies the server.
    // Raises EIdTlsVerifyError, EIdTlsHandshakeError, or the transport's own
    // exceptions; the transport is closed after any failure.
    void StartTls();
    bool Encrypted() const;
    bool SessionReused() const;
    // "TLSv1.3" and the cipher's name; empty before the handshake.
    std::string Protocol() const;
    std::string Cipher() const;
    TIdCertificateInfo PeerCertificate() const;

    // The session of this handler's connection, available once it has shaken
    // hands; session tickets that arrive later (TLS 1.3) update it.
    std::shared_ptr<TIdTlsSession> Session() const;
    // Makes the next handshake resume ASession (a data connection resuming
    // the control connection's), with the CA store of the session's origin.
    void ResumeSession(std::shared_ptr<TIdTlsSession> ASession);
    // Makes the next handshake resume a copy of ASession (another control
    // connection's, on a session of its own), which this connection then
    // owns and renews: parallel sessions skip the full handshake where the
    // server allows it, and fall back to one where it does not.
    void StartFromSession(const std::shared_ptr<TIdTlsSession>& ASession);

    // Closes the transport without a close_notify: what was sent did not end
    // deliberately (an aborted or failed upload), and the peer must not take
    // it for complete.
    void Abandon();
    // Ends the TLS stream deliberately: sends the close_notify and reads
    // (discarding it) until the peer's own close_notify, for at most AMSec.
    // Every record the peer sent is then processed (TLS 1.3 tickets a later
    // resumption needs among them) and no unread byte turns the close into
    // a reset. Failures are swallowed; the transport stays open.
    void CloseNotify(int32_t AMSec);

    void Shut() override;
    void ConnectPeer(const std::string& AHost, int32_t APort, const std::string& ABoundIP,
                     int32_t ABoundPort, int32_t ABoundPortLow, int32_t ABoundPortHigh,
                     int32_t ATimeout) override;
    bool IsOpen() override;
    void Prepare() override;
    void AcceptCompleted() override;
    // True once decrypted data, the peer's close or a failure is there to be
    // received; bytes already inside the TLS layer count.
    bool WaitReadable(int32_t AMSec) override;
    // 0 only at the peer's close_notify; a TCP close without it raises
    // EIdTlsTruncated.
    int32_t ReceiveInto(void* ABuffer, int32_t ALength) override;
    bool ReceiveIfReady(void* ABuffer, int32_t ALength, int32_t& AResult) override;
    int32_t SendFrom(const void* ABuffer, int32_t ALength) override;
    TIdAddress LocalAddress() override;
    TIdAddress PeerAddress() override;
    TIdSocksInfo* SocksInfo() override;
    TIdSocketHandle* SocketHandle() override;

    struct TImpl;

protected:
    void Notification(TIdBaseComponent* AComponent, TOperation Operation) override;

private:
    std::unique_ptr<TImpl> FImpl;
};
