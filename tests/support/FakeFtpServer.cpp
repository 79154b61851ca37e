#include "FakeFtpServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace qtest {

namespace {

using Clock = std::chrono::steady_clock;

std::string Upper(std::string s) {
    for (auto& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool IsTransferVerb(const std::string& verb) {
    return verb == "RETR" || verb == "LIST" || verb == "NLST" || verb == "STOR" || verb == "APPE" ||
           verb == "STOU";
}

// "h1,h2,h3,h4,p1,p2" -> address and port; false when malformed.
// "|1|127.0.0.1|port|" with any delimiter; IPv4 only, as the server listens there.
bool ParseExtendedPort(const std::string& text, std::string& host, uint16_t& port) {
    if (text.size() < 2 || text.back() != text.front())
        return false;
    std::vector<std::string> fields;
    std::string field;
    for (size_t i = 1; i < text.size(); ++i) {
        if (text[i] == text.front()) {
            fields.push_back(field);
            field.clear();
        } else {
            field += text[i];
        }
    }
    if (fields.size() != 3 || fields[0] != "1" || fields[2].empty() || fields[2].size() > 5 ||
        fields[2].find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int value = std::stoi(fields[2]);
    host = fields[1];
    port = static_cast<uint16_t>(value);
    return value > 0 && value < 65536;
}

bool ParseHostPort(const std::string& text, std::string& host, uint16_t& port) {
    std::vector<int> fields;
    std::string field;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == ',') {
            if (field.empty() || field.size() > 3)
                return false;
            int v = std::stoi(field);
            if (v > 255)
                return false;
            fields.push_back(v);
            field.clear();
        } else if (std::isdigit(static_cast<unsigned char>(text[i]))) {
            field += text[i];
        } else if (text[i] != ' ') {
            return false;
        }
    }
    if (fields.size() != 6)
        return false;
    host = std::to_string(fields[0]) + "." + std::to_string(fields[1]) + "." +
           std::to_string(fields[2]) + "." + std::to_string(fields[3]);
    port = static_cast<uint16_t>(fields[4] * 256 + fields[5]);
    return true;
}

std::string Quoted(const std::string& path) {
    std::string out;
    for (char c : path) {
        out += c;
        if (c == '"')
            out += '"';
    }
    return "\"" + out + "\"";
}

std::string JoinPath(const std::string& cwd, const std::string& arg) {
    if (!arg.empty() && arg[0] == '/')
        return arg;
    if (arg == "..") {
        auto slash = cwd.find_last_of('/');
        return slash == 0 || slash == std::string::npos ? "/" : cwd.substr(0, slash);
    }
    return cwd == "/" ? "/" + arg : cwd + "/" + arg;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t pos = 0; (pos = text.find(from, pos)) != std::string::npos; pos += to.size())
        text.replace(pos, from.size(), to);
}

} // namespace

Payload Payload::Bytes(std::string bytes) {
    auto shared = std::make_shared<const std::string>(std::move(bytes));
    return Payload{shared->size(), [shared](uint64_t offset, char* out, size_t len) {
                       std::memcpy(out, shared->data() + offset, len);
                   }};
}

Payload Payload::Pattern(uint64_t size) {
    return Payload{size, FillPattern};
}

