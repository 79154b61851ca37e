// The main window against servers that misbehave: a server that never
// answers while the window connects, and a download batch in which one file's
// data connection breaks.
#include "AppTestSupport.h"
#include "Connect.h"
#include "FakeFtpServer.h"
#include "FileRows.h"
#include "IdFTP.h"
#include "IniFile.h"
#include "Main.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <QTimer>
#include <QTreeWidgetItem>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

using namespace qtest;

namespace {

std::string SettingsFor(const FakeFtpServer& AServer, const std::string& ALocalDir) {
    return "[Main]\nRemoteHost=" + AServer.host() + "\nPort=" + std::to_string(AServer.port()) +
           "\nPassive=1\nUsername=user\nPassword=" + EncodePassword("pw") +
           "\nInitialRemoteDirectory=/\nInitialLocalDirectory=" + ALocalDir + "\n";
}

struct THostileWindowFixture : TWindowFixture {
    // Presses Connect and OK in the dialog, for the settings of AServer.
    void Connect(const FakeFtpServer& AServer) { ConnectWith(SettingsFor(AServer, LocalDir())); }
    // Runs AAction once, from inside whatever network wait is running, as
    // soon as AReady holds.
    void WhenReady(const std::function<bool()>& AReady, const std::function<void()>& AAction) {
        auto* timer = new QTimer(Window.get()); // owned by the window
        timer->setInterval(5);
        QObject::connect(timer, &QTimer::timeout, timer, [timer, AReady, AAction] {
            if (AReady()) {
                timer->stop();
                AAction();
            }
        });
        timer->start();
    }

