#include "Options.h"

#include "Errors.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

constexpr double kMaxTimeoutSeconds = 2000000.0;
// SOCKS 5 carries user name and password lengths in one byte each.
constexpr size_t kMaxSocksField = 255;

int32_t ParseTimeout(const std::string& AText) {
    char* end = nullptr;
    const double seconds = AText.empty() ? -1 : std::strtod(AText.c_str(), &end);
    if (AText.empty() || end != AText.c_str() + AText.size() || !std::isfinite(seconds) ||
        seconds < 0 || seconds > kMaxTimeoutSeconds ||
        AText.find_first_not_of("0123456789.") != std::string::npos) {
        throw EUsage("bad --timeout '" + AText + "': expected seconds, 0 for no limit");
    }
    const auto ms = static_cast<int32_t>(std::llround(seconds * 1000));
    return seconds > 0 && ms == 0 ? 1 : ms;
}

// HOST:PORT, the host optionally in brackets.
void ParseHostPort(const std::string& AText, const std::string& AOption, TSocksOption& AOut) {
    std::string host;
    std::string port;
    if (!AText.empty() && AText.front() == '[') {
        const size_t close = AText.find(']');
        if (close == std::string::npos || close + 1 >= AText.size() || AText[close + 1] != ':') {
            throw EUsage("bad " + AOption + " '" + AText + "': expected HOST:PORT");
        }
        host = AText.substr(1, close - 1);
        port = AText.substr(close + 2);
    } else {
        const size_t colon = AText.rfind(':');
        if (colon == std::string::npos) {
            throw EUsage("bad " + AOption + " '" + AText + "': expected HOST:PORT");
        }
        host = AText.substr(0, colon);
        port = AText.substr(colon + 1);
    }
    if (host.empty() || host.find_first_of(" @/:") != std::string::npos) {
        throw EUsage("bad " + AOption + " '" + AText + "': expected HOST:PORT");
    }
    AOut.Host = host;
    AOut.Port = ParsePort(port, AOption);
}

TSocksOption ParseSocks(int AVersion, const std::string& AOption, const std::string& AValue) {
    TSocksOption socks;
    socks.Version = AVersion;
    std::string address = AValue;
    if (AVersion == 5) {
        if (const size_t comma = AValue.find(','); comma != std::string::npos) {
            address = AValue.substr(0, comma);
            const std::string login = AValue.substr(comma + 1);
            const size_t colon = login.find(':');
            if (colon == std::string::npos || colon == 0) {
                throw EUsage("bad " + AOption + ": expected HOST:PORT,USER:PASSWORD");
            }
            socks.HasLogin = true;
            socks.User = login.substr(0, colon);
            socks.Password = login.substr(colon + 1);
            if (socks.User.size() > kMaxSocksField || socks.Password.size() > kMaxSocksField) {
                throw EUsage("bad " + AOption + ": user name and password are 255 bytes at most");
            }
        }
    }
    ParseHostPort(address, AOption, socks);
    return socks;
}

void SetTls(TCliOptions& AOptions, TCliTls AValue) {
    if (AOptions.Tls != TCliTls::Plain && AOptions.Tls != AValue) {
        throw EUsage("--tls and --tls-if-available exclude each other");
    }
    AOptions.Tls = AValue;
}

TCliCommand CommandByName(const std::string& AName) {
    if (AName == "ls") {
        return TCliCommand::Ls;
    }
    if (AName == "get") {
        return TCliCommand::Get;
    }
    if (AName == "put") {
        return TCliCommand::Put;
    }
    if (AName == "mkdir") {
        return TCliCommand::Mkdir;
    }
    if (AName == "rmdir") {
        return TCliCommand::Rmdir;
    }
    if (AName == "rm") {
        return TCliCommand::Rm;
    }
    if (AName == "mv") {
        return TCliCommand::Mv;
    }
    throw EUsage("unknown command '" + AName + "' (try --help)");
}

} // namespace

