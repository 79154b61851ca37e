// The session's re-entrancy rules, without a window: what another command,
// run while this one processes messages, may do to the session under it.
#include "Session.h"

#include "FakeFtpServer.h"
#include "IdFTP.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace qtest;

namespace {

class TScriptedSession : public TFtpSession {
public:
    std::function<void()> OnMessages;

protected:
    void ProcessMessages() override {
        if (OnMessages) {
            OnMessages();
        }
    }
};

TEST(Session, WhatAnotherCommandDoesToTheOneWaiting) {
    struct TCase {
        const char* Name;
        int32_t Rows; // 0: no batch, the command runs inside the wait
        std::function<void(TFtpSession&)> Meanwhile;
        int32_t RowsRun;
        bool Finished;
        bool Interrupted;
    };
    const TCase cases[] = {
        {"nothing", 3, [](TFtpSession&) {}, 3, true, false},
        {"disconnect stops the batch", 3, [](TFtpSession& S) { S.Disconnect(); }, 1, false, true},
        {"lost connection stops the batch", 3, [](TFtpSession& S) { S.ConnectionLost(); }, 1, false,
         true},
        {"disconnect during a wait", 0, [](TFtpSession& S) { S.Disconnect(); }, 0, true, true},
    };
    for (const TCase& c : cases) {
        FakeFtpServer server;
        TScriptedSession session;
        session.sckFTP->SetHost(server.host());
        session.sckFTP->SetPort(server.port());
        session.sckFTP->Username = "user";
        session.sckFTP->Password = "secret";
        session.sckFTP->OpenSession(true);
        int32_t run = 0;
        bool finished = true;
        {
            TFtpSession::TNetworkScope scope(session);
            session.OnMessages = [&] {
                if (run == 1) {
                    c.Meanwhile(session);
                }
            };
            if (c.Rows == 0) {
                c.Meanwhile(session);
            } else {
                finished = session.RunBatchLoop(c.Rows, [&](int32_t) { ++run; });
            }
            EXPECT_EQ(scope.Interrupted(), c.Interrupted) << c.Name;
            EXPECT_FALSE(session.CanStartCommand()) << c.Name;
            EXPECT_FALSE(session.Busy) << c.Name;
        }
        EXPECT_TRUE(session.CanStartCommand()) << c.Name;
        EXPECT_EQ(run, c.RowsRun) << c.Name;
        EXPECT_EQ(finished, c.Finished) << c.Name;
        // The batch's own cancel is taken once, by the command that ran it.
        EXPECT_EQ(session.TakeCancel(), c.Rows > 0 && !c.Finished) << c.Name;
        EXPECT_FALSE(session.TakeCancel()) << c.Name;
        EXPECT_EQ(session.SessionConnected(), !c.Interrupted) << c.Name;
        if (c.Interrupted) {
            // One goodbye, however many times the session was ended.
            ASSERT_TRUE(server.waitForSessionsEnded(1)) << c.Name;
            const auto commands = server.commands();
            EXPECT_EQ(std::count(commands.begin(), commands.end(), "QUIT"), 1) << c.Name;
        }
    }
}

} // namespace
