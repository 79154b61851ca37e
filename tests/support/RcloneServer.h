#pragma once

// `rclone serve ftp` on a temporary root, on 127.0.0.1 or ::1: one user with
// a password (TLS with the test certificates when asked). Debian's rclone
// 1.60 is built without the FTP server (its library is not packaged), so
// Unavailable() tells why whenever the installed rclone lacks it.

#include "RealFtpServer.h"
#include "TestCertificates.h"

namespace qtest {

struct RcloneOptions {
    bool ipv6 = false;
    FtpTls tls = FtpTls::Off;
    const TestCertificate* tlsCertificate = nullptr;
};

class RcloneServer : public RealFtpServer {
public:
    explicit RcloneServer(RcloneOptions options = {});
    static std::string Unavailable();

    std::string name() const override { return "rclone"; }
    std::string user() const override { return "quorvan"; }
    std::string password() const override { return "rc:pa@ss"; }
    std::filesystem::path root() const override { return dir_ / "root"; }
    std::filesystem::path workDir() const override { return root(); }
    std::string remoteWorkDir() const override { return "/"; }
};

} // namespace qtest
