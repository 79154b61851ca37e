#include "IdStackPosix.h"

#include "IdException.h"
#include "IdGlobal.h"
#include "IdResourceStrings.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace {

struct TIdErrnoRow {
    int Errno;
    int32_t Winsock;
};

// The one place where Linux error numbers become Winsock numbers.
constexpr TIdErrnoRow ErrnoTable[] = {
    {EINTR, 10004},           {EBADF, 10009},        {EACCES, 10013},
    {EPERM, 10013},           {EFAULT, 10014},       {EINVAL, 10022},
    {EMFILE, 10024},          {ENFILE, 10024},       {EWOULDBLOCK, 10035},
    {EAGAIN, 10035},          {EINPROGRESS, 10036},  {EALREADY, 10037},
    {ENOTSOCK, 10038},        {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},        {ENETUNREACH, 10051},  {ENETRESET, 10052},
    {ECONNABORTED, 10053},    {ECONNRESET, 10054},   {ENOBUFS, 10055},
    {ENOMEM, 10055},          {EISCONN, 10056},      {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},       {EPIPE, 10058},        {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},    {ELOOP, 10062},        {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},       {EHOSTUNREACH, 10065}, {ENOTEMPTY, 10066},
};

// The error of the calling thread's most recent failed socket call, already in
// the Winsock numbering. Kept apart from errno so that nothing between the
// failing call and CheckSocketResult can overwrite it.
thread_local int32_t tLastSocketError = 0;

// A socket closed under a running call is "not a socket" on Winsock, and callers
// absorb exactly that code (10038) for a socket closed by an abort: the passive
// upload's send, the accept of a dropped listener. Linux reports the closed
// descriptor as EBADF; translated to 10009, those aborts would surface as
// failures. So a socket call reports EBADF as 10038, while the plain errno
// table keeps 10009 for everything that is not a socket call.
int32_t SocketErrorFromErrno(int AErrno) {
    return AErrno == EBADF ? 10038 : WinsockErrorFromErrno(AErrno);
}

int32_t Fail(int AErrno) {
    tLastSocketError = SocketErrorFromErrno(AErrno);
    return Id_SOCKET_ERROR;
}

int32_t FailWith(int32_t AWinsockCode) {
    tLastSocketError = AWinsockCode;
    return Id_SOCKET_ERROR;
}

// The platform's socket address of an address, and back: the only place
// where either family meets the socket structures.
socklen_t ToSockAddr(const TIdAddress& AAddress, sockaddr_storage& VStorage) {
    VStorage = sockaddr_storage{};
    const auto port = htons(static_cast<uint16_t>(AAddress.Port));
    if (AAddress.Family == TIdAddressFamily::IPv6) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(VStorage);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = port;
        in6.sin6_scope_id = AAddress.ScopeId;
        std::memcpy(&in6.sin6_addr, AAddress.Bytes.data(), sizeof in6.sin6_addr);
        return sizeof in6;
    }
    auto& in4 = reinterpret_cast<sockaddr_in&>(VStorage);
    in4.sin_family = AF_INET;
    in4.sin_port = port;
    std::memcpy(&in4.sin_addr, AAddress.Bytes.data(), sizeof in4.sin_addr);
    return sizeof in4;
}

TIdAddress FromSockAddr(const sockaddr_storage& AStorage) {
    TIdAddress address;
    if (AStorage.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(AStorage);
        address.Family = TIdAddressFamily::IPv6;
        address.Port = ntohs(in6.sin6_port);
        address.ScopeId = in6.sin6_scope_id;
        std::memcpy(address.Bytes.data(), &in6.sin6_addr, sizeof in6.sin6_addr);
    } else if (AStorage.ss_family == AF_INET) {
        const auto& in4 = reinterpret_cast<const sockaddr_in&>(AStorage);
        address.Family = TIdAddressFamily::IPv4;
        address.Port = ntohs(in4.sin_port);
        std::memcpy(address.Bytes.data(), &in4.sin_addr, sizeof in4.sin_addr);
    }
    return address;
}

