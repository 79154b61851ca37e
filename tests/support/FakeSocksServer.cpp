#include "FakeSocksServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>

namespace qtest {

namespace {

constexpr Millis kRequestTimeout{10000};

std::string Port16(uint16_t port) {
    return {static_cast<char>(port >> 8), static_cast<char>(port & 0xff)};
}

uint16_t ReadPort16(const std::string& two) {
    return static_cast<uint16_t>((static_cast<uint8_t>(two[0]) << 8) |
                                 static_cast<uint8_t>(two[1]));
}

std::string DottedFrom(const std::string& four) {
    return std::to_string(static_cast<uint8_t>(four[0])) + "." +
           std::to_string(static_cast<uint8_t>(four[1])) + "." +
           std::to_string(static_cast<uint8_t>(four[2])) + "." +
           std::to_string(static_cast<uint8_t>(four[3]));
}

bool IsDotted(const std::string& text) {
    in_addr a{};
    return ::inet_pton(AF_INET, text.c_str(), &a) == 1;
}

// Moves bytes both ways until both directions have ended.
void Relay(int a, int b, const StopFlag& stop, uint64_t& aToB, uint64_t& bToA) {
    bool aOpen = true, bOpen = true;
    char buf[65536];
    while (aOpen || bOpen) {
        pollfd p[3] = {
            {aOpen ? a : -1, POLLIN, 0}, {bOpen ? b : -1, POLLIN, 0}, {stop.fd(), POLLIN, 0}};
        int r = ::poll(p, 3, 3600000);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0 || p[2].revents)
            return;
        for (int side = 0; side < 2; ++side) {
            if (!p[side].revents)
                continue;
            int from = side == 0 ? a : b, to = side == 0 ? b : a;
            ssize_t n = ::recv(from, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0 || !SendAll(to, buf, static_cast<size_t>(n))) {
                // Pass the end on, so a reader on the other side sees it.
                ::shutdown(to, SHUT_WR);
                (side == 0 ? aOpen : bOpen) = false;
                continue;
            }
            (side == 0 ? aToB : bToA) += static_cast<uint64_t>(n);
        }
    }
}

} // namespace

std::string Hex(const std::string& spaced) {
    std::string out, digits;
    for (char c : spaced) {
        if (c == ' ')
            continue;
        digits += c;
        if (digits.size() == 2) {
            out += static_cast<char>(std::stoi(digits, nullptr, 16));
            digits.clear();
        }
    }
    if (!digits.empty())
        throw std::invalid_argument("odd number of hex digits: " + spaced);
    return out;
}

std::string ToHex(const std::string& bytes) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty())
            out += ' ';
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

FakeSocksServer::FakeSocksServer() {
    listener_ = ListenLoopback(0);
    port_ = LocalPort(listener_.get());
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

FakeSocksServer::~FakeSocksServer() {
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

void FakeSocksServer::enqueue(SocksScript script) {
    std::lock_guard lock(mutex_);
    queued_.push_back(std::move(script));
}

void FakeSocksServer::setDefault(SocksScript script) {
    std::lock_guard lock(mutex_);
    default_ = std::move(script);
}

void FakeSocksServer::setCredentials(const std::string& user, const std::string& password) {
    std::lock_guard lock(mutex_);
    credentials_ = std::make_pair(user, password);
}

void FakeSocksServer::mapHost(const std::string& name, const std::string& dotted) {
    std::lock_guard lock(mutex_);
    hosts_[name] = dotted;
}

void FakeSocksServer::setRelayTarget(const std::string& dotted, uint16_t port) {
    std::lock_guard lock(mutex_);
    relayTarget_ = std::make_pair(dotted, port);
}

std::vector<SocksExchange> FakeSocksServer::exchanges() const {
    std::lock_guard lock(mutex_);
    return exchanges_;
}

bool FakeSocksServer::waitForExchanges(size_t count, Millis timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return exchanges_.size() >= count; });
}

bool FakeSocksServer::waitForCompleted(size_t count, Millis timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        size_t done = 0;
        for (const auto& e : exchanges_)
            done += e.complete ? 1 : 0;
        return done >= count;
    });
}

void FakeSocksServer::update(size_t index, const std::function<void(SocksExchange&)>& change) {
    std::lock_guard lock(mutex_);
    change(exchanges_[index]);
    changed_.notify_all();
}

