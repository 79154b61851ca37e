// Folders in the window: whole trees down, up and deleted after a question,
// renaming in both panes, the lists' context menu, and stopping a tree.
#include "AppTestSupport.h"
#include "FakeFtpServer.h"
#include "FileRows.h"
#include "IdFTP.h"
#include "Main.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <QMenu>
#include <QShortcut>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sys/stat.h>

namespace fs = std::filesystem;
using namespace qtest;

namespace {

// Every file (with its bytes) and folder ("/") below ARoot.
std::map<std::string, std::string> TreeOf(const fs::path& ARoot) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(ARoot)) {
        const std::string rel = fs::relative(e.path(), ARoot).string();
        out[rel] = e.is_directory() ? "/" : ReadFile(e.path());
    }
    return out;
}

// Runs AAction once from inside the window's waits, as soon as AReady holds.
void WhenReady(QObject* AOwner, std::function<bool()> AReady, std::function<void()> AAction) {
    auto* timer = new QTimer(AOwner);
    timer->setInterval(2);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, AReady, AAction] {
        if (AReady()) {
            timer->stop();
            AAction();
        }
    });
    timer->start();
}

using FolderServer = TRealFixture;

TEST_P(FolderServer, FoldersGoWholeBothWaysAfterTheQuestion) {
    const struct {
        bool Download;
        const char* Folder;
    } cases[] = {{true, "down"}, {false, "up"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Folder);
        const std::string f = c.Folder;
        const std::map<std::string, std::string> files = {
            {f + "/index.html", RandomBytes(3000, 1)},
            {f + "/img/a b.png", RandomBytes(70000, 2)},
            {f + "/img/deep/-x%.txt", "x"}};
        for (const auto& [path, bytes] : files) {
            c.Download ? void(Server->writeFile(path, bytes)) : void(Local.write(path, bytes));
        }
        c.Download ? void(Server->makeDir(f + "/empty")) : void(Local.makeDir(f + "/empty"));
        Connect(Good());
        TFileListView& list = c.Download ? Window->lvRemoteFiles : Window->lvLocalFiles;
        Select(list, {(c.Download ? QStringLiteral("</> ") : QStringLiteral("<\\> ")) +
                      QString::fromStdString(f)});
        QStringList labels, details;
        const auto begin = Window->sckFTP->OnWorkBegin;
        const auto work = Window->sckFTP->OnWork;
        Window->sckFTP->OnWorkBegin = [&](TIdComponent* S, TWorkMode M, int64_t N) {
            begin(S, M, N);
            labels << Window->lblTransfer.text();
        };
        Window->sckFTP->OnWork = [&](TIdComponent* S, TWorkMode M, int64_t N) {
            work(S, M, N);
            details << Window->lblTransferDetails.text();
        };
        Answers.Messages.clear();
        Answers.MessageAnswer = TMsgResult::mrYes;
        c.Download ? Window->btnRemoteDownloadClick() : Window->btnLocalUploadClick();
        Window->sckFTP->OnWorkBegin = begin;
        Window->sckFTP->OnWork = work;

        ASSERT_EQ(Answers.Messages.size(), 1u);
        EXPECT_EQ(Answers.Messages[0].Text, QString(c.Download ? "Download" : "Upload") +
                                                " the folder \"" + c.Folder + "\" with 3 files (" +
                                                FormatSize(73001) + ")?");
        EXPECT_EQ(TreeOf(Local.path() / f), TreeOf(Server->workDir() / f));
        EXPECT_EQ(TreeOf(Local.path() / f).size(), 6u);
        // The labels count the files of the tree and the bytes of all of it.
        EXPECT_TRUE(
            labels.contains(QString(c.Download ? "Downloading" : "Uploading") + " 3 of 3..."))
            << labels.join("|").toStdString();
        ASSERT_FALSE(details.isEmpty());
        EXPECT_TRUE(details.back().contains(" of " + FormatSize(73001)))
            << details.back().toStdString();
        EXPECT_TRUE(ConnectedLayout());
        EXPECT_TRUE(Window->pbTransfer.isHidden());
        Window->btnDisconnectClick();
    }
}

