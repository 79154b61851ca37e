#include "IdIOHandlerTls.h"

#include "IdIOHandlerSocket.h"
#include "IdResourceStrings.h"
#include "IdStack.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <exception>
#include <functional>
#include <mutex>
#include <utility>

using namespace IdResourceStrings;

struct TIdTlsSession {
    SSL_CTX* Context = nullptr;
    // Guards Latest: another session's thread may copy it while this one's
    // connections receive tickets.
    std::mutex Lock;
    SSL_SESSION* Latest = nullptr;
    // A ticket of the control connection that no connection has used yet,
    // for the first session opened beside it: servers may take a ticket once.
    SSL_SESSION* Fresh = nullptr;
    // Latest is another session's ticket, which this session's data
    // connections must not resume: the first ticket of its own replaces it.
    bool Borrowed = false;
    // Set while the connection that made the session is up: tickets it has
    // received but not yet processed are read before a resumption needs them.
    std::function<void()> ReadTickets;

    TIdTlsSession() = default;
    TIdTlsSession(const TIdTlsSession&) = delete;
    TIdTlsSession& operator=(const TIdTlsSession&) = delete;
    ~TIdTlsSession() {
        SSL_SESSION_free(Latest);
        SSL_SESSION_free(Fresh);
        SSL_CTX_free(Context);
    }
};

namespace {

// The reason of the most recent OpenSSL failure, the queue emptied.
std::string OpenSslReason() {
    unsigned long code = 0;
    unsigned long last = 0;
    while ((code = ERR_get_error()) != 0) {
        last = code;
    }
    if (last == 0) {
        return "unknown error";
    }
    if (const char* reason = ERR_reason_error_string(last)) {
        return reason;
    }
    char text[256];
    ERR_error_string_n(last, text, sizeof text);
    return text;
}

std::string NameText(const X509_NAME* AName) {
    std::string result;
    if (BIO* bio = BIO_new(BIO_s_mem())) {
        X509_NAME_print_ex(bio, AName, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
        char* data = nullptr;
        const long size = BIO_get_mem_data(bio, &data);
        result.assign(data, static_cast<size_t>(size));
        BIO_free(bio);
    }
    return result;
}

std::string TimeText(const ASN1_TIME* ATime) {
    std::tm value{};
    if (!ATime || ASN1_TIME_to_tm(ATime, &value) != 1) {
        return std::string();
    }
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &value);
    return text;
}

TIdCertificateInfo Describe(X509* ACertificate) {
    TIdCertificateInfo info;
    if (!ACertificate) {
        return info;
    }
    info.Subject = NameText(X509_get_subject_name(ACertificate));
    info.Issuer = NameText(X509_get_issuer_name(ACertificate));
    info.NotBefore = TimeText(X509_get0_notBefore(ACertificate));
    info.NotAfter = TimeText(X509_get0_notAfter(ACertificate));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(ACertificate, EVP_sha256(), digest, &length) == 1) {
        static const char* const hex = "0123456789ABCDEF";
        for (unsigned int i = 0; i < length; ++i) {
            if (i != 0) {
                info.Sha256 += ':';
            }
            info.Sha256 += hex[digest[i] >> 4];
            info.Sha256 += hex[digest[i] & 15];
        }
    }
    return info;
}

std::string HexDigits(const std::string& AText) {
    std::string result;
    for (const char c : AText) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            result += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    return result;
}

// The address a host text names, without brackets or zone ("[::1]" and
// "fe80::1%eth0" are addresses too); empty for a host name.
std::string AddressOf(const std::string& AHost) {
    TIdAddress address;
    return TIdAddress::Parse(AHost, 0, address) ? address.WireText() : std::string();
}

int OnNewSession(SSL* ASsl, SSL_SESSION* ASession);

