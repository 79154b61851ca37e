#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Base of every network object: free notification for non-owned references,
// status reports and nested work events. Every live TIdComponent keeps the
// process-wide socket stack alive.

class TIdBaseComponent {
public:
    enum class TOperation { opInsert, opRemove };

    TIdBaseComponent() = default;
    virtual ~TIdBaseComponent();
    TIdBaseComponent(const TIdBaseComponent&) = delete;
    TIdBaseComponent& operator=(const TIdBaseComponent&) = delete;

    // Asks to be told (through Notification with opRemove) when AComponent is
    // destroyed. Both sides forget each other when either goes away.
    void FreeNotification(TIdBaseComponent* AComponent);
    void RemoveFreeNotification(TIdBaseComponent* AComponent);

    // An object that has an owner elsewhere is referred to, not copied or owned.
    TIdBaseComponent* Owner = nullptr;

protected:
    // Called when a component this one registered with is being destroyed; a
    // holder of a non-owned reference clears it here.
    virtual void Notification(TIdBaseComponent* AComponent, TOperation Operation);

private:
    std::vector<TIdBaseComponent*> FFreeNotifies;
};

enum TIdStatus {
    hsResolving,
    hsConnecting,
    hsConnected,
    hsDisconnecting,
    hsDisconnected,
    hsStatusText,
    ftpTransfer,
    ftpReady,
    ftpAborted
};

enum TWorkMode { wmRead = 0, wmWrite = 1 };

class TIdComponent;

using TIdStatusEvent =
    std::function<void(TIdComponent* ASender, TIdStatus AStatus, const std::string& AStatusText)>;
// Counts are 64-bit so that transfers above 2 GiB are counted correctly.
using TWorkBeginEvent =
    std::function<void(TIdComponent* Sender, TWorkMode AWorkMode, int64_t AWorkCountMax)>;
using TWorkEvent =
    std::function<void(TIdComponent* Sender, TWorkMode AWorkMode, int64_t AWorkCount)>;
using TWorkEndEvent = std::function<void(TIdComponent* Sender, TWorkMode AWorkMode)>;

struct TIdWorkTally {
    int64_t Done = 0;
    int64_t Expected = 0;
    int32_t Nesting = 0;
};

// The format texts of the status reports, indexed by TIdStatus.
const std::string& StatusText(TIdStatus AStatus);

class TIdComponent : public TIdBaseComponent {
public:
    TIdComponent();
    ~TIdComponent() override;

    TIdStatusEvent OnStatus;
    TWorkEvent OnWork;
    TWorkBeginEvent OnWorkBegin;
    TWorkEndEvent OnWorkEnd;

    // Reports StatusText(AStatus) with its "%s" filled by AArgument (empty when absent).
    void ReportStatus(TIdStatus AStatus, const std::string& AArgument = std::string());

    virtual void StartWork(TWorkMode AWorkMode, int64_t AExpected);
    virtual void AdvanceWork(TWorkMode AWorkMode, int64_t ACount);
    virtual void FinishWork(TWorkMode AWorkMode);

    const TIdWorkTally& WorkTally(TWorkMode AWorkMode) const { return FWorkTally[AWorkMode]; }

    // The number of TIdComponent objects alive now (guarded by the stack lock).
    static int32_t LiveComponentCount();

private:
    TIdWorkTally FWorkTally[2];
};