void FakeSocksServer::acceptLoop() {
    while (!stop_.isSet()) {
        if (!WaitFd(listener_.get(), POLLIN, Millis(3600000), &stop_))
            continue;
        UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client)
            continue;
        SetNoDelay(client.get());
        std::lock_guard lock(mutex_);
        SocksScript script = default_;
        if (!queued_.empty()) {
            script = std::move(queued_.front());
            queued_.pop_front();
        }
        exchanges_.emplace_back();
        size_t index = exchanges_.size() - 1;
        changed_.notify_all();
        workers_.emplace_back([this, fd = client.release(), index, script]() mutable {
            serve(UniqueFd(fd), index, std::move(script));
        });
    }
}

bool FakeSocksServer::sendStep(int fd, const SocksStep& step) {
    for (size_t i = 0; i < step.pieces.size(); ++i) {
        if (i > 0 && !SleepUnlessStopped(step.gap, stop_))
            return false;
        if (!SendAll(fd, step.pieces[i]))
            return false;
    }
    return !step.close;
}

void FakeSocksServer::serve(UniqueFd client, size_t index, SocksScript script) {
    const int fd = client.get();
    bool ok = true;
    // Reads exactly n bytes of the request; a short read ends the exchange.
    auto read = [&](size_t n) {
        std::string out;
        char buf[512];
        while (ok && out.size() < n) {
            if (!WaitFd(fd, POLLIN, kRequestTimeout, &stop_)) {
                ok = false;
                break;
            }
            ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                ok = false;
            else
                out.append(buf, static_cast<size_t>(r));
        }
        return out;
    };
    auto readToNul = [&]() {
        std::string out;
        while (ok && out.size() < 1024) {
            std::string c = read(1);
            if (!ok)
                break;
            out += c;
            if (c[0] == '\0')
                break;
        }
        return out;
    };
    auto finish = [&] { update(index, [](SocksExchange& e) { e.complete = true; }); };

    std::string first = read(1);
    if (!ok) {
        finish();
        return;
    }
    const int version = static_cast<uint8_t>(first[0]);
    update(index, [&](SocksExchange& e) { e.version = version; });

    std::string targetHost;
    uint16_t targetPort = 0;
    bool nameUnknown = false;
    std::string replyBytes;
    UniqueFd target;
    std::optional<std::pair<std::string, uint16_t>> relayTarget;
    std::map<std::string, std::string> hosts;
    std::optional<std::pair<std::string, std::string>> credentials;
    {
        std::lock_guard lock(mutex_);
        relayTarget = relayTarget_;
        hosts = hosts_;
        credentials = credentials_;
    }
    auto connectTarget = [&]() {
        std::string host = targetHost;
        uint16_t port = targetPort;
        if (relayTarget) {
            host = relayTarget->first;
            port = relayTarget->second;
        } else if (!IsDotted(host)) {
            auto it = hosts.find(host);
            if (it == hosts.end()) {
                nameUnknown = true;
                return;
            }
            host = it->second;
        }
        target = ConnectTcp(host, port, Millis(5000));
    };

    if (version == 4) {
        std::string request = first + read(7);
        std::string user = readToNul();
        request += user;
        std::string addr = request.size() >= 8 ? request.substr(4, 4) : std::string();
        bool is4a =
            addr.size() == 4 && addr[0] == 0 && addr[1] == 0 && addr[2] == 0 && addr[3] != 0;
        std::string name;
        if (ok && is4a) {
            name = readToNul();
            request += name;
        }
        if (ok) {
            targetPort = ReadPort16(request.substr(2, 2));
            targetHost = is4a ? name.substr(0, name.size() - 1) : DottedFrom(addr);
        }
        update(index, [&](SocksExchange& e) {
            e.connectRequest = request;
            e.user = user.empty() ? user : user.substr(0, user.size() - 1);
            e.targetHost = targetHost;
            e.targetPort = targetPort;
        });
        if (!ok) {
            finish();
            return;
        }
        SocksStep reply;
        if (script.connectReply) {
            reply = *script.connectReply;
        } else {
            connectTarget();
            const char code = target ? 90 : 91;
            reply = SocksStep::Bytes(std::string{0, code} + Port16(targetPort) +
                                     (is4a ? std::string(4, '\0') : addr));
            reply.close = !target;
        }
        for (const auto& p : reply.pieces)
            replyBytes += p;
        ok = sendStep(fd, reply);
        const bool granted =
            ok && replyBytes.size() >= 2 && static_cast<uint8_t>(replyBytes[1]) == 90;
        update(index, [&](SocksExchange& e) { e.granted = granted; });
        ok = granted;
    } else if (version == 5) {
        std::string count = read(1);
        std::string methods = ok ? read(static_cast<uint8_t>(count[0])) : std::string();
        update(index, [&](SocksExchange& e) { e.methodRequest = first + count + methods; });
        if (!ok) {
            finish();
            return;
        }
        SocksStep methodReply;
        if (script.methodReply) {
            methodReply = *script.methodReply;
        } else {
            bool offersNone = methods.find('\0') != std::string::npos;
            bool offersPassword = methods.find('\2') != std::string::npos;
            char chosen = offersPassword && (credentials || !offersNone) ? 2
                          : offersNone                                   ? 0
                                                                         : '\xff';
            methodReply = SocksStep::Bytes(std::string{5, chosen});
            methodReply.close = chosen == '\xff';
        }
        std::string sent;
        for (const auto& p : methodReply.pieces)
            sent += p;
        ok = sendStep(fd, methodReply) && sent.size() >= 2 && sent[1] != '\xff';
        if (ok && sent[1] == 2) {
            std::string auth = read(2);
            std::string user = ok ? read(static_cast<uint8_t>(auth[1])) : std::string();
            std::string plen = ok ? read(1) : std::string();
            std::string pass = ok ? read(static_cast<uint8_t>(plen[0])) : std::string();
            update(index, [&](SocksExchange& e) {
                e.authRequest = auth + user + plen + pass;
                e.user = user;
                e.password = pass;
            });
            if (ok) {
                SocksStep authReply;
                if (script.authReply) {
                    authReply = *script.authReply;
                } else {
                    bool accepted =
                        !credentials || (credentials->first == user && credentials->second == pass);
                    authReply = SocksStep::Bytes(std::string{1, accepted ? '\0' : '\1'});
                    authReply.close = !accepted;
                }
                ok = sendStep(fd, authReply);
            }
        }
        std::string request;
        if (ok) {
            request = read(4);
            const int atyp = ok ? static_cast<uint8_t>(request[3]) : 0;
            std::string addr;
            if (atyp == 1) {
                addr = read(4);
                targetHost = ok ? DottedFrom(addr) : "";
            } else if (atyp == 3) {
                std::string len = read(1);
                addr = len + (ok ? read(static_cast<uint8_t>(len[0])) : std::string());
                targetHost = addr.substr(1);
            } else if (atyp == 4) {
                addr = read(16);
                char text[INET6_ADDRSTRLEN] = {};
                if (ok)
                    ::inet_ntop(AF_INET6, addr.data(), text, sizeof text);
                targetHost = text;
            }
            std::string port = ok ? read(2) : std::string();
            request += addr + port;
            if (ok)
                targetPort = ReadPort16(port);
            update(index, [&](SocksExchange& e) {
                e.connectRequest = request;
                e.targetHost = targetHost;
                e.targetPort = targetPort;
            });
            if (ok) {
                SocksStep reply;
                if (script.connectReply) {
                    reply = *script.connectReply;
                } else {
                    char code = 0;
                    if (request[1] != 1)
                        code = 7;
                    else if (atyp == 4)
                        code = 8;
                    else {
                        connectTarget();
                        code = nameUnknown ? 4 : target ? 0 : 5;
                    }
                    uint16_t bound = target ? LocalPort(target.get()) : 0;
                    reply =
                        SocksStep::Bytes(std::string{5, code, 0, 1, 127, 0, 0, 1} + Port16(bound));
                    reply.close = code != 0;
                }
                for (const auto& p : reply.pieces)
                    replyBytes += p;
                ok = sendStep(fd, reply);
                const bool granted = ok && replyBytes.size() >= 2 && replyBytes[1] == 0;
                update(index, [&](SocksExchange& e) { e.granted = granted; });
                ok = granted;
            }
        }
    } else {
        ok = false;
    }

    if (ok) {
        switch (script.after) {
        case SocksAfter::Relay: {
            if (!target)
                connectTarget();
            if (target) {
                uint64_t up = 0, down = 0;
                Relay(fd, target.get(), stop_, up, down);
                update(index, [&](SocksExchange& e) {
                    e.bytesToTarget = up;
                    e.bytesFromTarget = down;
                });
            }
            break;
        }
        case SocksAfter::Echo: {
            char buf[65536];
            uint64_t echoed = 0;
            while (WaitFd(fd, POLLIN, Millis(3600000), &stop_)) {
                ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0 || !SendAll(fd, buf, static_cast<size_t>(n)))
                    break;
                echoed += static_cast<uint64_t>(n);
            }
            update(index, [&](SocksExchange& e) {
                e.bytesToTarget = echoed;
                e.bytesFromTarget = echoed;
            });
            break;
        }
        case SocksAfter::Hold: {
            char buf[4096];
            while (WaitFd(fd, POLLIN, Millis(3600000), &stop_) &&
                   ::recv(fd, buf, sizeof buf, 0) > 0) {
            }
            break;
        }
        case SocksAfter::Close:
            break;
        }
    }
    client.reset();
    finish();
}

} // namespace qtest
