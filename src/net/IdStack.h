#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The process-wide socket stack: every socket call of the library goes through
// TheStack. Errors are always reported in the Winsock numbering (10061 for a
// refused connection, 11001 for an unknown host), whatever the platform, because
// callers and messages compare against those numbers.

using TIdStackSocketHandle = int32_t;
using TIdSocketList = std::vector<TIdStackSocketHandle>;
using TIdStrings = std::vector<std::string>;
// An IPv4 address as its four bytes in memory (network) order.
using TIdIn4Bytes = std::array<uint8_t, 4>;

enum class TIdAddressFamily { None, IPv4, IPv6 };

// An IP address of either family and a port: the one form in which the layers
// above the stack hold an endpoint. Only the stack turns it into the
// platform's socket address structures and back.
struct TIdAddress {
    TIdAddressFamily Family = TIdAddressFamily::None;
    // Network order; an IPv4 address fills the first four.
    std::array<uint8_t, 16> Bytes{};
    int32_t Port = 0;
    // The interface a link-local IPv6 address belongs to; 0 for none.
    uint32_t ScopeId = 0;

    // A dotted quad (each part 0..255) or IPv6 text, optionally with a zone
    // ("fe80::1%eth0") and in brackets ("[::1]"); false, and VAddress
    // untouched, for anything else.
    static bool Parse(std::string_view AText, int32_t APort, TIdAddress& VAddress);
    // The dotted quad or the shortest IPv6 text with its zone; empty for None.
    std::string Text() const;
    // As Text, without the zone: the form that goes on the wire (EPRT).
    std::string WireText() const;
    bool operator==(const TIdAddress&) const = default;
};

inline constexpr TIdStackSocketHandle Id_INVALID_SOCKET = -1;
inline constexpr int32_t Id_SOCKET_ERROR = -1;

// Callers use the Winsock values; they coincide with Linux for everything below
// except the socket-level options, which the stack translates.
inline constexpr int32_t Id_PF_INET = 2;
inline constexpr int32_t Id_PF_INET6 = 23;
inline constexpr int32_t Id_SOCK_STREAM = 1;
inline constexpr int32_t Id_SOCK_DGRAM = 2;
inline constexpr int32_t Id_IPPROTO_IP = 0;
inline constexpr int32_t Id_IPPROTO_TCP = 6;
inline constexpr int32_t Id_TCP_NODELAY = 1;
inline constexpr int32_t Id_SD_Recv = 0;
inline constexpr int32_t Id_SD_Send = 1;
inline constexpr int32_t Id_SD_Both = 2;
inline constexpr int32_t Id_SOL_SOCKET = 0xFFFF;
inline constexpr int32_t Id_SO_REUSEADDR = 0x0004;
inline constexpr int32_t Id_SO_KEEPALIVE = 0x0008;
inline constexpr int32_t Id_SO_BROADCAST = 0x0020;
inline constexpr int32_t Id_SO_LINGER = 0x0080;
inline constexpr int32_t Id_SO_SNDBUF = 0x1001;
inline constexpr int32_t Id_SO_RCVBUF = 0x1002;
inline constexpr int32_t Id_SO_ERROR = 0x1007;

// Winsock error numbers that callers test.
inline constexpr int32_t Id_WSAEINTR = 10004;
inline constexpr int32_t Id_WSAEBADF = 10009;
inline constexpr int32_t Id_WSAEINVAL = 10022;
inline constexpr int32_t Id_WSAEWOULDBLOCK = 10035;
inline constexpr int32_t Id_WSAEINPROGRESS = 10036;
inline constexpr int32_t Id_WSAENOTSOCK = 10038;
inline constexpr int32_t Id_WSAEADDRINUSE = 10048;
inline constexpr int32_t Id_WSAECONNABORTED = 10053;
inline constexpr int32_t Id_WSAECONNRESET = 10054;
inline constexpr int32_t Id_WSAENOTCONN = 10057;
inline constexpr int32_t Id_WSAESHUTDOWN = 10058;
inline constexpr int32_t Id_WSAETIMEDOUT = 10060;
inline constexpr int32_t Id_WSAECONNREFUSED = 10061;
inline constexpr int32_t Id_WSANOTINITIALISED = 10093;
inline constexpr int32_t Id_WSAHOST_NOT_FOUND = 11001;

