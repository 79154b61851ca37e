#pragma once

#include "IdAntiFreezeBase.h"

#include <functional>

// The library does not know the window toolkit. The program installs two
// operations: one that processes every pending window message, and one that
// handles a single message if one is pending (and returns at once otherwise).
// With none installed, pumping does nothing.
class TIdAntiFreeze : public TIdAntiFreezeBase {
public:
    using TProcessAll = std::function<void()>;
    using THandleOne = std::function<void()>;

    static void InstallPump(TProcessAll AProcessAll, THandleOne AHandleOneIfPending);

    void PumpMessages() override;
};
