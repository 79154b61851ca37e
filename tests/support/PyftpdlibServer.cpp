#include "PyftpdlibServer.h"

#include <stdexcept>
#include <unistd.h>

namespace qtest {

namespace fs = std::filesystem;

namespace {
// Another python3 may come first on PATH (a virtual environment without
// pyftpdlib); Debian's package belongs to the system interpreter.
const char* const kPython = "/usr/bin/python3";

fs::path Script(const std::string& name = "pyftpd_server.py") {
    return fs::path(QUORVAN_SOURCE_DIR) / "tests/support" / name;
}
} // namespace

std::string PyftpdlibServer::Unavailable() {
    if (::access(kPython, X_OK) != 0)
        return std::string(kPython) + " is missing";
    if (::access("/usr/lib/python3/dist-packages/pyftpdlib/__init__.py", R_OK) != 0)
        return "pyftpdlib is not installed (Debian package python3-pyftpdlib)";
    if (::access(Script().c_str(), R_OK) != 0)
        return Script().string() + " is missing";
    return {};
}

PyftpdlibServer::PyftpdlibServer(PyftpdlibOptions options)
    : PyftpdlibServer(std::move(options), "pyftpd_server.py", "pyftpdlib") {}

TwistedServer::TwistedServer(PyftpdlibOptions options)
    : PyftpdlibServer(std::move(options), "twisted_ftpd.py", "twisted") {}

std::string TwistedServer::Unavailable() {
    if (::access(kPython, X_OK) != 0)
        return std::string(kPython) + " is missing";
    if (::access("/usr/lib/python3/dist-packages/twisted/protocols/ftp.py", R_OK) != 0)
        return "Twisted is not installed (Debian package python3-twisted)";
    return {};
}

PyftpdlibServer::PyftpdlibServer(PyftpdlibOptions options, std::string script, std::string name)
    : options_(std::move(options)), name_(std::move(name)) {
    if (std::string why = name_ == "pyftpdlib" ? Unavailable() : TwistedServer::Unavailable();
        !why.empty())
        throw std::runtime_error(why);
    if (name_ != "pyftpdlib" && options_.tls != FtpTls::Off)
        throw std::runtime_error(name_ + " has no TLS");
    if (options_.tls == FtpTls::Implicit)
        throw std::runtime_error("pyftpdlib has no implicit TLS");
    fs::create_directories(root());
    auto build = [&](uint16_t port) {
        LaunchPlan plan;
        // -I keeps PYTHONPATH and user site-packages of the caller out; -u
        // makes the log appear as it is written.
        plan.argv = {kPython,      "-I",
                     "-u",         Script(script).string(),
                     "--port",     std::to_string(port),
                     "--root",     root().string(),
                     "--user",     options_.user,
                     "--password", options_.password,
                     "--address",  options_.address};
        if (options_.anonymous)
            plan.argv.push_back("--anonymous");
        if (!options_.banner.empty()) {
            plan.argv.push_back("--banner");
            plan.argv.push_back(options_.banner);
        }
        if (options_.tls == FtpTls::Explicit) {
            const TestCertificate& certificate =
                options_.tlsCertificate ? *options_.tlsCertificate : TestCertificates::Get().server;
            plan.argv.insert(plan.argv.end(), {"--tls-cert", certificate.cert.string(), "--tls-key",
                                               certificate.key.string()});
            if (options_.tlsRequired)
                plan.argv.push_back("--tls-required");
        }
        for (const auto& extra : options_.extraArgs)
            plan.argv.push_back(extra);
        plan.logFile = dir_ / (name_ + ".log");
        return plan;
    };
    host_ = options_.address;
    StartedServer started = StartServer(name_, build, std::chrono::seconds(20), 4, host_);
    process_ = std::move(started.process);
    port_ = started.port;
}

fs::path PyftpdlibServer::root() const {
    return dir_ / "root";
}

} // namespace qtest
