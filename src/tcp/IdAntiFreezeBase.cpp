#include "IdAntiFreezeBase.h"

#include "IdGlobal.h"
#include "IdSocketHandle.h"

TIdAntiFreezeBase* TheAntiFreeze = nullptr;

namespace {

const TIdWaitPump AntiFreezePump{
    &TIdAntiFreezeBase::IsActiveHere,
    [] { return TheAntiFreeze != nullptr ? TheAntiFreeze->IdleTimeOut : 0; },
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

bool TIdAntiFreezeBase::IsActiveHere() {
    return TheAntiFreeze && IsMainThread() && TheAntiFreeze->Active;
}

void TIdAntiFreezeBase::KeepResponsive(bool AIdle, bool AOverride) {
    if (IsActiveHere() && (AIdle || !TheAntiFreeze->OnlyWhenIdle || AOverride)) {
        TheAntiFreeze->PumpMessages();
    }
}
