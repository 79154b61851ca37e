#include "InetdFtpServer.h"

#include <cstdlib>
#include <mutex>
#include <pwd.h>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace qtest {

namespace fs = std::filesystem;

namespace {

fs::path Program(bool bsd) {
    const char* dir = std::getenv("QUORVAN_TEST_SERVERS");
    return fs::path(dir && *dir ? dir : "/var/cache/quorvan-test-servers") /
           (bsd ? "ftpd-ssl/usr/sbin/in.ftpd" : "inetutils-ftpd/usr/sbin/ftpd");
}

fs::path Launcher() {
    return fs::path(QUORVAN_SOURCE_DIR) / "tests/support/inetd_launcher.py";
}

// The account both servers sign in, with its password set on every run so
// that a machine where it already exists still matches the fixture.
void EnsureAccount(const std::string& password) {
    static std::once_flag once;
    static std::string failure;
    std::call_once(once, [&] {
        // Test programs run side by side: useradd and usermod fail while
        // another one holds the lock on the account files, so each tries again.
        const ProcessResult hash = RunProcess({"/usr/bin/openssl", "passwd", "-6", password});
        const std::string crypted = hash.out.substr(0, hash.out.find('\n'));
        std::string errors = hash.err;
        for (int attempt = 0; attempt < 50; ++attempt) {
            if (!::getpwnam(InetdFtpServer::Account())) {
                errors = RunProcess({"/usr/sbin/useradd", "--system", "--no-create-home",
                                     "--home-dir", "/", "--shell", "/bin/sh",
                                     InetdFtpServer::Account()})
                             .err;
            }
            const ProcessResult set =
                RunProcess({"/usr/sbin/usermod", "-p", crypted, InetdFtpServer::Account()});
            if (hash.exitCode == 0 && set.exitCode == 0 && ::getpwnam(InetdFtpServer::Account()))
                return;
            errors += set.err;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        failure = "cannot set up the account " + std::string(InetdFtpServer::Account()) + ": " +
                  errors;
    });
    if (!failure.empty())
        throw std::runtime_error(failure);
}

} // namespace

std::string InetdFtpServer::Unavailable(bool bsd) {
    if (::access(Program(bsd).c_str(), X_OK) != 0)
        return Program(bsd).string() + " is missing (scripts/setup.sh unpacks " +
               (bsd ? "ftpd-ssl" : "inetutils-ftpd") + " there)";
    if (::access("/etc/pam.d/ftp", R_OK) != 0)
        return "/etc/pam.d/ftp is missing (scripts/setup.sh installs the package's)";
    if (::geteuid() != 0)
        return "an inetd-style ftpd needs root to switch to the signed-in account";
    if (::access("/usr/bin/python3", X_OK) != 0)
        return "/usr/bin/python3 is missing (it runs the inetd-style launcher)";
    return {};
}

InetdFtpServer::InetdFtpServer(InetdFtpOptions options) : options_(options) {
    if (std::string why = Unavailable(options_.bsd); !why.empty())
        throw std::runtime_error(why);
    if (!options_.bsd && options_.tls != FtpTls::Off)
        throw std::runtime_error("inetutils ftpd has no TLS");
    EnsureAccount(password());
    const passwd* pw = ::getpwnam(Account());
    uid_ = pw->pw_uid;
    gid_ = pw->pw_gid;
    // The account must reach its work folder through the temporary one.
    fs::permissions(dir_.path(), fs::perms(0755));
    fs::create_directories(workDir());
    handOver(workDir());
    host_ = options_.ipv6 ? "::1" : "127.0.0.1";
    auto build = [&](uint16_t port) {
        LaunchPlan plan;
        const fs::path log = dir_ / "ftpd.log";
        plan.argv = {"/usr/bin/python3",
                     "-I",
                     Launcher().string(),
                     host_,
                     std::to_string(port),
                     log.string(),
                     "--",
                     Program(options_.bsd).string(),
                     "-u",
                     "022"};
        if (options_.tls != FtpTls::Off) {
            const TestCertificate& certificate =
                options_.tlsCertificate ? *options_.tlsCertificate : TestCertificates::Get().server;
            plan.argv.insert(plan.argv.end(), {"-z", "cert=" + certificate.cert.string(), "-z",
                                               "key=" + certificate.key.string()});
            if (options_.tls == FtpTls::Implicit)
                plan.argv.insert(plan.argv.end(), {"-z", "ssl"});
            if (options_.tlsRequired)
                plan.argv.insert(plan.argv.end(), {"-z", "secure"});
        }
        plan.logFile = dir_ / "launcher.log";
        return plan;
    };
    StartedServer started = StartServer(name(), build, std::chrono::seconds(20), 4, host_);
    process_ = std::move(started.process);
    port_ = started.port;
}

fs::path InetdFtpServer::workDir() const {
    return dir_ / "work";
}

std::string InetdFtpServer::log() const {
    std::string text = RealFtpServer::log();
    try {
        text += ReadFile(dir_ / "ftpd.log");
    } catch (const std::exception&) {
    }
    return text;
}

void InetdFtpServer::handOver(const fs::path& path) const {
    if (::chown(path.c_str(), uid_, gid_) != 0)
        throw std::runtime_error("chown " + path.string() + " failed");
}

} // namespace qtest
