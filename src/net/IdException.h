#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// The one tree every failure of the network library belongs to. Callers tell
// failures apart by class; two classes carry a number callers test.

class EIdException : public std::runtime_error {
public:
    explicit EIdException(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

#define QUORVAN_DECLARE_EXCEPTION(Name, Base)                                                      \
    class Name : public Base {                                                                     \
    public:                                                                                        \
        using Base::Base;                                                                          \
    };

// Grouping classes are never raised themselves; they let callers catch a family.
QUORVAN_DECLARE_EXCEPTION(EIdSilentException, EIdException)
QUORVAN_DECLARE_EXCEPTION(EIdConnClosedGracefully, EIdSilentException)
QUORVAN_DECLARE_EXCEPTION(EIdAlreadyConnected, EIdException)
QUORVAN_DECLARE_EXCEPTION(EIdClosedSocket, EIdException)
QUORVAN_DECLARE_EXCEPTION(EIdReadTimeout, EIdException)
QUORVAN_DECLARE_EXCEPTION(EIdReadLnMaxLineLengthExceeded, EIdException)
QUORVAN_DECLARE_EXCEPTION(EIdInvalidServiceName, EIdException)
QUORVAN_DECLARE_EXCEPTION(EIdConnectTimeout, EIdException)
QUORVAN_DECLARE_EXCEPTION(EIdConnectException, EIdException)

QUORVAN_DECLARE_EXCEPTION(EIdSocksError, EIdException)
QUORVAN_DECLARE_EXCEPTION(EIdSocksRequestFailed, EIdSocksError)
QUORVAN_DECLARE_EXCEPTION(EIdSocksRequestServerFailed, EIdSocksError)
QUORVAN_DECLARE_EXCEPTION(EIdSocksRequestIdentFailed, EIdSocksError)
QUORVAN_DECLARE_EXCEPTION(EIdSocksUnknownError, EIdSocksError)
QUORVAN_DECLARE_EXCEPTION(EIdSocksServerRespondError, EIdSocksError)
QUORVAN_DECLARE_EXCEPTION(EIdSocksAuthMethodError, EIdSocksError)
QUORVAN_DECLARE_EXCEPTION(EIdSocksAuthError, EIdSocksError)
QUORVAN_DECLARE_EXCEPTION(EIdSocksServerGeneralError, EIdSocksError)
QUORVAN_DECLARE_EXCEPTION(EIdSocksServerPermissionError, EIdSocksError)
QUORVAN_DECLARE_EXCEPTION(EIdSocksServerNetUnreachableError, EIdSocksError)
QUORVAN_DECLARE_EXCEPTION(EIdSocksServerHostUnreachableError, EIdSocksError)
QUORVAN_DECLARE_EXCEPTION(EIdSocksServerConnectionRefusedError, EIdSocksError)
QUORVAN_DECLARE_EXCEPTION(EIdSocksServerTTLExpiredError, EIdSocksError)
QUORVAN_DECLARE_EXCEPTION(EIdSocksServerCommandError, EIdSocksError)
QUORVAN_DECLARE_EXCEPTION(EIdSocksServerAddressError, EIdSocksError)

QUORVAN_DECLARE_EXCEPTION(EIdInvalidSocket, EIdException)

QUORVAN_DECLARE_EXCEPTION(EIdStackError, EIdException)
QUORVAN_DECLARE_EXCEPTION(EIdStackInitializationFailed, EIdStackError)
QUORVAN_DECLARE_EXCEPTION(EIdStackSetSizeExceeded, EIdStackError)

QUORVAN_DECLARE_EXCEPTION(EIdSocketHandleError, EIdException)
QUORVAN_DECLARE_EXCEPTION(EIdCouldNotBindSocket, EIdSocketHandleError)
QUORVAN_DECLARE_EXCEPTION(EIdCanNotBindPortInRange, EIdSocketHandleError)
QUORVAN_DECLARE_EXCEPTION(EIdInvalidPortRange, EIdSocketHandleError)

QUORVAN_DECLARE_EXCEPTION(EIdTCPConnectionError, EIdException)
QUORVAN_DECLARE_EXCEPTION(EIdNotEnoughDataInBuffer, EIdTCPConnectionError)
QUORVAN_DECLARE_EXCEPTION(EIdNoDataToRead, EIdTCPConnectionError)
QUORVAN_DECLARE_EXCEPTION(EIdNotConnected, EIdTCPConnectionError)
QUORVAN_DECLARE_EXCEPTION(EIdFileNotFound, EIdTCPConnectionError)

// TLS: a failed handshake carries OpenSSL's reason; a TLS connection that
// ends without the peer's close_notify may have been cut short by an attacker,
// so its end is a failure, never an orderly close.
QUORVAN_DECLARE_EXCEPTION(EIdTlsError, EIdException)
QUORVAN_DECLARE_EXCEPTION(EIdTlsHandshakeError, EIdTlsError)
QUORVAN_DECLARE_EXCEPTION(EIdTlsTruncated, EIdTlsError)

QUORVAN_DECLARE_EXCEPTION(EIdInvalidFTPListingFormat, EIdException)
QUORVAN_DECLARE_EXCEPTION(EIdFTPFileAlreadyExists, EIdException)
// A transfer ended, but the file on the other side differs from ours.
QUORVAN_DECLARE_EXCEPTION(EIdFTPCheckFailed, EIdException)

#undef QUORVAN_DECLARE_EXCEPTION

class EIdProtocolReplyError : public EIdException {
public:
    EIdProtocolReplyError(int32_t replyCode, const std::string& message)
        : EIdException(message), ReplyCode(replyCode) {}
    int32_t ReplyCode;
};

// The message is built by the stack ("Socket Error # %d\r\n%s").
class EIdSocketError : public EIdException {
public:
    EIdSocketError(int32_t errorCode, const std::string& message)
        : EIdException(message), ErrorCode(errorCode) {}
    int32_t ErrorCode;
};

// The system's words in a socket error's message (the line after "Socket
// Error # N"); any other text as it is.
std::string WithoutSocketErrorNumber(const std::string& AText);

// What a user needs to decide whether to trust a server's certificate. Times
// are "YYYY-MM-DD HH:MM:SS UTC"; the fingerprint is the SHA-256 of the DER
// certificate as upper-case hex pairs joined by colons.
struct TIdCertificateInfo {
    std::string Subject;
    std::string Issuer;
    std::string NotBefore;
    std::string NotAfter;
    std::string Sha256;
};

// The server's certificate failed verification (chain, name, validity or pin).
class EIdTlsVerifyError : public EIdTlsHandshakeError {
public:
    EIdTlsVerifyError(const std::string& reason, const TIdCertificateInfo& certificate);
    std::string Reason;
    TIdCertificateInfo Certificate;
};

// Kept for callers that catch it; on Linux the socket calls are linked
// directly, so nothing loads a library at run time and nothing raises it.
class EIdWS2StubError : public EIdException {
public:
    EIdWS2StubError(const std::string& title, uint32_t systemErrorCode);
    uint32_t SystemErrorCode;
    std::string SystemErrorMessage;
    std::string ErrorTitle;

private:
    static std::string Compose(const std::string& title, uint32_t code);
};

// printf-style filling of the "%s"/"%d" placeholders of the message texts.
std::string FormatMessage(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
