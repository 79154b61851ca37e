// The main window at work, end to end: the real window (offscreen) against
// real and scripted FTP servers, with a private settings file and local folder.
#include "AppTestSupport.h"
#include "Connect.h"
#include "FakeFtpServer.h"
#include "FileRows.h"
#include "IdFTP.h"
#include "IniFile.h"
#include "Main.h"
#include "PyftpdlibServer.h"
#include "TempDir.h"
#include "TestCertificates.h"
#include "TestSockets.h"
#include "VsftpdServer.h"

#include <gtest/gtest.h>

#include <QTimer>
#include <QTreeWidgetItem>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>

namespace fs = std::filesystem;
using namespace qtest;

namespace {

using RealServer = TRealFixture;

TEST_P(RealServer, ConnectFillsBothPanesRemoteDirsFilesAndParent) {
    Server->writeFile("a.txt", std::string(1536, 'a'));
    Server->makeDir("sub");
    Local.write("local.bin", "xyz");
    Local.write(".hidden", "");
    Local.makeDir("ldir");
    fs::create_symlink(Local / "missing-target", Local / "dangling");
    Connect(Good());

    EXPECT_TRUE(ConnectedLayout());
    const auto remote = Captions(Window->lvRemoteFiles);
    EXPECT_TRUE(Contains(remote, QStringLiteral("<..> ..")));
    EXPECT_TRUE(Contains(remote, QStringLiteral("</> sub")));
    EXPECT_FALSE(Contains(remote, QStringLiteral("</> .")));
    QTreeWidgetItem* file = RowWithCaption(Window->lvRemoteFiles, QStringLiteral("a.txt"));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->text(1), FormatSize(1536));
    EXPECT_EQ(TFileListView::RowArgument(*file), "a.txt");
    EXPECT_EQ(Window->lblRemoteFiles.text(), RemoteLabel(Server->remoteWorkDir()));
    EXPECT_EQ(Window->CurrentRemoteDir.toStdString(), Server->remoteWorkDir());

    // Local pane: hidden entries, no parent entry, folder rows end in "/",
    // a file that cannot be opened reads 0 bytes.
    const auto local = Captions(Window->lvLocalFiles);
    EXPECT_FALSE(Contains(local, QStringLiteral("<..> ..")));
    EXPECT_TRUE(Contains(local, QStringLiteral(".hidden")));
    QTreeWidgetItem* dir = RowWithCaption(Window->lvLocalFiles, QStringLiteral("<\\> ldir"));
    ASSERT_NE(dir, nullptr);
    EXPECT_EQ(TFileListView::RowArgument(*dir), LocalDir() + "ldir/");
    QTreeWidgetItem* dangling = RowWithCaption(Window->lvLocalFiles, QStringLiteral("dangling"));
    ASSERT_NE(dangling, nullptr);
    EXPECT_EQ(dangling->text(1), FormatSize(0));
    QTreeWidgetItem* bin = RowWithCaption(Window->lvLocalFiles, QStringLiteral("local.bin"));
    ASSERT_NE(bin, nullptr);
    EXPECT_EQ(bin->text(1), FormatSize(3));
    EXPECT_EQ(Window->lblLocalFiles.text(),
              QStringLiteral("Local files: (") + QString::fromStdString(LocalDir()) + ")");
}

TEST_P(RealServer, EntersADirectoryAndGoesUpThroughTheParentEntry) {
    Server->makeDir("sub");
    Server->writeFile("sub/inner.txt", "x");
    Connect(Good());
    const std::string top = Server->remoteWorkDir();
    const std::string sub = Server->remotePath("sub");

    struct TStep {
        QString Row;
        bool ByEnter;
        std::string Expected;
    } const steps[] = {
        {QStringLiteral("</> sub"), false, sub},
        {QStringLiteral("<..> .."), true, top},
        {QStringLiteral("</> sub"), true, sub},
        {QStringLiteral("<..> .."), false, top},
    };
    for (const TStep& s : steps) {
        Select(Window->lvRemoteFiles, {s.Row});
        s.ByEnter ? Window->lvRemoteFilesKeyDown(VK_RETURN) : Window->lvRemoteFilesDblClick();
        EXPECT_EQ(Window->lblRemoteFiles.text(), RemoteLabel(s.Expected)) << s.Expected;
        EXPECT_EQ(Window->CurrentRemoteDir.toStdString(), s.Expected);
        EXPECT_EQ(RowWithCaption(Window->lvRemoteFiles, QStringLiteral("inner.txt")) != nullptr,
                  s.Expected == sub);
    }
    // A file row is not entered.
    Window->lvRemoteFilesDblClick();
    Select(Window->lvRemoteFiles, {QStringLiteral("</> sub")});
    Window->lvRemoteFilesDblClick();
    Select(Window->lvRemoteFiles, {QStringLiteral("inner.txt")});
    Window->lvRemoteFilesDblClick();
    EXPECT_EQ(Window->CurrentRemoteDir.toStdString(), sub);
}

TEST_P(RealServer, CreatesADirectoryAndCancelSendsNothing) {
    Connect(Good());
    Answers.InputAnswer.reset();
    Window->btnRemoteCreateDirectoryClick();
    EXPECT_FALSE(Server->exists("new dir"));
    ASSERT_EQ(Answers.InputCaptions.size(), 1u);
    EXPECT_EQ(Answers.InputCaptions[0], QStringLiteral("Create directory..."));
    EXPECT_EQ(Answers.InputPrompts[0], QStringLiteral("Type a name:"));

    Answers.InputAnswer = QStringLiteral("new dir");
    Window->btnRemoteCreateDirectoryClick();
    EXPECT_TRUE(fs::is_directory(Server->workDir() / "new dir"));
    EXPECT_NE(RowWithCaption(Window->lvRemoteFiles, QStringLiteral("</> new dir")), nullptr);
}

TEST_P(RealServer, DeletesRemoteFilesAndADirectoryAfterConfirmation) {
    Server->writeFile("one.txt", "1");
    Server->writeFile("two.txt", "2");
    Server->makeDir("gone");
    Server->writeFile("keep.txt", "k");
    Connect(Good());

    struct TAnswer {
        TMsgResult Answer;
        bool Deleted;
    } const answers[] = {{TMsgResult::mrNo, false}, {TMsgResult::mrYes, true}};
    for (const TAnswer& a : answers) {
        Select(Window->lvRemoteFiles,
               {QStringLiteral("one.txt"), QStringLiteral("two.txt"), QStringLiteral("</> gone")});
        Answers.Messages.clear();
        Answers.MessageAnswer = a.Answer;
        Window->lvRemoteFilesKeyDown(VK_DELETE);
        ASSERT_EQ(Answers.Messages.size(), 1u);
        EXPECT_EQ(Answers.Messages[0].Caption, QStringLiteral("Confirm"));
        EXPECT_EQ(Answers.Messages[0].Text,
                  QStringLiteral("Do you want to delete 3 remote file(s)?\nThe folder \"gone\" "
                                 "holds 0 files (0 B) and 0 subfolders; all of it is deleted."));
        EXPECT_EQ(Answers.Messages[0].Buttons, TMsgButtons::mbYesNo);
        EXPECT_EQ(Server->exists("one.txt"), !a.Deleted);
        EXPECT_EQ(Server->exists("two.txt"), !a.Deleted);
        EXPECT_EQ(Server->exists("gone"), !a.Deleted);
        EXPECT_TRUE(Server->exists("keep.txt"));
        // Refreshed either way, and handed back to the user.
        EXPECT_EQ(RowWithCaption(Window->lvRemoteFiles, QStringLiteral("one.txt")) != nullptr,
                  !a.Deleted);
        EXPECT_TRUE(ConnectedLayout());
        EXPECT_FALSE(Window->Busy);
    }
}