class TIdStack {
public:
    TIdStack();
    virtual ~TIdStack();
    TIdStack(const TIdStack&) = delete;
    TIdStack& operator=(const TIdStack&) = delete;

    // The socket error code most recently seen by CheckSocketResult.
    int32_t LastErrorCode = 0;

    // --- virtual operations ---
    virtual void FillLocalAddresses() = 0;
    virtual std::string FirstLocalAddress();
    // Filled on first use; the list stays owned by the stack.
    virtual const TIdStrings& LocalAddressList();

    // Returns accept's result unchecked; AIP/APort receive the peer's address.
    virtual TIdStackSocketHandle SockAccept(TIdStackSocketHandle ASocket, std::string& AIP,
                                            int32_t& APort) = 0;
    // An empty AIP binds to any local address.
    virtual int32_t SockBind(TIdStackSocketHandle ASocket, int32_t AFamily, int32_t APort,
                             const std::string& AIP) = 0;
    virtual int32_t SockClose(TIdStackSocketHandle ASocket) = 0;
    virtual int32_t SockConnect(TIdStackSocketHandle ASocket, int32_t AFamily, int32_t APort,
                                const std::string& AIP) = 0;
    // Raises EIdSocketError 11001 when the name is not found.
    virtual std::string HostByName(const std::string& AHostName) = 0;
    // Every address of the name, of both families (or only of AFamily), in
    // the resolver's order. Raises EIdSocketError 11001 when there is none.
    virtual std::vector<TIdAddress> HostAddresses(const std::string& AHostName,
                                                  TIdAddressFamily AFamily) = 0;
    virtual std::string LocalHostName() = 0;
    virtual std::string HostByAddress(const std::string& AAddress) = 0;
    virtual int32_t ServicePort(const std::string& AService) = 0;
    // The official name first, then the aliases; empty when the port is unknown.
    virtual TIdStrings ServiceNames(int32_t APort) = 0;
    virtual uint16_t HostToNetShort(uint16_t AValue) = 0;
    virtual int32_t SockListen(TIdStackSocketHandle ASocket, int32_t ABackLog) = 0;
    virtual uint16_t NetToHostShort(uint16_t AValue) = 0;
    virtual uint32_t HostToNetLong(uint32_t AValue) = 0;
    virtual uint32_t NetToHostLong(uint32_t AValue) = 0;
    virtual int32_t SockRecv(TIdStackSocketHandle ASocket, void* ABuffer, int32_t ABufferLength,
                             int32_t AFlags) = 0;
    virtual int32_t SockRecvFrom(TIdStackSocketHandle ASocket, void* ABuffer, int32_t ALength,
                                 int32_t AFlags, std::string& AIP, int32_t& APort) = 0;
    // Any list may be null (absent). More than 64 sockets in a list raises
    // EIdStackSetSizeExceeded before anything is waited on. ATimeout is in ms, -2 = no
    // limit. Each present list is refilled with its ready sockets, in order. Returns the
    // number of ready entries, 0 on time-out, -1 on failure (unchecked).
    virtual int32_t SockSelect(TIdSocketList* AReadList, TIdSocketList* AWriteList,
                               int32_t ATimeout, TIdSocketList* AExceptList) = 0;
    // Never raises SIGPIPE: a send to a closed peer fails with a socket error.
    virtual int32_t SockSend(TIdStackSocketHandle ASocket, const void* ABuffer,
                             int32_t ABufferLength, int32_t AFlags) = 0;
    virtual int32_t SockSendTo(TIdStackSocketHandle ASocket, const void* ABuffer,
                               int32_t ABufferLength, int32_t AFlags, const std::string& AIP,
                               int32_t APort) = 0;
    // Levels and options in the Winsock numbering (Id_SOL_SOCKET, Id_IPPROTO_TCP, ...).
    virtual int32_t SockSetOption(TIdStackSocketHandle ASocket, int32_t ALevel, int32_t AOptName,
                                  const void* AOptVal, int32_t AOptLen) = 0;
    // Sockets are created close-on-exec.
    virtual TIdStackSocketHandle SockCreate(int32_t AFamily, int32_t AStruct,
                                            int32_t AProtocol) = 0;
    virtual int32_t SockShutdown(TIdStackSocketHandle ASocket, int32_t AHow) = 0;
    // "Socket Error # %d\r\n%s" with the code and its text (empty when unknown).
    virtual std::string ErrorText(int32_t AErrorCode);
    // The calling thread's last socket error, in the Winsock numbering.
    virtual int32_t LastSocketError() = 0;
    // Both raise EIdSocketError on failure.
    virtual void PeerName(TIdStackSocketHandle ASocket, int32_t& AFamily, int32_t& APort,
                          std::string& AIP) = 0;
    virtual void SockName(TIdStackSocketHandle ASocket, int32_t& AFamily, int32_t& APort,
                          std::string& AIP) = 0;
    // AOptLen is the buffer size on entry and the value's length on return.
    virtual int32_t SockGetOption(TIdStackSocketHandle ASocket, int32_t ALevel, int32_t AOptName,
                                  void* AOptVal, int32_t& AOptLen) = 0;
    virtual std::string AddressToText(const TIdIn4Bytes& AAddress);
    // Raises std::invalid_argument when a part is not a decimal integer.
    virtual void TextToAddress(std::string AText, TIdIn4Bytes& AAddress);

