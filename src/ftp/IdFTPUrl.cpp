#include "IdFTPUrl.h"

#include "IdGlobal.h"

#include <cctype>

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool IsHostNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

const char* PartName(TFtpUrlPart APart) {
    switch (APart) {
    case TFtpUrlPart::upUser:
        return "user name";
    case TFtpUrlPart::upPassword:
        return "password";
    default:
        return "path";
    }
}

[[noreturn]] void Fail(TFtpUrlFault AFault, const std::string& ADetail, const std::string& AText) {
    throw EIdFtpUrlError(AFault, TFtpUrlPart::upNone, ADetail, AText);
}

} // namespace

std::string TFtpUrl::DirectoryPath() const {
    std::string path;
    for (const std::string& dir : Dirs) {
        path += dir + "/";
    }
    if (!Name.empty()) {
        return path + Name;
    }
    if (!path.empty()) {
        path.pop_back();
    }
    return path;
}

std::string PercentDecode(const std::string& AText, TFtpUrlPart APart) {
    std::string out;
    out.reserve(AText.size());
    for (size_t i = 0; i < AText.size(); ++i) {
        char c = AText[i];
        if (c == '%') {
            const bool whole = i + 2 < AText.size();
            const int high = whole ? HexValue(AText[i + 1]) : -1;
            const int low = whole ? HexValue(AText[i + 2]) : -1;
            if (high < 0 || low < 0) {
                throw EIdFtpUrlError(TFtpUrlFault::ufBrokenEscape, APart, {},
                                     std::string("bad URL: broken %-escape in the ") +
                                         PartName(APart));
            }
            c = static_cast<char>(high * 16 + low);
            i += 2;
        }
        // A NUL would cut the name short, CR or LF would start a second command.
        if (c == '\0' || c == '\r' || c == '\n') {
            throw EIdFtpUrlError(TFtpUrlFault::ufForbiddenByte, APart, {},
                                 std::string("bad URL: the ") + PartName(APart) +
                                     " contains a NUL, CR or LF byte");
        }
        out += c;
    }
    return out;
}

bool TryParsePort(std::string_view AText, int32_t& APort) {
    if (AText.empty() || AText.size() > 5) {
        return false;
    }
    int32_t value = 0;
    for (char c : AText) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) {
        return false;
    }
    APort = value;
    return true;
}

TFtpUrl ParseFtpUrl(const std::string& AText) {
    for (char c : AText) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            Fail(TFtpUrlFault::ufControlCharacter, {}, "bad URL: it contains a control character");
        }
    }
    TFtpUrl url;
    url.Implicit = StartsWithText(AText, "ftps://");
    if (!url.Implicit && !StartsWithText(AText, "ftp://")) {
        Fail(TFtpUrlFault::ufScheme, AText,
             "bad URL '" + AText + "': expected ftp://[USER[:PASSWORD]@]HOST[:PORT]/PATH");
    }
    if (url.Implicit) {
        url.Port = 990;
    }
    const std::string rest = AText.substr(url.Implicit ? 7 : 6);
    const size_t slash = rest.find('/');
    const std::string authority = rest.substr(0, slash);
    url.RawPath = slash == std::string::npos ? std::string("/") : rest.substr(slash);

    std::string hostPort = authority;
    // The last "@" ends the user part: an unescaped "@" may appear in a password.
    if (const size_t at = authority.rfind('@'); at != std::string::npos) {
        const std::string userInfo = authority.substr(0, at);
        hostPort = authority.substr(at + 1);
        const size_t colon = userInfo.find(':');
        url.HasUser = true;
        url.User = PercentDecode(userInfo.substr(0, colon), TFtpUrlPart::upUser);
        if (url.User.empty()) {
            Fail(TFtpUrlFault::ufEmptyUser, {}, "bad URL: empty user name before '@'");
        }
        if (colon != std::string::npos) {
            url.HasPassword = true;
            url.Password = PercentDecode(userInfo.substr(colon + 1), TFtpUrlPart::upPassword);
        }
    }

    std::string portText;
    bool hasPort = false;
    if (!hostPort.empty() && hostPort.front() == '[') {
        const size_t close = hostPort.find(']');
        if (close == std::string::npos) {
            Fail(TFtpUrlFault::ufUnclosedBracket, {},
                 "bad URL: missing ']' after the IPv6 address");
        }
        url.Host = hostPort.substr(1, close - 1);
        url.HostIsIPv6 = true;
        if (url.Host.empty() ||
            url.Host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos) {
            Fail(TFtpUrlFault::ufNotIPv6, url.Host,
                 "bad URL: '" + url.Host + "' is not an IPv6 address");
        }
        const std::string after = hostPort.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') {
                Fail(TFtpUrlFault::ufAfterIPv6, after,
                     "bad URL: unexpected text after the IPv6 address");
            }
            hasPort = true;
            portText = after.substr(1);
        }
    } else {
        const size_t colon = hostPort.find(':');
        url.Host = hostPort.substr(0, colon);
        if (colon != std::string::npos) {
            hasPort = true;
            portText = hostPort.substr(colon + 1);
        }
        if (url.Host.empty()) {
            Fail(TFtpUrlFault::ufNoHost, AText, "bad URL '" + AText + "': no host");
        }
        for (char c : url.Host) {
            if (!IsHostNameChar(c)) {
                Fail(TFtpUrlFault::ufNotHostName, url.Host,
                     "bad URL: '" + url.Host + "' is not a host name");
            }
        }
    }
    if (hasPort && !TryParsePort(portText, url.Port)) {
        Fail(TFtpUrlFault::ufPort, portText,
             "bad URL port '" + portText + "': expected 1 to 65535");
    }

    // Segments are split before decoding, so an escaped "/" (%2F) stays inside
    // its segment: a leading one makes the first directory absolute.
    std::vector<std::string> segments;
    const std::string path = url.RawPath.substr(1);
    size_t start = 0;
    for (;;) {
        const size_t next = path.find('/', start);
        const std::string raw = path.substr(start, next - start);
        segments.push_back(PercentDecode(raw, TFtpUrlPart::upPath));
        if (next == std::string::npos) {
            break;
        }
        start = next + 1;
    }
    url.Name = segments.back();
    segments.pop_back();
    for (std::string& s : segments) {
        if (!s.empty()) {
            url.Dirs.push_back(std::move(s));
        }
    }
    return url;
}
