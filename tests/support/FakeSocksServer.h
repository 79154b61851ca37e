#pragma once

// A scripted SOCKS 4/4A/5 server on 127.0.0.1:<ephemeral>. Each accepted
// connection is served on its own thread (an FTP client through SOCKS holds
// its control and data connections at once). The server reads each request
// by its protocol layout, records the exact bytes, answers with the scripted
// bytes (possibly in pieces, or closes instead) and, after a granted reply,
// relays to the real target, echoes, holds or closes.
//
// Default answers: SOCKS 5 chooses the offered method 0 or 2 (255 when
// neither is offered), accepts the credentials set with setCredentials (any
// when none are set), and answers CONNECT after connecting to the target:
// "05 00 00 01 127 0 0 1 <port>" on success, reply code 5 when the target
// refuses and 4 when a name is unknown. SOCKS 4/4A answer 0 90 <port>
// <address>, or 0 91 when the target cannot be reached. Names resolve through
// mapHost only ("localhost" maps to 127.0.0.1); dotted quads are used as they
// are; a relay target set with setRelayTarget overrides any request.

#include "TestSockets.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qtest {

// Bytes the server sends at one stage of the exchange.
struct SocksStep {
    std::vector<std::string> pieces; // each written with its own send()
    bool close = false;              // close the connection after the pieces
    Millis gap{20};                  // pause between pieces

    static SocksStep Bytes(std::string bytes) { return SocksStep{{std::move(bytes)}, false}; }
    static SocksStep Pieces(std::vector<std::string> pieces) {
        return SocksStep{std::move(pieces), false};
    }
    // Sends the bytes (possibly none) and then closes instead of going on.
    static SocksStep CloseAfter(std::string bytes = "") {
        SocksStep s;
        if (!bytes.empty())
            s.pieces.push_back(std::move(bytes));
        s.close = true;
        return s;
    }
};

enum class SocksAfter { Relay, Echo, Close, Hold };

struct SocksScript {
    std::optional<SocksStep> methodReply;  // SOCKS 5 answer to the method offer
    std::optional<SocksStep> authReply;    // SOCKS 5 answer to user/password
    std::optional<SocksStep> connectReply; // answer to the CONNECT request (4 and 5)
    SocksAfter after = SocksAfter::Relay;  // what follows a reply that was sent in full
};

// What one client connection sent and got.
struct SocksExchange {
    int version = 0;            // 4 or 5 (first byte); 0 when nothing arrived
    std::string methodRequest;  // SOCKS 5: 05 n m1..mn
    std::string authRequest;    // SOCKS 5: 01 ulen user plen password
    std::string connectRequest; // SOCKS 4: the whole request; SOCKS 5: 05 cmd 00 atyp addr port
    std::string user, password; // SOCKS 4 user id; SOCKS 5 credentials
    std::string targetHost;     // dotted quad, name, or IPv6 text as requested
    uint16_t targetPort = 0;
    bool granted = false;  // a success reply was sent
    bool complete = false; // the connection has ended
    uint64_t bytesToTarget = 0, bytesFromTarget = 0;
};

class FakeSocksServer {
public:
    FakeSocksServer();
    FakeSocksServer(const FakeSocksServer&) = delete;
    FakeSocksServer& operator=(const FakeSocksServer&) = delete;
    ~FakeSocksServer();

    std::string host() const { return "127.0.0.1"; }
    uint16_t port() const { return port_; }

    // Script for the next connection (in order), then the default script.
    void enqueue(SocksScript script);
    void setDefault(SocksScript script);
    void setCredentials(const std::string& user, const std::string& password);
    void mapHost(const std::string& name, const std::string& dotted);
    void setRelayTarget(const std::string& dotted, uint16_t port);

    std::vector<SocksExchange> exchanges() const;
    bool waitForExchanges(size_t count, Millis timeout = Millis(10000)) const;
    // Waits until `count` connections have ended.
    bool waitForCompleted(size_t count, Millis timeout = Millis(10000)) const;

private:
    void acceptLoop();
    void serve(UniqueFd client, size_t index, SocksScript script);
    bool sendStep(int fd, const SocksStep& step);
    void update(size_t index, const std::function<void(SocksExchange&)>& change);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<SocksScript> queued_;
    SocksScript default_;
    std::optional<std::pair<std::string, std::string>> credentials_;
    std::map<std::string, std::string> hosts_{{"localhost", "127.0.0.1"}};
    std::optional<std::pair<std::string, uint16_t>> relayTarget_;
    std::vector<SocksExchange> exchanges_;

    StopFlag stop_;
    UniqueFd listener_;
    uint16_t port_ = 0;
    std::thread acceptThread_;
    std::vector<std::thread> workers_; // guarded by mutex_
};

// Byte-string helpers for building and checking SOCKS messages in tests.
// "05 01 00" -> three bytes; blanks are ignored.
std::string Hex(const std::string& spaced);
// Three bytes -> "05 01 00".
std::string ToHex(const std::string& bytes);

} // namespace qtest
