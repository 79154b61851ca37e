// Transfers against real servers: every case in passive and active mode
// against every server of RealFtpServer.h, checking the bytes on both sides
// (a server that cannot do a case skips it, saying why); and one download
// and upload through a SOCKS 5 proxy.

#include "DanteServer.h"
#include "IdException.h"
#include "IdFTP.h"
#include "IdIOHandlerSocket.h"
#include "IdSocks.h"
#include "PyftpdlibServer.h"
#include "RealFtpServer.h"
#include "TempDir.h"
#include "VsftpdServer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <iostream>

#include <memory>
#include <set>
#include <string>
#include <tuple>

using qtest::FtpAbility;
using qtest::FtpServerKind;

namespace {

struct FileCase {
    const char* label;
    std::string name;
    std::string bytes;
};

// Every byte value except the line ends, so an ASCII-mode server has nothing
// to translate and the bytes must arrive exactly.
std::string BytesWithoutLineEnds() {
    std::string s;
    for (int round = 0; round < 40; ++round) {
        for (int b = 0; b < 256; ++b) {
            if (b != '\r' && b != '\n') {
                s += static_cast<char>(b);
            }
        }
    }
    return s;
}

const std::vector<FileCase>& Files() {
    static const std::vector<FileCase> files = {
        {"empty", "empty.bin", ""},
        {"oneByte", "one.bin", "\x7f"},
        {"random1MiB", "random.bin", qtest::RandomBytes(1 << 20, 99)},
        {"spaces", "name with  spaces.bin", "spaced content\r\nline two\n"},
    };
    return files;
}

class FtpRealServerTest
    : public ::testing::TestWithParam<std::tuple<FtpServerKind, bool /*passive*/>> {
protected:
    void SetUp() override {
        const FtpServerKind kind = std::get<0>(GetParam());
        const std::string why = qtest::FtpServerUnavailable(kind);
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        server = qtest::StartFtpServer(kind);
        ftp.SetHost(server->host());
        ftp.SetPort(server->port());
        ftp.Username = server->user();
        ftp.Password = server->password();
        ftp.Passive = std::get<1>(GetParam());
        ftp.OpenSession();
        ftp.ChangeDirectory(server->remoteWorkDir());
    }
    void TearDown() override {
        if (server) {
            EXPECT_EQ(ftp.DataConnection(), nullptr);
            ftp.EndSession();
        }
    }

    bool Lacks(FtpAbility AAbility) {
        lacking = qtest::FtpServerLacks(std::get<0>(GetParam()), AAbility);
        return !lacking.empty();
    }

    std::unique_ptr<qtest::RealFtpServer> server;
    TIdFTP ftp;
    qtest::TempDir local;
    std::string lacking;
};

TEST_P(FtpRealServerTest, DownloadKeepsEveryByte) {
    for (const FileCase& f : Files()) {
        server->writeFile(f.name, f.bytes);
        const auto target = local / f.name;
        ftp.Download(f.name, target.string(), true, false);
        EXPECT_EQ(qtest::ReadFile(target), f.bytes) << f.label << "\n" << server->log();
    }
}

TEST_P(FtpRealServerTest, UploadKeepsEveryByte) {
    for (const FileCase& f : Files()) {
        const auto source = local.write(f.name, f.bytes);
        ftp.Upload(source.string(), f.name);
        EXPECT_EQ(server->readFile(f.name), f.bytes) << f.label << "\n" << server->log();
        EXPECT_EQ(qtest::ReadFile(source), f.bytes) << "the source stays as it was";
    }
}

TEST_P(FtpRealServerTest, AsciiModeAnnouncesTypeAButMovesRawBytes) {
    if (Lacks(FtpAbility::Ascii)) {
        GTEST_SKIP() << lacking;
    }
    ftp.SetTransferType(ftASCII);
    EXPECT_EQ(ftp.LastReply().NumericCode(), 200);
    const std::string bytes = BytesWithoutLineEnds();
    server->writeFile("ascii-down.bin", bytes);
    TIdMemoryStream down;
    ftp.Download("ascii-down.bin", down, false);
    EXPECT_EQ(down.DataString(), bytes);
    TIdMemoryStream up;
    up.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    up.SetPosition(0);
    ftp.Upload(up, "ascii-up.bin", false);
    EXPECT_EQ(server->readFile("ascii-up.bin"), bytes);
}

TEST_P(FtpRealServerTest, AppendAndResume) {
    if (Lacks(FtpAbility::Resume)) {
        GTEST_SKIP() << lacking;
    }
    server->writeFile("grow.bin", "");
    TIdMemoryStream first;
    first.WriteBuffer("abc", 3);
    first.SetPosition(0);
    ftp.Upload(first, "grow.bin", true);
    TIdMemoryStream second;
    second.WriteBuffer("def", 3);
    second.SetPosition(0);
    ftp.Upload(second, "grow.bin", true);
    EXPECT_EQ(server->readFile("grow.bin"), "abcdef");

    const auto part = local.write("grow.bin", "ab");
    ftp.Download("grow.bin", part.string(), false, true);
    EXPECT_TRUE(ftp.RestartAllowed());
    EXPECT_EQ(qtest::ReadFile(part), "abcdef");
}

TEST_P(FtpRealServerTest, DirectoriesAndListing) {
    server->writeFile("listed file.txt", "12345");
    EXPECT_EQ(ftp.RawCommand("SIZE listed file.txt"), 213);
    EXPECT_EQ(ftp.LastReply().Text(), std::vector<std::string>{"5"});
    EXPECT_EQ(ftp.RawCommand("MDTM listed file.txt"), 213);
    EXPECT_EQ(ftp.LastReply().Text().at(0).size(), 14u) << ftp.LastReply().Text().at(0);
    ftp.MakeDirectory("sub dir");
    ftp.ChangeDirectory("sub dir");
    EXPECT_EQ(ftp.QueryCurrentDir(),
              (server->remoteWorkDir() == "/" ? "" : server->remoteWorkDir()) + "/sub dir");
    EXPECT_EQ(ftp.RawCommand("CDUP") / 100, 2);
    EXPECT_EQ(ftp.QueryCurrentDir(), server->remoteWorkDir());
    ftp.ListDirectory(&ftp.ListLines);
    TIdFTPListItems& items = ftp.ListItems();
    bool sawFile = false;
    bool sawDir = false;
    for (int32_t i = 0; i < items.Count(); ++i) {
        const TIdFTPListItem& item = items.ItemAt(i);
        if (item.Name == "listed file.txt") {
            sawFile = item.Kind == likFile && item.FileSize == 5;
        }
        if (item.Name == "sub dir") {
            sawDir = item.Kind == likDirectory;
        }
    }
    EXPECT_TRUE(sawFile);
    EXPECT_TRUE(sawDir);
    ftp.DeleteDirectory("sub dir");
    ftp.DeleteRemoteFile("listed file.txt");
    EXPECT_FALSE(server->exists("listed file.txt"));
    EXPECT_THROW(ftp.DeleteRemoteFile("listed file.txt"), EIdProtocolReplyError);
}

TEST_P(FtpRealServerTest, SpecialEntriesFirstStillListEveryEntry) {
    struct Entry {
        const char* name;
        TIdListItemKind kind;
    };
    // Sorted first, so the listing's layout is judged from them.
    const Entry entries[] = {{"a-setgid", likDirectory},
                             {"b-sticky", likDirectory},
                             {"c-setuid", likFile},
                             {"d-fifo", likFile},
                             {"e-plain.txt", likFile}};
    namespace fs = std::filesystem;
    // Modes after the hand-over: a change of owner clears the set-id bits.
    fs::permissions(server->makeDir("a-setgid"), fs::perms(02755));
    fs::permissions(server->makeDir("b-sticky"), fs::perms(01777));
    fs::permissions(server->writeFile("c-setuid", "x"), fs::perms(04755));
    ASSERT_EQ(::mkfifo((server->workDir() / "d-fifo").c_str(), 0644), 0);
    server->writeFile("e-plain.txt", "12345");

    // The layout of LIST lines is what is judged here (pyftpdlib also sends
    // MLSD entries unsorted, Twisted its LIST lines).
    ftp.UseMLSD = false;
    ftp.ListDirectory(&ftp.ListLines);
    TIdFTPListItems& items = ftp.ListItems();
    std::set<std::string> listed, expected;
    for (int32_t i = 0; i < items.Count(); ++i) {
        listed.insert(items.ItemAt(i).Name + "|" + std::to_string(items.ItemAt(i).Kind));
    }
    for (const Entry& e : entries) {
        expected.insert(std::string(e.name) + "|" + std::to_string(e.kind));
    }
    EXPECT_EQ(listed, expected) << ftp.ListLines.front() << "\n" << server->log();
}

// pyftpdlib lists MLST and UTF8, so its listings come from MLSD; vsftpd
// lists neither, so LIST serves. Either way the entries agree with LIST's.
// (Not for links: pyftpdlib's MLSD follows them and lists the target's type.)
TEST_P(FtpRealServerTest, MlsdListsWhatListLists) {
    const bool mlsd = !Lacks(FtpAbility::Mlsd);
    EXPECT_EQ(ftp.HasFeature("mlst") && ftp.HasFeature("UTF8"), mlsd);
    const bool utf8Names = !Lacks(FtpAbility::Utf8Names);
    if (!utf8Names) {
        std::cout << "[  SKIPPED ] UTF-8 name: " << lacking << std::endl;
    }
    const std::string utf8 = utf8Names ? "gr\xc3\xbc\xc3\x9f"
                                         "e; \xe2\x82\xac  x.txt"
                                       : "plain; name  x.txt";
    server->makeDir("a dir");
    // ls-based servers read a leading dash as an option, printf-style ones a '%'.
    server->writeFile("-dash", "12");
    server->writeFile("100% sure", "123");
    TIdMemoryStream up;
    up.Write("utf-8 named", 11);
    up.SetPosition(0);
    ftp.Upload(up, utf8, false);
    const auto entries = [this](bool AUseMlsd) {
        ftp.UseMLSD = AUseMlsd;
        ftp.ListDirectory(&ftp.ListLines);
        std::set<std::string> seen;
        for (int32_t i = 0; i < ftp.ListItems().Count(); ++i) {
            const TIdFTPListItem& item = ftp.ListItems().ItemAt(i);
            seen.insert(item.Name + "|" + std::to_string(item.Kind) + "|" +
                        (item.Kind == likFile ? std::to_string(item.FileSize) : ""));
        }
        return seen;
    };
    const std::set<std::string> byList = entries(false);
    const std::set<std::string> byMlsd = entries(true);
    EXPECT_EQ(ftp.ListedByMLSD(), mlsd);
    EXPECT_EQ(byMlsd, byList);
    EXPECT_EQ(byMlsd,
              (std::set<std::string>{"a dir|0|", utf8 + "|1|11", "-dash|1|2", "100% sure|1|3"}));
    for (const auto& [name, bytes] : {std::pair<std::string, std::string>{utf8, "utf-8 named"},
                                      {"-dash", "12"},
                                      {"100% sure", "123"}}) {
        TIdMemoryStream down;
        ftp.Download(name, down, false);
        EXPECT_EQ(down.DataString(), bytes) << name;
    }
}

TEST_P(FtpRealServerTest, MissingFileIsRefusedAndTheSessionGoesOn) {
    TIdMemoryStream stream;
    try {
        ftp.Download("no such file", stream, false);
        FAIL();
    } catch (const EIdProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyCode, 550);
    }
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    server->writeFile("after.bin", "still works");
    ftp.Download("after.bin", stream, false);
    EXPECT_EQ(stream.DataString(), "still works");
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpRealServerTest,
                         ::testing::Combine(::testing::ValuesIn(qtest::kAllFtpServers),
                                            ::testing::Bool()),
                         [](const auto& info) {
                             return qtest::ToString(std::get<0>(info.param)) +
                                    (std::get<1>(info.param) ? "_passive" : "_active");
                         });

