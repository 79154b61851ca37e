#pragma once

#include "IdStack.h"

#include <cstdint>

// The errno -> Winsock translation every failing socket call goes through.
// Numbers without a Winsock counterpart are passed on unchanged.
int32_t WinsockErrorFromErrno(int AErrno);

// The stack on the BSD socket interface of Linux.
class TIdStackPosix : public TIdStack {
public:
    TIdStackPosix();
    ~TIdStackPosix() override;

    void FillLocalAddresses() override;
    TIdStackSocketHandle SockAccept(TIdStackSocketHandle ASocket, std::string& AIP,
                                    int32_t& APort) override;
    int32_t SockBind(TIdStackSocketHandle ASocket, int32_t AFamily, int32_t APort,
                     const std::string& AIP) override;
    int32_t SockClose(TIdStackSocketHandle ASocket) override;
    int32_t SockConnect(TIdStackSocketHandle ASocket, int32_t AFamily, int32_t APort,
                        const std::string& AIP) override;
    std::string HostByName(const std::string& AHostName) override;
    std::vector<TIdAddress> HostAddresses(const std::string& AHostName,
                                          TIdAddressFamily AFamily) override;
    std::string LocalHostName() override;
    std::string HostByAddress(const std::string& AAddress) override;
    int32_t ServicePort(const std::string& AService) override;
    TIdStrings ServiceNames(int32_t APort) override;
    uint16_t HostToNetShort(uint16_t AValue) override;
    int32_t SockListen(TIdStackSocketHandle ASocket, int32_t ABackLog) override;
    uint16_t NetToHostShort(uint16_t AValue) override;
    uint32_t HostToNetLong(uint32_t AValue) override;
    uint32_t NetToHostLong(uint32_t AValue) override;
    int32_t SockRecv(TIdStackSocketHandle ASocket, void* ABuffer, int32_t ABufferLength,
                     int32_t AFlags) override;
    int32_t SockRecvFrom(TIdStackSocketHandle ASocket, void* ABuffer, int32_t ALength,
                         int32_t AFlags, std::string& AIP, int32_t& APort) override;
    int32_t SockSelect(TIdSocketList* AReadList, TIdSocketList* AWriteList, int32_t ATimeout,
                       TIdSocketList* AExceptList) override;
    int32_t SockSend(TIdStackSocketHandle ASocket, const void* ABuffer, int32_t ABufferLength,
                     int32_t AFlags) override;
    int32_t SockSendTo(TIdStackSocketHandle ASocket, const void* ABuffer, int32_t ABufferLength,
                       int32_t AFlags, const std::string& AIP, int32_t APort) override;
    int32_t SockSetOption(TIdStackSocketHandle ASocket, int32_t ALevel, int32_t AOptName,
                          const void* AOptVal, int32_t AOptLen) override;
    TIdStackSocketHandle SockCreate(int32_t AFamily, int32_t AStruct, int32_t AProtocol) override;
    int32_t SockShutdown(TIdStackSocketHandle ASocket, int32_t AHow) override;
    // Adds the resolver's "Host not found." for 11001.
    std::string ErrorText(int32_t AErrorCode) override;
    int32_t LastSocketError() override;
    void PeerName(TIdStackSocketHandle ASocket, int32_t& AFamily, int32_t& APort,
                  std::string& AIP) override;
    void SockName(TIdStackSocketHandle ASocket, int32_t& AFamily, int32_t& APort,
                  std::string& AIP) override;
    int32_t SockGetOption(TIdStackSocketHandle ASocket, int32_t ALevel, int32_t AOptName,
                          void* AOptVal, int32_t& AOptLen) override;
    int32_t SockSetBlocking(TIdStackSocketHandle ASocket, bool ABlocking) override;
    int32_t SockConnectResult(TIdStackSocketHandle ASocket) override;
};
