#pragma once

#include "Url.h"

#include <cstdint>
#include <optional>
#include <string>

enum class TCliCommand { None, Help, Version, Ls, Get, Put, Mkdir, Rmdir, Rm, Mv };

struct TSocksOption {
    // 0 none, 4, 41 (4A) or 5.
    int Version = 0;
    std::string Host;
    int32_t Port = 0;
    bool HasLogin = false;
    std::string User;
    std::string Password;
};

// How the session is protected: --tls-if-available, --tls, ftps://.
enum class TCliTls { Plain, IfAvailable, Required, Implicit };

struct TCliOptions {
    TCliCommand Command = TCliCommand::None;
    TFtpUrl Url;
    std::string UrlText;
    // get: the local target (may be empty); put: the local source.
    std::string LocalPath;
    // mv: the new name, sent as it is.
    std::string NewName;
    // -r: get, put and rm take whole directory trees.
    bool Recursive = false;

    bool Active = false;
    bool NoEpsv = false;
    bool Ascii = false;
    bool Verbose = false;
    bool Quiet = false;
    bool LongList = false;
    // get: continue a partial DEST; put: continue the server's partial copy.
    bool Resume = false;
    // Fail with exit code 8 unless a digest of the server's copy was compared.
    bool Verify = false;
    // Further attempts after a transient failure; 0 = none.
    int32_t Retries = 3;
    // Sessions that move the files of get -r and put -r at once.
    int32_t Parallel = 4;
    bool PasswordStdin = false;
    // Long listings with LIST even where the server offers MLSD.
    bool NoMlsd = false;
    std::optional<std::string> User;
    std::optional<std::string> Password;
    // Milliseconds; 0 means no limit.
    int32_t TimeoutMs = 30000;
    TSocksOption Socks;
    // 0 either, 4 or 6.
    int Family = 0;
    TCliTls Tls = TCliTls::Plain;
    // PEM file of the CAs to trust instead of the system's.
    std::string CAFile;
    // The server certificate's SHA-256 as 64 hex digits, upper case, no colons.
    std::string Pin;
    bool Insecure = false;
};

// "AB:cd:..." or "abcd..." -> 64 upper-case hex digits; EUsage otherwise.
std::string ParsePin(const std::string& AText);

// Raises EUsage with a one-line message for anything malformed.
TCliOptions ParseCommandLine(int argc, const char* const* argv);

// The text --help prints.
std::string UsageText();
