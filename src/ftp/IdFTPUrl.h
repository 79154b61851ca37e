#pragma once

#include "IdException.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One ftp:// or ftps:// address (RFC 1738). User, password and path segments
// are percent-decoded bytes.
struct TFtpUrl {
    std::string Host;
    // Written in brackets in the address: an IPv6 literal.
    bool HostIsIPv6 = false;
    // ftps://: TLS from the first byte, port 990 unless another is given.
    bool Implicit = false;
    int32_t Port = 21;
    bool HasUser = false;
    std::string User;
    bool HasPassword = false;
    std::string Password;
    // The path below the login directory, split at "/": every segment but the
    // last is a directory to change into, the last names the object (empty
    // when the address ends in "/"). Empty segments are dropped.
    std::vector<std::string> Dirs;
    std::string Name;
    // The path as written, for messages.
    std::string RawPath;

    // Dirs and Name joined by "/": the whole path as one directory, relative
    // to the login directory unless it starts with an escaped "/" (%2F).
    // Empty for an address without a path.
    std::string DirectoryPath() const;
};

// What is wrong with an address, so that a program can say it in its own
// language; the exception's text says it in English.
enum class TFtpUrlFault {
    ufControlCharacter,
    ufScheme,
    ufBrokenEscape,
    ufForbiddenByte,
    ufEmptyUser,
    ufUnclosedBracket,
    ufNotIPv6,
    ufAfterIPv6,
    ufNoHost,
    ufNotHostName,
    ufPort,
};
// The part of the address a broken escape or a forbidden byte is in.
enum class TFtpUrlPart { upNone, upUser, upPassword, upPath };

class EIdFtpUrlError : public EIdException {
public:
    EIdFtpUrlError(TFtpUrlFault AFault, TFtpUrlPart APart, const std::string& ADetail,
                   const std::string& AMessage)
        : EIdException(AMessage), Fault(AFault), Part(APart), Detail(ADetail) {}
    TFtpUrlFault Fault;
    TFtpUrlPart Part;
    // The offending host, port text or whole address, where there is one.
    std::string Detail;
};

// Raises EIdFtpUrlError for anything that is not a well-formed ftp:// or
// ftps:// address.
TFtpUrl ParseFtpUrl(const std::string& AText);

// Decodes %XX escapes; raises EIdFtpUrlError for a broken escape, and for a
// NUL, CR or LF anywhere in the result (such bytes would cut or split a
// command).
std::string PercentDecode(const std::string& AText, TFtpUrlPart APart);

// "1".."65535", digits only: a wider number would wrap to another port.
bool TryParsePort(std::string_view AText, int32_t& APort);
