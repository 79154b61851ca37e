#include "IdAntiFreeze.h"

#include <utility>

namespace {

TIdAntiFreeze::TProcessAll gProcessAll;
TIdAntiFreeze::THandleOne gHandleOne;

} // namespace

void TIdAntiFreeze::InstallPump(TProcessAll AProcessAll, THandleOne AHandleOneIfPending) {
    gProcessAll = std::move(AProcessAll);
    gHandleOne = std::move(AHandleOneIfPending);
}

void TIdAntiFreeze::PumpMessages() {
    if (ApplicationHasPriority) {
        if (gProcessAll) {
            gProcessAll();
        }
    } else if (gHandleOne) {
        gHandleOne();
    }
}
