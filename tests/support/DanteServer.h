#pragma once

// A private SOCKS 5 proxy: Debian danted (/usr/sbin/danted) in the
// foreground with a generated config, listening on 127.0.0.1:<ephemeral>,
// connecting out from 127.0.0.1, method "none", passing clients from and
// targets in 127.0.0.0/8 (CONNECT and BIND). Needs root (it switches to
// "nobody" for unprivileged work).
//
// No user/password method: danted checks those against the system password
// database or PAM, which cannot be done without touching system accounts.
// FakeSocksServer covers the user/password exchange.

#include "ChildProcess.h"
#include "TempDir.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qtest {

struct DanteOptions {
    std::vector<std::string> extraConfig; // raw lines appended to the config
};

class DanteServer {
public:
    explicit DanteServer(DanteOptions options = {});
    ~DanteServer();

    static std::string Unavailable();

    std::string host() const { return "127.0.0.1"; }
    uint16_t port() const { return port_; }
    std::string log() const;

private:
    TempDir dir_{"quorvan-danted"};
    std::unique_ptr<ChildProcess> process_;
    uint16_t port_ = 0;
};

} // namespace qtest
