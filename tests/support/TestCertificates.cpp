#include "TestCertificates.h"

#include "ChildProcess.h"

#include <cctype>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace qtest {

namespace {
const char* const kOpenssl = "/usr/bin/openssl";

std::string Openssl(std::vector<std::string> args) {
    args.insert(args.begin(), kOpenssl);
    const ProcessResult result = RunProcess(args);
    if (result.exitCode != 0) {
        std::string line;
        for (const auto& arg : args)
            line += arg + " ";
        throw std::runtime_error(line + "failed: " + result.err);
    }
    return result.out;
}

const std::vector<std::string> kNewKey = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                                          "-nodes"};
} // namespace

std::string TestCertificates::Unavailable() {
    if (::access(kOpenssl, X_OK) != 0)
        return std::string(kOpenssl) + " is not installed (Debian package openssl)";
    return {};
}

const TestCertificates& TestCertificates::Get() {
    static const TestCertificates certificates;
    return certificates;
}

TestCertificates::TestCertificates() {
    caFile = dir_ / "ca.pem";
    std::vector<std::string> ca = {"req",     "-x509",
                                   "-keyout", (dir_ / "ca.key").string(),
                                   "-out",    caFile.string(),
                                   "-subj",   "/CN=Quorvan Test CA",
                                   "-days",   "2"};
    ca.insert(ca.begin() + 2, kNewKey.begin(), kNewKey.end());
    Openssl(ca);
    const std::string local = "DNS:localhost,IP:127.0.0.1,IP:::1";
    server = Make("server", local, 2, false);
    otherName = Make("other", "DNS:other.example,IP:10.9.9.9", 2, false);
    // A negative validity ends before it begins: expired from the start.
    expired = Make("expired", local, -1, false);
    selfSigned = Make("selfsigned", local, 2, true);
}

TestCertificate TestCertificates::Make(const std::string& name, const std::string& altNames,
                                       int days, bool selfSigned) const {
    TestCertificate made{dir_ / (name + ".pem"), dir_ / (name + ".key"), {}};
    const std::string subject = "/CN=" + name + ".quorvan.test";
    std::vector<std::string> request = {"req", "-keyout", made.key.string(), "-subj", subject};
    request.insert(request.begin() + 1, kNewKey.begin(), kNewKey.end());
    if (selfSigned) {
        request.insert(request.end(),
                       {"-x509", "-out", made.cert.string(), "-days", std::to_string(days),
                        "-addext", "subjectAltName=" + altNames});
        Openssl(request);
    } else {
        const std::string csr = (dir_ / (name + ".csr")).string();
        request.insert(request.end(), {"-out", csr});
        Openssl(request);
        const auto ext = dir_.write(name + ".ext", "subjectAltName=" + altNames +
                                                       "\nbasicConstraints=CA:FALSE\n"
                                                       "extendedKeyUsage=serverAuth\n");
        Openssl({"x509", "-req", "-in", csr, "-CA", caFile.string(), "-CAkey",
                 (dir_ / "ca.key").string(), "-days", std::to_string(days), "-extfile",
                 ext.string(), "-out", made.cert.string()});
    }
    const std::string fingerprint =
        Openssl({"x509", "-in", made.cert.string(), "-noout", "-fingerprint", "-sha256"});
    made.sha256 = fingerprint.substr(fingerprint.find('=') + 1);
    while (!made.sha256.empty() && std::isspace(static_cast<unsigned char>(made.sha256.back())))
        made.sha256.pop_back();
    return made;
}

} // namespace qtest
