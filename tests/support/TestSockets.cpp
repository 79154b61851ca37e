#include "TestSockets.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qtest {

namespace {

using Clock = std::chrono::steady_clock;

std::runtime_error SysError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

int PollMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    if (left <= 0)
        return 0;
    return left > 1000000 ? 1000000 : static_cast<int>(left) + 1;
}

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

} // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other)
        reset(other.release());
    return *this;
}

int UniqueFd::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

UniqueFd ListenLoopback(uint16_t port, int backlog) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        throw SysError("socket");
    int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = Loopback(port);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw SysError("bind 127.0.0.1:" + std::to_string(port));
    if (::listen(fd.get(), backlog) != 0)
        throw SysError("listen");
    return fd;
}

uint16_t LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw SysError("getsockname");
    return ntohs(a.sin_port);
}

uint16_t PickFreePort() {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        throw SysError("socket");
    sockaddr_in a = Loopback(0);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw SysError("bind 127.0.0.1:0");
    return LocalPort(fd.get());
}

UniqueFd ConnectTcp(const std::string& host, uint16_t port, Millis timeout, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        return UniqueFd();
    };
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return fail("not an IP address: " + host);
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(found, ::freeaddrinfo);
    UniqueFd fd(::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd)
        return fail(std::strerror(errno));
    if (::connect(fd.get(), found->ai_addr, found->ai_addrlen) != 0) {
        if (errno != EINPROGRESS)
            return fail(std::strerror(errno));
        if (!WaitWritable(fd.get(), timeout))
            return fail("connect timed out");
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0)
            return fail(std::strerror(err));
    }
    int flags = ::fcntl(fd.get(), F_GETFL);
    ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

std::string IPv6Unavailable() {
    static const std::string why = [] {
        UniqueFd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd)
            return std::string("no IPv6 sockets here: ") + std::strerror(errno);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            return std::string("cannot bind ::1: ") + std::strerror(errno);
        return std::string();
    }();
    return why;
}

UniqueFd ConnectLoopback(uint16_t port, Millis timeout) {
    std::string why;
    UniqueFd fd = ConnectTcp("127.0.0.1", port, timeout, &why);
    if (!fd)
        throw std::runtime_error("connect 127.0.0.1:" + std::to_string(port) + ": " + why);
    return fd;
}

UniqueFd AcceptWithin(int listenFd, Millis timeout) {
    if (!WaitReadable(listenFd, timeout))
        return UniqueFd();
    return UniqueFd(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
}

bool SendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool SendAll(int fd, const std::string& bytes) {
    return SendAll(fd, bytes.data(), bytes.size());
}

bool WaitFd(int fd, short events, Millis timeout, const StopFlag* stop) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        pollfd p[2] = {{fd, events, 0}, {stop ? stop->fd() : -1, POLLIN, 0}};
        int r = ::poll(p, stop ? 2 : 1, PollMs(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        if (stop && (p[1].revents & POLLIN))
            return false;
        // An error or hang-up counts as ready: the next call reports it.
        return p[0].revents != 0;
    }
}

bool WaitReadable(int fd, Millis timeout) {
    return WaitFd(fd, POLLIN, timeout, nullptr);
}
bool WaitWritable(int fd, Millis timeout) {
    return WaitFd(fd, POLLOUT, timeout, nullptr);
}

std::string RecvExact(int fd, size_t n, Millis timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string out;
    char buf[65536];
    while (out.size() < n) {
        if (!WaitReadable(fd, std::chrono::duration_cast<Millis>(deadline - Clock::now())))
            break;
        size_t want = std::min(sizeof buf, n - out.size());
        ssize_t r = ::recv(fd, buf, want, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        out.append(buf, static_cast<size_t>(r));
    }
    return out;
}

std::string RecvSome(int fd, Millis timeout) {
    if (!WaitReadable(fd, timeout))
        return {};
    char buf[65536];
    ssize_t r;
    do {
        r = ::recv(fd, buf, sizeof buf, 0);
    } while (r < 0 && errno == EINTR);
    return r > 0 ? std::string(buf, static_cast<size_t>(r)) : std::string();
}

std::string RecvUntilClose(int fd, Millis timeout) {
    return RecvExact(fd, SIZE_MAX, timeout);
}

std::string RecvLine(int fd, Millis timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string out;
    char c;
    while (out.empty() || out.back() != '\n') {
        if (!WaitReadable(fd, std::chrono::duration_cast<Millis>(deadline - Clock::now())))
            break;
        ssize_t r = ::recv(fd, &c, 1, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        out.push_back(c);
    }
    return out;
}

StopFlag::StopFlag() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!fd_)
        throw SysError("eventfd");
}

void StopFlag::set() {
    uint64_t one = 1;
    // The counter only ever grows, so once set every poll on it sees POLLIN.
    [[maybe_unused]] ssize_t n = ::write(fd_.get(), &one, sizeof one);
}

bool StopFlag::isSet() const {
    pollfd p{fd_.get(), POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

bool SleepUnlessStopped(Millis duration, const StopFlag& stop) {
    const auto deadline = Clock::now() + duration;
    for (;;) {
        pollfd p{stop.fd(), POLLIN, 0};
        int r = ::poll(&p, 1, duration.count() == 0 ? 0 : PollMs(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        return r == 0;
    }
}

StalledListener::StalledListener() {
    listener_ = ListenLoopback(0, 0);
    port_ = LocalPort(listener_.get());
    // The queue holds a small, kernel-dependent number of connections; keep
    // connecting until one hangs.
    for (int i = 0; i < 64; ++i) {
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_in a = Loopback(port_);
        if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            fillers_.push_back(std::move(fd));
            continue;
        }
        if (errno != EINPROGRESS)
            throw SysError("connect to fill the queue");
        if (!WaitWritable(fd.get(), Millis(200)))
            return; // this one hangs: the queue is full (it stays pending until we close)
        fillers_.push_back(std::move(fd));
    }
    throw std::runtime_error("could not fill the accept queue of a backlog-0 listener");
}

void SetNoDelay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void SetLingerReset(int fd) {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

} // namespace qtest
