#include "DanteServer.h"

#include <pwd.h>
#include <stdexcept>
#include <unistd.h>

namespace qtest {

namespace {
const char* const kDanted = "/usr/sbin/danted";
}

std::string DanteServer::Unavailable() {
    if (::access(kDanted, X_OK) != 0)
        return std::string(kDanted) + " is not installed (Debian package dante-server)";
    if (::geteuid() != 0)
        return "danted needs root for its privileged/unprivileged user switch";
    return {};
}

DanteServer::DanteServer(DanteOptions options) {
    if (std::string why = Unavailable(); !why.empty())
        throw std::runtime_error(why);
    const std::string unprivileged = ::getpwnam("nobody") ? "nobody" : "root";
    auto build = [&](uint16_t port) {
        std::string conf;
        auto line = [&conf](const std::string& l) { conf += l + "\n"; };
        line("logoutput: stderr");
        line("internal: 127.0.0.1 port = " + std::to_string(port));
        line("external: 127.0.0.1");
        line("clientmethod: none");
        line("socksmethod: none");
        line("user.privileged: root");
        line("user.unprivileged: " + unprivileged);
        line("client pass {");
        line("    from: 127.0.0.0/8 to: 0.0.0.0/0");
        line("    log: error");
        line("}");
        line("socks pass {");
        line("    from: 127.0.0.0/8 to: 127.0.0.0/8");
        line("    command: connect bind bindreply");
        line("    log: error");
        line("}");
        for (const auto& extra : options.extraConfig)
            line(extra);
        ProcessSpec spec;
        // Without -D danted stays in the foreground; -N 1 keeps one mother
        // process.
        spec.argv = {kDanted,
                     "-f",
                     dir_.write("danted.conf", conf).string(),
                     "-p",
                     (dir_ / "danted.pid").string(),
                     "-N",
                     "1"};
        spec.logFile = dir_ / "danted.log";
        return spec;
    };
    StartedServer started = StartServer("danted", build);
    process_ = std::move(started.process);
    port_ = started.port;
}

DanteServer::~DanteServer() = default;

std::string DanteServer::log() const {
    return process_ ? process_->log() : std::string();
}

} // namespace qtest