// An IPv4 address text as the stack has always read it (each part's low eight
// bits), with a port.
TIdAddress IPv4Address(uint32_t AInAddr, int32_t APort) {
    TIdAddress address;
    address.Family = TIdAddressFamily::IPv4;
    address.Port = APort;
    std::memcpy(address.Bytes.data(), &AInAddr, sizeof AInAddr);
    return address;
}

// Socket-level options arrive in the Winsock numbering; other levels (IP, TCP)
// number their options as Linux does.
bool NativeOption(int32_t ALevel, int32_t AOptName, int& ANativeLevel, int& ANativeName) {
    if (ALevel != Id_SOL_SOCKET) {
        ANativeLevel = ALevel;
        ANativeName = AOptName;
        return true;
    }
    ANativeLevel = SOL_SOCKET;
    switch (AOptName) {
    case 0x0002:
        ANativeName = SO_ACCEPTCONN;
        return true;
    case Id_SO_REUSEADDR:
        ANativeName = SO_REUSEADDR;
        return true;
    case Id_SO_KEEPALIVE:
        ANativeName = SO_KEEPALIVE;
        return true;
    case 0x0010:
        ANativeName = SO_DONTROUTE;
        return true;
    case Id_SO_BROADCAST:
        ANativeName = SO_BROADCAST;
        return true;
    case Id_SO_LINGER:
        ANativeName = SO_LINGER;
        return true;
    case 0x0100:
        ANativeName = SO_OOBINLINE;
        return true;
    case Id_SO_SNDBUF:
        ANativeName = SO_SNDBUF;
        return true;
    case Id_SO_RCVBUF:
        ANativeName = SO_RCVBUF;
        return true;
    case 0x1005:
        ANativeName = SO_SNDTIMEO;
        return true;
    case 0x1006:
        ANativeName = SO_RCVTIMEO;
        return true;
    case Id_SO_ERROR:
        ANativeName = SO_ERROR;
        return true;
    case 0x1008:
        ANativeName = SO_TYPE;
        return true;
    default:
        return false;
    }
}

// Winsock's linger holds two 16-bit fields.
struct TIdWinsockLinger {
    uint16_t l_onoff;
    uint16_t l_linger;
};

// AF_INET or AF_INET6 for the stack's family numbers; Linux and Winsock
// agree on IPv4 only.
int NativeFamily(int32_t AFamily) {
    return AFamily == Id_PF_INET6 ? AF_INET6 : AFamily;
}

int32_t IdFamily(int ANativeFamily) {
    return ANativeFamily == AF_INET6 ? Id_PF_INET6 : ANativeFamily;
}

// The address a caller names by text: IPv6 text (with its zone), or a dotted
// quad read as the stack has always read it (each part's low eight bits).
TIdAddress AddressFromText(TIdStack& AStack, const std::string& AIP, int32_t APort) {
    TIdAddress address;
    if (AIP.find(':') != std::string::npos) {
        if (!TIdAddress::Parse(AIP, APort, address)) {
            throw std::invalid_argument(
                FormatMessage(IdResourceStrings::RSNotAnInteger, AIP.c_str()));
        }
        return address;
    }
    return IPv4Address(AStack.TextToInAddr(AIP), APort);
}