class FtpRealServerLogin : public ::testing::TestWithParam<FtpServerKind> {};

// The fixtures' passwords hold a blank, ':' and '@'; anonymous sign-in takes
// an address as its password.
TEST_P(FtpRealServerLogin, AnonymousUserAndWrongPassword) {
    const FtpServerKind kind = GetParam();
    if (const std::string why = qtest::FtpServerUnavailable(kind); !why.empty()) {
        GTEST_SKIP() << why;
    }
    qtest::PyftpdlibOptions options;
    options.anonymous = true;
    const auto server = kind == FtpServerKind::Pyftpdlib
                            ? std::make_unique<qtest::PyftpdlibServer>(options)
                            : qtest::StartFtpServer(kind);
    const struct {
        FtpAbility needs;
        std::string user, password;
        int code; // of the sign-in, 0 when it succeeds
    } rows[] = {{FtpAbility::Anonymous, "anonymous", "guest@example.com", 0},
                {FtpAbility::Password, server->user(), server->password(), 0},
                {FtpAbility::Password, server->user(), server->password() + "x", 530}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.user + " " + row.password);
        if (const std::string why = qtest::FtpServerLacks(kind, row.needs); !why.empty()) {
            std::cout << "[  SKIPPED ] sign-in "
                      << (row.needs == FtpAbility::Anonymous ? "anonymous" : "with a password")
                      << ": " << why << std::endl;
            continue;
        }
        TIdFTP ftp;
        ftp.SetHost(server->host());
        ftp.SetPort(server->port());
        ftp.Username = row.user;
        ftp.Password = row.password;
        try {
            ftp.OpenSession();
            EXPECT_EQ(row.code, 0);
            ftp.ListDirectory(nullptr);
            ftp.EndSession();
        } catch (const EIdProtocolReplyError& e) {
            EXPECT_EQ(e.ReplyCode, row.code) << e.what() << server->log();
        }
        EXPECT_FALSE(ftp.IsConnected());
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpRealServerLogin, ::testing::ValuesIn(qtest::kAllFtpServers),
                         [](const auto& info) { return qtest::ToString(info.param); });