TEST_P(RealServer, DownloadsThreeFilesWithBatchLabelsReplacingALocalFile) {
    const std::string bytes[] = {RandomBytes(5000, 1), RandomBytes(3, 2), RandomBytes(70000, 3)};
    const char* const names[] = {"d1.bin", "d2.bin", "d3.bin"};
    for (int i = 0; i < 3; ++i) {
        Server->writeFile(names[i], bytes[i]);
    }
    Local.write("d2.bin", "an older and longer local file");
    Connect(Good());

    std::vector<std::pair<QString, QString>> seen;
    auto begin = Window->sckFTP->OnWorkBegin;
    auto end = Window->sckFTP->OnWorkEnd;
    Window->sckFTP->OnWorkBegin = [&](TIdComponent* S, TWorkMode M, int64_t N) {
        begin(S, M, N);
        seen.emplace_back(Window->lblTransfer.text(), Window->lblProgress.text());
    };
    Window->sckFTP->OnWorkEnd = [&](TIdComponent* S, TWorkMode M) {
        end(S, M);
        seen.emplace_back(Window->lblTransfer.text(), Window->lblProgress.text());
    };
    // While data moves, the progress label always holds the running count and
    // is never kept from painting (a label that is not painted with the box
    // under it shows blank); the bar beneath measures against the listed size.
    int works = 0;
    QStringList details;
    Window->sckFTP->OnWork = [&, work = Window->sckFTP->OnWork](TIdComponent* S, TWorkMode M,
                                                                int64_t N) {
        work(S, M, N);
        ++works;
        EXPECT_TRUE(Window->lblProgress.updatesEnabled());
        EXPECT_TRUE(Window->lblProgress.text().startsWith(QStringLiteral("Reading... (")));
        if (!Window->pbTransfer.isHidden()) {
            details << Window->lblTransferDetails.text();
        }
    };
    Select(Window->lvRemoteFiles, {QString(names[0]), QString(names[1]), QString(names[2])});
    Window->btnRemoteDownloadClick();
    EXPECT_GT(works, 0);
    ASSERT_FALSE(details.isEmpty());
    EXPECT_TRUE(details.back().contains(QStringLiteral(" of ") + FormatSize(70000)))
        << details.back().toStdString();
    EXPECT_TRUE(Window->pbTransfer.isHidden());
    EXPECT_TRUE(Window->lblTransferDetails.isHidden());

    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Local.read(names[i]), bytes[i]) << names[i];
    }
    ASSERT_GE(seen.size(), 6u);
    for (int i = 0; i < 3; ++i) {
        const QString label = QStringLiteral("Downloading %1 of 3...").arg(i + 1);
        EXPECT_EQ(seen[2 * i].first, label);
        EXPECT_EQ(seen[2 * i].second, QStringLiteral("Reading..."));
        EXPECT_TRUE(seen[2 * i + 1].first.isEmpty());
        EXPECT_TRUE(seen[2 * i + 1].second.isEmpty());
    }
    // The two refreshes: the listing reads without a batch label. The
    // label then sums up how the files were checked.
    EXPECT_EQ(seen[6].first, QStringLiteral("Reading..."));
    EXPECT_EQ(Window->lblTransfer.text(), QStringLiteral("Checked: 3 file(s) by size, 0 by digest."));
    EXPECT_TRUE(ConnectedLayout());
    EXPECT_NE(RowWithCaption(Window->lvLocalFiles, QStringLiteral("d3.bin")), nullptr);
}

// An existing target is put to the user: resumed, skipped or overwritten,
// one file at a time or for the rest of the batch; the transfers are checked.
TEST_P(RealServer, AnExistingTargetIsResumedSkippedOrOverwritten) {
    using enum TFileExistsAnswer;
    const std::string bytes = RandomBytes(300000, 9);
    const std::string half = bytes.substr(0, 120000);
    const struct {
        const char* label;
        bool download;
        std::vector<TFileExistsReply> replies;
        size_t questions;
        std::string a, b; // the targets afterwards ("" = missing)
    } cases[] = {
        {"resumeGet", true, {{feResume, false}, {feSkip, false}}, 2, bytes, half},
        {"skipAllGet", true, {{feSkip, true}}, 1, half, half},
        {"overwriteGet", true, {{feOverwrite, true}}, 1, bytes, bytes},
        {"resumeAllPut", false, {{feResume, true}}, 1, bytes, bytes},
        {"skipPut", false, {{feSkip, false}, {feOverwrite, false}}, 2, half, bytes},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        for (const char* name : {"a.bin", "b.bin"}) {
            Server->writeFile(name, c.download ? bytes : half);
            Local.write(name, c.download ? half : bytes);
        }
        Answers.ExistsQuestions.clear();
        Answers.ExistsReplies = c.replies;
        Connect(Good());
        TFileListView& list = c.download ? Window->lvRemoteFiles : Window->lvLocalFiles;
        Select(list, {QStringLiteral("a.bin"), QStringLiteral("b.bin")});
        c.download ? Window->btnRemoteDownloadClick() : Window->btnLocalUploadClick();
        ASSERT_EQ(Answers.ExistsQuestions.size(), c.questions);
        EXPECT_EQ(Answers.ExistsQuestions[0].CanResume, true);
        EXPECT_TRUE(Answers.ExistsQuestions[0].Batch);
        EXPECT_TRUE(Answers.ExistsQuestions[0].Text.contains(QStringLiteral("\"a.bin\"")));
        const auto read = [&](const char* AName) {
            return c.download ? ReadFile(Local / AName) : Server->readFile(AName);
        };
        EXPECT_TRUE(read("a.bin") == c.a);
        EXPECT_TRUE(read("b.bin") == c.b);
        if (c.a == bytes || c.b == bytes) {
            EXPECT_TRUE(Window->lblTransfer.text().startsWith(QStringLiteral("Checked: ")))
                << Window->lblTransfer.text().toStdString();
        }
        Window->btnDisconnectClick();
    }
}