namespace act {

FtpAction Send(std::string raw) {
    FtpAction a;
    a.kind = FtpAction::Kind::Send;
    a.bytes = std::move(raw);
    return a;
}

FtpAction Reply(const std::string& line) {
    return Send(line + "\r\n");
}

FtpAction Delay(Millis delay) {
    FtpAction a;
    a.kind = FtpAction::Kind::Delay;
    a.delay = delay;
    return a;
}

FtpAction OpenData() {
    FtpAction a;
    a.kind = FtpAction::Kind::OpenData;
    return a;
}

FtpAction SendData(uint64_t limit) {
    FtpAction a;
    a.kind = FtpAction::Kind::SendData;
    a.limit = limit;
    return a;
}

FtpAction SendData(Payload payload, uint64_t limit) {
    FtpAction a = SendData(limit);
    a.payload = std::move(payload);
    return a;
}

FtpAction ReceiveData(uint64_t limit) {
    FtpAction a;
    a.kind = FtpAction::Kind::ReceiveData;
    a.limit = limit;
    return a;
}

FtpAction CloseData(bool reset) {
    FtpAction a;
    a.kind = FtpAction::Kind::CloseData;
    a.reset = reset;
    return a;
}

FtpAction CloseControl(bool reset) {
    FtpAction a;
    a.kind = FtpAction::Kind::CloseControl;
    a.reset = reset;
    return a;
}

FtpScript SendInPieces(const std::string& raw, const std::vector<size_t>& sizes, Millis gap) {
    FtpScript script;
    size_t pos = 0;
    for (size_t size : sizes) {
        if (pos >= raw.size())
            break;
        if (!script.empty())
            script.push_back(Delay(gap));
        script.push_back(Send(raw.substr(pos, size)));
        pos += size;
    }
    if (pos < raw.size()) {
        if (!script.empty())
            script.push_back(Delay(gap));
        script.push_back(Send(raw.substr(pos)));
    }
    return script;
}

FtpScript SendBytewise(const std::string& raw, Millis gap) {
    return SendInPieces(raw, std::vector<size_t>(raw.size(), 1), gap);
}

FtpScript Download(const std::string& finalRaw, uint64_t limit, const std::string& preliminary) {
    return {Reply(preliminary), OpenData(), SendData(limit), CloseData(), Send(finalRaw)};
}

FtpScript Upload(const std::string& finalRaw, uint64_t limit, const std::string& preliminary) {
    return {Reply(preliminary), OpenData(), ReceiveData(limit), CloseData(), Send(finalRaw)};
}

} // namespace act

struct FakeFtpServer::Session {
    UniqueFd control;
    std::string inbuf;
    std::deque<std::string> pending; // complete lines not yet answered
    UniqueFd pasvListener;
    std::string portHost;
    uint16_t portPort = 0;
    UniqueFd data;
    uint64_t restOffset = 0;
    std::string cwd = "/";
    std::string line, verb, arg; // the command being answered
    std::string stouName;
    bool gone = false; // control connection closed (by either side)
};

FakeFtpServer::FakeFtpServer() {
    greeting_ = {act::Reply("220 Quorvan fake FTP server ready.")};
    listener_ = ListenLoopback(0);
    port_ = LocalPort(listener_.get());
    thread_ = std::thread([this] { run(); });
}

FakeFtpServer::~FakeFtpServer() {
    stop_.set();
    if (thread_.joinable())
        thread_.join();
}

// ---- script ----

void FakeFtpServer::setGreeting(FtpScript script) {
    std::lock_guard lock(mutex_);
    greeting_ = std::move(script);
}

void FakeFtpServer::setGreeting(const std::string& raw) {
    setGreeting(FtpScript{act::Send(raw)});
}

void FakeFtpServer::enqueue(const std::string& verb, FtpScript script) {
    std::lock_guard lock(mutex_);
    queued_[Upper(verb)].push_back(std::move(script));
}

void FakeFtpServer::enqueue(const std::string& verb, const std::string& raw) {
    enqueue(verb, FtpScript{act::Send(raw)});
}

void FakeFtpServer::setResponse(const std::string& verb, FtpScript script) {
    std::lock_guard lock(mutex_);
    sticky_[Upper(verb)] = std::move(script);
}

void FakeFtpServer::setResponse(const std::string& verb, const std::string& raw) {
    setResponse(verb, FtpScript{act::Send(raw)});
}

void FakeFtpServer::clearResponse(const std::string& verb) {
    std::lock_guard lock(mutex_);
    sticky_.erase(Upper(verb));
    queued_.erase(Upper(verb));
}

void FakeFtpServer::setAdvertisedHost(const std::string& dotted) {
    std::lock_guard lock(mutex_);
    advertisedHost_ = dotted;
}

void FakeFtpServer::setFile(const std::string& name, Payload payload) {
    std::lock_guard lock(mutex_);
    files_.insert_or_assign(name, std::move(payload));
}