std::string ParsePin(const std::string& AText) {
    std::string digits;
    for (const char c : AText) {
        if (c == ':') {
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            digits.clear();
            break;
        }
        digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (digits.size() != 64) {
        throw EUsage("bad --pin '" + AText +
                     "': expected a SHA-256 fingerprint, 64 hex digits (colons allowed)");
    }
    return digits;
}

std::string UsageText() {
    return "Usage:\n"
           "  qvftp [OPTIONS] ls    URL            list a directory\n"
           "  qvftp [OPTIONS] get   URL [DEST]     download a file\n"
           "  qvftp [OPTIONS] put   FILE URL       upload a file\n"
           "  qvftp [OPTIONS] get -r URL [DEST]    download a directory tree\n"
           "  qvftp [OPTIONS] put -r DIR URL       upload a directory tree\n"
           "  qvftp [OPTIONS] rm -r URL            delete a directory tree\n"
           "  qvftp [OPTIONS] mv URL NEWNAME       rename (NEWNAME as the server takes it)\n"
           "  qvftp [OPTIONS] mkdir URL | rmdir URL | rm URL\n"
           "  qvftp --help | --version\n"
           "\n"
           "URL: ftp://[USER[:PASSWORD]@]HOST[:PORT]/PATH (percent-encoded; the path is\n"
           "relative to the login directory, a leading %2F makes it absolute). An IPv6\n"
           "address goes in brackets: ftp://[::1]:2121/PATH.\n"
           "ftps:// is TLS from the first byte (implicit TLS, default port 990).\n"
           "\n"
           "Options:\n"
           "  --active                  active mode (PORT, EPRT over IPv6); passive is the\n"
           "                            default\n"
           "  --no-epsv                 passive mode asks with PASV, not EPSV (IPv4 only)\n"
           "  --ascii                   ASCII transfer type; binary is the default\n"
           "  --user USER[:PASSWORD]    sign in as USER (default: anonymous)\n"
           "  --password-stdin          read the password from the first line of stdin\n"
           "  --timeout SECONDS         limit for every connect and every wait\n"
           "                            (default 30, 0 = none)\n"
           "  --socks4 HOST:PORT        connect through a SOCKS 4 proxy\n"
           "  --socks4a HOST:PORT       connect through a SOCKS 4A proxy\n"
           "  --socks5 HOST:PORT[,USER:PASSWORD]\n"
           "                            connect through a SOCKS 5 proxy\n"
           "  -l                        ls: long form: kind, size, date, name\n"
           "  --no-mlsd                 list with LIST even where the server offers MLSD\n"
           "  --tls                     require TLS (AUTH TLS); fail if the server refuses\n"
           "  --tls-if-available        TLS when the server offers it, plain FTP otherwise\n"
           "  --cacert FILE             trust the CAs in this PEM file, not the system's\n"
           "  --pin SHA256              trust only the certificate with this SHA-256\n"
           "                            fingerprint (hex, colons allowed)\n"
           "  --insecure                do not verify the server's certificate\n"
           "  --resume                  get: continue a partial DEST; put: continue the\n"
           "                            server's partial copy (REST + STOR, or APPE)\n"
           "  --verify                  fail (exit code 8) unless the server computed a\n"
           "                            digest of its copy that matched; every transfer\n"
           "                            is checked by size anyway\n"
           "  --retries N               try a transfer again up to N times after a\n"
           "                            transient failure (lost or refused connection,\n"
           "                            421, 425, 426, 450, 451), resuming where the\n"
           "                            server can; pauses 1 s, 2 s, 4 s, ... (default 3,\n"
           "                            0 = never)\n"
           "  -r                        get, put, rm: the whole directory tree; as with\n"
           "                            cp -r, a DEST that does not exist becomes the\n"
           "                            copy and an existing directory receives it under\n"
           "                            its own name. Links are not followed; each\n"
           "                            skipped or failed entry is one line on stderr\n"
           "  --parallel N              get -r, put -r: move files over N sessions at\n"
           "                            once (1 to 16, default 4); fewer when the server\n"
           "                            refuses more\n"
           "  -v                        show the command exchange (and the walk) on stderr\n"
           "  -q                        no progress line\n"
           "  -4, -6                    use IPv4 only, IPv6 only (default: every address\n"
           "                            of the host in turn)\n"
           "\n"
           "Exit codes: 0 success, 1 usage error, 2 could not connect, 3 sign-in refused,\n"
           "4 TLS failure, 5 the server refused the operation, 6 local file error,\n"
           "7 connection lost or timed out during the operation, 8 the check of the\n"
           "transferred file failed (size or digest differ, or --verify found no digest).\n";
}

TCliOptions ParseCommandLine(int argc, const char* const* argv) {
    TCliOptions options;
    std::vector<std::string> positional;
    bool optionsEnded = false;
    bool sawSocks = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg[1] != '-') {
            for (size_t k = 1; k < arg.size(); ++k) {
                const int family = options.Family;
                switch (arg[k]) {
                case 'v':
                    options.Verbose = true;
                    break;
                case 'q':
                    options.Quiet = true;
                    break;
                case 'l':
                    options.LongList = true;
                    break;
                case 'r':
                    options.Recursive = true;
                    break;
                case '4':
                case '6':
                    options.Family = arg[k] - '0';
                    if (family != 0 && family != options.Family) {
                        throw EUsage("-4 and -6 exclude each other");
                    }
                    break;
                default:
                    throw EUsage("unknown option '-" + std::string(1, arg[k]) + "' (try --help)");
                }
            }
            continue;
        }
        std::string name = arg;
        std::optional<std::string> inlineValue;
        if (const size_t eq = arg.find('='); eq != std::string::npos) {
            name = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }
        auto value = [&]() -> std::string {
            if (inlineValue) {
                return *inlineValue;
            }
            if (i + 1 >= argc) {
                throw EUsage("option " + name + " needs a value");
            }
            return argv[++i];
        };
        auto flag = [&](bool& AFlag) {
            if (inlineValue) {
                throw EUsage("option " + name + " takes no value");
            }
            AFlag = true;
        };
        // A small count in decimal, from ALow to AHigh.
        auto number = [&](int32_t ALow, int32_t AHigh) {
            const std::string text = value();
            int32_t count = -1;
            if (!text.empty() && text.size() <= 2 &&
                text.find_first_not_of("0123456789") == std::string::npos) {
                count = std::stoi(text);
            }
            if (count < ALow || count > AHigh) {
                throw EUsage("bad " + name + " '" + text + "': expected " + std::to_string(ALow) +
                             " to " + std::to_string(AHigh));
            }
            return count;
        };
        if (name == "--help") {
            bool help = false;
            flag(help);
            options.Command = TCliCommand::Help;
            return options;
        } else if (name == "--version") {
            bool version = false;
            flag(version);
            options.Command = TCliCommand::Version;
            return options;
        } else if (name == "--active") {
            flag(options.Active);
        } else if (name == "--no-epsv") {
            flag(options.NoEpsv);
        } else if (name == "--ascii") {
            flag(options.Ascii);
        } else if (name == "--resume") {
            flag(options.Resume);
        } else if (name == "--verify") {
            flag(options.Verify);
        } else if (name == "--retries") {
            options.Retries = number(0, 20);
        } else if (name == "--parallel") {
            options.Parallel = number(1, 16);
        } else if (name == "--no-mlsd") {
            flag(options.NoMlsd);
        } else if (name == "--password-stdin") {
            flag(options.PasswordStdin);
        } else if (name == "--user") {
            const std::string login = value();
            const size_t colon = login.find(':');
            options.User = login.substr(0, colon);
            if (options.User->empty()) {
                throw EUsage("bad --user: empty user name");
            }
            if (colon != std::string::npos) {
                options.Password = login.substr(colon + 1);
            }
            if (login.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
                throw EUsage("bad --user: it contains a NUL, CR or LF byte");
            }
        } else if (name == "--tls") {
            bool tls = false;
            flag(tls);
            SetTls(options, TCliTls::Required);
        } else if (name == "--tls-if-available") {
            bool tls = false;
            flag(tls);
            SetTls(options, TCliTls::IfAvailable);
        } else if (name == "--cacert") {
            options.CAFile = value();
            if (options.CAFile.empty()) {
                throw EUsage("bad --cacert: empty file name");
            }
        } else if (name == "--pin") {
            options.Pin = ParsePin(value());
        } else if (name == "--insecure") {
            flag(options.Insecure);
        } else if (name == "--timeout") {
            options.TimeoutMs = ParseTimeout(value());
        } else if (name == "--socks4" || name == "--socks4a" || name == "--socks5") {
            if (sawSocks) {
                throw EUsage("only one SOCKS proxy can be given");
            }
            sawSocks = true;
            const int version = name == "--socks4" ? 4 : name == "--socks4a" ? 41 : 5;
            options.Socks = ParseSocks(version, name, value());
        } else {
            throw EUsage("unknown option '" + name + "' (try --help)");
        }
    }

    if (positional.empty()) {
        throw EUsage("missing command (try --help)");
    }
    options.Command = CommandByName(positional.front());
    const size_t args = positional.size() - 1;
    size_t wanted = 1;
    size_t most = 1;
    if (options.Command == TCliCommand::Get) {
        most = 2;
    } else if (options.Command == TCliCommand::Put || options.Command == TCliCommand::Mv) {
        wanted = most = 2;
    }
    if (args < wanted) {
        throw EUsage("missing argument for " + positional.front() + " (try --help)");
    }
    if (args > most) {
        throw EUsage("too many arguments for " + positional.front() + ": '" + positional[most + 1] +
                     "'");
    }
    if (options.Command == TCliCommand::Put) {
        options.LocalPath = positional[1];
        options.UrlText = positional[2];
    } else if (options.Command == TCliCommand::Mv) {
        options.UrlText = positional[1];
        options.NewName = positional[2];
        if (options.NewName.empty() ||
            options.NewName.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
            throw EUsage("bad NEWNAME: empty, or with a CR, LF or NUL byte");
        }
    } else {
        options.UrlText = positional[1];
        if (args == 2) {
            options.LocalPath = positional[2];
        }
    }
    if (options.LocalPath.empty() && options.Command != TCliCommand::Mv &&
        (options.Command == TCliCommand::Put || args == 2)) {
        throw EUsage("empty local file name");
    }
    if (options.LongList && options.Command != TCliCommand::Ls) {
        throw EUsage("-l applies to ls only");
    }
    if (options.Recursive && options.Command != TCliCommand::Get &&
        options.Command != TCliCommand::Put && options.Command != TCliCommand::Rm) {
        throw EUsage("-r applies to get, put and rm only");
    }
    if (options.Resume && options.Recursive) {
        throw EUsage("--resume applies to single files only");
    }
    if (options.Resume && options.Command != TCliCommand::Get &&
        options.Command != TCliCommand::Put) {
        throw EUsage("--resume applies to get and put only");
    }
    if (options.Verify && options.Command != TCliCommand::Get &&
        options.Command != TCliCommand::Put) {
        throw EUsage("--verify applies to get and put only");
    }
    options.Url = ParseFtpUrl(options.UrlText);
    if (options.Url.Implicit) {
        if (options.Tls == TCliTls::IfAvailable) {
            throw EUsage("--tls-if-available does not apply to ftps://, which is TLS throughout");
        }
        options.Tls = TCliTls::Implicit;
    }
    const int trust = !options.CAFile.empty() + !options.Pin.empty() + options.Insecure;
    if (trust > 1) {
        throw EUsage("--cacert, --pin and --insecure exclude each other");
    }
    if (trust > 0 && options.Tls == TCliTls::Plain) {
        throw EUsage("--cacert, --pin and --insecure need --tls, --tls-if-available or ftps://");
    }

    const bool hasName = !options.Url.Name.empty();
    switch (options.Command) {
    case TCliCommand::Get:
    case TCliCommand::Rm:
        if (!hasName && !options.Recursive) {
            throw EUsage("the URL names no file: '" + options.UrlText + "' ends in '/'");
        }
        [[fallthrough]];
    case TCliCommand::Mv:
    case TCliCommand::Mkdir:
    case TCliCommand::Rmdir:
        // "ftp://h/a/new/" names the directory "new" as well.
        if (!hasName) {
            if (options.Url.Dirs.empty()) {
                throw EUsage("the URL names no directory: '" + options.UrlText + "'");
            }
            options.Url.Name = options.Url.Dirs.back();
            options.Url.Dirs.pop_back();
        }
        break;
    default:
        break;
    }
    return options;
}