SSL_CTX* NewContext(const TIdIOHandlerTls& AHandler) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (!context) {
        throw EIdTlsHandshakeError(FormatMessage(RSTlsHandshakeFailed, OpenSslReason().c_str()));
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // The same three suites as OpenSSL's default, AES-128 first: servers that
    // follow the client's order then spend less on every byte, and so do we.
    SSL_CTX_set_ciphersuites(
        context, "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256");
    // Whole buffers per receive instead of a header and a body per record;
    // the waits look through OpenSSL's buffer, so nothing read ahead is missed.
    SSL_CTX_set_read_ahead(context, 1);
    // Room for many records per receive from the socket, not one.
    SSL_CTX_set_default_read_buffer_len(context, 256 * 1024);
    // The outcome of verification is judged after the handshake, so that a
    // failure can describe the certificate it refused.
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_session_cache_mode(context,
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(context, OnNewSession);
    if (AHandler.Verify == TIdTlsVerify::tvChain) {
        const bool loaded =
            AHandler.CAFile.empty()
                ? SSL_CTX_set_default_verify_paths(context) == 1
                : SSL_CTX_load_verify_locations(context, AHandler.CAFile.c_str(), nullptr) == 1;
        if (!loaded) {
            ERR_clear_error();
            SSL_CTX_free(context);
            const std::string reason = std::string(RSTlsCAFile) + " (" + AHandler.CAFile + ")";
            throw EIdTlsHandshakeError(FormatMessage(RSTlsHandshakeFailed, reason.c_str()));
        }
    }
    return context;
}

} // namespace

struct TIdIOHandlerTls::TImpl {
    std::unique_ptr<TIdIOHandler> OwnedTransport;
    TIdIOHandler* Transport = nullptr;
    // The host ConnectPeer was given.
    std::string ConnectHost;
    std::shared_ptr<TIdTlsSession> Session;
    bool Resuming = false;
    // The next handshake resumes a copy of another connection's session
    // and then owns it.
    bool Seeded = false;
    SSL* Ssl = nullptr;
    bool Established = false;
    // A fatal failure: OpenSSL forbids a close_notify after it.
    bool Failed = false;
    bool ShutdownSent = false;
    bool PeerClosedTls = false;
    // The transport reported bytes, so one blocking receive cannot hang.
    bool Readable = false;
    bool TransportEof = false;
    int32_t SocketError = 0;
    // An exception a transport call raised inside OpenSSL, which is C and
    // must not be unwound through.
    std::exception_ptr Pending;
    // Cleared by the destructor; a window message handled during a wait may
    // destroy the handler.
    std::shared_ptr<bool> Alive = std::make_shared<bool>(true);

    ~TImpl() {
        *Alive = false;
        FreeSsl();
    }

    void FreeSsl() {
        if (Session && !Resuming) {
            Session->ReadTickets = nullptr;
        }
        if (Ssl) {
            SSL_free(Ssl);
            Ssl = nullptr;
        }
        Established = Failed = ShutdownSent = PeerClosedTls = Readable = TransportEof = false;
        SocketError = 0;
        Pending = nullptr;
    }

    TIdIOHandler& RequireTransport() const {
        if (!Transport) {
            throw EIdClosedSocket(RSStatusDisconnected);
        }
        return *Transport;
    }

    // The connection is dead after any failure; nothing more may pass.
    void Fail() {
        Failed = true;
        if (Transport) {
            Transport->Shut();
        }
    }

    [[noreturn]] void Raise(const std::exception_ptr& AFailure) {
        Fail();
        std::rethrow_exception(AFailure);
    }