    // A connect that can be abandoned: on Linux, closing a socket does not wake a
    // thread blocked in connect(), so a timed connect switches the socket to
    // non-blocking, starts it with SockConnect (-1 with error 10036 while it runs),
    // waits for it with SockSelect on the write list and then asks SockConnectResult.
    virtual int32_t SockSetBlocking(TIdStackSocketHandle ASocket, bool ABlocking) = 0;
    // 0 once the pending connect succeeded; -1 with LastSocketError holding the reason
    // (10061 for a refused connection) when it failed.
    virtual int32_t SockConnectResult(TIdStackSocketHandle ASocket) = 0;

    // --- non-virtual operations ---
    static std::unique_ptr<TIdStack> NewStack();
    // Returns false for any result other than -1. For -1 it stores LastSocketError in
    // LastErrorCode and returns true when that code is in AIgnore; otherwise it raises.
    bool CheckSocketResult(int32_t AResult, const std::vector<int32_t>& AIgnore = {});
    [[noreturn]] void RaiseSocketFailure(int32_t AErrorCode);
    // Raises EIdInvalidSocket "Cannot allocate socket." when no socket can be made.
    TIdStackSocketHandle NewSocket(int32_t AType, int32_t AProtocol, int32_t AFamily = Id_PF_INET);
    // "LOCALHOST" in any case and dotted quads need no look-up.
    std::string ResolveHostName(const std::string& AHost);
    // Every address a host stands for, with APort: a literal of either family
    // (IPv6 also in brackets) is itself, "LOCALHOST" is the loopback address
    // of the family asked for (IPv4 by default), a name goes to HostAddresses.
    // AFamily None takes both families. Raises EIdSocketError 11001 when
    // nothing of the family is found.
    std::vector<TIdAddress> ResolveAddresses(const std::string& AHost, int32_t APort,
                                             TIdAddressFamily AFamily = TIdAddressFamily::None);
    bool IsDottedQuad(const std::string& AText) const;
    // Raises EIdException for a port outside 1..65535 (0 allowed with
    // AAllowAny, where it means any free port): the socket interface keeps
    // 16 bits, so a larger number would silently become another port.
    static void CheckPort(int64_t APort, bool AAllowAny = false);
    static bool IsValidPort(int64_t APort, bool AAllowAny = false);
    // Network byte order.
    uint32_t TextToInAddr(const std::string& AText);

    // Lifetime hooks of the component layer, called under its stack lock.
    static void CreateTheStack();
    static void FreeTheStack();

protected:
    std::unique_ptr<TIdStrings> LocalAddresses;
};

// Id_PF_INET or Id_PF_INET6 for an address family (IPv4 for None).
int32_t IdFamilyCode(TIdAddressFamily AFamily);

// The one stack instance; exists while any network component exists.
extern TIdStack* TheStack;

// The class NewStack instantiates.
using TIdStackClass = std::function<std::unique_ptr<TIdStack>()>;
extern TIdStackClass StackClass;

// True once the platform socket library has been started (always on Linux once a
// stack was made: nothing needs starting).
extern bool StackStarted;

// Optional kernel file-to-socket transfer: (socket, file name) -> bytes sent. Not
// offered on Linux, so file sends take the ordinary stream path.
using TIdSendWholeFile = std::function<int64_t(TIdStackSocketHandle, const std::string&)>;
extern TIdSendWholeFile SendWholeFile;