bool Resolve(const std::string& AName, TIdAddressFamily AFamily,
             std::vector<TIdAddress>& AAddresses) {
    addrinfo hints{};
    hints.ai_family = AFamily == TIdAddressFamily::IPv4   ? AF_INET
                      : AFamily == TIdAddressFamily::IPv6 ? AF_INET6
                                                          : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(AName.c_str(), nullptr, &hints, &found) != 0 || !found) {
        return false;
    }
    for (const addrinfo* item = found; item; item = item->ai_next) {
        if ((item->ai_family == AF_INET || item->ai_family == AF_INET6) && item->ai_addr &&
            item->ai_addrlen <= sizeof(sockaddr_storage)) {
            sockaddr_storage storage{};
            std::memcpy(&storage, item->ai_addr, item->ai_addrlen);
            const TIdAddress address = FromSockAddr(storage);
            // The resolver may name one address twice (hosts file and DNS).
            if (std::find(AAddresses.begin(), AAddresses.end(), address) == AAddresses.end()) {
                AAddresses.push_back(address);
            }
        }
    }
    ::freeaddrinfo(found);
    return !AAddresses.empty();
}

bool ResolveIPv4(const std::string& AName, std::vector<TIdAddress>& AAddresses) {
    return Resolve(AName, TIdAddressFamily::IPv4, AAddresses);
}

} // namespace

int32_t WinsockErrorFromErrno(int AErrno) {
    for (const TIdErrnoRow& row : ErrnoTable) {
        if (row.Errno == AErrno) {
            return row.Winsock;
        }
    }
    return AErrno;
}

TIdStackPosix::TIdStackPosix() {
    // The socket functions are linked in; there is no library to start.
    StackStarted = true;
}

TIdStackPosix::~TIdStackPosix() = default;

void TIdStackPosix::FillLocalAddresses() {
    LocalAddresses->clear();
    std::vector<TIdAddress> addresses;
    if (!ResolveIPv4(LocalHostName(), addresses)) {
        CheckSocketResult(FailWith(Id_WSAHOST_NOT_FOUND));
    }
    for (const TIdAddress& address : addresses) {
        LocalAddresses->push_back(address.Text());
    }
}

TIdStackSocketHandle TIdStackPosix::SockAccept(TIdStackSocketHandle ASocket, std::string& AIP,
                                               int32_t& APort) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    // An interrupted accept is reported (10004), not retried: the listener absorbs it.
    const int result =
        ::accept4(ASocket, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
    if (result < 0) {
        return Fail(errno);
    }
    const TIdAddress peer = FromSockAddr(address);
    AIP = peer.Text();
    APort = peer.Port;
    return result;
}

int32_t TIdStackPosix::SockBind(TIdStackSocketHandle ASocket, int32_t AFamily, int32_t APort,
                                const std::string& AIP) {
    if (!IsValidPort(APort, true)) {
        return FailWith(Id_WSAEINVAL);
    }
    TIdAddress local;
    if (AIP.empty()) {
        // The any-address of the socket's family: all zero bytes in both.
        local.Family = AFamily == Id_PF_INET6 ? TIdAddressFamily::IPv6 : TIdAddressFamily::IPv4;
        local.Port = APort;
    } else {
        local = AddressFromText(*this, AIP, APort);
    }
    sockaddr_storage address{};
    const socklen_t length = ToSockAddr(local, address);
    if (::bind(ASocket, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        return Fail(errno);
    }
    return 0;
}

int32_t TIdStackPosix::SockClose(TIdStackSocketHandle ASocket) {
    // Never retried: on Linux the descriptor is gone even when close reports EINTR.
    if (::close(ASocket) != 0) {
        return Fail(errno);
    }
    return 0;
}

int32_t TIdStackPosix::SockConnect(TIdStackSocketHandle ASocket, int32_t AFamily, int32_t APort,
                                   const std::string& AIP) {
    if (!IsValidPort(APort)) {
        return FailWith(Id_WSAEINVAL);
    }
    (void)AFamily;
    sockaddr_storage address{};
    const socklen_t length = ToSockAddr(AddressFromText(*this, AIP, APort), address);
    if (::connect(ASocket, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
        return 0;
    }
    if (errno != EINTR) {
        return Fail(errno);
    }
    // An interrupted connect goes on in the background; calling connect again
    // would report EALREADY, so wait for its outcome instead.
    pollfd entry{ASocket, POLLOUT, 0};
    while (::poll(&entry, 1, -1) < 0) {
        if (errno != EINTR) {
            return Fail(errno);
        }
    }
    return SockConnectResult(ASocket);
}

std::string TIdStackPosix::HostByName(const std::string& AHostName) {
    std::vector<TIdAddress> addresses;
    if (!ResolveIPv4(AHostName, addresses)) {
        CheckSocketResult(FailWith(Id_WSAHOST_NOT_FOUND));
    }
    return addresses.front().Text();
}

std::vector<TIdAddress> TIdStackPosix::HostAddresses(const std::string& AHostName,
                                                     TIdAddressFamily AFamily) {
    std::vector<TIdAddress> addresses;
    if (!Resolve(AHostName, AFamily, addresses)) {
        CheckSocketResult(FailWith(Id_WSAHOST_NOT_FOUND));
    }
    return addresses;
}

std::string TIdStackPosix::LocalHostName() {
    char buffer[250] = {};
    (void)::gethostname(buffer, sizeof buffer - 1);
    return std::string(buffer, ::strnlen(buffer, sizeof buffer));
}

std::string TIdStackPosix::HostByAddress(const std::string& AAddress) {
    sockaddr_storage address{};
    TIdAddress target;
    if (!TIdAddress::Parse(AAddress, 0, target) || target.Family != TIdAddressFamily::IPv6) {
        target = IPv4Address(::inet_addr(AAddress.c_str()), 0);
    }
    const socklen_t length = ToSockAddr(target, address);
    char host[NI_MAXHOST] = {};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host,
                      nullptr, 0, NI_NAMEREQD) != 0) {
        CheckSocketResult(FailWith(Id_WSAHOST_NOT_FOUND));
    }
    return host;
}

