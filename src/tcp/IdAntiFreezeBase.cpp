#include "IdAntiFreezeBase.h"

#include "IdGlobal.h"

TIdAntiFreezeBase* TheAntiFreeze = nullptr;

TIdAntiFreezeBase::TIdAntiFreezeBase() {
    TheAntiFreeze = this;
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
