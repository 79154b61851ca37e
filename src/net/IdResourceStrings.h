#pragma once

// Every message text the network library raises, in one place so that the
// wording stays exact and callers can compare against it.
namespace IdResourceStrings {

inline constexpr const char* RSFTPCommandNotSupported = "Command not supported.";
inline constexpr const char* RSFTPNoPassiveOverIPv6 =
    "The server refused EPSV, and PASV cannot reach a server over IPv6: ";
inline constexpr const char* RSFTPBadExtendedPassive = "Malformed EPSV reply: ";
inline constexpr const char* RSConnectionClosedGracefully = "Connection Closed Gracefully.";
inline constexpr const char* RSAlreadyConnected = "Already connected.";
inline constexpr const char* RSStatusDisconnected = "Disconnected.";
inline constexpr const char* RSReadTimeout = "Read Timeout";
inline constexpr const char* RSReadLnMaxLineLengthExceeded = "Max line length exceeded.";
inline constexpr const char* RSInvalidServiceName = "%s is not a valid service.";
inline constexpr const char* RSConnectTimeout = "Connect timed out.";

inline constexpr const char* RSSocksRequestFailed = "Request rejected or failed.";
inline constexpr const char* RSSocksRequestServerFailed =
    "Request rejected because SOCKS server cannot connect.";
inline constexpr const char* RSSocksRequestIdentFailed =
    "Request rejected because the client program and identd report different user-ids.";
inline constexpr const char* RSSocksUnknownError = "Unknown socks error.";
inline constexpr const char* RSSocksServerRespondError = "Socks server did not respond.";
inline constexpr const char* RSSocksAuthMethodError = "Invalid socks authentication method.";
inline constexpr const char* RSSocksAuthError = "Authentication error to socks server.";
inline constexpr const char* RSSocksServerGeneralError = "General SOCKS server failure.";
inline constexpr const char* RSSocksServerPermissionError = "Connection not allowed by ruleset.";
inline constexpr const char* RSSocksServerNetUnreachableError = "Network unreachable.";
inline constexpr const char* RSSocksServerHostUnreachableError = "Host unreachable.";
inline constexpr const char* RSSocksServerConnectionRefusedError = "Connection refused.";
inline constexpr const char* RSSocksServerTTLExpiredError = "TTL expired.";
inline constexpr const char* RSSocksServerCommandError = "Command not supported.";
inline constexpr const char* RSSocksServerAddressError = "Address type not supported.";
inline constexpr const char* RSSocks4NoIPv6 = "SOCKS 4 cannot reach an IPv6 address.";

inline constexpr const char* RSCannotAllocateSocket = "Cannot allocate socket.";
inline constexpr const char* RSStackError = "Socket Error # %d\r\n%s";
inline constexpr const char* RSWS2LoadError = "Error on loading Winsock2 library (%s)";
inline constexpr const char* RSWS2CallError = "Error on call Winsock2 library function %s";
inline constexpr const char* RSWinsockInitializationError = "Winsock Initialization Error.";
inline constexpr const char* RSSetSizeExceeded = "Set Size Exceeded.";
inline constexpr const char* RSCouldNotBindSocket =
    "Could not bind socket. Address and port are already in use.";
inline constexpr const char* RSCannotBindRange = "Can not bind in port range (%d - %d)";
inline constexpr const char* RSInvalidPortRange = "Invalid Port Range (%d - %d)";
inline constexpr const char* RSNotEnoughDataInBuffer = "Not enough data in buffer.";
inline constexpr const char* RSNoDataToRead = "No data to read.";
inline constexpr const char* RSNotConnected = "Not Connected";
inline constexpr const char* RSNotAnInteger = "'%s' is not a valid integer value";
// A line break inside a command would smuggle a second command to the server
// (a directory name is enough to do it).
inline constexpr const char* RSCommandHasLineBreak = "Line breaks are not allowed in a command.";
inline constexpr const char* RSFileNotFound = "File \"%s\" not found";
inline constexpr const char* RSInvalidFTPListingFormat = "Unknown FTP listing format";
inline constexpr const char* RSFTPSizeMismatch =
    "Size check failed for %s: %lld bytes here, %lld bytes on the server (%s).";
inline constexpr const char* RSFTPDigestMismatch =
    "%s check failed for %s: %s here, %s on the server (%s).";
inline constexpr const char* RSFTPRemoteLarger =
    "Cannot resume %s: the server's copy (%lld bytes) is larger than the local file (%lld bytes).";
inline constexpr const char* RSDestinationFileAlreadyExists = "Destination file already exists.";

inline constexpr const char* RSStreamTooLargeForPrefix =
    "A stream of %lld bytes does not fit a 4-byte size prefix.";
inline constexpr const char* RSInvalidPort = "'%lld' is not a valid port";
inline constexpr const char* RSAcceptTimeout = "Accept timed out.";

// TLS texts of our own.
inline constexpr const char* RSTlsHandshakeFailed = "TLS handshake failed: %s";
inline constexpr const char* RSTlsHandshakeTimeout = "TLS handshake timed out.";
inline constexpr const char* RSTlsFailure = "TLS failure: %s";
inline constexpr const char* RSTlsTruncated =
    "The server ended the connection without closing TLS; the data may be incomplete.";
inline constexpr const char* RSTlsUnreadData =
    "The server sent data before the TLS handshake had begun.";
inline constexpr const char* RSTlsNotVerified =
    "The server's certificate could not be verified: %s (SHA-256 fingerprint %s)";
inline constexpr const char* RSTlsPinMismatch =
    "the certificate does not match the pinned fingerprint";
inline constexpr const char* RSTlsNoCertificate = "the server sent no certificate";
inline constexpr const char* RSTlsNoHostName =
    "there is no host name to check the certificate against";
inline constexpr const char* RSTlsCAFile = "the CA file could not be read";
inline constexpr const char* RSTlsPeerClosed = "the server closed the connection";
inline constexpr const char* RSFTPTlsRefused = "The server refused TLS: %s";

} // namespace IdResourceStrings