int32_t TIdStackPosix::ServicePort(const std::string& AService) {
    servent entry{};
    servent* found = nullptr;
    char buffer[4096];
    if (::getservbyname_r(AService.c_str(), nullptr, &entry, buffer, sizeof buffer, &found) == 0 &&
        found) {
        return ntohs(static_cast<uint16_t>(found->s_port));
    }
    // Not a service name: the text is read as a decimal integer ("+21" and
    // "0021" are port 21), and only a number that is a port is one.
    int32_t port = 0;
    if (TryStrToInt(AService, port) && IsValidPort(port)) {
        return port;
    }
    throw EIdInvalidServiceName(
        FormatMessage(IdResourceStrings::RSInvalidServiceName, AService.c_str()));
}

TIdStrings TIdStackPosix::ServiceNames(int32_t APort) {
    TIdStrings names;
    servent entry{};
    servent* found = nullptr;
    char buffer[4096];
    if (::getservbyport_r(htons(static_cast<uint16_t>(APort)), nullptr, &entry, buffer,
                          sizeof buffer, &found) == 0 &&
        found) {
        names.emplace_back(found->s_name);
        for (char** alias = found->s_aliases; alias && *alias; ++alias) {
            names.emplace_back(*alias);
        }
    }
    return names;
}

uint16_t TIdStackPosix::HostToNetShort(uint16_t AValue) {
    return htons(AValue);
}

int32_t TIdStackPosix::SockListen(TIdStackSocketHandle ASocket, int32_t ABackLog) {
    if (::listen(ASocket, ABackLog) != 0) {
        return Fail(errno);
    }
    return 0;
}

uint16_t TIdStackPosix::NetToHostShort(uint16_t AValue) {
    return ntohs(AValue);
}

uint32_t TIdStackPosix::HostToNetLong(uint32_t AValue) {
    return htonl(AValue);
}

uint32_t TIdStackPosix::NetToHostLong(uint32_t AValue) {
    return ntohl(AValue);
}