// Control and data connection both go through the proxy; the proxy reaches
// the server on loopback.
TEST(FtpThroughSocks, PassiveDownloadAndUpload) {
    for (const std::string& why :
         {qtest::DanteServer::Unavailable(), qtest::PyftpdlibServer::Unavailable()}) {
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
    }
    qtest::DanteServer proxy;
    qtest::PyftpdlibServer server;
    qtest::TempDir local;
    TIdIOHandlerSocket handler;
    handler.SocksInfo()->Version = svSocks5;
    handler.SocksInfo()->Host = proxy.host();
    handler.SocksInfo()->Port = proxy.port();
    TIdFTP ftp;
    ftp.SetIOHandler(&handler);
    ftp.SetHost(server.host());
    ftp.SetPort(server.port());
    ftp.Username = server.user();
    ftp.Password = server.password();
    ftp.Passive = true;
    ftp.OpenSession();
    ASSERT_TRUE(handler.Handle);
    EXPECT_EQ(handler.Handle->RemotePort, proxy.port());

    // Both data connections must reach the proxy too, never the server directly.
    int dataPeersSeen = 0;
    int dataPeersAtProxy = 0;
    ftp.OnWorkBegin = [&](TIdComponent*, TWorkMode, int64_t) {
        TIdTCPConnection* data = ftp.DataConnection();
        ASSERT_NE(data, nullptr);
        ASSERT_NE(data->SocketHandler(), nullptr);
        ++dataPeersSeen;
        dataPeersAtProxy += data->SocketHandler()->Handle->RemotePort == proxy.port();
    };
    const std::string bytes = qtest::RandomBytes(300000, 5);
    server.writeFile("via proxy.bin", bytes);
    TIdMemoryStream down;
    ftp.Download("via proxy.bin", down, false);
    EXPECT_EQ(down.DataString(), bytes) << proxy.log();

    down.SetPosition(0);
    ftp.Upload(down, "back.bin", false);
    EXPECT_EQ(server.readFile("back.bin"), bytes) << proxy.log();
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    EXPECT_EQ(dataPeersSeen, 2);
    EXPECT_EQ(dataPeersAtProxy, 2);
    ftp.EndSession();
}

} // namespace
