// Whole trees with the tree walker: up, down and deleted against vsftpd and
// pyftpdlib (plain and TLS, passive and active), compared file by file; and a
// scripted server that lists hostile names, a directory that lists itself and
// a link.

#include "IdFTPTree.h"
#include "FtpClientTest.h"
#include "IdGlobal.h"
#include "PyftpdlibServer.h"
#include "RealFtpServer.h"
#include "TempDir.h"
#include "VsftpdServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>

namespace fs = std::filesystem;
using qtest::FtpServerKind;
using qtest::FtpTls;

namespace {

// Every file's bytes and every directory, by path below ARoot.
std::pair<std::map<std::string, std::string>, std::set<std::string>>
Contents(const fs::path& ARoot) {
    std::map<std::string, std::string> files;
    std::set<std::string> dirs;
    for (const auto& entry : fs::recursive_directory_iterator(ARoot)) {
        const std::string rel = fs::relative(entry.path(), ARoot).string();
        if (entry.is_directory()) {
            dirs.insert(rel);
        } else {
            files[rel] = qtest::ReadFile(entry.path());
        }
    }
    return {files, dirs};
}

// Three levels, empty directories, blanks, UTF-8, a leading dash, '%', and
// many small files.
void MakeTree(const qtest::TempDir& ADir, const fs::path& ARoot) {
    ADir.write(ARoot / "top.txt", "top");
    ADir.write(ARoot / "name with  blanks" / "räksmörgås ✓.txt", qtest::RandomBytes(7000, 1));
    ADir.write(ARoot / "name with  blanks" / "-dash" / "100% done", "percent");
    ADir.write(ARoot / "name with  blanks" / "-dash" / "empty.bin", "");
    ADir.makeDir(ARoot / "empty");
    ADir.makeDir(ARoot / "name with  blanks" / "-dash" / "empty too");
    for (int i = 0; i < 200; ++i) {
        ADir.write(ARoot / "many" / ("f" + std::to_string(i)), qtest::RandomBytes(i * 13, i));
    }
}

struct TreeCase {
    const char* name;
    FtpServerKind kind;
    bool passive;
    FtpTls tls;
};

class FtpTreeTest : public ::testing::TestWithParam<TreeCase> {};

TEST_P(FtpTreeTest, UpDownAndDeletedFileByFile) {
    const TreeCase& c = GetParam();
    const std::string why =
        (c.tls != FtpTls::Off ? qtest::TestCertificates::Unavailable() : std::string()) +
        (c.kind == FtpServerKind::Vsftpd ? qtest::VsftpdServer::Unavailable()
                                         : qtest::PyftpdlibServer::Unavailable());
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    auto server = c.tls == FtpTls::Off ? qtest::StartFtpServer(c.kind)
                                       : qtest::StartFtpServer(c.kind, c.tls, true);
    TIdFTP ftp;
    ftp.SetHost(server->host());
    ftp.SetPort(server->port());
    ftp.Username = server->user();
    ftp.Password = server->password();
    ftp.Passive = c.passive;
    ftp.ReadTimeout = 20000;
    if (c.tls != FtpTls::Off) {
        ftp.TlsSettings.Mode = TIdFtpTlsMode::tmExplicitRequired;
        ftp.TlsSettings.CAFile = qtest::TestCertificates::Get().caFile.string();
    }
    ftp.OpenSession();
    ftp.ChangeDirectory(server->remoteWorkDir());
    qtest::TempDir local;
    MakeTree(local, "src");

    TIdFTPTreeWalker walker(ftp);
    int64_t lastDone = -1;
    walker.OnProgress = [&](const TIdTreeProgress& p) { lastDone = p.BytesDone; };
    const TIdTree up = walker.ScanLocal((local / "src").string());
    EXPECT_EQ(up.FileCount, 204);
    walker.Upload(up, "copy");
    EXPECT_EQ(walker.Issues().size(), 0u) << walker.Issues().front().Reason << "\n"
                                          << server->log();
    EXPECT_EQ(lastDone, up.Bytes);
    EXPECT_EQ(Contents(server->workDir() / "copy"), Contents(local / "src")) << server->log();

    // The walk returns to where it began.
    EXPECT_EQ(ftp.QueryCurrentDir(), server->remoteWorkDir());
    const TIdTree down = walker.ScanRemote("copy");
    EXPECT_EQ(down.FileCount, up.FileCount);
    EXPECT_EQ(down.Bytes, up.Bytes);
    walker.Download(down, (local / "back").string());
    EXPECT_FALSE(walker.HasFailures());
    const auto source = Contents(local / "src");
    EXPECT_EQ(Contents(local / "back"), source);

    // A link inside goes as the link; the folder it leads to stays whole.
    fs::create_directory_symlink(local / "src", local / "back" / "name with  blanks" / "to src");
    walker.DeleteLocal(walker.ScanLocal((local / "back").string()));
    EXPECT_FALSE(walker.HasFailures()) << walker.Issues().front().Reason;
    EXPECT_FALSE(fs::exists(local / "back"));
    // A root named through a link: only the link goes.
    fs::create_directory_symlink(local / "src", local / "via");
    walker.DeleteLocal(walker.ScanLocal((local / "via").string()));
    EXPECT_FALSE(fs::exists(fs::symlink_status(local / "via")));
    EXPECT_EQ(Contents(local / "src"), source);

    walker.DeleteRemote(walker.ScanRemote("copy"));
    EXPECT_FALSE(walker.HasFailures()) << server->log();
    EXPECT_FALSE(fs::exists(server->workDir() / "copy"));
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    ftp.EndSession();
}

constexpr auto kVsftpd = FtpServerKind::Vsftpd, kPyftpdlib = FtpServerKind::Pyftpdlib;
const TreeCase kTreeCases[] = {
    {"VsftpdPassive", kVsftpd, true, FtpTls::Off},
    {"VsftpdActive", kVsftpd, false, FtpTls::Off},
    {"PyftpdlibPassive", kPyftpdlib, true, FtpTls::Off},
    {"PyftpdlibActive", kPyftpdlib, false, FtpTls::Off},
    {"VsftpdTlsPassive", kVsftpd, true, FtpTls::Explicit},
    {"PyftpdlibTlsActive", kPyftpdlib, false, FtpTls::Explicit},
};
INSTANTIATE_TEST_SUITE_P(Servers, FtpTreeTest, ::testing::ValuesIn(kTreeCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A link to its own directory: vsftpd lists it as a link, pyftpdlib's MLSD
// follows it. Either way the walk ends and says why.
TEST(FtpTreeLinks, ALinkLoopEndsTheWalk) {
    for (const FtpServerKind kind : {kVsftpd, kPyftpdlib}) {
        const std::string why = kind == kVsftpd ? qtest::VsftpdServer::Unavailable()
                                                : qtest::PyftpdlibServer::Unavailable();
        if (!why.empty()) {
            continue;
        }
        auto server = qtest::StartFtpServer(kind);
        server->writeFile("loopy/f", "f");
        fs::create_directory_symlink(".", server->workDir() / "loopy" / "loop");
        TIdFTP ftp;
        ftp.SetHost(server->host());
        ftp.SetPort(server->port());
        ftp.Username = server->user();
        ftp.Password = server->password();
        ftp.Passive = true;
        ftp.OpenSession();
        ftp.ChangeDirectory(server->remoteWorkDir());
        TIdFTPTreeWalker walker(ftp);
        const TIdTree tree = walker.ScanRemote("loopy");
        EXPECT_LE(tree.Dirs.size(), 2u) << qtest::ToString(kind);
        ASSERT_EQ(walker.Issues().size() + tree.Dirs.front().Links.size(), 1u);
        qtest::TempDir local;
        walker.Download(tree, (local / "copy").string());
        EXPECT_EQ(qtest::ReadFile(local / "copy" / "f"), "f");
        EXPECT_FALSE(walker.HasFailures());
        ftp.EndSession();
    }
}

class FtpTreeHostileTest : public qtest::FtpClientTest {};

// Hostile names and a directory that lists itself: nothing lands outside
// the copy, the walk ends, and each skip says why.
TEST_F(FtpTreeHostileTest, HostileNamesAndASelfListingDirectory) {
    server.setListing("-rw-r--r-- 1 u g 3 Jan 01 2020 ../x\r\n"
                      "-rw-r--r-- 1 u g 3 Jan 01 2020 a/b\r\n"
                      "-rw-r--r-- 1 u g 3 Jan 01 2020 .\r\n"
                      "-rw-r--r-- 1 u g 3 Jan 01 2020 a\\b\r\n"
                      "-rw-r--r-- 1 u g 3 Jan 01 2020 nul" +
                      std::string(1, '\0') + "x\r\n" +
                      "-rw-r--r-- 1 u g 3 Jan 01 2020 good\r\n"
                      "drwxr-xr-x 2 u g 0 Jan 01 2020 self\r\n"
                      "lrwxrwxrwx 1 u g 1 Jan 01 2020 up -> ..\r\n");
    server.setFile("good", "abc");
    qtest::TempDir local;
    TIdFTPTreeWalker walker(ftp);
    std::vector<std::string> reasons;
    walker.OnIssue = [&](const TIdTreeIssue& AIssue) {
        reasons.push_back(EscapeControl(AIssue.Path) + ": " + AIssue.Reason);
    };
    const TIdTree tree = walker.ScanRemote("t");
    // The root and 64 levels of "self" below it, each listing itself again.
    EXPECT_EQ(tree.Dirs.size(), 1u + TIdFTPTreeWalker::MaxDepth);
    walker.Download(tree, (local / "copy").string());
    EXPECT_FALSE(walker.HasFailures()) << reasons.front();
    EXPECT_EQ(qtest::ReadFile(local / "copy" / "good"), "abc");
    EXPECT_EQ(qtest::ReadFile(local / "copy" / "self" / "good"), "abc");
    // Nothing but the copy in the folder it went to.
    EXPECT_EQ(std::distance(fs::directory_iterator(local.path()), fs::directory_iterator()), 1);
    for (const std::string expected :
         {"../x: a name with a path separator", "a/b: a name with a path separator",
          "a\\\\b: a name with a path separator", "nul\\x00x: a name with a NUL byte",
          ".: the name '.' is no entry of the folder", "up: a link; not followed"}) {
        EXPECT_NE(std::find(reasons.begin(), reasons.end(), expected), reasons.end()) << expected;
    }
    EXPECT_TRUE(std::any_of(reasons.begin(), reasons.end(), [](const std::string& r) {
        return r.find("deeper than 64 levels") != std::string::npos;
    }));
}

// Delete: the files, then the directories deepest first, the root last.
TEST_F(FtpTreeHostileTest, DeleteRemovesFilesThenDirectoriesDeepestFirst) {
    auto listing = [](const std::string& ALines) {
        return qtest::FtpScript{qtest::act::Reply("150 Here."), qtest::act::OpenData(),
                                qtest::act::SendData(qtest::Payload::Bytes(ALines)),
                                qtest::act::CloseData(), qtest::act::Reply("226 Done.")};
    };
    server.enqueue("LIST", listing("-rw-r--r-- 1 u g 3 Jan 01 2020 f\r\n"
                                   "drwxr-xr-x 2 u g 0 Jan 01 2020 d\r\n"
                                   "lrwxrwxrwx 1 u g 1 Jan 01 2020 l -> /etc\r\n"));
    server.enqueue("LIST", listing("drwxr-xr-x 2 u g 0 Jan 01 2020 e\r\n"
                                   "-rw-r--r-- 1 u g 3 Jan 01 2020 g\r\n"));
    server.enqueue("LIST", listing(""));
    TIdFTPTreeWalker walker(ftp);
    walker.DeleteRemote(walker.ScanRemote("t"));
    EXPECT_FALSE(walker.HasFailures());
    std::vector<std::string> removals;
    for (const std::string& line : Sent()) {
        if (line.rfind("DELE", 0) == 0 || line.rfind("RMD", 0) == 0) {
            removals.push_back(line);
        }
    }
    EXPECT_EQ(removals, (std::vector<std::string>{"DELE f", "DELE l", "DELE g", "RMD /t/d/e",
                                                  "RMD /t/d", "RMD /t"}));
}

// A cancel is taken between entries: what is done stays, nothing counts as
// failed, and the session goes on.
TEST_F(FtpTreeHostileTest, CancelStopsBetweenFilesAndTheSessionGoesOn) {
    server.setListing("-rw-r--r-- 1 u g 1 Jan 01 2020 a\r\n"
                      "-rw-r--r-- 1 u g 1 Jan 01 2020 b\r\n"
                      "-rw-r--r-- 1 u g 1 Jan 01 2020 c\r\n");
    for (const char* name : {"a", "b", "c"}) {
        server.setFile(name, "x");
    }
    qtest::TempDir local;
    TIdFTPTreeWalker walker(ftp);
    walker.OnCheckCancel = [&] { return walker.Progress().FilesDone >= 1; };
    walker.Download(walker.ScanRemote("t"), (local / "copy").string());
    EXPECT_TRUE(walker.Cancelled());
    EXPECT_TRUE(walker.Issues().empty());
    EXPECT_EQ(std::distance(fs::directory_iterator(local / "copy"), fs::directory_iterator()), 1);
    EXPECT_EQ(ftp.QueryCurrentDir(), "/");
}
// A session lost halfway ends the walk at once with that one failure,
// rather than failing every entry left.
TEST_F(FtpTreeHostileTest, ALostSessionEndsTheWalk) {
    server.setListing("-rw-r--r-- 1 u g 1 Jan 01 2020 a\r\n"
                      "-rw-r--r-- 1 u g 1 Jan 01 2020 b\r\n"
                      "-rw-r--r-- 1 u g 1 Jan 01 2020 c\r\n");
    server.setFile("a", "x");
    server.enqueue("RETR", qtest::act::Download());
    server.enqueue("RETR", {qtest::act::CloseControl()});
    qtest::TempDir local;
    TIdFTPTreeWalker walker(ftp);
    walker.Download(walker.ScanRemote("t"), (local / "copy").string());
    EXPECT_TRUE(walker.Lost());
    ASSERT_EQ(walker.Issues().size(), 1u);
    EXPECT_EQ(walker.Issues().front().Path, "b");
    EXPECT_EQ(qtest::ReadFile(local / "copy" / "a"), "x");
    EXPECT_FALSE(fs::exists(local / "copy" / "b"));
}

} // namespace