int32_t TIdStackPosix::SockRecv(TIdStackSocketHandle ASocket, void* ABuffer, int32_t ABufferLength,
                                int32_t AFlags) {
    for (;;) {
        const ssize_t n =
            ::recv(ASocket, ABuffer, static_cast<size_t>(std::max(ABufferLength, 0)), AFlags);
        if (n >= 0) {
            return static_cast<int32_t>(n);
        }
        if (errno != EINTR) {
            return Fail(errno);
        }
    }
}

int32_t TIdStackPosix::SockRecvFrom(TIdStackSocketHandle ASocket, void* ABuffer, int32_t ALength,
                                    int32_t AFlags, std::string& AIP, int32_t& APort) {
    for (;;) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const ssize_t n = ::recvfrom(ASocket, ABuffer, static_cast<size_t>(std::max(ALength, 0)),
                                     AFlags, reinterpret_cast<sockaddr*>(&address), &length);
        if (n >= 0) {
            const TIdAddress peer = FromSockAddr(address);
            AIP = peer.Text();
            APort = peer.Port;
            return static_cast<int32_t>(n);
        }
        if (errno != EINTR) {
            return Fail(errno);
        }
    }
}

int32_t TIdStackPosix::SockSelect(TIdSocketList* AReadList, TIdSocketList* AWriteList,
                                  int32_t ATimeout, TIdSocketList* AExceptList) {
    TIdSocketList* const lists[3] = {AReadList, AWriteList, AExceptList};
    for (const TIdSocketList* list : lists) {
        if (list && list->size() > 64) {
            throw EIdStackSetSizeExceeded(IdResourceStrings::RSSetSizeExceeded);
        }
    }
    // poll() instead of select(): select() writes past its fixed-size sets for
    // descriptors of 1024 and above. The three lists keep select's meaning: readable
    // includes end of stream and errors, writable includes errors (a failed
    // connect), and the exception list is urgent data.
    constexpr short Wanted[3] = {POLLIN, POLLOUT, POLLPRI};
    constexpr short Ready[3] = {POLLIN | POLLHUP | POLLERR, POLLOUT | POLLERR, POLLPRI};
    std::vector<pollfd> entries;
    std::vector<int> owner;
    for (int k = 0; k < 3; ++k) {
        if (!lists[k]) {
            continue;
        }
        const size_t first = entries.size();
        for (const TIdStackSocketHandle socket : *lists[k]) {
            if (socket < 0) {
                return FailWith(Id_WSAENOTSOCK);
            }
            // A set holds each socket once.
            const bool seen =
                std::any_of(entries.begin() + static_cast<std::ptrdiff_t>(first), entries.end(),
                            [socket](const pollfd& e) { return e.fd == socket; });
            if (!seen) {
                entries.push_back(pollfd{socket, Wanted[k], 0});
                owner.push_back(k);
            }
        }
    }

    using Clock = std::chrono::steady_clock;
    const bool unlimited = ATimeout == -2;
    const int32_t timeout = ATimeout < 0 ? 0 : ATimeout;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
    int result = 0;
    int wait = unlimited ? -1 : timeout;
    for (;;) {
        result = ::poll(entries.data(), entries.size(), wait);
        if (result >= 0) {
            break;
        }
        if (errno != EINTR) {
            return Fail(errno);
        }
        if (!unlimited) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            wait = static_cast<int>(std::max<int64_t>(left.count(), 0));
        }
    }
    for (const pollfd& entry : entries) {
        if (entry.revents & POLLNVAL) {
            return FailWith(Id_WSAENOTSOCK);
        }
    }

    for (TIdSocketList* list : lists) {
        if (list) {
            list->clear();
        }
    }
    int32_t count = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        const int k = owner[i];
        if (entries[i].revents & Ready[k]) {
            lists[k]->push_back(entries[i].fd);
            ++count;
        }
    }
    return count;
}

