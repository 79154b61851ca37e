#include "IdComponent.h"

#include "IdStack.h"

#include <algorithm>
#include <array>
#include <mutex>

namespace {

std::mutex& StackLock() {
    static std::mutex lock;
    return lock;
}

int32_t gLiveComponentCount = 0;

const std::array<std::string, 9>& StatusTexts() {
    static const std::array<std::string, 9> texts = {"Resolving hostname %s.",
                                                     "Connecting to %s.",
                                                     "Connected.",
                                                     "Disconnecting.",
                                                     "Disconnected.",
                                                     "%s",
                                                     "%s",
                                                     "%s",
                                                     "%s"};
    return texts;
}

} // namespace

TIdBaseComponent::~TIdBaseComponent() {
    // Tell every registered party that this object is going away, then forget
    // them; copy first because Notification may unregister.
    const auto notifies = FFreeNotifies;
    FFreeNotifies.clear();
    for (TIdBaseComponent* other : notifies) {
        auto& theirs = other->FFreeNotifies;
        theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
        other->Notification(this, TOperation::opRemove);
    }
}

void TIdBaseComponent::FreeNotification(TIdBaseComponent* AComponent) {
    if (!AComponent || AComponent == this) {
        return;
    }
    if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end()) {
        FFreeNotifies.push_back(AComponent);
        AComponent->FFreeNotifies.push_back(this);
    }
}

void TIdBaseComponent::RemoveFreeNotification(TIdBaseComponent* AComponent) {
    if (!AComponent) {
        return;
    }
    FFreeNotifies.erase(std::remove(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent),
                        FFreeNotifies.end());
    auto& theirs = AComponent->FFreeNotifies;
    theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
}

void TIdBaseComponent::Notification(TIdBaseComponent*, TOperation) {}

const std::string& StatusText(TIdStatus AStatus) {
    return StatusTexts().at(AStatus);
}

TIdComponent::TIdComponent() {
    std::lock_guard<std::mutex> guard(StackLock());
    if (gLiveComponentCount++ == 0) {
        TIdStack::CreateTheStack();
    }
}

TIdComponent::~TIdComponent() {
    std::lock_guard<std::mutex> guard(StackLock());
    if (--gLiveComponentCount == 0) {
        TIdStack::FreeTheStack();
    }
}

int32_t TIdComponent::LiveComponentCount() {
    std::lock_guard<std::mutex> guard(StackLock());
    return gLiveComponentCount;
}

void TIdComponent::ReportStatus(TIdStatus AStatus, const std::string& AArgument) {
    if (!OnStatus) {
        return;
    }
    std::string text = StatusText(AStatus);
    // Texts without a placeholder ignore the argument ("Connected." is reported with the host).
    if (const auto at = text.find("%s"); at != std::string::npos) {
        text.replace(at, 2, AArgument);
    }
    OnStatus(this, AStatus, text);
}

void TIdComponent::StartWork(TWorkMode AWorkMode, int64_t AExpected) {
    TIdWorkTally& tally = FWorkTally[AWorkMode];
    if (++tally.Nesting == 1) {
        tally.Expected = AExpected;
        tally.Done = 0;
        if (OnWorkBegin) {
            OnWorkBegin(this, AWorkMode, AExpected);
        }
    }
}

void TIdComponent::AdvanceWork(TWorkMode AWorkMode, int64_t ACount) {
    TIdWorkTally& tally = FWorkTally[AWorkMode];
    if (tally.Nesting >= 1) {
        tally.Done += ACount;
        if (OnWork) {
            OnWork(this, AWorkMode, tally.Done);
        }
    }
}

void TIdComponent::FinishWork(TWorkMode AWorkMode) {
    TIdWorkTally& tally = FWorkTally[AWorkMode];
    // The count drops even when the handler throws, so nesting always returns to 0.
    struct Drop {
        int32_t& nesting;
        ~Drop() { --nesting; }
    } drop{tally.Nesting};
    if (tally.Nesting == 1 && OnWorkEnd) {
        OnWorkEnd(this, AWorkMode);
    }
}