    // Runs one OpenSSL call until it no longer waits for bytes, waiting
    // through the transport at most AMSec (0 never waits, -2 has no limit).
    // Returns the call's result and, for a failure, the SSL error code; a
    // wait that ran out gives SSL_ERROR_WANT_READ.
    int Run(const std::function<int()>& ACall, int32_t AMSec, int& AError) {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(AMSec > 0 ? AMSec : 0);
        const std::shared_ptr<bool> alive = Alive;
        for (;;) {
            ERR_clear_error();
            const int result = ACall();
            if (Pending) {
                Raise(std::exchange(Pending, nullptr));
            }
            AError = result > 0 ? SSL_ERROR_NONE : SSL_get_error(Ssl, result);
            if (AError != SSL_ERROR_WANT_READ && AError != SSL_ERROR_WANT_WRITE) {
                return result;
            }
            if (AError == SSL_ERROR_WANT_WRITE) {
                continue;
            }
            int32_t wait = AMSec;
            if (AMSec > 0) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                        .count();
                wait = static_cast<int32_t>(std::max<long long>(left, 0));
            }
            if (wait == 0) {
                return result;
            }
            const bool ready = RequireTransport().WaitReadable(wait);
            if (!*alive) {
                throw EIdClosedSocket(RSStatusDisconnected);
            }
            if (!ready) {
                return result;
            }
            Readable = true;
        }
    }

    // Turns a failed OpenSSL call into the exception that says why.
    [[noreturn]] void RaiseFailure(const char* APattern) {
        const std::string reason = OpenSslReason();
        Fail();
        if (SocketError != 0) {
            TheStack->RaiseSocketFailure(SocketError);
        }
        if (TransportEof) {
            // A server that hangs up instead of answering the handshake
            // (after saying yes to AUTH TLS) has not cut any data short.
            if (!Established) {
                throw EIdTlsHandshakeError(FormatMessage(RSTlsHandshakeFailed, RSTlsPeerClosed));
            }
            throw EIdTlsTruncated(RSTlsTruncated);
        }
        const std::string text = FormatMessage(APattern, reason.c_str());
        if (!Established) {
            throw EIdTlsHandshakeError(text);
        }
        throw EIdTlsError(text);
    }

    // Received data is ready in Ssl, or its end or failure is.
    int32_t Read(void* ABuffer, int32_t ALength, int32_t AMSec, bool& AReady) {
        AReady = true;
        if (PeerClosedTls) {
            return 0;
        }
        if (!Ssl || !Established || Failed) {
            throw EIdClosedSocket(RSStatusDisconnected);
        }
        int error = SSL_ERROR_NONE;
        const int n = Run([&] { return SSL_read(Ssl, ABuffer, ALength); }, AMSec, error);
        if (n > 0) {
            return n + ReadBuffered(static_cast<char*>(ABuffer) + n, ALength - n);
        }
        if (error == SSL_ERROR_ZERO_RETURN) {
            PeerClosedTls = true;
            return 0;
        }
        if (error == SSL_ERROR_WANT_READ) {
            AReady = false;
            return 0;
        }
        RaiseFailure(RSTlsFailure);
    }

    // One SSL_read gives one record (16 KiB at most); the records already
    // received follow in the same call, so that a large buffer takes them
    // all at once. Stops short of anything that would wait, and leaves an
    // end or a failure for the next read to report.
    int32_t ReadBuffered(char* ABuffer, int32_t ALength) {
        int32_t total = 0;
        while (total < ALength && (SSL_pending(Ssl) > 0 || SSL_has_pending(Ssl) == 1)) {
            ERR_clear_error();
            const int n = SSL_read(Ssl, ABuffer + total, ALength - total);
            if (n <= 0 || Pending) {
                ERR_clear_error();
                break;
            }
            total += n;
        }
        return total;
    }

    void ReadPendingTickets() {
        if (!Ssl || !Established || Failed || PeerClosedTls || SSL_pending(Ssl) > 0) {
            return;
        }
        char byte;
        int error = SSL_ERROR_NONE;
        try {
            // A peek processes the records that arrived (tickets among them)
            // without taking application data away from the connection.
            Run([&] { return SSL_peek(Ssl, &byte, 1); }, 0, error);
        } catch (...) {
            // The control connection reports its own failure at its next read.
        }
    }
};