int32_t TIdStackPosix::SockSend(TIdStackSocketHandle ASocket, const void* ABuffer,
                                int32_t ABufferLength, int32_t AFlags) {
    for (;;) {
        const ssize_t n = ::send(ASocket, ABuffer, static_cast<size_t>(std::max(ABufferLength, 0)),
                                 AFlags | MSG_NOSIGNAL);
        if (n >= 0) {
            return static_cast<int32_t>(n);
        }
        if (errno != EINTR) {
            return Fail(errno);
        }
    }
}

int32_t TIdStackPosix::SockSendTo(TIdStackSocketHandle ASocket, const void* ABuffer,
                                  int32_t ABufferLength, int32_t AFlags, const std::string& AIP,
                                  int32_t APort) {
    if (!IsValidPort(APort)) {
        return FailWith(Id_WSAEINVAL);
    }
    sockaddr_storage address{};
    const socklen_t length = ToSockAddr(AddressFromText(*this, AIP, APort), address);
    for (;;) {
        const ssize_t n =
            ::sendto(ASocket, ABuffer, static_cast<size_t>(std::max(ABufferLength, 0)),
                     AFlags | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address), length);
        if (n >= 0) {
            return static_cast<int32_t>(n);
        }
        if (errno != EINTR) {
            return Fail(errno);
        }
    }
}

int32_t TIdStackPosix::SockSetOption(TIdStackSocketHandle ASocket, int32_t ALevel, int32_t AOptName,
                                     const void* AOptVal, int32_t AOptLen) {
    int level = 0;
    int name = 0;
    if (!NativeOption(ALevel, AOptName, level, name)) {
        return Fail(ENOPROTOOPT);
    }
    const void* value = AOptVal;
    socklen_t length = static_cast<socklen_t>(std::max(AOptLen, 0));
    linger lingerValue{};
    timeval timeValue{};
    if (level == SOL_SOCKET && name == SO_LINGER && AOptVal &&
        AOptLen == static_cast<int32_t>(sizeof(TIdWinsockLinger))) {
        TIdWinsockLinger given{};
        std::memcpy(&given, AOptVal, sizeof given);
        lingerValue.l_onoff = given.l_onoff;
        lingerValue.l_linger = given.l_linger;
        value = &lingerValue;
        length = sizeof lingerValue;
    } else if (level == SOL_SOCKET && (name == SO_SNDTIMEO || name == SO_RCVTIMEO) && AOptVal &&
               AOptLen == static_cast<int32_t>(sizeof(uint32_t))) {
        // Winsock takes these time-outs as milliseconds.
        uint32_t ms = 0;
        std::memcpy(&ms, AOptVal, sizeof ms);
        timeValue.tv_sec = static_cast<time_t>(ms / 1000);
        timeValue.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
        value = &timeValue;
        length = sizeof timeValue;
    }
    if (::setsockopt(ASocket, level, name, value, length) != 0) {
        return Fail(errno);
    }
    return 0;
}

TIdStackSocketHandle TIdStackPosix::SockCreate(int32_t AFamily, int32_t AStruct,
                                               int32_t AProtocol) {
    const int result = ::socket(NativeFamily(AFamily), AStruct | SOCK_CLOEXEC, AProtocol);
    if (result < 0) {
        return Fail(errno);
    }
    return result;
}

int32_t TIdStackPosix::SockShutdown(TIdStackSocketHandle ASocket, int32_t AHow) {
    if (::shutdown(ASocket, AHow) != 0) {
        return Fail(errno);
    }
    return 0;
}

std::string TIdStackPosix::ErrorText(int32_t AErrorCode) {
    if (AErrorCode == Id_WSAHOST_NOT_FOUND) {
        return FormatMessage(IdResourceStrings::RSStackError, AErrorCode, "Host not found.");
    }
    return TIdStack::ErrorText(AErrorCode);
}

int32_t TIdStackPosix::LastSocketError() {
    return tLastSocketError;
}

