#pragma once

// A private pyftpdlib server (Debian python3-pyftpdlib, always run with
// /usr/bin/python3) on 127.0.0.1:<ephemeral> (or ::1), driven by
// tests/support/pyftpd_server.py: one user with a password and every
// permission on a temporary root (the whole root is writable, so workDir() is
// root() and "/" to the client), anonymous login optional (read-only),
// passive ports chosen by the kernel, active mode allowed.

#include "RealFtpServer.h"
#include "TestCertificates.h"

#include <string>
#include <vector>

namespace qtest {

struct PyftpdlibOptions {
    std::string user = "quorvan";
    std::string password = "s3cret p:ss@word"; // blank, colon and at sign all travel
    bool anonymous = false;             // also accept "anonymous", read-only
    std::string banner;                 // empty: pyftpdlib's own 220 text
    std::vector<std::string> extraArgs; // passed to the script
    std::string address = "127.0.0.1";  // or "::1"
    // Explicit TLS (TLS_FTPHandler) with the test certificates; pyftpdlib
    // has no implicit mode.
    FtpTls tls = FtpTls::Off;
    bool tlsRequired = false;                        // sign-in and data connections only over TLS
    const TestCertificate* tlsCertificate = nullptr; // none: the CA's server certificate
};

class PyftpdlibServer : public RealFtpServer {
public:
    explicit PyftpdlibServer(PyftpdlibOptions options = {});

    static std::string Unavailable();

    std::string name() const override { return name_; }
    std::string user() const override { return options_.user; }
    std::string password() const override { return options_.password; }
    std::filesystem::path root() const override;
    std::filesystem::path workDir() const override { return root(); }
    std::string remoteWorkDir() const override { return "/"; }

protected:
    // Another Python server script taking the same arguments (see TwistedServer).
    PyftpdlibServer(PyftpdlibOptions options, std::string script, std::string name);

private:
    PyftpdlibOptions options_;
    std::string name_ = "pyftpdlib";
};

// Twisted's FTP server (Debian python3-twisted), driven by
// tests/support/twisted_ftpd.py: the user and password of the options with
// write access to the root, anonymous read-only access to it always, and the
// banner's lines (split at '|') sent before Twisted's own one-line greeting.
// No TLS, no IPv6 data connections (no EPSV/EPRT), no REST, APPE or MLSD.
class TwistedServer : public PyftpdlibServer {
public:
    explicit TwistedServer(PyftpdlibOptions options = {});
    static std::string Unavailable();
};

} // namespace qtest