namespace {

TIdIOHandlerTls::TImpl* ImplOf(BIO* ABio) {
    return static_cast<TIdIOHandlerTls::TImpl*>(BIO_get_data(ABio));
}

int TransportRead(BIO* ABio, char* ABuffer, int ALength) {
    TIdIOHandlerTls::TImpl* impl = ImplOf(ABio);
    BIO_clear_retry_flags(ABio);
    try {
        int32_t n = 0;
        if (!impl->RequireTransport().ReceiveIfReady(ABuffer, ALength, n)) {
            if (!impl->Readable) {
                BIO_set_retry_read(ABio);
                return -1;
            }
            n = impl->Transport->ReceiveInto(ABuffer, ALength);
        }
        impl->Readable = false;
        if (n == 0) {
            impl->TransportEof = true;
        } else if (n < 0) {
            impl->SocketError = TheStack->LastSocketError();
        }
        return n;
    } catch (...) {
        impl->Pending = std::current_exception();
        return -1;
    }
}

int TransportWrite(BIO* ABio, const char* ABuffer, int ALength) {
    TIdIOHandlerTls::TImpl* impl = ImplOf(ABio);
    BIO_clear_retry_flags(ABio);
    try {
        const int32_t n = impl->RequireTransport().SendFrom(ABuffer, ALength);
        if (n < 0) {
            impl->SocketError = TheStack->LastSocketError();
        }
        return n;
    } catch (...) {
        impl->Pending = std::current_exception();
        return -1;
    }
}

long TransportControl(BIO*, int ACommand, long, void*) {
    return ACommand == BIO_CTRL_FLUSH ? 1 : 0;
}

int TransportCreate(BIO* ABio) {
    BIO_set_init(ABio, 1);
    return 1;
}

BIO_METHOD* TransportMethod() {
    static const std::unique_ptr<BIO_METHOD, void (*)(BIO_METHOD*)> method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "transport");
        if (m) {
            BIO_meth_set_write(m, TransportWrite);
            BIO_meth_set_read(m, TransportRead);
            BIO_meth_set_ctrl(m, TransportControl);
            BIO_meth_set_create(m, TransportCreate);
        }
        return std::unique_ptr<BIO_METHOD, void (*)(BIO_METHOD*)>(m, BIO_meth_free);
    }();
    return method.get();
}

int OnNewSession(SSL* ASsl, SSL_SESSION* ASession) {
    auto* impl = static_cast<TIdIOHandlerTls::TImpl*>(SSL_get_app_data(ASsl));
    if (!impl || !impl->Session) {
        return 0;
    }
    const std::lock_guard<std::mutex> hold(impl->Session->Lock);
    // Servers send two tickets after a handshake: the control connection's
    // second is kept apart for another session.
    if (!impl->Resuming && impl->Session->Latest && !impl->Session->Fresh &&
        !impl->Session->Borrowed) {
        impl->Session->Fresh = ASession;
        return 1;
    }
    SSL_SESSION_free(impl->Session->Latest);
    impl->Session->Latest = ASession;
    impl->Session->Borrowed = false;
    return 1;
}

} // namespace

// ---------------------------------------------------------------------------

TIdIOHandlerTls::TIdIOHandlerTls() : FImpl(std::make_unique<TImpl>()) {
    SetTransport(std::make_unique<TIdIOHandlerSocket>());
}

TIdIOHandlerTls::~TIdIOHandlerTls() {
    Shut();
    FImpl.reset();
}

TIdIOHandler* TIdIOHandlerTls::Transport() {
    return FImpl->Transport;
}

void TIdIOHandlerTls::SetTransport(std::unique_ptr<TIdIOHandler> AValue) {
    SetTransport(static_cast<TIdIOHandler*>(nullptr));
    FImpl->Transport = AValue.get();
    FImpl->OwnedTransport = std::move(AValue);
}

