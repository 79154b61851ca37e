#include "RcloneServer.h"

#include <stdexcept>
#include <unistd.h>

namespace qtest {

namespace {
const char* const kRclone = "/usr/bin/rclone";
}

std::string RcloneServer::Unavailable() {
    static const std::string why = [] {
        if (::access(kRclone, X_OK) != 0)
            return std::string(kRclone) + " is not installed (Debian package rclone)";
        const ProcessResult help = RunProcess({kRclone, "serve", "ftp", "--help"});
        if (help.exitCode != 0 || help.out.find("--passive-port") == std::string::npos)
            return std::string("this rclone has no `serve ftp` (Debian builds it without one)");
        return std::string();
    }();
    return why;
}

RcloneServer::RcloneServer(RcloneOptions options) {
    if (std::string why = Unavailable(); !why.empty())
        throw std::runtime_error(why);
    std::filesystem::create_directories(root());
    host_ = options.ipv6 ? "::1" : "127.0.0.1";
    auto build = [&](uint16_t port) {
        LaunchPlan plan;
        const std::string address =
            options.ipv6 ? "[::1]:" + std::to_string(port) : host_ + ":" + std::to_string(port);
        plan.argv = {kRclone,  "serve",    "ftp",  root().string(), "--addr",     address,
                     "--user", user(),     "--pass", password(),    "--config", "/dev/null"};
        if (options.tls != FtpTls::Off) {
            const TestCertificate& certificate =
                options.tlsCertificate ? *options.tlsCertificate : TestCertificates::Get().server;
            plan.argv.insert(plan.argv.end(), {"--cert", certificate.cert.string(), "--key",
                                               certificate.key.string()});
        }
        plan.logFile = dir_ / "rclone.log";
        return plan;
    };
    StartedServer started = StartServer(name(), build, std::chrono::seconds(20), 4, host_);
    process_ = std::move(started.process);
    port_ = started.port;
}

} // namespace qtest
