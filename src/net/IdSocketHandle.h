#pragma once

#include "IdStack.h"

#include <atomic>
#include <cstdint>
#include <string>

// The anti-freeze lives in the connection layer above; once one exists it
// plugs in here, so that socket waits keep a window responsive.
struct TIdWaitPump {
    // An anti-freeze works on the calling thread.
    bool (*ActiveHere)();
    // The slice in ms that its waits are cut into.
    int32_t (*Slice)();
    // Lets it process window messages; AIdle when nothing was ready.
    void (*KeepResponsive)(bool AIdle, bool AOverride);
};
// Set by an anti-freeze while other threads may be waiting.
inline std::atomic<const TIdWaitPump*> WaitPump{nullptr};

// One endpoint of either IP family: a platform socket with its local and peer address and port,
// and an optional range of local ports to bind from. All platform work goes
// through TheStack, so a TIdComponent must be alive while a handle is used.
class TIdSocketHandle {
public:
    TIdSocketHandle();
    // Shuts and closes an open socket.
    virtual ~TIdSocketHandle();
    TIdSocketHandle(const TIdSocketHandle&) = delete;
    TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

    // -1 when none; keeps its number after ShutAndClose until the next
    // ClearBinding or OpenSocket.
    TIdStackSocketHandle Socket = Id_INVALID_SOCKET;
    // A socket is open and owned by this handle. Atomic because a timed connect
    // may close the handle from another thread than the one connecting.
    std::atomic<bool> Allocated{false};
    std::string IP;       // local address text; empty binds to any local address
    std::string RemoteIP; // peer address text ("127.0.0.1", "::1", "fe80::1%eth0")
    // Id_PF_INET or Id_PF_INET6: the family of the next socket OpenSocket makes.
    int32_t Family = Id_PF_INET;
    int32_t Port = 0; // local port; 0 binds to any free port
    int32_t RemotePort = 0;
    int32_t ClientPortMin = 0; // 0 at either end: no range
    int32_t ClientPortMax = 0;

    // Closes any open socket first; IP and Port keep their values.
    void OpenSocket(int32_t ASocketType = Id_SOCK_STREAM, int32_t AProtocol = 0);
    // Stops sending and closes; does nothing when no socket is allocated, so a
    // second call is harmless.
    virtual void ShutAndClose();
    // Returns the platform result unchecked (-1 on failure); on success the local
    // and peer addresses are refreshed.
    virtual int32_t ConnectTo(int32_t AFamily = Id_PF_INET);
    virtual int32_t RecvDatagram(void* ABuffer, int32_t ALength, int32_t AFlags, std::string& AVIP,
                                 int32_t& AVPort);

    // Binds IP:Port, or, with Port 0 and both range ends set, the highest free port
    // of the range. Raises EIdCouldNotBindSocket, EIdInvalidPortRange or
    // EIdCanNotBindPortInRange.
    void BindLocal();
    // False when the address is already in use (10048); other failures raise.
    bool BindOnce();
    // Tries ClientPortMax down to ClientPortMin; false when none could be bound.
    bool BindInPortRange();
    void StartListen(int32_t ABackLog);
    // Accepts on AListenSocket into this handle. False (and no socket held) when the
    // accept was interrupted (10004) or the listening socket is gone (10038).
    bool AcceptOn(TIdStackSocketHandle AListenSocket);
    // True when data or the end of the stream can be read. ATimeOut in ms, -2 = no
    // limit. With the anti-freeze active on this thread the wait is cut into slices of
    // its IdleTimeOut, and KeepResponsive runs after every single wait. Raises
    // EIdConnClosedGracefully when no socket is allocated.
    bool PollReadable(int32_t ATimeOut);
    // Platform results, unchecked.
    int32_t SendBytes(const void* ABuffer, int32_t ALength, int32_t AFlags = 0);
    int32_t RecvBytes(void* ABuffer, int32_t ALength, int32_t AFlags = 0);
    void SetOption(int32_t ALevel, int32_t AOptName, const void* AOptVal, int32_t AOptLen);
    void SetRemote(const std::string& AAddress, int32_t APort);
    void RefreshLocal();
    void RefreshRemote();
    // Forgets the socket without closing it.
    void ClearBinding(bool AAlsoLocal);
    // Copies the addresses and ports, not the socket and not the port range.
    virtual void CopyFrom(const TIdSocketHandle& ASource);
};