void TIdIOHandlerTls::SetTransport(TIdIOHandler* AValue) {
    if (FImpl->Transport && !FImpl->OwnedTransport) {
        RemoveFreeNotification(FImpl->Transport);
    }
    FImpl->OwnedTransport.reset();
    FImpl->Transport = AValue;
    if (AValue) {
        FreeNotification(AValue);
    }
}

std::unique_ptr<TIdIOHandler> TIdIOHandlerTls::ReleaseTransport() {
    TImpl& impl = *FImpl;
    impl.FreeSsl();
    if (impl.Transport && !impl.OwnedTransport) {
        RemoveFreeNotification(impl.Transport);
    }
    impl.Transport = nullptr;
    return std::move(impl.OwnedTransport);
}

void TIdIOHandlerTls::Notification(TIdBaseComponent* AComponent, TOperation Operation) {
    TIdIOHandler::Notification(AComponent, Operation);
    if (FImpl && Operation == TOperation::opRemove && AComponent == FImpl->Transport) {
        FImpl->Transport = nullptr;
    }
}

void TIdIOHandlerTls::StartTls() {
    TImpl& impl = *FImpl;
    if (!impl.RequireTransport().IsOpen()) {
        throw EIdClosedSocket(RSStatusDisconnected);
    }
    impl.FreeSsl();
    const std::string host = HostName.empty() ? impl.ConnectHost : HostName;
    try {
        if (!impl.Resuming && !impl.Seeded) {
            impl.Session = std::make_shared<TIdTlsSession>();
            impl.Session->Context = NewContext(*this);
        }
        impl.Seeded = false;
        impl.Ssl = SSL_new(impl.Session->Context);
        BIO* bio = impl.Ssl ? BIO_new(TransportMethod()) : nullptr;
        if (!bio) {
            throw EIdTlsHandshakeError(
                FormatMessage(RSTlsHandshakeFailed, OpenSslReason().c_str()));
        }
        BIO_set_data(bio, &impl);
        SSL_set_bio(impl.Ssl, bio, bio);
        SSL_set_app_data(impl.Ssl, &impl);
        // An address is checked against the certificate's IP entries and is
        // never sent as SNI, which carries names only.
        if (const std::string address = AddressOf(host); !address.empty()) {
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(impl.Ssl), address.c_str());
        } else if (!host.empty()) {
            SSL_set_tlsext_host_name(impl.Ssl, host.c_str());
            SSL_set1_host(impl.Ssl, host.c_str());
        }
        if (impl.Resuming && impl.Session->ReadTickets) {
            impl.Session->ReadTickets();
        }
        {
            const std::lock_guard<std::mutex> hold(impl.Session->Lock);
            if (impl.Session->Latest) {
                SSL_set_session(impl.Ssl, impl.Session->Latest);
            }
        }
    } catch (...) {
        impl.Fail();
        throw;
    }

    int error = SSL_ERROR_NONE;
    const int result = impl.Run([&] { return SSL_connect(impl.Ssl); }, HandshakeTimeout, error);
    if (error == SSL_ERROR_WANT_READ) {
        impl.Fail();
        throw EIdTlsHandshakeError(RSTlsHandshakeTimeout);
    }
    if (result != 1) {
        impl.RaiseFailure(RSTlsHandshakeFailed);
    }
    impl.Established = true;
    if (!impl.Resuming) {
        TImpl* self = &impl;
        impl.Session->ReadTickets = [self] { self->ReadPendingTickets(); };
    }

    if (Verify == TIdTlsVerify::tvNone) {
        return;
    }
    X509* certificate = SSL_get0_peer_certificate(impl.Ssl);
    std::string reason;
    const TIdCertificateInfo info = Describe(certificate);
    if (!certificate) {
        reason = RSTlsNoCertificate;
    } else if (Verify == TIdTlsVerify::tvPin) {
        if (HexDigits(PinnedSha256) != HexDigits(info.Sha256)) {
            reason = RSTlsPinMismatch;
        }
    } else if (host.empty()) {
        reason = RSTlsNoHostName;
    } else if (const long code = SSL_get_verify_result(impl.Ssl); code != X509_V_OK) {
        reason = X509_verify_cert_error_string(code);
    }
    if (!reason.empty()) {
        impl.Fail();
        throw EIdTlsVerifyError(reason, info);
    }
}

