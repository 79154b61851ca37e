#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One ftp:// address as qvftp reads it. User, password and path segments are
// percent-decoded bytes.
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
};

// Raises EUsage for anything that is not a well-formed ftp:// or ftps://
// address.
TFtpUrl ParseFtpUrl(const std::string& AText);

// Decodes %XX escapes; raises EUsage for a broken escape, and for a NUL, CR or
// LF anywhere in the result (such bytes would cut or split a command).
std::string PercentDecode(const std::string& AText, const std::string& APart);

// Reads "1".."65535"; raises EUsage naming AWhat otherwise.
int32_t ParsePort(const std::string& AText, const std::string& AWhat);
