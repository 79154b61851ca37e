#pragma once

#include "IdComponent.h"

#include <atomic>
#include <cstdint>
#include <thread>

// Keeps a window responsive while a blocking network call runs on its thread:
// the waits of the connection layer call KeepResponsive, which lets the
// anti-freeze in force process pending window messages.
class TIdAntiFreezeBase : public TIdBaseComponent {
public:
    TIdAntiFreezeBase();
    ~TIdAntiFreezeBase() override;

    bool Active = true;
    bool ApplicationHasPriority = true;
    int32_t IdleTimeOut = 250;
    bool OnlyWhenIdle = true;

    virtual void PumpMessages() = 0;

    // Callable whether or not an anti-freeze exists, from any thread; acts
    // only on the thread that made the anti-freeze in force, so that sessions
    // on other threads never run its handlers.
    static void KeepResponsive(bool AIdle, bool AOverride);
    static bool IsActiveHere();
    bool MadeHere() const { return FThread == std::this_thread::get_id(); }

private:
    std::thread::id FThread = std::this_thread::get_id();
};

// The anti-freeze in force: the most recently created one, cleared when any is destroyed.
extern std::atomic<TIdAntiFreezeBase*> TheAntiFreeze;
