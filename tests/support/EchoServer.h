#pragma once

// A loopback echo server on 127.0.0.1:<ephemeral>: every byte received is
// sent back on the same connection until the client closes it. Each
// connection has its own thread; all are stopped and joined on destruction.

#include "TestSockets.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qtest {

class EchoServer {
public:
    EchoServer();
    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;
    ~EchoServer();

    std::string host() const { return "127.0.0.1"; }
    uint16_t port() const { return port_; }
    size_t connections() const;
    uint64_t bytesEchoed() const;

private:
    void acceptLoop();
    void serve(UniqueFd client);

    mutable std::mutex mutex_;
    size_t connections_ = 0;
    uint64_t bytes_ = 0;
    StopFlag stop_;
    UniqueFd listener_;
    uint16_t port_ = 0;
    std::thread acceptThread_;
    std::vector<std::thread> workers_;
};

} // namespace qtest
