#include "RealFtpServer.h"

#include "InetdFtpServer.h"
#include "PyftpdlibServer.h"
#include "RcloneServer.h"
#include "VsftpdServer.h"

#include <cctype>
#include <stdexcept>

namespace qtest {

namespace fs = std::filesystem;

RealFtpServer::~RealFtpServer() = default;

fs::path RealFtpServer::writeFile(const fs::path& rel, const std::string& bytes) const {
    fs::path file = workDir() / rel;
    fs::create_directories(file.parent_path());
    WriteFile(file, bytes);
    for (fs::path p = file; p != workDir() && p.has_parent_path(); p = p.parent_path())
        handOver(p);
    return file;
}

fs::path RealFtpServer::makeDir(const fs::path& rel) const {
    fs::path dir = workDir() / rel;
    fs::create_directories(dir);
    for (fs::path p = dir; p != workDir() && p.has_parent_path(); p = p.parent_path())
        handOver(p);
    return dir;
}

std::string RealFtpServer::readFile(const fs::path& rel) const {
    return ReadFile(workDir() / rel);
}

bool RealFtpServer::exists(const fs::path& rel) const {
    std::error_code ec;
    return fs::exists(workDir() / rel, ec);
}

std::string RealFtpServer::remotePath(const std::string& rel) const {
    std::string dir = remoteWorkDir();
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    return dir + rel;
}

std::string RealFtpServer::url(const std::string& rel) const {
    const std::string host = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
    return "ftp://" + host + ":" + std::to_string(port_) + remotePath(rel);
}

std::string RealFtpServer::urlWithLogin(const std::string& rel) const {
    std::string plain = url(rel);
    // curl takes the login from the URL; blanks and '@' must be escaped there.
    auto escape = [](const std::string& s) {
        static const char* hex = "0123456789ABCDEF";
        std::string out;
        for (unsigned char c : s) {
            if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
                out += static_cast<char>(c);
            } else {
                out += '%';
                out += hex[c >> 4];
                out += hex[c & 15];
            }
        }
        return out;
    };
    return "ftp://" + escape(user()) + ":" + escape(password()) + "@" + plain.substr(6);
}

std::string RealFtpServer::log() const {
    return process_ ? process_->log() : std::string();
}

std::string ToString(FtpServerKind kind) {
    switch (kind) {
    case FtpServerKind::Vsftpd: return "vsftpd";
    case FtpServerKind::Pyftpdlib: return "pyftpdlib";
    case FtpServerKind::Inetutils: return "inetutils";
    case FtpServerKind::FtpdSsl: return "ftpdSsl";
    case FtpServerKind::Twisted: return "twisted";
    case FtpServerKind::Rclone: return "rclone";
    }
    return "?";
}

std::string FtpServerUnavailable(FtpServerKind kind) {
    switch (kind) {
    case FtpServerKind::Vsftpd: return VsftpdServer::Unavailable();
    case FtpServerKind::Pyftpdlib: return PyftpdlibServer::Unavailable();
    case FtpServerKind::Inetutils: return InetdFtpServer::Unavailable(false);
    case FtpServerKind::FtpdSsl: return InetdFtpServer::Unavailable(true);
    case FtpServerKind::Twisted: return TwistedServer::Unavailable();
    case FtpServerKind::Rclone: return RcloneServer::Unavailable();
    }
    return "unknown server";
}

