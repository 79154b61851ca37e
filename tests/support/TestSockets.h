#pragma once

// Small blocking POSIX socket helpers shared by the fake servers, the server
// fixtures and tests that want a raw-socket peer. They never touch the
// library under test, so a fault there cannot hide a fault in a fixture.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qtest {

using Millis = std::chrono::milliseconds;

// Owns one file descriptor; closes it on destruction.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    int release();
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// A TCP socket listening on 127.0.0.1:port (0 = a free port the kernel picks).
// Throws std::runtime_error on failure.
UniqueFd ListenLoopback(uint16_t port = 0, int backlog = 16);
// The local port a socket is bound to.
uint16_t LocalPort(int fd);
// A port that was free a moment ago: bound on 127.0.0.1:0, read, closed.
// Whoever uses it must cope with losing a race for it (retry with another).
uint16_t PickFreePort();

// Connects to host:port (a dotted quad or IPv6 text) within the timeout. Returns an invalid
// fd on refusal or timeout; errno-style reason in *error when given.
UniqueFd ConnectTcp(const std::string& host, uint16_t port, Millis timeout = Millis(5000),
                    std::string* error = nullptr);
// Empty when ::1 can be bound here, else why not: IPv6 tests skip with it.
std::string IPv6Unavailable();
// Throws std::runtime_error when the connect fails.
UniqueFd ConnectLoopback(uint16_t port, Millis timeout = Millis(5000));

// Accepts one connection within the timeout; invalid fd on timeout.
UniqueFd AcceptWithin(int listenFd, Millis timeout);

// Sends every byte (MSG_NOSIGNAL); false when the peer is gone.
bool SendAll(int fd, const std::string& bytes);
bool SendAll(int fd, const char* data, size_t size);
// Waits up to the timeout for the fd to become readable (or writable).
bool WaitReadable(int fd, Millis timeout);
bool WaitWritable(int fd, Millis timeout);
// Reads exactly n bytes, or fewer when the peer closes or the timeout passes.
std::string RecvExact(int fd, size_t n, Millis timeout = Millis(5000));
// Reads whatever arrives in one receive within the timeout ("" on close/timeout).
std::string RecvSome(int fd, Millis timeout = Millis(5000));
// Reads until the peer closes or the timeout passes.
std::string RecvUntilClose(int fd, Millis timeout = Millis(10000));
// Reads one line ending in LF (LF included) within the timeout.
std::string RecvLine(int fd, Millis timeout = Millis(5000));

// A flag other threads can wait on together with sockets: once set, every
// wait that includes it returns. Fake servers use it to stop promptly.
class StopFlag {
public:
    StopFlag();
    void set();
    bool isSet() const;
    int fd() const { return fd_.get(); }

private:
    UniqueFd fd_;
};

// Waits until fd has any of `events` (POLLIN/POLLOUT), the stop flag is set,
// or the timeout passes. Returns true only for the fd being ready.
bool WaitFd(int fd, short events, Millis timeout, const StopFlag* stop);
// Sleeps for the duration unless the stop flag is set first; false when stopped.
bool SleepUnlessStopped(Millis duration, const StopFlag& stop);

// A loopback port where a new connect neither succeeds nor fails: a listener
// with backlog 0 whose accept queue is already full, so the kernel drops
// further SYNs and the client keeps retrying. For connect-timeout tests
// without any address outside 127.0.0.0/8.
class StalledListener {
public:
    StalledListener(); // throws std::runtime_error when the queue cannot be filled
    uint16_t port() const { return port_; }

private:
    UniqueFd listener_;
    std::vector<UniqueFd> fillers_;
    uint16_t port_ = 0;
};

// Disables Nagle so that each send tends to travel as its own segment.
void SetNoDelay(int fd);
// Makes the next close send RST instead of FIN.
void SetLingerReset(int fd);

} // namespace qtest
