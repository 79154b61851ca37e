#pragma once

// The FTP servers Debian ships without a standalone mode on a port of our
// choosing: GNU inetutils ftpd and the BSD ftpd with TLS of ftpd-ssl. Both
// conflict with vsftpd as packages, so scripts/setup.sh unpacks them (not
// installs them) below /var/cache/quorvan-test-servers, or the folder named
// by QUORVAN_TEST_SERVERS; tests/support/inetd_launcher.py serves them on
// 127.0.0.1 or ::1 as inetd would. Needs root: the servers switch to the
// signed-in account.
//
// They sign in system accounts only, so the fixture keeps one of its own
// ("quorvanftp", a password with ':' and '@', home "/", created on first
// use), through the PAM service "ftp" (/etc/pam.d/ftp, which setup.sh
// installs from the package). The client sees the whole file system: workDir() is a temporary
// folder owned by that account, named by its absolute path. Anonymous
// sign-in is chrooted to the home of the machine's "ftp" account.

#include "RealFtpServer.h"
#include "TestCertificates.h"

namespace qtest {

struct InetdFtpOptions {
    bool bsd = false; // ftpd-ssl's in.ftpd instead of inetutils' ftpd
    bool ipv6 = false;
    FtpTls tls = FtpTls::Off; // in.ftpd only
    bool tlsRequired = false; // refuses anything before AUTH
    const TestCertificate* tlsCertificate = nullptr;
};

class InetdFtpServer : public RealFtpServer {
public:
    explicit InetdFtpServer(InetdFtpOptions options = {});

    static std::string Unavailable(bool bsd);
    static const char* Account() { return "quorvanftp"; }

    std::string name() const override { return options_.bsd ? "ftpd-ssl" : "inetutils-ftpd"; }
    std::string user() const override { return Account(); }
    std::string password() const override { return "qv:pa@ss"; }
    std::filesystem::path root() const override { return "/"; }
    std::filesystem::path workDir() const override;
    std::string remoteWorkDir() const override { return workDir().string(); }
    std::string log() const override;

protected:
    void handOver(const std::filesystem::path& path) const override;

private:
    InetdFtpOptions options_;
    unsigned uid_ = 0, gid_ = 0;
};

} // namespace qtest
