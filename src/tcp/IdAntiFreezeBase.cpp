#include "IdAntiFreezeBase.h"

#include "IdGlobal.h"
#include "IdSocketHandle.h"

std::atomic<TIdAntiFreezeBase*> TheAntiFreeze{nullptr};

namespace {

const TIdWaitPump AntiFreezePump{
    &TIdAntiFreezeBase::IsActiveHere,
    [] {
        const TIdAntiFreezeBase* antiFreeze = TheAntiFreeze.load();
        return antiFreeze != nullptr ? antiFreeze->IdleTimeOut : 0;
    },
    &TIdAntiFreezeBase::KeepResponsive,
};

} // namespace

TIdAntiFreezeBase::TIdAntiFreezeBase() {
    TheAntiFreeze = this;
    WaitPump = &AntiFreezePump;
}

TIdAntiFreezeBase::~TIdAntiFreezeBase() {
    TheAntiFreeze = nullptr;
}

namespace {

// The anti-freeze in force when it acts on this thread.
TIdAntiFreezeBase* ActiveHere() {
    TIdAntiFreezeBase* antiFreeze = TheAntiFreeze.load();
    return antiFreeze != nullptr && antiFreeze->Active && antiFreeze->MadeHere() ? antiFreeze
                                                                                 : nullptr;
}

} // namespace

bool TIdAntiFreezeBase::IsActiveHere() {
    return ActiveHere() != nullptr;
}

void TIdAntiFreezeBase::KeepResponsive(bool AIdle, bool AOverride) {
    TIdAntiFreezeBase* antiFreeze = ActiveHere();
    if (antiFreeze != nullptr && (AIdle || !antiFreeze->OnlyWhenIdle || AOverride)) {
        antiFreeze->PumpMessages();
    }
}