    bool ConnectedLayout() const {
        return !Window->btnConnect.isEnabled() && Window->btnDisconnect.isEnabled() &&
               Window->lvRemoteFiles.isEnabled() && Window->btnLocalUpload.isEnabled();
    }
    bool DisconnectedLayout() const {
        return Window->btnConnect.isEnabled() && !Window->btnDisconnect.isEnabled() &&
               !Window->lvRemoteFiles.isEnabled() && !Window->btnLocalUpload.isEnabled() &&
               Window->lvRemoteFiles.topLevelItemCount() == 0 &&
               Window->lvLocalFiles.topLevelItemCount() == 0 &&
               Window->lblTransfer.text().isEmpty() && Window->lblProgress.text().isEmpty();
    }
};

bool Sent(const FakeFtpServer& AServer, const std::string& ALine) {
    const auto c = AServer.commands();
    return std::find(c.begin(), c.end(), ALine) != c.end();
}

size_t CountOf(const FakeFtpServer& AServer, const std::string& AVerb) {
    const auto c = AServer.commands();
    return static_cast<size_t>(std::count_if(
        c.begin(), c.end(), [&](const std::string& L) { return L.rfind(AVerb, 0) == 0; }));
}

// A server that holds the window's connect: the user's Disconnect (or closing
// the window, which runs it) ends the wait, quietly, and leaves the window
// ready for the next connection.
TEST_F(THostileWindowFixture, DisconnectEndsASilentServersWaitAndTheWindowStaysUsable) {
    struct TCase {
        const char* Name;
        bool SilentGreeting; // else the greeting comes and the login goes unanswered
        bool CloseWindow;
    } const cases[] = {
        {"no greeting", true, false},
        {"no answer to USER", false, false},
        {"no greeting, window closed", true, true},
    };
    for (const TCase& c : cases) {
        FakeFtpServer silent;
        FakeFtpServer working;
        working.setListing("-rw-r--r-- 1 u g 5 Jan 01 2020 a.txt\r\n");
        if (c.SilentGreeting) {
            silent.withholdGreeting();
        } else {
            silent.setResponse("USER", FtpScript{});
        }
        // The old window goes first: the program knows one main window at a time.
        Window.reset();
        Window = std::make_unique<TfrmMain>();
        Window->show();
        bool connected = false;
        Window->sckFTP->OnStatus = [&](TIdComponent*, TIdStatus AStatus, const std::string&) {
            connected = connected || AStatus == hsConnected;
        };
        bool pressed = false;
        WhenReady(
            [&] { return c.SilentGreeting ? connected : Sent(silent, "USER user"); },
            [&] {
                // While connecting, Connect rests and Disconnect cancels.
                pressed = Window->btnDisconnect.isEnabled() && !Window->btnConnect.isEnabled();
                c.CloseWindow ? static_cast<void>(Window->close()) : Window->btnDisconnect.click();
            });
        Connect(silent);

        EXPECT_TRUE(pressed) << c.Name;
        EXPECT_TRUE(Answers.Messages.empty()) << c.Name;
        EXPECT_TRUE(DisconnectedLayout()) << c.Name;
        EXPECT_FALSE(Window->sckFTP->IsConnected()) << c.Name;
        ASSERT_TRUE(silent.waitForSessionsEnded(1)) << c.Name;
        EXPECT_EQ(silent.connections(), 1u) << c.Name;
        if (c.CloseWindow) {
            continue;
        }
        Connect(working);
        EXPECT_TRUE(ConnectedLayout()) << c.Name;
        EXPECT_GT(Window->lvRemoteFiles.topLevelItemCount(), 0) << c.Name;
        EXPECT_TRUE(Answers.Messages.empty()) << c.Name;
        EXPECT_EQ(working.connections(), 1u) << c.Name;
    }
}

// One file of a batch whose data connection breaks after the server accepted
// it: the next file on the same connection still downloads, and the window
// ends the batch connected and refreshed.
TEST_F(THostileWindowFixture, BatchDownloadGoesOnAfterABrokenFile) {
    struct TCase {
        const char* Name;
        const char* Final; // the broken transfer's final reply
    } const cases[] = {{"426", "426 Connection reset."}, {"226", "226 Transfer complete."}};
    const std::string good(3000, 'g');
    for (const TCase& c : cases) {
        FakeFtpServer server;
        server.setListing("-rw-r--r-- 1 u g 5000 Jan 01 2020 broken\r\n"
                          "-rw-r--r-- 1 u g 3000 Jan 01 2020 good\r\n");
        server.setFile("broken", std::string(5000, 'b'));
        server.setFile("good", good);
        server.enqueue("RETR", {act::Reply("150 Here it comes."), act::OpenData(),
                                act::SendData(100), act::CloseData(true), act::Reply(c.Final)});
        // The old window goes first: the program knows one main window at a time.
        Window.reset();
        Window = std::make_unique<TfrmMain>();
        Connect(server);
        ASSERT_TRUE(ConnectedLayout()) << c.Name;
        Window->lvRemoteFiles.clearSelection();
        for (int i = 0; i < Window->lvRemoteFiles.topLevelItemCount(); ++i) {
            QTreeWidgetItem* row = Window->lvRemoteFiles.topLevelItem(i);
            const QString caption = TFileListView::RowCaption(*row);
            row->setSelected(caption == FileRowCaption(QStringLiteral("broken")) ||
                             caption == FileRowCaption(QStringLiteral("good")));
        }
        ASSERT_EQ(Window->lvRemoteFiles.SelectedCount(), 2) << c.Name;
        const size_t lists = CountOf(server, "LIST");

        Window->btnRemoteDownloadClick();

        EXPECT_EQ(ReadFile(Local / "good"), good) << c.Name;
        EXPECT_TRUE(Sent(server, "RETR broken")) << c.Name;
        EXPECT_TRUE(Sent(server, "RETR good")) << c.Name;
        EXPECT_TRUE(ConnectedLayout()) << c.Name;
        // The broken file is named, with the reason, once the batch is over.
        ASSERT_EQ(Answers.Messages.size(), 1u) << c.Name;
        EXPECT_TRUE(Answers.Messages[0].Text.startsWith(
            QStringLiteral("Some files could not be downloaded:\n\"broken\": ")))
            << Answers.Messages[0].Text.toStdString();
        Answers.Messages.clear();
        EXPECT_EQ(CountOf(server, "LIST"), lists + 1) << c.Name;
        // The session is still in step: the refreshed pane shows the listing.
        EXPECT_GE(Window->lvRemoteFiles.topLevelItemCount(), 2) << c.Name;
        Window->btnDisconnectClick();
        EXPECT_TRUE(server.waitForSessionsEnded(1)) << c.Name;
        EXPECT_EQ(server.commands().back(), "QUIT") << c.Name;
        std::filesystem::remove(Local / "good");
        std::filesystem::remove(Local / "broken");
    }
}

} // namespace