TEST_P(FolderServer, DeletesFoldersWithWhatTheyHoldButNotWhatLinksLeadTo) {
    TempDir outside{"quorvan-outside"};
    outside.write("keep.txt", "k");
    outside.write("b.txt", "o");
    const struct {
        const char* Name;
        bool Remote;
        // Done while the question is open: the entry it leaves cannot go, and
        // neither can the folders above it.
        std::function<void()> Meanwhile;
        const char* Stuck;
        std::string Reason;
    } cases[] = {
        {"remote", true, {}, nullptr, {}},
        {"local", false, {}, nullptr, {}},
        {"local, a file became a folder", false,
         [&] {
             fs::remove(Local / "gone/sub/b.txt");
             Local.write("gone/sub/b.txt/in", "2");
         },
         "gone/sub/b.txt", std::strerror(EISDIR)},
        {"local, a folder became a link", false,
         [&] {
             fs::rename(Local / "gone/sub", Local / "moved");
             fs::create_directory_symlink(outside.path(), Local / "gone/sub");
         },
         "gone/sub", "a link stands there now, which is not followed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const bool remote = c.Remote;
        for (const char* file : {"gone/a.txt", "gone/sub/b.txt"}) {
            remote ? void(Server->writeFile(file, "1")) : void(Local.write(file, "1"));
        }
        remote ? void(Server->makeDir("gone/empty")) : void(Local.makeDir("gone/empty"));
        if (!remote) {
            // Inside the folder, and a row of its own: the links go, not what they lead to.
            fs::create_directory_symlink(outside.path(), Local / "gone/link");
            fs::create_directory_symlink(outside.path(), Local / "outlink");
        }
        Connect(Good());
        TFileListView& list = remote ? Window->lvRemoteFiles : Window->lvLocalFiles;
        Select(list,
               remote ? std::vector{QStringLiteral("</> gone")}
                      : std::vector{QStringLiteral("<\\> gone"), QStringLiteral("<\\> outlink")});
        Answers.Messages.clear();
        Answers.MessageAnswer = TMsgResult::mrYes;
        Answers.WhileAsking = [&] {
            if (c.Meanwhile && Answers.Messages.size() == 1) {
                c.Meanwhile();
            }
        };
        remote ? Window->lvRemoteFilesKeyDown(VK_DELETE) : Window->lvLocalFilesKeyDown(VK_DELETE);
        Answers.WhileAsking = nullptr;

        ASSERT_EQ(Answers.Messages.size(), c.Stuck ? 2u : 1u);
        EXPECT_EQ(Answers.Messages[0].Text.toStdString(),
                  std::string("Do you want to delete ") + (remote ? "1 remote" : "2 local") +
                      " file(s)?\nThe folder \"gone\" holds 2 files (2 B) and 2 subfolders; all "
                      "of it is deleted.");
        if (c.Stuck) {
            EXPECT_EQ(Answers.Messages[1].Text.toStdString(),
                      "Some entries could not be deleted:\n\"" + LocalDir() + c.Stuck +
                          "\": " + c.Reason);
            EXPECT_TRUE(fs::exists(fs::symlink_status(Local / c.Stuck)));
            EXPECT_FALSE(fs::exists(Local / "gone/a.txt"));
            EXPECT_FALSE(fs::exists(fs::symlink_status(Local / "gone/link")));
            fs::remove_all(Local / "gone");
            fs::remove_all(Local / "moved");
        }
        EXPECT_FALSE(remote ? Server->exists("gone") : fs::exists(Local / "gone"));
        EXPECT_FALSE(fs::exists(fs::symlink_status(Local / "outlink")));
        EXPECT_EQ(outside.read("keep.txt"), "k");
        EXPECT_EQ(outside.read("b.txt"), "o");
        EXPECT_TRUE(ConnectedLayout());
        Window->btnDisconnectClick();
    }
}

TEST_P(FolderServer, RenamesInBothPanesAndRefusesATakenOrPathName) {
    Server->writeFile("r.txt", "r");
    Server->writeFile("taken.txt", "t");
    Local.write("l.txt", "l");
    Local.makeDir("ldir");
    Connect(Good());
    const struct {
        bool Remote;
        const char* Row;
        std::optional<QString> Typed; // unset: Cancel
        const char* Gone;
        const char* Present;
        const char* Message;
    } cases[] = {
        {true, "r.txt", QStringLiteral("renamed.txt"), "r.txt", "renamed.txt", nullptr},
        {true, "renamed.txt", QStringLiteral("taken.txt"), nullptr, "renamed.txt",
         "An entry named \"taken.txt\" exists already."},
        {false, "l.txt", QStringLiteral("l2.txt"), "l.txt", "l2.txt", nullptr},
        {false, "<\\> ldir", QStringLiteral("ldir2"), "ldir", "ldir2", nullptr},
        {false, "l2.txt", QStringLiteral("../out.txt"), nullptr, "l2.txt",
         "The name \"../out.txt\" cannot be used."},
        {false, "l2.txt", std::nullopt, nullptr, "l2.txt", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Row);
        TFileListView& list = c.Remote ? Window->lvRemoteFiles : Window->lvLocalFiles;
        Select(list, {QString::fromUtf8(c.Row)});
        Answers.Messages.clear();
        Answers.InputAnswer = c.Typed;
        c.Remote ? Window->lvRemoteFilesKeyDown(VK_F2) : Window->lvLocalFilesKeyDown(VK_F2);
        EXPECT_EQ(Answers.InputCaptions.back(), QStringLiteral("Rename..."));
        const auto exists = [&](const char* AName) {
            return c.Remote ? Server->exists(AName) : fs::exists(Local / AName);
        };
        if (c.Gone) {
            EXPECT_FALSE(exists(c.Gone));
        }
        EXPECT_TRUE(exists(c.Present));
        ASSERT_EQ(Answers.Messages.size(), c.Message ? 1u : 0u);
        if (c.Message) {
            EXPECT_EQ(Answers.Messages[0].Text.toStdString(), c.Message);
        }
        EXPECT_TRUE(ConnectedLayout());
    }
    EXPECT_NE(RowWithCaption(Window->lvLocalFiles, QStringLiteral("<\\> ldir2")), nullptr);
}

// Disconnect ends the session wherever the tree is; Escape stops the tree
// and keeps the session, which lists again at once.
TEST_P(FolderServer, StopsWhileCountingAndDuringATree) {
    for (int i = 0; i < 40; ++i) {
        Server->writeFile("many/d" + std::to_string(i) + "/f.bin", RandomBytes(100000, i));
    }
    const struct {
        const char* Name;
        const char* Label; // the moment to act
        bool Escape;
    } cases[] = {
        {"escape while counting", "Counting...", true},
        {"escape during the tree", "Downloading", true},
        {"disconnect while counting", "Counting...", false},
        {"disconnect during the tree", "Downloading", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        fs::remove_all(Local / "many");
        Connect(Good());
        ASSERT_TRUE(ConnectedLayout());
        Select(Window->lvRemoteFiles, {QStringLiteral("</> many")});
        Answers.Messages.clear();
        Answers.MessageAnswer = TMsgResult::mrYes;
        bool acted = false;
        WhenReady(
            Window.get(),
            [&] { return Window->lblTransfer.text().startsWith(QString::fromUtf8(c.Label)); },
            [&] {
                acted = true;
                if (c.Escape) {
                    emit Window->findChild<QShortcut*>()->activated();
                } else {
                    Window->btnDisconnect.click();
                }
            });
        Window->btnRemoteDownloadClick();
        ASSERT_TRUE(acted);
        const bool counting = std::string(c.Label) == "Counting...";
        // Stopped while counting: no question, nothing written.
        EXPECT_EQ(Answers.Messages.size(), counting ? 0u : 1u);
        EXPECT_EQ(fs::exists(Local / "many"), !counting);
        EXPECT_LT(fs::exists(Local / "many") ? TreeOf(Local / "many").size() : 0u, 80u);
        EXPECT_FALSE(Window->Busy);
        if (c.Escape) {
            EXPECT_TRUE(ConnectedLayout());
            EXPECT_TRUE(Window->sckFTP->IsConnected());
            EXPECT_NE(RowWithCaption(Window->lvRemoteFiles, QStringLiteral("</> many")), nullptr);
            Window->btnDisconnectClick();
        } else {
            EXPECT_TRUE(DisconnectedLayout());
            EXPECT_FALSE(Window->sckFTP->IsConnected());
            // And the window connects again.
            Connect(Good());
            EXPECT_TRUE(ConnectedLayout());
            Window->btnDisconnectClick();
        }
    }
}

// What a folder's walk leaves out is said in the window's language.
TEST_P(FolderServer, SkippedEntriesAreNamedInTheWindowsLanguage) {
    Local.write("up/a.txt", "a");
    fs::create_directory_symlink("/tmp", Local.path() / "up" / "ln");
    ASSERT_EQ(::mkfifo((Local.path() / "up" / "pipe").c_str(), 0600), 0);
    SetSwedish(true);
    Connect(Good());
    Select(Window->lvLocalFiles, {QStringLiteral("<\\> up")});
    Answers.Messages.clear();
    Answers.MessageAnswer = TMsgResult::mrYes;
    Window->btnLocalUploadClick();
    ASSERT_FALSE(Answers.Messages.empty());
    const std::string text = Answers.Messages.back().Text.toStdString();
    EXPECT_NE(text.find("/up/ln\": en länk; följs inte"), std::string::npos) << text;
    EXPECT_NE(text.find("/up/pipe\": ingen vanlig fil"), std::string::npos) << text;
    EXPECT_EQ(ReadFile(Server->workDir() / "up" / "a.txt"), "a");
}

INSTANTIATE_TEST_SUITE_P(Servers, FolderServer,
                         ::testing::Values(FtpServerKind::Vsftpd, FtpServerKind::Pyftpdlib),
                         [](const auto& AInfo) { return ToString(AInfo.param); });

using ScriptedFolders = TSessionFixture;

// A name is shown with its control characters visible, and a listed folder
// whose name is a path is never walked, downloaded or deleted.
TEST_F(ScriptedFolders, ControlCharactersShowAndPathNamesAreRefused) {
    FakeFtpServer fake;
    fake.setListing("-rw-r--r-- 1 u g 5 Jan 01 2020 a\x1b[2Jb\tc.txt\r\n"
                    "drwxr-xr-x 1 u g 0 Jan 01 2020 ..\\up\r\n");
    Connect({fake.host(), std::to_string(fake.port()), "user", "pw", "/", LocalDir()});
    ASSERT_TRUE(ConnectedLayout());
    EXPECT_NE(RowWithCaption(Window->lvRemoteFiles, QStringLiteral("a\\x1b[2Jb\\x09c.txt")),
              nullptr);
    for (const bool remove : {false, true}) {
        Select(Window->lvRemoteFiles, {QStringLiteral("</> ..\\\\up")});
        Answers.Messages.clear();
        Answers.MessageAnswer = TMsgResult::mrYes;
        remove ? Window->lvRemoteFilesKeyDown(VK_DELETE) : Window->btnRemoteDownloadClick();
        ASSERT_FALSE(Answers.Messages.empty());
        EXPECT_TRUE(Answers.Messages.back().Text.endsWith(
            QStringLiteral("\"..\\\\up\": The name \"..\\\\up\" cannot be used.")))
            << Answers.Messages.back().Text.toStdString();
    }
    const auto commands = fake.commands();
    EXPECT_EQ(std::count_if(commands.begin(), commands.end(),
                            [](const std::string& L) {
                                return L.rfind("CWD ..", 0) == 0 || L.rfind("RMD", 0) == 0;
                            }),
              0);
    EXPECT_TRUE(fs::is_empty(Local.path()));
}

TEST_F(TAppFixture, ContextMenusOfferTheCommandsInBothLanguages) {
    for (const bool swedish : {false, true}) {
        SetSwedish(swedish);
        TempDir local{"quorvan-menu"};
        TfrmMain w;
        w.SetPaneControlsEnabled(true);
        w.CurrentLocalDir = QString::fromStdString(local.path().string() + "/");
        w.lvRemoteFiles.AddRow(QStringLiteral("<..> .."), QStringLiteral("N/A"), "..");
        const struct {
            TFileListView& List;
            QStringList English, Swedish;
            std::vector<bool> Enabled; // with the parent entry selected
        } menus[] = {
            {w.lvRemoteFiles,
             {"Do&wnload", "&Delete\tDel", "&Rename...\tF2", "", "Create d&irectory...",
              "Re&fresh\tF5"},
             {"Ladda &ner", "&Ta bort\tDel", "&Byt namn...\tF2", "", "&Skapa katalog...",
              "&Uppdatera\tF5"},
             {true, true, false, false, true, true}},
            {w.lvLocalFiles,
             {"&Upload", "&Delete\tDel", "&Rename...\tF2", "", "Create d&irectory...",
              "Re&fresh\tF5"},
             {"&Ladda upp", "&Ta bort\tDel", "&Byt namn...\tF2", "", "&Skapa katalog...",
              "&Uppdatera\tF5"},
             {false, false, false, false, true, true}},
        };
        w.lvRemoteFiles.topLevelItem(0)->setSelected(true);
        for (const auto& m : menus) {
            emit m.List.customContextMenuRequested(QPoint(5, 5));
            QMenu* menu = w.findChild<QMenu*>();
            ASSERT_NE(menu, nullptr);
            const QList<QAction*> actions = menu->actions();
            ASSERT_EQ(actions.size(), 6);
            for (int i = 0; i < 6; ++i) {
                EXPECT_EQ(actions[i]->text(), (swedish ? m.Swedish : m.English)[i]);
                EXPECT_EQ(actions[i]->isEnabled(),
                          m.Enabled[size_t(i)] || actions[i]->isSeparator());
            }
            if (&m.List == &w.lvLocalFiles) {
                // The command runs once the menu has gone.
                Answers.InputAnswer = QStringLiteral("made");
                actions[4]->trigger();
                QCoreApplication::processEvents();
                EXPECT_TRUE(fs::is_directory(local / "made"));
                EXPECT_NE(RowWithCaption(w.lvLocalFiles, QStringLiteral("<\\> made")), nullptr);
            }
            delete menu;
        }
    }
}

} // namespace