std::string FtpServerLacks(FtpServerKind kind, FtpAbility ability) {
    using K = FtpServerKind;
    using A = FtpAbility;
    struct Gap {
        K kind;
        A ability;
        const char* why;
    };
    static const Gap gaps[] = {
        {K::Vsftpd, A::Password, "vsftpd signs in anonymous only here (a password needs PAM)"},
        {K::Vsftpd, A::Banner, "vsftpd puts 220- before every banner_file line"},
        {K::Vsftpd, A::Mlsd, "vsftpd has no MLSD"},
        {K::Pyftpdlib, A::TlsImplicit, "pyftpdlib has no implicit TLS"},
        {K::Inetutils, A::Banner, "inetutils ftpd reads its banner only from /etc/ftpwelcome"},
        {K::Inetutils, A::Mlsd, "inetutils ftpd has no MLSD"},
        {K::Inetutils, A::TlsExplicit, "inetutils ftpd has no TLS"},
        {K::Inetutils, A::TlsImplicit, "inetutils ftpd has no TLS"},
        {K::FtpdSsl, A::Banner, "ftpd-ssl reads its banner only from /etc/ftpwelcome"},
        {K::FtpdSsl, A::Mlsd, "ftpd-ssl has no MLSD (nor FEAT)"},
        {K::FtpdSsl, A::TlsExplicit,
         "ftpd-ssl answers AUTH with 234, but this build never opens the certificate given "
         "with -z cert= (nor its default one): every handshake fails, no shared cipher"},
        {K::FtpdSsl, A::TlsImplicit, "ftpd-ssl has no implicit TLS"},
        {K::Twisted, A::Ascii, "Twisted 22.4 fails every RETR in TYPE A on Python 3 (TypeError "
                               "in its ASCII consumer, then 550 after its timeout)"},
        {K::Twisted, A::Utf8Names, "Twisted decodes commands as Latin-1 and stores the name "
                                   "re-encoded, so a UTF-8 name is listed double-encoded"},
        {K::Twisted, A::Mlsd, "Twisted's FTP server has no MLSD"},
        {K::Twisted, A::Resume, "Twisted's FTP server has neither REST nor APPE"},
        {K::Twisted, A::Extended, "Twisted's FTP server has neither EPSV nor EPRT"},
        {K::Twisted, A::Ipv6, "Twisted's FTP server has no EPSV, the only passive mode over IPv6"},
        {K::Twisted, A::TlsExplicit, "Twisted's FTP server has no TLS"},
        {K::Twisted, A::TlsImplicit, "Twisted's FTP server has no TLS"},
        {K::Rclone, A::Anonymous, "rclone serve ftp signs in its one user only"},
        {K::Rclone, A::Banner, "rclone serve ftp has no banner option"},
        {K::Rclone, A::TlsImplicit, "rclone serve ftp has no implicit TLS"},
    };
    for (const Gap& gap : gaps)
        if (gap.kind == kind && gap.ability == ability)
            return gap.why;
    return {};
}

std::unique_ptr<RealFtpServer> StartFtpServer(FtpServerKind kind) {
    return StartFtpServer(kind, FtpTls::Off, false);
}

std::unique_ptr<RealFtpServer> StartFtpServer(FtpServerKind kind, FtpTls tls, bool tlsRequired,
                                              bool ipv6, const TestCertificate* certificate) {
    switch (kind) {
    case FtpServerKind::Vsftpd: {
        VsftpdOptions options;
        options.ipv6 = ipv6;
        options.tls = tls;
        options.tlsRequired = tlsRequired;
        options.tlsCertificate = certificate;
        return std::make_unique<VsftpdServer>(options);
    }
    case FtpServerKind::Inetutils:
    case FtpServerKind::FtpdSsl:
        return std::make_unique<InetdFtpServer>(InetdFtpOptions{
            kind == FtpServerKind::FtpdSsl, ipv6, tls, tlsRequired, certificate});
    case FtpServerKind::Rclone:
        return std::make_unique<RcloneServer>(RcloneOptions{ipv6, tls, certificate});
    case FtpServerKind::Pyftpdlib:
    case FtpServerKind::Twisted: break;
    }
    PyftpdlibOptions options;
    options.address = ipv6 ? "::1" : "127.0.0.1";
    options.tls = tls;
    options.tlsRequired = tlsRequired;
    options.tlsCertificate = certificate;
    if (kind == FtpServerKind::Twisted)
        return std::make_unique<TwistedServer>(options);
    return std::make_unique<PyftpdlibServer>(options);
}

} // namespace qtest