namespace {

// getpeername or getsockname, with the result in the stack's terms.
void NameOf(TIdStack& AStack, int (*AQuery)(int, sockaddr*, socklen_t*),
            TIdStackSocketHandle ASocket, int32_t& AFamily, int32_t& APort, std::string& AIP) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    AStack.CheckSocketResult(
        AQuery(ASocket, reinterpret_cast<sockaddr*>(&address), &length) == 0 ? 0 : Fail(errno));
    AFamily = IdFamily(address.ss_family);
    const TIdAddress name = FromSockAddr(address);
    AIP = name.Text();
    APort = name.Port;
}

} // namespace

void TIdStackPosix::PeerName(TIdStackSocketHandle ASocket, int32_t& AFamily, int32_t& APort,
                             std::string& AIP) {
    NameOf(*this, ::getpeername, ASocket, AFamily, APort, AIP);
}

void TIdStackPosix::SockName(TIdStackSocketHandle ASocket, int32_t& AFamily, int32_t& APort,
                             std::string& AIP) {
    NameOf(*this, ::getsockname, ASocket, AFamily, APort, AIP);
}

int32_t TIdStackPosix::SockGetOption(TIdStackSocketHandle ASocket, int32_t ALevel, int32_t AOptName,
                                     void* AOptVal, int32_t& AOptLen) {
    int level = 0;
    int name = 0;
    if (!NativeOption(ALevel, AOptName, level, name)) {
        return Fail(ENOPROTOOPT);
    }
    if (level == SOL_SOCKET && name == SO_LINGER &&
        AOptLen == static_cast<int32_t>(sizeof(TIdWinsockLinger))) {
        linger value{};
        socklen_t length = sizeof value;
        if (::getsockopt(ASocket, level, name, &value, &length) != 0) {
            return Fail(errno);
        }
        const TIdWinsockLinger result{static_cast<uint16_t>(value.l_onoff),
                                      static_cast<uint16_t>(value.l_linger)};
        std::memcpy(AOptVal, &result, sizeof result);
        return 0;
    }
    if (level == SOL_SOCKET && (name == SO_SNDTIMEO || name == SO_RCVTIMEO) &&
        AOptLen == static_cast<int32_t>(sizeof(uint32_t))) {
        timeval value{};
        socklen_t length = sizeof value;
        if (::getsockopt(ASocket, level, name, &value, &length) != 0) {
            return Fail(errno);
        }
        const auto ms = static_cast<uint32_t>(value.tv_sec * 1000 + value.tv_usec / 1000);
        std::memcpy(AOptVal, &ms, sizeof ms);
        return 0;
    }
    socklen_t length = static_cast<socklen_t>(std::max(AOptLen, 0));
    if (::getsockopt(ASocket, level, name, AOptVal, &length) != 0) {
        return Fail(errno);
    }
    AOptLen = static_cast<int32_t>(length);
    if (level == SOL_SOCKET && name == SO_ERROR && length == sizeof(int)) {
        int error = 0;
        std::memcpy(&error, AOptVal, sizeof error);
        error = error == 0 ? 0 : SocketErrorFromErrno(error);
        std::memcpy(AOptVal, &error, sizeof error);
    }
    return 0;
}

int32_t TIdStackPosix::SockSetBlocking(TIdStackSocketHandle ASocket, bool ABlocking) {
    const int flags = ::fcntl(ASocket, F_GETFL);
    if (flags < 0) {
        return Fail(errno);
    }
    const int wanted = ABlocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    if (wanted != flags && ::fcntl(ASocket, F_SETFL, wanted) != 0) {
        return Fail(errno);
    }
    return 0;
}

int32_t TIdStackPosix::SockConnectResult(TIdStackSocketHandle ASocket) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(ASocket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return Fail(errno);
    }
    if (error != 0) {
        return Fail(error);
    }
    // No error yet but no peer either: the connect is still on its way.
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    if (::getpeername(ASocket, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
        return errno == ENOTCONN ? FailWith(Id_WSAEINPROGRESS) : Fail(errno);
    }
    return 0;
}
