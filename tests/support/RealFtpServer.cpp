#include "RealFtpServer.h"

#include "PyftpdlibServer.h"
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
    return kind == FtpServerKind::Vsftpd ? "vsftpd" : "pyftpdlib";
}

std::unique_ptr<RealFtpServer> StartFtpServer(FtpServerKind kind) {
    if (kind == FtpServerKind::Vsftpd)
        return std::make_unique<VsftpdServer>();
    return std::make_unique<PyftpdlibServer>();
}

std::unique_ptr<RealFtpServer> StartFtpServer(FtpServerKind kind, FtpTls tls, bool tlsRequired,
                                              bool ipv6, const TestCertificate* certificate) {
    if (kind == FtpServerKind::Vsftpd) {
        VsftpdOptions options;
        options.ipv6 = ipv6;
        options.tls = tls;
        options.tlsRequired = tlsRequired;
        options.tlsCertificate = certificate;
        return std::make_unique<VsftpdServer>(options);
    }
    PyftpdlibOptions options;
    options.address = ipv6 ? "::1" : "127.0.0.1";
    options.tls = tls;
    options.tlsRequired = tlsRequired;
    options.tlsCertificate = certificate;
    return std::make_unique<PyftpdlibServer>(options);
}

} // namespace qtest
