#pragma once

// A private vsftpd (Debian /usr/sbin/vsftpd) on 127.0.0.1:<ephemeral> with a
// generated config: anonymous login ("anonymous", any password) with upload,
// MKD, RMD, DELE and rename allowed below /upload; passive mode announcing
// 127.0.0.1 on kernel-chosen ports; active mode (PORT) connecting from an
// ephemeral port. Needs root (vsftpd chroots the anonymous user).
//
// vsftpd refuses to chroot into a directory the session user can write to, so
// "/" (root()) is read-only to the client and "/upload" (workDir()) is owned
// by the ftp user. vsftpd has no user/password mode without system accounts
// and PAM changes: use PyftpdlibServer for a real password check.

#include "RealFtpServer.h"
#include "TestCertificates.h"

#include <string>
#include <vector>

namespace qtest {

struct VsftpdOptions {
    std::string banner;                   // ftpd_banner; empty keeps vsftpd's own
    std::vector<std::string> extraConfig; // raw "key=value" lines appended last
    bool ipv6 = false;                    // listen_ipv6=YES on ::1 instead of 127.0.0.1
    // TLS with the test certificates (anonymous sessions included).
    FtpTls tls = FtpTls::Off;
    bool tlsRequired = false;    // sign-in and data connections only over TLS
    bool tlsSessionReuse = true; // data connections must resume the control session
    const TestCertificate* tlsCertificate = nullptr; // none: the CA's server certificate
};

class VsftpdServer : public RealFtpServer {
public:
    // Starts the server and waits until it accepts connections; throws
    // std::runtime_error (with the server's log) when it does not come up.
    explicit VsftpdServer(VsftpdOptions options = {});

    // Empty when the fixture can run here, else the reason (for GTEST_SKIP).
    static std::string Unavailable();

    std::string name() const override { return "vsftpd"; }
    std::string user() const override { return "anonymous"; }
    std::string password() const override { return "guest@example.com"; }
    std::filesystem::path root() const override;
    std::filesystem::path workDir() const override;
    std::string remoteWorkDir() const override { return "/upload"; }
    std::string log() const override;

protected:
    void handOver(const std::filesystem::path& path) const override;

private:
    unsigned ftpUid_ = 0, ftpGid_ = 0;
};

} // namespace qtest