bool TIdIOHandlerTls::Encrypted() const {
    return FImpl->Established && !FImpl->Failed;
}

bool TIdIOHandlerTls::SessionReused() const {
    return FImpl->Ssl && FImpl->Established && SSL_session_reused(FImpl->Ssl) == 1;
}

std::string TIdIOHandlerTls::Protocol() const {
    return FImpl->Established ? SSL_get_version(FImpl->Ssl) : std::string();
}

std::string TIdIOHandlerTls::Cipher() const {
    return FImpl->Established ? SSL_get_cipher_name(FImpl->Ssl) : std::string();
}

TIdCertificateInfo TIdIOHandlerTls::PeerCertificate() const {
    return FImpl->Ssl ? Describe(SSL_get0_peer_certificate(FImpl->Ssl)) : TIdCertificateInfo();
}

std::shared_ptr<TIdTlsSession> TIdIOHandlerTls::Session() const {
    return FImpl->Session;
}

void TIdIOHandlerTls::ResumeSession(std::shared_ptr<TIdTlsSession> ASession) {
    if (FImpl->Session && !FImpl->Resuming) {
        FImpl->Session->ReadTickets = nullptr;
    }
    FImpl->Resuming = ASession != nullptr;
    FImpl->Session = std::move(ASession);
}

void TIdIOHandlerTls::StartFromSession(const std::shared_ptr<TIdTlsSession>& ASession) {
    if (!ASession) {
        return;
    }
    auto copy = std::make_shared<TIdTlsSession>();
    if (SSL_CTX_up_ref(ASession->Context) != 1) {
        return;
    }
    copy->Context = ASession->Context;
    {
        const std::lock_guard<std::mutex> hold(ASession->Lock);
        // A copy of its own: a handshake marks the object it resumed, which
        // must not spoil it for the connections of the session it came from.
        if (ASession->Fresh) {
            copy->Latest = ASession->Fresh;
            ASession->Fresh = nullptr;
        } else if (ASession->Latest) {
            copy->Latest = SSL_SESSION_dup(ASession->Latest);
        }
        copy->Borrowed = copy->Latest != nullptr;
    }
    ResumeSession(nullptr);
    FImpl->Session = std::move(copy);
    FImpl->Seeded = true;
}

void TIdIOHandlerTls::Abandon() {
    FImpl->Fail();
}

void TIdIOHandlerTls::CloseNotify(int32_t AMSec) {
    TImpl& impl = *FImpl;
    if (!impl.Ssl || !impl.Established || impl.Failed || !impl.Transport ||
        !impl.Transport->IsOpen()) {
        return;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max<int32_t>(AMSec, 0));
    try {
        if (!impl.ShutdownSent) {
            impl.ShutdownSent = true;
            int error = SSL_ERROR_NONE;
            impl.Run([&] { return SSL_shutdown(impl.Ssl); }, 0, error);
        }
        char scratch[4096];
        bool ready = true;
        while (!impl.PeerClosedTls && ready) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            if (left <= 0) {
                break;
            }
            impl.Read(scratch, sizeof scratch, static_cast<int32_t>(left), ready);
        }
    } catch (...) {
        // The data has gone out already; how the peer ends its side is its affair.
    }
}

void TIdIOHandlerTls::Shut() {
    if (!FImpl) {
        return;
    }
    TImpl& impl = *FImpl;
    if (impl.Session && !impl.Resuming) {
        impl.Session->ReadTickets = nullptr;
    }
    // The close_notify tells the server that the data ended here and was not
    // cut short; servers check it on uploads.
    if (impl.Ssl && impl.Established && !impl.Failed && !impl.ShutdownSent && impl.Transport &&
        impl.Transport->IsOpen()) {
        impl.ShutdownSent = true;
        SSL_shutdown(impl.Ssl);
        ERR_clear_error();
        impl.Pending = nullptr;
    }
    if (impl.Transport) {
        impl.Transport->Shut();
    }
}

