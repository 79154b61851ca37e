#pragma once

// A throw-away CA and server certificates made with the openssl command once
// per test program run, in a temporary directory removed at exit.

#include "TempDir.h"

#include <filesystem>
#include <string>

namespace qtest {

// TLS on an FTP server's control connection: none, after AUTH TLS, or from
// the first byte.
enum class FtpTls { Off, Explicit, Implicit };

struct TestCertificate {
    std::filesystem::path cert; // PEM
    std::filesystem::path key;  // PEM, unencrypted
    std::string sha256;         // "AB:CD:..." as openssl prints it
};

class TestCertificates {
public:
    // Makes them on first use; throws std::runtime_error with openssl's output.
    static const TestCertificates& Get();
    static std::string Unavailable();

    std::filesystem::path caFile;
    TestCertificate server;     // by the CA, for localhost and 127.0.0.1
    TestCertificate otherName;  // by the CA, for other.example and 10.9.9.9 only
    TestCertificate expired;    // by the CA, for localhost and 127.0.0.1, no longer valid
    TestCertificate selfSigned; // by itself, for localhost and 127.0.0.1

private:
    TestCertificates();
    TestCertificate Make(const std::string& name, const std::string& altNames, int days,
                         bool selfSigned) const;

    TempDir dir_{"quorvan-certs"};
};

} // namespace qtest
