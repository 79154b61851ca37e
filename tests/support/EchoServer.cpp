#include "EchoServer.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

namespace qtest {

EchoServer::EchoServer() {
    listener_ = ListenLoopback(0);
    port_ = LocalPort(listener_.get());
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

EchoServer::~EchoServer() {
    stop_.set();
    if (acceptThread_.joinable())
        acceptThread_.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(mutex_);
        workers.swap(workers_);
    }
    for (auto& w : workers)
        w.join();
}

size_t EchoServer::connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

uint64_t EchoServer::bytesEchoed() const {
    std::lock_guard lock(mutex_);
    return bytes_;
}

void EchoServer::acceptLoop() {
    while (!stop_.isSet()) {
        if (!WaitFd(listener_.get(), POLLIN, Millis(3600000), &stop_))
            continue;
        UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client)
            continue;
        std::lock_guard lock(mutex_);
        ++connections_;
        workers_.emplace_back([this, fd = client.release()] { serve(UniqueFd(fd)); });
    }
}

void EchoServer::serve(UniqueFd client) {
    char buf[65536];
    while (WaitFd(client.get(), POLLIN, Millis(3600000), &stop_)) {
        ssize_t n = ::recv(client.get(), buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || !SendAll(client.get(), buf, static_cast<size_t>(n)))
            break;
        std::lock_guard lock(mutex_);
        bytes_ += static_cast<uint64_t>(n);
    }
}

} // namespace qtest
