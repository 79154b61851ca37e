#pragma once

#include "IdIOHandler.h"
#include "IdSocketHandle.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class TIdSocksInfo;

// The worker of a timed connect. Its connect can be abandoned at any moment:
// on Linux a thread blocked in connect() is not woken when another thread
// closes the socket, so the worker connects without blocking and waits for
// the outcome or for a request to terminate, whichever comes first.
class TIdConnectThread {
public:
    // Created suspended; Start runs it.
    TIdConnectThread();
    ~TIdConnectThread();
    TIdConnectThread(const TIdConnectThread&) = delete;
    TIdConnectThread& operator=(const TIdConnectThread&) = delete;

    // Not owned.
    TIdSocketHandle* Handle = nullptr;
    // Empty unless the connect failed; read it only once Terminated is set.
    std::string FailureMessage;

    void Start();
    // Asks the worker to give up; it returns from its wait at once.
    void Terminate();
    // Set by Terminate and by the worker itself when it has finished.
    bool Terminated() const { return FTerminated.load(); }
    // Waits at most AMSec for Terminated, returning early when it is set.
    void WaitTerminated(int32_t AMSec);
    // Waits until the thread has ended.
    void WaitFor();

private:
    void Execute();
    // The connect's platform result (with the error left as the thread's
    // last error), or nothing when it was abandoned.
    bool ConnectUnlessTerminated(int32_t& AResult);
    void MarkTerminated();

    std::atomic<bool> FTerminated{false};
    std::mutex FLock;
    std::condition_variable FSignal;
    int FWakeFd = -1;
    std::thread FThread;
};

// The transport of every client connection: one TCP socket, optionally
// reaching its target through a SOCKS proxy.
class TIdIOHandlerSocket : public TIdIOHandler {
public:
    TIdIOHandlerSocket();
    ~TIdIOHandlerSocket() override;

    // Created by the first Prepare and destroyed with the handler.
    std::unique_ptr<TIdSocketHandle> Handle;
    // False sets TCP_NODELAY before the connect.
    bool UseNagle = true;

    // The handler's own settings, created on first read when none are set, or
    // a settings object owned elsewhere that the handler only refers to.
    TIdSocksInfo* SocksInfo();
    // None drops the settings; an object with an owner is referred to; an
    // object without one is copied into the handler's own settings.
    void SetSocksInfo(TIdSocksInfo* AValue);

    void Shut() override;
    void ConnectPeer(const std::string& AHost, int32_t APort, const std::string& ABoundIP,
                     int32_t ABoundPort, int32_t ABoundPortLow, int32_t ABoundPortHigh,
                     int32_t ATimeout) override;
    bool IsOpen() override;
    void Prepare() override;
    bool WaitReadable(int32_t AMSec) override;
    int32_t ReceiveInto(void* ABuffer, int32_t ALength) override;
    bool ReceiveIfReady(void* ABuffer, int32_t ALength, int32_t& AResult) override;
    int32_t SendFrom(const void* ABuffer, int32_t ALength) override;

protected:
    void Notification(TIdBaseComponent* AComponent, TOperation Operation) override;
    // The blocking connect runs on a worker while this thread polls it in
    // short steps and keeps the window responsive between them.
    virtual void ConnectWithTimeout(int32_t ATimeout);

private:
    void DropSocksInfo();

    std::unique_ptr<TIdSocksInfo> FOwnSocksInfo;
    TIdSocksInfo* FSocksInfo = nullptr;
    // Set while a timed connect runs, so that a Shut arriving from a window
    // message handled during the wait can stop the worker first.
    TIdConnectThread* FConnectThread = nullptr;
    // Cleared by the destructor; a timed connect holds a copy.
    std::shared_ptr<bool> FAlive;
};