// A server that ends an idle session is reconnected at the next command
// without a message, over TLS too (trusted always, so not asked again); a
// server that is gone for good gives the message.
TEST_F(TSessionFixture, ASessionEndedWhileIdleIsReconnectedOnce) {
    if (std::string why = PyftpdlibServer::Unavailable(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "TLS" : "plain");
        PyftpdlibOptions options;
        options.extraArgs = {"--idle-timeout=1"};
        if (tls) {
            if (!TestCertificates::Unavailable().empty()) {
                continue;
            }
            options.tls = FtpTls::Explicit;
            options.tlsRequired = true;
            Answers.TrustAnswers = {TTrustAnswer::taAlways};
        }
        auto server = std::make_unique<PyftpdlibServer>(options);
        server->writeFile("f.txt", "x");
        Connect({server->host(), std::to_string(server->port()), server->user(), server->password(),
                 "/", LocalDir()});
        EXPECT_EQ(Window->sckFTP->Encrypted(), tls);
        for (bool gone : {false, true}) {
            // Waits for the server to say it ended the session, not for a time.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            size_t ended = 0;
            while (std::chrono::steady_clock::now() < deadline) {
                const std::string log = server->log();
                ended = 0;
                for (size_t at = 0; (at = log.find("timed out", at)) != std::string::npos; ++at) {
                    ++ended;
                }
                if (ended > (gone ? 1u : 0u)) {
                    break;
                }
                QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            }
            ASSERT_GT(ended, gone ? 1u : 0u) << server->log();
            Answers.Messages.clear();
            if (gone) {
                server.reset();
            }
            Window->btnRemoteRefreshClick();
            EXPECT_EQ(Answers.Messages.size(), gone ? 1u : 0u);
            EXPECT_EQ(ConnectedLayout(), !gone);
            EXPECT_EQ(RowWithCaption(Window->lvRemoteFiles, QStringLiteral("f.txt")) != nullptr,
                      !gone);
        }
        EXPECT_EQ(Answers.Certificates.size(), tls ? 1u : 0u);
    }
}

TEST_P(RealServer, UploadsTwoFilesAndRefusesAFolderByItsFullPath) {
    const std::string a = RandomBytes(10000, 7), b = RandomBytes(1, 8);
    Local.write("up a.bin", a);
    Local.write("upb.bin", b);
    Local.makeDir("folder");
    Connect(Good());
    Select(Window->lvLocalFiles,
           {QStringLiteral("<\\> folder"), QStringLiteral("up a.bin"), QStringLiteral("upb.bin")});
    Answers.Messages.clear();
    Window->btnLocalUploadClick();

    EXPECT_EQ(Server->readFile("up a.bin"), a);
    EXPECT_EQ(Server->readFile("upb.bin"), b);
    // Not answered Yes: the folder is refused as before.
    ASSERT_EQ(Answers.Messages.size(), 2u);
    EXPECT_EQ(Answers.Messages[0].Text,
              QStringLiteral("Upload the folder \"folder\" with 0 files (0 B)?"));
    EXPECT_EQ(Answers.Messages[1].Caption, QStringLiteral("Error!"));
    EXPECT_EQ(Answers.Messages[1].Text,
              QStringLiteral("The application does not handle transfers of directories. The "
                             "directory \"") +
                  QString::fromStdString(LocalDir()) +
                  QStringLiteral("folder/\" will not be uploaded."));
    EXPECT_NE(RowWithCaption(Window->lvRemoteFiles, QStringLiteral("upb.bin")), nullptr);
}

TEST_P(RealServer, ParentEntryInTheSelectionGivesTheMessageAndTheFileStillArrives) {
    Server->writeFile("f.txt", "payload");
    Connect(Good());
    Select(Window->lvRemoteFiles, {QStringLiteral("<..> .."), QStringLiteral("f.txt")});
    Answers.Messages.clear();
    Window->btnRemoteDownloadClick();
    ASSERT_EQ(Answers.Messages.size(), 1u);
    EXPECT_EQ(Answers.Messages[0].Icon, TMsgIcon::miError);
    EXPECT_EQ(Answers.Messages[0].Text,
              QStringLiteral("The application does not handle transfers of directories. The "
                             "directory \"..\" will not be downloaded."));
    EXPECT_EQ(Local.read("f.txt"), "payload");
    EXPECT_TRUE(ConnectedLayout());
}

INSTANTIATE_TEST_SUITE_P(Servers, RealServer,
                         ::testing::Values(FtpServerKind::Vsftpd, FtpServerKind::Pyftpdlib,
                                           FtpServerKind::Inetutils, FtpServerKind::FtpdSsl,
                                           FtpServerKind::Twisted),
                         [](const auto& AInfo) { return ToString(AInfo.param); });

// ---- Against pyftpdlib only (it checks passwords) ---------------------------------

using PasswordServer = TSessionFixture;

TEST_F(PasswordServer, WrongPasswordGivesTheMessageAndNoLayoutChange) {
    if (const std::string why = PyftpdlibServer::Unavailable(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    PyftpdlibServer server;
    Connect(
        {server.host(), std::to_string(server.port()), server.user(), "wrong", "/", LocalDir()});
    ASSERT_EQ(Answers.Messages.size(), 1u);
    EXPECT_EQ(Answers.Messages[0].Caption, QStringLiteral("Error!"));
    // The server's own reply line stands beneath the message.
    const QStringList lines = Answers.Messages[0].Text.split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], QStringLiteral("The connection failed!"));
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("530 "))) << lines[1].toStdString();
    EXPECT_TRUE(DisconnectedLayout());
    EXPECT_FALSE(Window->sckFTP->IsConnected());
}