void FakeFtpServer::setFile(const std::string& name, std::string bytes) {
    setFile(name, Payload::Bytes(std::move(bytes)));
}

void FakeFtpServer::setListing(std::string raw) {
    std::lock_guard lock(mutex_);
    listing_ = std::move(raw);
}

void FakeFtpServer::setNameList(std::string raw) {
    std::lock_guard lock(mutex_);
    nameList_ = std::move(raw);
}

void FakeFtpServer::setBrokenTransferReply(std::string raw) {
    std::lock_guard lock(mutex_);
    brokenReply_ = std::move(raw);
}

void FakeFtpServer::setIoTimeout(Millis timeout) {
    std::lock_guard lock(mutex_);
    ioTimeout_ = timeout;
}

// ---- observations ----

std::vector<std::string> FakeFtpServer::commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

std::string FakeFtpServer::rawInput() const {
    std::lock_guard lock(mutex_);
    return rawInput_;
}

bool FakeFtpServer::waitForCommands(size_t count, Millis timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return commands_.size() >= count; });
}

bool FakeFtpServer::waitForVerb(const std::string& verb, Millis timeout) const {
    const std::string wanted = Upper(verb);
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return std::any_of(commands_.begin(), commands_.end(), [&](const std::string& c) {
            return Upper(c.substr(0, c.find(' '))) == wanted;
        });
    });
}

std::vector<FakeFtpServer::Upload> FakeFtpServer::uploads() const {
    std::lock_guard lock(mutex_);
    return uploads_;
}

uint64_t FakeFtpServer::dataBytesSent() const {
    std::lock_guard lock(mutex_);
    return dataBytesSent_;
}

size_t FakeFtpServer::connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

size_t FakeFtpServer::clientCloses() const {
    std::lock_guard lock(mutex_);
    return clientCloses_;
}

bool FakeFtpServer::waitForClientCloses(size_t count, Millis timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return clientCloses_ >= count; });
}

size_t FakeFtpServer::sessionsEnded() const {
    std::lock_guard lock(mutex_);
    return sessionsEnded_;
}

bool FakeFtpServer::waitForSessionsEnded(size_t count, Millis timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return sessionsEnded_ >= count; });
}

std::vector<std::string> FakeFtpServer::problems() const {
    std::lock_guard lock(mutex_);
    return problems_;
}

void FakeFtpServer::problem(const std::string& text) {
    std::lock_guard lock(mutex_);
    problems_.push_back(text);
    changed_.notify_all();
}

// ---- the server thread ----

void FakeFtpServer::run() {
    while (!stop_.isSet()) {
        if (!WaitFd(listener_.get(), POLLIN, Millis(3600000), &stop_))
            continue;
        UniqueFd control(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!control)
            continue;
        {
            std::lock_guard lock(mutex_);
            ++connections_;
            changed_.notify_all();
        }
        serve(std::move(control));
        std::lock_guard lock(mutex_);
        ++sessionsEnded_;
        changed_.notify_all();
    }
}

void FakeFtpServer::serve(UniqueFd control) {
    Session s;
    s.control = std::move(control);
    // Each send() then tends to leave as its own segment, which is what
    // split replies are for.
    SetNoDelay(s.control.get());
    FtpScript greeting;
    {
        std::lock_guard lock(mutex_);
        greeting = greeting_;
    }
    if (!perform(s, "", "", greeting))
        return;
    while (!s.gone && !stop_.isSet()) {
        if (s.pending.empty()) {
            readControl(s, Millis(3600000));
            continue;
        }
        std::string line = std::move(s.pending.front());
        s.pending.pop_front();
        handle(s, line);
    }
}