void TIdIOHandlerTls::ConnectPeer(const std::string& AHost, int32_t APort,
                                  const std::string& ABoundIP, int32_t ABoundPort,
                                  int32_t ABoundPortLow, int32_t ABoundPortHigh, int32_t ATimeout) {
    TIdIOHandler& transport = FImpl->RequireTransport();
    if (!transport.OnStatus) {
        transport.OnStatus = OnStatus;
    }
    transport.ConnectPeer(AHost, APort, ABoundIP, ABoundPort, ABoundPortLow, ABoundPortHigh,
                          ATimeout);
    FImpl->ConnectHost = AHost;
    StartTls();
}

bool TIdIOHandlerTls::IsOpen() {
    return FImpl->Transport && FImpl->Transport->IsOpen();
}

void TIdIOHandlerTls::Prepare() {
    FImpl->FreeSsl();
    FImpl->RequireTransport().Prepare();
}

void TIdIOHandlerTls::AcceptCompleted() {
    FImpl->RequireTransport().AcceptCompleted();
}

bool TIdIOHandlerTls::WaitReadable(int32_t AMSec) {
    TImpl& impl = *FImpl;
    if (impl.PeerClosedTls || impl.Failed || !impl.Established) {
        return true;
    }
    if (SSL_pending(impl.Ssl) > 0) {
        return true;
    }
    char byte;
    int error = SSL_ERROR_NONE;
    const int n = impl.Run([&] { return SSL_peek(impl.Ssl, &byte, 1); }, AMSec, error);
    if (n > 0 || error == SSL_ERROR_ZERO_RETURN) {
        return true;
    }
    if (error == SSL_ERROR_WANT_READ) {
        return false;
    }
    // Raised here, while OpenSSL's reason is still known.
    impl.RaiseFailure(RSTlsFailure);
}

int32_t TIdIOHandlerTls::ReceiveInto(void* ABuffer, int32_t ALength) {
    bool ready = false;
    const int32_t n = FImpl->Read(ABuffer, ALength, -2, ready);
    if (!ready) {
        throw EIdReadTimeout(RSReadTimeout);
    }
    return n;
}

bool TIdIOHandlerTls::ReceiveIfReady(void* ABuffer, int32_t ALength, int32_t& AResult) {
    if (!FImpl->Established || FImpl->Failed) {
        return false;
    }
    bool ready = false;
    AResult = FImpl->Read(ABuffer, ALength, 0, ready);
    return ready;
}

int32_t TIdIOHandlerTls::SendFrom(const void* ABuffer, int32_t ALength) {
    TImpl& impl = *FImpl;
    if (!impl.Ssl || !impl.Established || impl.Failed) {
        throw EIdClosedSocket(RSStatusDisconnected);
    }
    int error = SSL_ERROR_NONE;
    const int n = impl.Run([&] { return SSL_write(impl.Ssl, ABuffer, ALength); }, -2, error);
    if (n <= 0) {
        impl.RaiseFailure(RSTlsFailure);
    }
    return n;
}

TIdAddress TIdIOHandlerTls::LocalAddress() {
    return FImpl->Transport ? FImpl->Transport->LocalAddress() : TIdAddress();
}

TIdAddress TIdIOHandlerTls::PeerAddress() {
    return FImpl->Transport ? FImpl->Transport->PeerAddress() : TIdAddress();
}

TIdSocksInfo* TIdIOHandlerTls::SocksInfo() {
    return FImpl->Transport ? FImpl->Transport->SocksInfo() : nullptr;
}

TIdSocketHandle* TIdIOHandlerTls::SocketHandle() {
    return FImpl->Transport ? FImpl->Transport->SocketHandle() : nullptr;
}