// A link's password signs in and goes no further: the settings keep the
// server, the user and the folder, never the password.
TEST_F(PasswordServer, AnAddressSignsInWithItsPasswordWithoutSavingIt) {
    if (const std::string why = PyftpdlibServer::Unavailable(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    PyftpdlibServer server;
    server.writeFile("sub/in.txt", "12");
    Settings.WriteIni("[Main]\nPassive=1\nPassword=" + EncodePassword("saved") +
                      "\nInitialLocalDirectory=" + LocalDir() + "\n");
    Dialog = std::make_unique<TfrmConnect>();
    QTimer::singleShot(0, Dialog.get(), [this] { Dialog->btnOK.click(); });
    Window->ConnectToAddress(QString::fromStdString(server.urlWithLogin("sub/")));
    EXPECT_TRUE(Answers.Messages.empty());
    EXPECT_TRUE(ConnectedLayout());
    EXPECT_NE(RowWithCaption(Window->lvRemoteFiles, QStringLiteral("in.txt")), nullptr);
    const TIniFile ini(Settings.IniPath);
    EXPECT_EQ(ini.ReadString("Main", "Password", "-"), "");
    EXPECT_EQ(ini.ReadString("Main", "Username", "-"), server.user());
    EXPECT_EQ(ini.ReadString("Main", "InitialRemoteDirectory", "-"), "sub");
}

// An IPv6 literal, bare or in brackets, connects in either mode and lists.
TEST_F(PasswordServer, AnIPv6LiteralConnectsInBothModes) {
    if (const std::string why = PyftpdlibServer::Unavailable() + IPv6Unavailable(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    PyftpdlibOptions options;
    options.address = "::1";
    PyftpdlibServer server(options);
    server.writeFile("six.txt", "123456");
    for (const auto& [host, passive] : {std::pair{"::1", true}, std::pair{"[::1]", false}}) {
        TSettings settings{
            host, std::to_string(server.port()), server.user(), server.password(), "/", LocalDir()};
        settings.WithPassive = passive; // left out, the dialog's default: active
        ConnectWith(SettingsText(settings));
        EXPECT_TRUE(Answers.Messages.empty()) << host;
        QTreeWidgetItem* file = RowWithCaption(Window->lvRemoteFiles, QStringLiteral("six.txt"));
        ASSERT_NE(file, nullptr) << host;
        EXPECT_EQ(file->text(1), FormatSize(6));
        Window->btnDisconnectClick();
    }
}

// ---- A certificate nobody vouches for ----------------------------------------------------

// vsftpd with a self-signed certificate: the window asks, and the answer
// decides. Each row connects once to the same server, in order.
TEST_F(TSessionFixture, UnverifiedCertificateIsPutToTheUser) {
    if (const std::string why = VsftpdServer::Unavailable() + TestCertificates::Unavailable();
        !why.empty()) {
        GTEST_SKIP() << why;
    }
    const TestCertificates& certs = TestCertificates::Get();
    VsftpdOptions options;
    options.tls = FtpTls::Explicit;
    options.tlsRequired = true;
    options.tlsCertificate = &certs.selfSigned;
    VsftpdServer server(options);
    server.writeFile("secret.txt", "s");
    // The same server under another name has a certificate the user once
    // trusted for it, but that one has been replaced since.
    VsftpdServer renewed(options);
    const auto settings = [&](const VsftpdServer& AServer) {
        return TSettings{AServer.host(),     std::to_string(AServer.port()), AServer.user(),
                         AServer.password(), AServer.remoteWorkDir(),        LocalDir()};
    };
    const std::string key = "127.0.0.1:" + std::to_string(server.port());
    const std::string renewedKey = "127.0.0.1:" + std::to_string(renewed.port());
    const std::string stale = std::string(certs.server.sha256);
    using enum TTrustAnswer;
    const struct {
        const char* Name;
        const VsftpdServer& Server;
        std::vector<TTrustAnswer> Answers;
        std::string Remembered; // [Certificates] line written before; empty: none
        size_t Asked;
        bool Changed;
        bool Connected;
        std::string Stored; // the line's value afterwards
    } cases[] = {
        {"cancel", server, {taCancel}, "", 1, false, false, ""},
        {"trust once", server, {taOnce}, "", 1, false, true, ""},
        {"always", server, {taAlways}, "", 1, false, true, certs.selfSigned.sha256},
        {"remembered", server, {}, "-", 0, false, true, certs.selfSigned.sha256},
        {"changed, cancel", renewed, {taCancel}, stale, 1, true, false, stale},
        {"changed, always", renewed, {taAlways}, stale, 1, true, true, certs.selfSigned.sha256},
    };
    std::string certificates; // what "always" left in the file
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const bool own = &c.Server == &renewed;
        Answers.Messages.clear();
        Answers.Certificates.clear();
        Answers.TrustAnswers = c.Answers;
        std::string text = SettingsText(settings(c.Server));
        if (c.Remembered == "-") {
            text += certificates;
        } else if (!c.Remembered.empty()) {
            text += "[Certificates]\n" + renewedKey + "=" + c.Remembered + "\n";
        }
        ConnectWith(text);
        ASSERT_EQ(Answers.Certificates.size(), c.Asked);
        if (c.Asked) {
            const TCertificateQuestion& q = Answers.Certificates[0];
            EXPECT_EQ(q.Server.toStdString(), own ? renewedKey : key);
            EXPECT_EQ(q.Certificate.Sha256, certs.selfSigned.sha256);
            EXPECT_NE(q.Certificate.Subject.find("selfsigned.quorvan.test"), std::string::npos);
            EXPECT_FALSE(q.Reason.isEmpty());
            EXPECT_EQ(q.Changed, c.Changed);
        }
        EXPECT_EQ(ConnectedLayout(), c.Connected);
        const TIniFile ini(Settings.IniPath);
        EXPECT_EQ(ini.ReadString("Certificates", own ? renewedKey : key, ""), c.Stored);
        if (!c.Connected) {
            // Cancel: the usual failure, with the reason beneath it.
            ASSERT_EQ(Answers.Messages.size(), 1u);
            EXPECT_EQ(Answers.Messages[0].Text.toStdString(),
                      "The connection failed!\nThe server's certificate could not be verified: " +
                          Answers.Certificates[0].Reason.toStdString() + " (SHA-256 fingerprint " +
                          certs.selfSigned.sha256 + ")");
            EXPECT_TRUE(DisconnectedLayout());
            continue;
        }
        EXPECT_TRUE(Answers.Messages.empty());
        EXPECT_TRUE(Window->sckFTP->Encrypted());
        EXPECT_EQ(Window->lblRemoteFiles.text().toStdString(),
                  "Remote files: (/upload) \u2014 encrypted (TLSv1.3)");
        EXPECT_EQ(Contains(Captions(Window->lvRemoteFiles), QStringLiteral("secret.txt")), !own);
        if (!c.Stored.empty() && !own) {
            certificates = "[Certificates]\n" + key + "=" + c.Stored + "\n";
        }
        Window->btnDisconnectClick();
    }
}

// ---- Against the scripted server ------------------------------------------------------

struct TFakeFixture : TSessionFixture {
    FakeFtpServer Fake;
    TSettings Good() const {
        return {Fake.host(), std::to_string(Fake.port()), "user", "pw", "/", LocalDir()};
    }
    std::vector<std::string> Commands() const { return Fake.commands(); }
    size_t CountOf(const std::string& AVerb) const {
        const auto c = Commands();
        return static_cast<size_t>(std::count_if(
            c.begin(), c.end(), [&](const std::string& L) { return L.rfind(AVerb, 0) == 0; }));
    }
};

using ScriptedServer = TFakeFixture;

// The same entries listed by MLSD and by LIST make the same rows, also past
// the first slice of a long listing, whose layout is no longer looked at.
TEST_F(ScriptedServer, MlsdListingShowsLikeList) {
    std::string mlsd = "type=cdir;sizd=4096; /\r\ntype=pdir; ..\r\n";
    std::string list = "total 9\r\n";
    for (int i = 0; i <= 2100; ++i) {
        const bool dir = i == 7;
        const std::string name = i == 0 ? "a; b  c.txt"
                                 : dir  ? "gr\xc3\xbc\xc3\x9f"
                                        : "f" + std::to_string(i);
        const std::string size = std::to_string(i == 0 ? 4294967298 : i);
        mlsd += (dir ? "type=dir;sizd=" : "type=file;size=") + size + ";modify=20240305141516; " +
                name + "\r\n";
        list += (dir ? "d" : "-") + std::string("rw-r--r-- 1 u g ") + size + " Mar 05 14:15 " +
                name + "\r\n";
    }
    const auto rows = [this] {
        std::vector<std::string> out;
        for (int i = 0; i < Window->lvRemoteFiles.topLevelItemCount(); ++i) {
            const QTreeWidgetItem& row = *Window->lvRemoteFiles.topLevelItem(i);
            out.push_back((TFileListView::RowCaption(row) + "|" + row.text(1)).toStdString() + "|" +
                          TFileListView::RowArgument(row));
        }
        return out;
    };
    Fake.setListing(list);
    Connect(Good());
    const std::vector<std::string> byList = rows();
    Window->btnDisconnectClick();
    ASSERT_TRUE(Fake.waitForSessionsEnded(1));
    Fake.setResponse("FEAT", "211-Features:\r\n MLST type*;size*;\r\n211 End\r\n");
    Fake.setResponse("MLSD",
                     {act::Reply("150 Here"), act::OpenData(), act::SendData(Payload::Bytes(mlsd)),
                      act::CloseData(), act::Reply("226 Done")});
    Connect(Good());
    EXPECT_EQ(CountOf("MLSD"), 1u);
    EXPECT_EQ(rows(), byList);
    EXPECT_EQ(byList.size(), 2102u);
    const QString big =
        FileRowCaption(QStringLiteral("a; b  c.txt")) + "|" + FormatSize(4294967298);
    EXPECT_EQ(std::count(byList.begin(), byList.end(), big.toStdString() + "|a; b  c.txt"), 1);
}

TEST_F(ScriptedServer, IncompleteSettingsDoNothingAndSendNothing) {
    struct TCase {
        const char* Why;
        std::function<void(TSettings&)> Spoil;
    } const cases[] = {
        {"empty password", [](TSettings& S) { S.Password.clear(); }},
        {"no Passive line", [](TSettings& S) { S.WithPassive = false; }},
        {"empty host", [](TSettings& S) { S.Host.clear(); }},
        {"empty user", [](TSettings& S) { S.User.clear(); }},
        {"empty port", [](TSettings& S) { S.Port.clear(); }},
    };
    for (const TCase& c : cases) {
        TSettings s = Good();
        c.Spoil(s);
        Connect(s, false);
        EXPECT_TRUE(Answers.Messages.empty()) << c.Why;
        EXPECT_TRUE(DisconnectedLayout()) << c.Why;
    }
    EXPECT_EQ(Fake.connections(), 0u);
}

// Every failed connect keeps the specified text and says why beneath it;
// the window stays (or goes back to) disconnected.
TEST_F(ScriptedServer, FailedConnectsSayWhy) {
    uint16_t deadPort = 0;
    {
        FakeFtpServer gone;
        deadPort = gone.port();
    }
    struct TCase {
        const char* Name;
        std::function<void(TSettings&)> Change;
        std::function<void(FakeFtpServer&)> Script;
        const char* Reason;
        size_t Connections;
    } const cases[] = {
        {"port of letters", [](TSettings& S) { S.Port = "ftp"; }, nullptr,
         "The port must be a number from 1 to 65535.", 0},
        {"port out of range", [](TSettings& S) { S.Port = "67657"; }, nullptr,
         "The port must be a number from 1 to 65535.", 0},
        {"refused", [&](TSettings& S) { S.Port = std::to_string(deadPort); }, nullptr,
         "Connection refused. (Socket Error # 10061)", 0},
        {"host not found", [](TSettings& S) { S.Host = "no-such-host.invalid"; }, nullptr,
         "Host not found. (Socket Error # 11001)", 0},
        {"wrong password", nullptr,
         [](FakeFtpServer& F) { F.setResponse("PASS", "530 Login incorrect.\r\n"); },
         "530 Login incorrect.", 1},
        {"anonymous refused", [](TSettings& S) { S.User = "anonymous", S.Password.clear(); },
         [](FakeFtpServer& F) { F.setResponse("PASS", "530 This FTP server is private.\r\n"); },
         "530 This FTP server is private.", 2},
    };
    for (const TCase& c : cases) {
        TSettings s = Good();
        if (c.Change) {
            c.Change(s);
        }
        if (c.Script) {
            c.Script(Fake);
        }
        Answers.Messages.clear();
        // As the settings file says, whatever the dialog would let through.
        Connect(s, false);
        ASSERT_EQ(Answers.Messages.size(), 1u) << c.Name;
        EXPECT_EQ(Answers.Messages[0].Caption, QStringLiteral("Error!"));
        EXPECT_EQ(Answers.Messages[0].Text.toStdString(),
                  std::string("The connection failed!\n") + c.Reason)
            << c.Name;
        EXPECT_TRUE(DisconnectedLayout()) << c.Name;
        EXPECT_EQ(Fake.connections(), c.Connections) << c.Name;
    }
    // An empty password for the anonymous user goes out as anonymous@.
    EXPECT_EQ(Commands().back(), "PASS anonymous@");
}

// A server without TLS: "if available" signs in plain, unless a certificate
// was once trusted for it (a refused AUTH is then someone in between);
// "plain only" never asks.
TEST_F(ScriptedServer, RefusedAuthFallsBackOnlyWhereNoCertificateIsTrusted) {
    const struct {
        const char* Encryption;
        bool Remembered;
        bool AuthSent;
        bool SignedIn;
    } cases[] = {
        {"", false, true, true},
        {"None", true, false, true},
        {"", true, true, false},
        {"ExplicitRequired", false, true, false},
    };
    for (const auto& c : cases) {
        FakeFtpServer server;
        server.setListing("");
        TSettings s = Good();
        s.Port = std::to_string(server.port());
        s.Encryption = c.Encryption;
        std::string text = SettingsText(s);
        if (c.Remembered) {
            text += "[Certificates]\n127.0.0.1:" + s.Port + "=AB:CD\n";
        }
        SCOPED_TRACE(c.Encryption + std::to_string(c.Remembered));
        Answers.Messages.clear();
        ConnectWith(text);
        const auto sent = server.commands();
        EXPECT_EQ(std::count(sent.begin(), sent.end(), "AUTH TLS") > 0, c.AuthSent);
        EXPECT_EQ(std::count(sent.begin(), sent.end(), "USER user") > 0, c.SignedIn);
        EXPECT_EQ(ConnectedLayout(), c.SignedIn);
        EXPECT_EQ(Answers.Messages.size(), c.SignedIn ? 0u : 1u);
        EXPECT_TRUE(Answers.Certificates.empty());
        Window->btnDisconnectClick();
    }
}

// A server that accepts and then says nothing is given up after the
// connect's limit, whichever part of the connect it stops in.
TEST_F(ScriptedServer, ConnectToASilentServerEndsAtItsLimit) {
    struct TCase {
        const char* Name;
        std::function<void(FakeFtpServer&)> Silence;
    } const cases[] = {
        {"no greeting", [](FakeFtpServer& F) { F.withholdGreeting(); }},
        {"no answer to PASS", [](FakeFtpServer& F) { F.setResponse("PASS", FtpScript{}); }},
        {"no handshake after AUTH",
         [](FakeFtpServer& F) {
             F.setResponse("AUTH",
                           FtpScript{act::Reply("234 Go ahead."), act::Delay(Millis(3000))});
         }},
        {"first listing never ends",
         [](FakeFtpServer& F) {
             F.setResponse("LIST", FtpScript{act::Reply("150 Here it comes."), act::OpenData()});
         }},
    };
    for (const TCase& c : cases) {
        FakeFtpServer silent;
        c.Silence(silent);
        Window->ConnectLimit = 300;
        Answers.Messages.clear();
        TSettings s = Good();
        s.Port = std::to_string(silent.port());
        Connect(s);
        ASSERT_EQ(Answers.Messages.size(), 1u) << c.Name;
        EXPECT_EQ(Answers.Messages[0].Text.toStdString(),
                  "The connection failed!\nConnect timed out.")
            << c.Name;
        EXPECT_TRUE(DisconnectedLayout()) << c.Name;
        EXPECT_FALSE(Window->sckFTP->IsConnected()) << c.Name;
        EXPECT_TRUE(silent.waitForSessionsEnded(1)) << c.Name;
        EXPECT_EQ(Window->sckFTP->ReadTimeout, 0) << c.Name;
    }
}

TEST_F(ScriptedServer, AsciiModeIsAnnouncedAtTheNextLogin) {
    Fake.setListing("");
    Connect(Good());
    ASSERT_TRUE(ConnectedLayout());
    const QString captions[] = {QStringLiteral("Change &mode to binary!"),
                                QStringLiteral("Change &mode to ASCII!"),
                                QStringLiteral("Change &mode to binary!")};
    for (const QString& c : captions) {
        Window->btnChangeModeClick();
        EXPECT_EQ(Window->btnChangeMode.text(), c);
    }
    Window->btnDisconnectClick();
    EXPECT_EQ(Window->btnChangeMode.text(), captions[2]);
    ASSERT_TRUE(Fake.waitForSessionsEnded(1));
    Connect(Good());
    const auto c = Commands();
    EXPECT_EQ(std::count(c.begin(), c.end(), "TYPE A"), 3); // two switches and the new login
    EXPECT_EQ(c.back().rfind("PWD", 0), 0u);
    EXPECT_EQ(std::find(c.rbegin(), c.rend(), "TYPE A") - c.rbegin(),
              std::find(c.rbegin(), c.rend(), "SYST") - c.rbegin() + 1);
}

TEST_F(ScriptedServer, ClosingTheWindowWhileConnectedSendsQuit) {
    Fake.setListing("");
    Connect(Good());
    ASSERT_TRUE(ConnectedLayout());
    Window->show();
    Window->close();
    ASSERT_TRUE(Fake.waitForSessionsEnded(1));
    EXPECT_EQ(Commands().back(), "QUIT");
}

// A transfer that fails names its file and the reason once the batch is
// over; a lost connection puts the window in its disconnected layout with
// the connection message at once. No failed download leaves an empty file it
// created, and a refused one leaves an existing file as it was.
TEST_F(ScriptedServer, FailedTransfersSayWhy) {
    struct TCase {
        const char* Name;
        const char* Row;
        bool Upload;
        std::function<void(TSessionFixture&, FakeFtpServer&)> Spoil;
        std::string Text; // the whole message, or its start when it ends in ": "
        bool Lost;
    } const cases[] = {
        {"download refused", "old.bin", false,
         [](TSessionFixture&, FakeFtpServer& F) {
             F.enqueue("RETR", FtpScript{act::OpenData(), act::Reply("550 Permission denied.")});
         },
         "Some files could not be downloaded:\n\"old.bin\": 550 Permission denied.", false},
        {"upload refused", "up.bin", true,
         [](TSessionFixture&, FakeFtpServer& F) {
             F.enqueue("STOR",
                       FtpScript{act::OpenData(), act::Reply("553 Could not create file.")});
         },
         "Some files could not be uploaded:\n\"up.bin\": 553 Could not create file.", false},
        {"local folder gone", "new.bin", false,
         [](TSessionFixture& T, FakeFtpServer&) { fs::remove_all(T.Local.path()); },
         "Some files could not be downloaded:\n\"new.bin\": ", false},
        // Gone again after the silent reconnect: now the user hears of it.
        {"server gone before the data", "new.bin", false,
         [](TSessionFixture&, FakeFtpServer& F) {
             F.enqueue("RETR", FtpScript{act::CloseControl()});
             F.enqueue("RETR", FtpScript{act::CloseControl()});
         },
         "The connection failed!\n", true},
        {"server gone in the middle", "new.bin", false,
         [](TSessionFixture&, FakeFtpServer& F) {
             F.enqueue("RETR", FtpScript{act::Reply("150 Here it comes."), act::OpenData(),
                                         act::SendData(100), act::CloseControl(true)});
         },
         "The connection failed!\n", true},
    };
    for (const TCase& c : cases) {
        fs::create_directories(Local.path());
        Local.write("old.bin", "old contents");
        Local.write("up.bin", "upload me");
        fs::remove(Local / "new.bin");
        Fake.setListing("-rw-r--r-- 1 u g 5000 Jan 01 2020 old.bin\r\n"
                        "-rw-r--r-- 1 u g 5000 Jan 01 2020 new.bin\r\n");
        Fake.setFile("old.bin", std::string(5000, 'n'));
        Fake.setFile("new.bin", std::string(5000, 'n'));
        if (Window->btnDisconnect.isEnabled()) {
            Window->btnDisconnectClick();
        }
        Connect(Good());
        ASSERT_TRUE(ConnectedLayout()) << c.Name;
        TFileListView& list = c.Upload ? Window->lvLocalFiles : Window->lvRemoteFiles;
        Select(list, {QString::fromUtf8(c.Row)});
        c.Spoil(*this, Fake);
        Answers.Messages.clear();
        c.Upload ? Window->btnLocalUploadClick() : Window->btnRemoteDownloadClick();

        ASSERT_EQ(Answers.Messages.size(), 1u) << c.Name;
        const std::string text = Answers.Messages[0].Text.toStdString();
        if (c.Text.size() >= 2 && c.Text.substr(c.Text.size() - 2) == ": ") {
            EXPECT_EQ(text.rfind(c.Text, 0), 0u) << c.Name << ": " << text;
            EXPECT_GT(text.size(), c.Text.size()) << c.Name << ": the reason is missing";
        } else if (c.Text.back() == '\n') {
            EXPECT_EQ(text.rfind(c.Text, 0), 0u) << c.Name << ": " << text;
            EXPECT_GT(text.size(), c.Text.size()) << c.Name << ": the reason is missing";
        } else {
            EXPECT_EQ(text, c.Text) << c.Name;
        }
        EXPECT_EQ(c.Lost ? DisconnectedLayout() : ConnectedLayout(), true) << c.Name;
        EXPECT_FALSE(Window->Busy) << c.Name;
        EXPECT_TRUE(Window->lblTransfer.text().isEmpty()) << c.Name;
        if (fs::exists(Local.path())) {
            EXPECT_EQ(Local.read("old.bin"), "old contents") << c.Name;
            EXPECT_TRUE(!fs::exists(Local / "new.bin") || fs::file_size(Local / "new.bin") > 0)
                << c.Name;
        }
    }
}

// Four label changes per small file must not mean four paints per file:
// painting waits for its interval and then shows the texts of that moment.
TEST_F(ScriptedServer, ABatchOfSmallFilesIsNotPaintedPerFile) {
    std::string listing;
    std::vector<QString> names;
    for (int i = 0; i < 20; ++i) {
        const std::string name = "small" + std::to_string(i) + ".bin";
        listing += "-rw-r--r-- 1 u g 100 Jan 01 2020 " + name + "\r\n";
        Fake.setFile(name, std::string(100, 's'));
        names.push_back(QString::fromStdString(name));
    }
    Fake.setListing(listing);
    Connect(Good());
    ASSERT_TRUE(ConnectedLayout());
    Window->show();
    QCoreApplication::processEvents();
    Window->PaintInterval = 3600 * 1000;
    Window->update();
    QCoreApplication::processEvents(); // the last paint before the long interval

    struct TPaintCounter : QObject {
        int Paints = 0;
        bool eventFilter(QObject*, QEvent* AEvent) override {
            Paints += AEvent->type() == QEvent::Paint;
            return false;
        }
    } counter;
    Window->lblTransfer.installEventFilter(&counter);
    Window->lblProgress.installEventFilter(&counter);
    Select(Window->lvRemoteFiles, names);
    Window->btnRemoteDownloadClick();
    EXPECT_EQ(Local.read("small19.bin"), std::string(100, 's'));
    EXPECT_EQ(counter.Paints, 0);
    Window->lblTransfer.removeEventFilter(&counter);
    Window->lblProgress.removeEventFilter(&counter);
}

TEST_F(ScriptedServer, HostileNamesCannotWriteOutsideTheLocalFolder) {
    const std::string listing = "-rw-r--r-- 1 u g 5 Jan 01 2020 ../escaped\r\n"
                                "-rw-r--r-- 1 u g 5 Jan 01 2020 ..\\escaped2\r\n"
                                "-rw-r--r-- 1 u g 5 Jan 01 2020 fine.txt\r\n";
    Fake.setListing(listing);
    Fake.setFile("../escaped", "EVIL!");
    Fake.setFile("..\\escaped2", "EVIL!");
    Fake.setFile("fine.txt", "good!");
    TempDir outer{"quorvan-outer"};
    const fs::path inner = outer.makeDir("inner");
    TSettings s = Good();
    s.LocalDir = inner.string() + "/";
    Connect(s);
    for (int i = 0; i < Window->lvRemoteFiles.topLevelItemCount(); ++i) {
        Window->lvRemoteFiles.topLevelItem(i)->setSelected(
            !IsRemoteParentRow(TFileListView::RowCaption(*Window->lvRemoteFiles.topLevelItem(i))));
    }
    ASSERT_EQ(Window->lvRemoteFiles.SelectedCount(), 3);
    Window->btnRemoteDownloadClick();
    EXPECT_FALSE(fs::exists(outer.path() / "escaped"));
    EXPECT_FALSE(fs::exists(inner / "..\\escaped2"));
    EXPECT_EQ(ReadFile(inner / "fine.txt"), "good!");
    EXPECT_EQ(CountOf("RETR"), 1u);
}

TEST_F(ScriptedServer, DisconnectDuringAMultiFileDownloadAbortsQuitsAndDoesNotRefresh) {
    Fake.setListing("-rw-r--r-- 1 u g 100000000 Jan 01 2020 big1\r\n"
                    "-rw-r--r-- 1 u g 100000000 Jan 01 2020 big2\r\n");
    Fake.setFile("big1", Payload::Pattern(100000000));
    Fake.setFile("big2", Payload::Pattern(100000000));
    Connect(Good());
    ASSERT_TRUE(ConnectedLayout());
    Select(Window->lvRemoteFiles, {QStringLiteral("big1"), QStringLiteral("big2")});
    const size_t listsBefore = CountOf("LIST");

    // The user presses Disconnect once bytes are flowing.
    bool pressed = false;
    Window->sckFTP->OnWork = [&, work = Window->sckFTP->OnWork](TIdComponent* S, TWorkMode M,
                                                                int64_t N) {
        work(S, M, N);
        if (!pressed && N > 100000) {
            pressed = true;
            QTimer::singleShot(0, &Window->btnDisconnect,
                               [this] { Window->btnDisconnect.click(); });
        }
    };
    Window->btnRemoteDownloadClick();

    EXPECT_TRUE(pressed);
    ASSERT_TRUE(Fake.waitForSessionsEnded(1));
    const auto c = Commands();
    ASSERT_GE(c.size(), 2u);
    EXPECT_EQ(c.back(), "QUIT");
    EXPECT_NE(std::find(c.begin(), c.end(), "ABOR"), c.end());
    EXPECT_EQ(CountOf("RETR"), 1u);
    EXPECT_EQ(CountOf("LIST"), listsBefore);
    EXPECT_TRUE(DisconnectedLayout());
    EXPECT_FALSE(Window->Busy);
    EXPECT_FALSE(Window->CancelRequested);
    EXPECT_FALSE(Window->sckFTP->IsConnected());
}

// Disconnect or closing the window while a listing waits: the connection
// under the waiting call is closed, not freed, and the interrupted refresh
// leaves the emptied panes alone.
TEST_F(ScriptedServer, InterruptingAWaitingRefreshIsSafe) {
    struct TCase {
        const char* Name;
        bool CloseWindow;
    } const cases[] = {{"disconnect", false}, {"close window", true}};
    for (const TCase& k : cases) {
        Fake.setListing("-rw-r--r-- 1 u g 5 Jan 01 2020 a\r\n");
        Connect(Good());
        ASSERT_TRUE(ConnectedLayout()) << k.Name;
        Window->show();
        // The next listing never comes.
        Fake.enqueue("LIST", FtpScript{act::Reply("150 Here it comes."), act::OpenData()});
        const size_t ended = Fake.sessionsEnded();
        QTimer::singleShot(200, Window.get(), [&] {
            k.CloseWindow ? static_cast<void>(Window->close()) : Window->btnDisconnect.click();
        });
        // A user's click on Refresh while the first one waits is ignored.
        QTimer::singleShot(100, Window.get(), [&] { Window->btnRemoteRefresh.click(); });
        Window->btnRemoteRefreshClick();
        EXPECT_TRUE(DisconnectedLayout()) << k.Name;
        EXPECT_FALSE(Window->sckFTP->IsConnected()) << k.Name;
        ASSERT_TRUE(Fake.waitForSessionsEnded(ended + 1)) << k.Name;
        EXPECT_EQ(Commands().back(), "QUIT") << k.Name;
        EXPECT_EQ(CountOf("LIST"), 2u * (&k - cases) + 2) << k.Name;
    }
}

// The rows of a long listing go in while the window answers: Disconnect or
// closing the window right after they went in empties both panes for good,
// and a second Refresh meanwhile is ignored.
TEST_F(ScriptedServer, InterruptingARefreshWhileItsRowsGoInIsSafe) {
    std::string listing;
    for (int i = 0; i < 3000; ++i) {
        listing += (i % 10 == 0 ? "drwxr-xr-x" : "-rw-r--r--") + std::string(" 1 u g ") +
                   std::to_string(i) + " Jan 01 2020 n" + std::to_string(i) + "\r\n";
    }
    Fake.setListing(listing);
    struct TCase {
        const char* Name;
        std::function<void(TfrmMain&)> Meanwhile;
        bool Connected;
    } const cases[] = {
        {"disconnect", [](TfrmMain& W) { W.btnDisconnect.click(); }, false},
        {"refresh again", [](TfrmMain& W) { W.btnRemoteRefresh.click(); }, true},
        // Last: a closed window stays closed.
        {"close window", [](TfrmMain& W) { W.close(); }, false},
    };
    for (const TCase& k : cases) {
        Connect(Good());
        ASSERT_TRUE(ConnectedLayout()) << k.Name;
        Window->show();
        const size_t lists = CountOf("LIST");
        bool acted = false;
        const QMetaObject::Connection hook = QObject::connect(
            Window->lvRemoteFiles.model(), &QAbstractItemModel::rowsInserted, Window.get(),
            [&](const QModelIndex&, int AFirst, int ALast) {
                // The parent entry goes in alone, before the listing is asked for.
                if (ALast > AFirst && !acted) {
                    acted = true;
                    QTimer::singleShot(0, Window.get(), [&] { k.Meanwhile(*Window); });
                }
            });
        Window->btnRemoteRefreshClick();
        QObject::disconnect(hook);
        EXPECT_TRUE(acted) << k.Name;
        EXPECT_EQ(CountOf("LIST"), lists + 1) << k.Name;
        if (k.Connected) {
            EXPECT_TRUE(ConnectedLayout()) << k.Name;
            EXPECT_EQ(Window->lvRemoteFiles.topLevelItemCount(), 3001) << k.Name;
        } else {
            EXPECT_TRUE(DisconnectedLayout()) << k.Name;
            EXPECT_FALSE(Window->sckFTP->IsConnected()) << k.Name;
        }
        Window->btnDisconnect.click();
    }
}

TEST_F(ScriptedServer, LocalPaneDeleteBrowseAndEnter) {
    Fake.setListing("");
    Local.write("x.txt", "1");
    Local.write("y.txt", "2");
    Local.write("full/inside.txt", "3");
    Local.makeDir("empty");
    Connect(Good());
    ASSERT_TRUE(ConnectedLayout());

    Select(Window->lvLocalFiles, {QStringLiteral("x.txt"), QStringLiteral("y.txt"),
                                  QStringLiteral("<\\> full"), QStringLiteral("<\\> empty")});
    Answers.MessageAnswer = TMsgResult::mrYes;
    Window->lvLocalFilesKeyDown(VK_DELETE);
    ASSERT_EQ(Answers.Messages.size(), 1u);
    // The folders go with what they hold.
    EXPECT_EQ(Answers.Messages[0].Text,
              QStringLiteral("Do you want to delete 4 local file(s)?\nThe folders \"empty\", "
                             "\"full\" hold 1 file (1 B) and 0 subfolders; all of it is deleted."));
    EXPECT_FALSE(fs::exists(Local / "x.txt"));
    EXPECT_FALSE(fs::exists(Local / "y.txt"));
    EXPECT_FALSE(fs::exists(Local / "empty"));
    EXPECT_FALSE(fs::exists(Local / "full"));
    EXPECT_TRUE(Captions(Window->lvLocalFiles).empty());

    Local.write("full/inside.txt", "3");
    Window->btnLocalRefreshClick();

    Select(Window->lvLocalFiles, {QStringLiteral("<\\> full")});
    Window->lvLocalFilesKeyDown(VK_RETURN);
    EXPECT_EQ(Window->CurrentLocalDir.toStdString(), LocalDir() + "full/");
    EXPECT_EQ(Captions(Window->lvLocalFiles),
              std::vector<QString>{FileRowCaption(QStringLiteral("inside.txt"))});

    Answers.FolderConfirmed = true;
    Answers.FolderChosen = QString::fromStdString(Local.path().string());
    Window->btnLocalBrowseClick();
    ASSERT_EQ(Answers.FolderTitles.size(), 1u);
    EXPECT_EQ(Answers.FolderTitles[0], QStringLiteral("Choose directory:"));
    EXPECT_EQ(Answers.FolderPreselected[0].toStdString(), LocalDir() + "full/");
    EXPECT_EQ(Window->CurrentLocalDir.toStdString(), LocalDir());
    EXPECT_TRUE(ConnectedLayout());
}

TEST(LocalFileSize, ComesFromStatAndTheFolderIsListedWithoutOpeningAnEntry) {
    TempDir dir;
    dir.write("five", "12345");
    dir.write("locked", "123");
    fs::permissions(dir / "locked", fs::perms::none);
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    const struct {
        fs::path Path;
        int64_t Size;
    } cases[] = {{dir / "five", 5},
                 {dir / "locked", 3},
                 {dir / "missing", 0},
                 {dir / "dangling", 0},
                 {dir / "pipe", 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(TfrmMain::GetLocalFileSize(QString::fromStdString(c.Path.string())), c.Size)
            << c.Path;
    }
    // Any open of an entry shows up as an event carrying the entry's name.
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, dir.path().c_str(), IN_OPEN), 0);
    TfrmMain w;
    w.FillLocalList(QString::fromStdString(dir.path().string()));
    EXPECT_EQ(w.lvLocalFiles.topLevelItemCount(), 4);
    alignas(inotify_event) char events[4096];
    const ssize_t n = ::read(watch, events, sizeof events);
    for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(events + at);
        EXPECT_EQ(e->len, 0u) << "opened " << e->name;
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
    ::close(watch);
}

} // namespace