bool FakeFtpServer::readControl(Session& s, Millis timeout) {
    if (!WaitFd(s.control.get(), POLLIN, timeout, &stop_))
        return false;
    char buf[65536];
    ssize_t n;
    do {
        n = ::recv(s.control.get(), buf, sizeof buf, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        s.gone = true;
        s.control.reset();
        std::lock_guard lock(mutex_);
        ++clientCloses_;
        changed_.notify_all();
        return false;
    }
    s.inbuf.append(buf, static_cast<size_t>(n));
    std::lock_guard lock(mutex_);
    rawInput_.append(buf, static_cast<size_t>(n));
    for (size_t lf; (lf = s.inbuf.find('\n')) != std::string::npos;) {
        std::string line = s.inbuf.substr(0, lf);
        s.inbuf.erase(0, lf + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        commands_.push_back(line);
        s.pending.push_back(line);
    }
    changed_.notify_all();
    return true;
}

void FakeFtpServer::handle(Session& s, const std::string& line) {
    s.line = line;
    auto space = line.find(' ');
    s.verb = Upper(line.substr(0, space));
    s.arg = space == std::string::npos ? std::string() : line.substr(space + 1);
    const std::string& verb = s.verb;

    if (verb == "PASV" || verb == "EPSV") {
        s.pasvListener = ListenLoopback(0, 1);
        s.portPort = 0;
    } else if (verb == "PORT" || verb == "EPRT") {
        s.pasvListener.reset();
        if (!(verb == "PORT" ? ParseHostPort(s.arg, s.portHost, s.portPort)
                             : ParseExtendedPort(s.arg, s.portHost, s.portPort)))
            s.portPort = 0;
    } else if (verb == "REST") {
        try {
            s.restOffset = std::stoull(s.arg);
        } catch (const std::exception&) {
            s.restOffset = 0;
        }
    } else if (verb == "STOU") {
        std::lock_guard lock(mutex_);
        s.stouName = "stou." + std::to_string(++stouCounter_);
    }

    perform(s, verb, s.arg, pickScript(s, verb, s.arg));

    if (IsTransferVerb(verb)) {
        s.data.reset();
        s.pasvListener.reset();
        s.portPort = 0;
        s.restOffset = 0;
    }
    if (verb == "QUIT" && !s.gone) {
        s.control.reset();
        s.gone = true;
    }
}

FtpScript FakeFtpServer::pickScript(Session& s, const std::string& verb, const std::string& arg) {
    {
        std::lock_guard lock(mutex_);
        auto q = queued_.find(verb);
        if (q != queued_.end() && !q->second.empty()) {
            FtpScript script = std::move(q->second.front());
            q->second.pop_front();
            return script;
        }
        auto st = sticky_.find(verb);
        if (st != sticky_.end())
            return st->second;
    }
    return defaultScript(s, verb, arg);
}

FtpScript FakeFtpServer::defaultScript(Session& s, const std::string& verb,
                                       const std::string& arg) {
    using namespace act;
    if (verb == "USER")
        return {Reply("331 Please specify the password.")};
    if (verb == "PASS")
        return {Reply("230 Login successful.")};
    if (verb == "TYPE")
        return {Reply(Upper(arg).rfind("A", 0) == 0 ? "200 Switching to ASCII mode."
                                                    : "200 Switching to Binary mode.")};
    if (verb == "SYST")
        return {Reply("215 UNIX Type: L8")};
    if (verb == "PWD")
        return {Reply("257 " + Quoted(s.cwd) + " is the current directory")};
    if (verb == "CWD") {
        s.cwd = JoinPath(s.cwd, arg);
        return {Reply("250 Directory successfully changed.")};
    }
    if (verb == "MKD")
        return {Reply("257 " + Quoted(JoinPath(s.cwd, arg)) + " created")};
    if (verb == "RMD" || verb == "DELE")
        return {Reply("250 " + verb + " command successful.")};
    if (verb == "SITE" || verb == "OPEN" || verb == "NOOP")
        return {Reply("200 OK.")};
    if (verb == "REST")
        return {Reply("350 Restart position accepted (" + std::to_string(s.restOffset) + ").")};
    if (verb == "PASV")
        return {Reply("227 Entering Passive Mode ({h},{p1},{p2}).")};
    if (verb == "PORT" || verb == "EPRT")
        return {Reply(s.portPort != 0 ? "200 " + verb + " command successful."
                                      : "501 Illegal " + verb + " command.")};
    if (verb == "ABOR")
        return {Reply("226 Abort successful.")};
    if (verb == "QUIT")
        return {Reply("221 Goodbye.")};
    if (IsTransferVerb(verb)) {
        if (!s.pasvListener && s.portPort == 0)
            return {Reply("425 Use PORT or PASV first.")};
        if (verb == "RETR") {
            std::lock_guard lock(mutex_);
            if (!files_.count(arg))
                return {Reply("550 Failed to open file.")};
            return Download();
        }
        if (verb == "LIST" || verb == "NLST")
            return Download("226 Directory send OK.\r\n", UINT64_MAX,
                            "150 Here comes the directory listing.");
        if (verb == "STOU")
            return act::Upload("226 Transfer complete.\r\n", UINT64_MAX, "150 FILE: " + s.stouName);
        return act::Upload();
    }
    return {Reply("500 Unknown command.")};
}

std::string FakeFtpServer::expand(const Session& s, const std::string& raw) const {
    if (raw.find('{') == std::string::npos)
        return raw;
    std::string out = raw;
    std::string host;
    {
        std::lock_guard lock(mutex_);
        host = advertisedHost_;
    }
    std::replace(host.begin(), host.end(), '.', ',');
    ReplaceAll(out, "{h}", host);
    if (s.pasvListener) {
        uint16_t port = LocalPort(s.pasvListener.get());
        ReplaceAll(out, "{p1}", std::to_string(port / 256));
        ReplaceAll(out, "{p2}", std::to_string(port % 256));
        ReplaceAll(out, "{port}", std::to_string(port));
    }
    return out;
}

bool FakeFtpServer::sendControl(Session& s, const std::string& raw) {
    if (s.gone)
        return false;
    if (!SendAll(s.control.get(), expand(s, raw))) {
        s.gone = true;
        s.control.reset();
        std::lock_guard lock(mutex_);
        ++clientCloses_;
        changed_.notify_all();
        return false;
    }
    return true;
}

bool FakeFtpServer::perform(Session& s, const std::string& verb, const std::string& arg,
                            const FtpScript& script) {
    using Kind = FtpAction::Kind;
    std::string brokenReply;
    Millis ioTimeout;
    {
        std::lock_guard lock(mutex_);
        brokenReply = brokenReply_;
        ioTimeout = ioTimeout_;
    }
    for (const FtpAction& a : script) {
        if (stop_.isSet() || s.gone)
            return false;
        switch (a.kind) {
        case Kind::Send:
            if (!sendControl(s, a.bytes))
                return false;
            break;
        case Kind::Delay:
            if (!SleepUnlessStopped(a.delay, stop_))
                return false;
            break;
        case Kind::OpenData:
            if (!openData(s, ioTimeout)) {
                problem("data connection for '" + s.line + "' did not open");
                return sendControl(s, "425 Can't open data connection.\r\n");
            }
            break;
        case Kind::SendData: {
            if (!s.data) {
                problem("SendData without a data connection for '" + s.line + "'");
                break;
            }
            Payload payload;
            if (a.payload) {
                payload = *a.payload;
            } else {
                std::lock_guard lock(mutex_);
                if (verb == "RETR" && files_.count(arg))
                    payload = files_.at(arg);
                else if (verb == "LIST")
                    payload = Payload::Bytes(listing_);
                else if (verb == "NLST")
                    payload = Payload::Bytes(nameList_);
            }
            uint64_t from = verb == "RETR" ? std::min(s.restOffset, payload.size) : 0;
            DataResult r = sendData(s, payload, from, a.limit);
            if (r == DataResult::Broken) {
                s.data.reset();
                return sendControl(s, brokenReply);
            }
            if (r != DataResult::Done)
                return false;
            break;
        }
        case Kind::ReceiveData: {
            if (!s.data) {
                problem("ReceiveData without a data connection for '" + s.line + "'");
                break;
            }
            DataResult r = receiveData(s, a.limit);
            if (r == DataResult::Broken) {
                s.data.reset();
                return sendControl(s, brokenReply);
            }
            if (r != DataResult::Done)
                return false;
            break;
        }
        case Kind::CloseData:
            if (s.data && a.reset)
                SetLingerReset(s.data.get());
            s.data.reset();
            break;
        case Kind::CloseControl:
            if (a.reset)
                SetLingerReset(s.control.get());
            s.control.reset();
            s.gone = true;
            return false;
        }
    }
    return !s.gone;
}

bool FakeFtpServer::openData(Session& s, Millis timeout) {
    s.data.reset();
    if (s.pasvListener) {
        if (WaitFd(s.pasvListener.get(), POLLIN, timeout, &stop_))
            s.data.reset(::accept4(s.pasvListener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        s.pasvListener.reset();
    } else if (s.portPort != 0) {
        s.data = ConnectTcp(s.portHost, s.portPort, timeout);
    }
    return s.data.valid();
}

// Sees whether the client wrote on the control connection during a
// transfer; those lines are answered after it. True when ABOR came.
bool FakeFtpServer::watchControl(Session& s) {
    size_t before = s.pending.size();
    readControl(s, Millis(0));
    for (size_t i = before; i < s.pending.size(); ++i)
        if (Upper(s.pending[i].substr(0, s.pending[i].find(' '))) == "ABOR")
            return true;
    return false;
}

FakeFtpServer::DataResult FakeFtpServer::sendData(Session& s, const Payload& payload, uint64_t from,
                                                  uint64_t limit) {
    uint64_t end = payload.size;
    if (limit < end - from)
        end = from + limit;
    std::vector<char> buf(256 * 1024);
    size_t have = 0, sent = 0;
    uint64_t offset = from;
    while (offset < end || sent < have) {
        if (sent == have) {
            have = static_cast<size_t>(std::min<uint64_t>(buf.size(), end - offset));
            payload.fill(offset, buf.data(), have);
            sent = 0;
            offset += have;
        }
        short revents = 0;
        if (auto end = waitData(s, POLLOUT, revents))
            return *end;
        if (revents & (POLLERR | POLLHUP))
            return DataResult::Broken;
        if (!(revents & POLLOUT))
            continue;
        ssize_t n =
            ::send(s.data.get(), buf.data() + sent, have - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return DataResult::Broken;
        sent += static_cast<size_t>(n);
        std::lock_guard lock(mutex_);
        dataBytesSent_ += static_cast<uint64_t>(n);
    }
    return DataResult::Done;
}

// Waits for the data socket, while watching the control connection (an ABOR,
// a close) and the server's stop; an interrupted or empty wait ends with no
// result and revents 0, so the caller simply waits again.
std::optional<FakeFtpServer::DataResult> FakeFtpServer::waitData(Session& s, short events,
                                                                 short& revents) {
    pollfd p[3] = {{s.data.get(), events, 0},
                   {s.control ? s.control.get() : -1, POLLIN, 0},
                   {stop_.fd(), POLLIN, 0}};
    revents = 0;
    if (::poll(p, 3, 3600000) < 0)
        return std::nullopt;
    if (p[2].revents)
        return DataResult::Stopped;
    if (p[1].revents && watchControl(s))
        return DataResult::Broken;
    if (s.gone)
        return DataResult::ControlGone;
    revents = p[0].revents;
    return std::nullopt;
}

FakeFtpServer::DataResult FakeFtpServer::receiveData(Session& s, uint64_t limit) {
    size_t index;
    {
        std::lock_guard lock(mutex_);
        uploads_.push_back(Upload{s.line, s.verb == "STOU" ? s.stouName : s.arg, {}});
        index = uploads_.size() - 1;
        changed_.notify_all();
    }
    std::vector<char> buf(256 * 1024);
    uint64_t received = 0;
    while (received < limit) {
        short revents = 0;
        if (auto end = waitData(s, POLLIN, revents))
            return *end;
        if (!revents)
            continue;
        size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), limit - received));
        ssize_t n = ::recv(s.data.get(), buf.data(), want, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            return DataResult::Done;
        if (n < 0)
            return DataResult::Broken;
        received += static_cast<uint64_t>(n);
        std::lock_guard lock(mutex_);
        uploads_[index].bytes.append(buf.data(), static_cast<size_t>(n));
        changed_.notify_all();
    }
    return DataResult::Done;
}

} // namespace qtest
