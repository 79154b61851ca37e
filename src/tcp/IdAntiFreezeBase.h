#pragma once

#include "IdComponent.h"

#include <cstdint>

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

    // Callable whether or not an anti-freeze exists; acts only on the main thread.
    static void KeepResponsive(bool AIdle, bool AOverride);
    static bool IsActiveHere();
};

// The anti-freeze in force: the most recently created one, cleared when any is destroyed.
extern TIdAntiFreezeBase* TheAntiFreeze;
