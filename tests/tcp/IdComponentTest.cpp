#include "IdComponent.h"
#include "IdAntiFreeze.h"
#include "IdGlobal.h"
#include "IdStack.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// Records every work event of a component as a short text.
struct WorkRecorder {
    TIdComponent Component;
    std::vector<std::string> Events;

    WorkRecorder() {
        Component.OnWorkBegin = [this](TIdComponent* ASender, TWorkMode AMode, int64_t AMax) {
            EXPECT_EQ(ASender, &Component);
            Events.push_back("begin " + std::to_string(AMode) + " " + std::to_string(AMax));
        };
        Component.OnWork = [this](TIdComponent*, TWorkMode AMode, int64_t ACount) {
            Events.push_back("work " + std::to_string(AMode) + " " + std::to_string(ACount));
        };
        Component.OnWorkEnd = [this](TIdComponent*, TWorkMode AMode) {
            Events.push_back("end " + std::to_string(AMode));
        };
    }
};

struct WorkStep {
    char Op; // S start, A advance, F finish
    TWorkMode Mode;
    int64_t Value;
};

TEST(WorkEventsTest, NestingCountsAsOneWork) {
    const struct {
        const char* Name;
        std::vector<WorkStep> Steps;
        std::vector<std::string> Expected;
    } cases[] = {
        {"nested work is one begin, running totals, one end",
         {{'S', wmRead, 100},
          {'S', wmRead, 5},
          {'A', wmRead, 10},
          {'F', wmRead, 0},
          {'F', wmRead, 0}},
         {"begin 0 100", "work 0 10", "end 0"}},
        {"the listener sees running totals",
         {{'S', wmRead, 0}, {'A', wmRead, 7}, {'A', wmRead, 7}, {'F', wmRead, 0}},
         {"begin 0 0", "work 0 7", "work 0 14", "end 0"}},
        {"advance without open work is ignored", {{'A', wmRead, 5}}, {}},
        {"modes are counted apart",
         {{'S', wmWrite, 9}, {'A', wmRead, 3}, {'A', wmWrite, 4}, {'F', wmWrite, 0}},
         {"begin 1 9", "work 1 4", "end 1"}},
        {"a new outermost start resets the total",
         {{'S', wmRead, 1},
          {'A', wmRead, 5},
          {'F', wmRead, 0},
          {'S', wmRead, 2},
          {'A', wmRead, 1},
          {'F', wmRead, 0}},
         {"begin 0 1", "work 0 5", "end 0", "begin 0 2", "work 0 1", "end 0"}},
        {"counts beyond 2 GiB",
         {{'S', wmRead, 5000000000},
          {'A', wmRead, 3000000000},
          {'A', wmRead, 3000000000},
          {'F', wmRead, 0}},
         {"begin 0 5000000000", "work 0 3000000000", "work 0 6000000000", "end 0"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        WorkRecorder recorder;
        for (const WorkStep& step : c.Steps) {
            if (step.Op == 'S') {
                recorder.Component.StartWork(step.Mode, step.Value);
            } else if (step.Op == 'A') {
                recorder.Component.AdvanceWork(step.Mode, step.Value);
            } else {
                recorder.Component.FinishWork(step.Mode);
            }
        }
        EXPECT_EQ(recorder.Events, c.Expected);
        EXPECT_EQ(recorder.Component.WorkTally(wmRead).Nesting, 0);
        EXPECT_EQ(recorder.Component.WorkTally(wmWrite).Nesting, 0);
    }
}

TEST(WorkEventsTest, WorkEndsOnEveryPath) {
    WorkRecorder recorder;
    // An exception inside the work still finishes it.
    try {
        recorder.Component.StartWork(wmWrite, 10);
        TIdScopeExit scope([&] { recorder.Component.FinishWork(wmWrite); });
        recorder.Component.AdvanceWork(wmWrite, 4);
        throw std::runtime_error("transfer failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(recorder.Events, (std::vector<std::string>{"begin 1 10", "work 1 4", "end 1"}));
    EXPECT_EQ(recorder.Component.WorkTally(wmWrite).Nesting, 0);
    EXPECT_EQ(recorder.Component.WorkTally(wmWrite).Done, 4);

    // A handler that throws at the end still closes the work.
    recorder.Component.OnWorkEnd = [](TIdComponent*, TWorkMode) {
        throw std::runtime_error("handler");
    };
    recorder.Component.StartWork(wmRead, 1);
    EXPECT_THROW(recorder.Component.FinishWork(wmRead), std::runtime_error);
    EXPECT_EQ(recorder.Component.WorkTally(wmRead).Nesting, 0);
}

TEST(StatusTest, TextsAreFormattedWithTheArgument) {
    const struct {
        TIdStatus Status;
        const char* Argument;
        const char* Expected;
    } cases[] = {
        {hsResolving, "ftp.example", "Resolving hostname ftp.example."},
        {hsConnecting, "10.0.0.1", "Connecting to 10.0.0.1."},
        {hsConnected, "ftp.example", "Connected."},
        {hsDisconnecting, "", "Disconnecting."},
        {hsDisconnected, "", "Disconnected."},
        {hsStatusText, "", ""},
        {ftpTransfer, "Transferring", "Transferring"},
        {ftpReady, "100% %s %d", "100% %s %d"},
        {ftpAborted, "Aborted", "Aborted"},
    };
    TIdComponent component;
    component.ReportStatus(hsConnected); // no handler: nothing happens
    for (const auto& c : cases) {
        std::vector<std::string> texts;
        component.OnStatus = [&](TIdComponent* ASender, TIdStatus AStatus,
                                 const std::string& AText) {
            EXPECT_EQ(ASender, &component);
            EXPECT_EQ(AStatus, c.Status);
            texts.push_back(AText);
        };
        component.ReportStatus(c.Status, c.Argument);
        EXPECT_EQ(texts, std::vector<std::string>{c.Expected});
    }
}

TEST(StackLifetimeTest, StackLivesWhileAnyComponentDoes) {
    ASSERT_EQ(TIdComponent::LiveComponentCount(), 0);
    EXPECT_EQ(TheStack, nullptr);
    auto first = std::make_unique<TIdComponent>();
    TIdStack* const stack = TheStack;
    ASSERT_NE(stack, nullptr);
    auto second = std::make_unique<TIdComponent>();
    EXPECT_EQ(TheStack, stack);
    first.reset();
    EXPECT_EQ(TheStack, stack);
    second.reset();
    EXPECT_EQ(TheStack, nullptr);

    // Components come and go on several threads at once.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 200; ++i) {
                TIdComponent component;
                EXPECT_NE(TheStack, nullptr);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(TIdComponent::LiveComponentCount(), 0);
    EXPECT_EQ(TheStack, nullptr);
}

// Holds a reference it does not own and lets go of it when told.
class Holder : public TIdBaseComponent {
public:
    TIdBaseComponent* Target = nullptr;
    void Assign(TIdBaseComponent* ATarget) {
        Target = ATarget;
        FreeNotification(ATarget);
    }

protected:
    void Notification(TIdBaseComponent* AComponent, TOperation AOperation) override {
        if (AOperation == TOperation::opRemove && AComponent == Target) {
            Target = nullptr;
        }
    }
};

TEST(FreeNotificationTest, ReferenceIsClearedWhenTargetGoes) {
    Holder holder;
    auto target = std::make_unique<TIdComponent>();
    holder.Assign(target.get());
    target.reset();
    EXPECT_EQ(holder.Target, nullptr);

    // The holder going first must not leave the target calling back into it.
    auto holder2 = std::make_unique<Holder>();
    TIdComponent target2;
    holder2->Assign(&target2);
    holder2.reset();
}

// An anti-freeze with counting pumps installed.
class AntiFreezeTest : public ::testing::Test {
protected:
    int ProcessAll = 0;
    int HandleOne = 0;
    void SetUp() override {
        TIdAntiFreeze::InstallPump([this] { ++ProcessAll; }, [this] { ++HandleOne; });
    }
    void TearDown() override { TIdAntiFreeze::InstallPump(nullptr, nullptr); }
};

TEST_F(AntiFreezeTest, KeepResponsivePumpsOnlyWhenAllowed) {
    const struct {
        bool Active;
        bool OnlyWhenIdle;
        bool Priority;
        bool Idle;
        bool Override;
        int ExpectedAll;
        int ExpectedOne;
    } cases[] = {
        {true, true, true, true, false, 1, 0},   {true, true, true, false, false, 0, 0},
        {true, true, true, false, true, 1, 0},   {true, false, true, false, false, 1, 0},
        {false, true, true, true, true, 0, 0},   {true, true, false, true, false, 0, 1},
        {false, false, false, true, true, 0, 0},
    };
    TIdAntiFreeze antiFreeze;
    EXPECT_TRUE(antiFreeze.Active);
    EXPECT_TRUE(antiFreeze.ApplicationHasPriority);
    EXPECT_TRUE(antiFreeze.OnlyWhenIdle);
    EXPECT_EQ(antiFreeze.IdleTimeOut, 250);
    for (const auto& c : cases) {
        antiFreeze.Active = c.Active;
        antiFreeze.OnlyWhenIdle = c.OnlyWhenIdle;
        antiFreeze.ApplicationHasPriority = c.Priority;
        ProcessAll = HandleOne = 0;
        TIdAntiFreezeBase::KeepResponsive(c.Idle, c.Override);
        EXPECT_EQ(ProcessAll, c.ExpectedAll);
        EXPECT_EQ(HandleOne, c.ExpectedOne);
        EXPECT_EQ(TIdAntiFreezeBase::IsActiveHere(), c.Active);
    }
}

TEST_F(AntiFreezeTest, NothingHappensOffTheMainThreadOrWithoutAntiFreeze) {
    TIdAntiFreezeBase::KeepResponsive(true, true);
    EXPECT_FALSE(TIdAntiFreezeBase::IsActiveHere());
    {
        TIdAntiFreeze antiFreeze;
        bool activeThere = true;
        std::thread worker([&] {
            activeThere = TIdAntiFreezeBase::IsActiveHere();
            TIdAntiFreezeBase::KeepResponsive(true, true);
        });
        worker.join();
        EXPECT_FALSE(activeThere);
    }
    EXPECT_EQ(ProcessAll + HandleOne, 0);

    // With no pump installed, pumping does nothing and does not fail.
    TIdAntiFreeze::InstallPump(nullptr, nullptr);
    TIdAntiFreeze antiFreeze;
    TIdAntiFreezeBase::KeepResponsive(true, true);
    antiFreeze.ApplicationHasPriority = false;
    antiFreeze.PumpMessages();
}

TEST_F(AntiFreezeTest, MostRecentAntiFreezeIsInForce) {
    auto first = std::make_unique<TIdAntiFreeze>();
    auto second = std::make_unique<TIdAntiFreeze>();
    EXPECT_EQ(TheAntiFreeze.load(), second.get());
    second->Active = false;
    EXPECT_FALSE(TIdAntiFreezeBase::IsActiveHere());
    // Destroying any anti-freeze leaves none in force.
    first.reset();
    EXPECT_EQ(TheAntiFreeze.load(), nullptr);
    TIdAntiFreezeBase::KeepResponsive(true, true);
    EXPECT_EQ(ProcessAll, 0);
}

} // namespace
