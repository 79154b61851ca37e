// Proves the shared test fixtures with independent clients (curl, raw
// sockets), so a failing library test can be trusted to be the library's fault.

#include "ChildProcess.h"
#include "DanteServer.h"
#include "EchoServer.h"
#include "FakeFtpServer.h"
#include "FakeSocksServer.h"
#include "PyftpdlibServer.h"
#include "TempDir.h"
#include "TestSockets.h"
#include "VsftpdServer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <thread>
#include <unistd.h>

namespace {

using namespace qtest;
using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::HasSubstr;

const char* const kCurl = "/usr/bin/curl";

// curl speaks the same PASV/PORT the client under test speaks, not EPSV/EPRT.
ProcessResult Curl(std::vector<std::string> args, const std::string* input = nullptr) {
    std::vector<std::string> argv = {kCurl,        "-sS", "--disable-epsv", "--disable-eprt",
                                     "--max-time", "60"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv, 90s, input);
}

std::string Describe(const ProcessResult& r) {
    return "curl exit " + std::to_string(r.exitCode) + (r.timedOut ? " (timed out)" : "") +
           "\nstderr: " + r.err;
}

bool ProcessGone(pid_t pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

// ---------------------------------------------------------------- processes

TEST(ChildProcessTest, KillsDescendantsThatLeftTheProcessGroup) {
    TempDir dir;
    const auto pidFile = dir / "grandchild.pid";
    pid_t leader = 0;
    pid_t grandchild = 0;
    {
        ProcessSpec spec;
        // Like a vsftpd session: a descendant in a session of its own, which
        // a kill of the process group alone would miss.
        spec.argv = {"/bin/sh", "-c",
                     "/usr/bin/setsid /bin/sleep 300 & echo $! > " + pidFile.string() +
                         "; exec /bin/sleep 300"};
        ChildProcess child(spec);
        leader = child.pid();
        for (int i = 0; i < 500 && grandchild == 0; ++i) {
            std::this_thread::sleep_for(10ms);
            std::string text = std::filesystem::exists(pidFile) ? ReadFile(pidFile) : "";
            if (!text.empty() && text.back() == '\n')
                grandchild = std::stoi(text);
        }
        ASSERT_GT(grandchild, 0);
        ASSERT_FALSE(ProcessGone(grandchild));
    }
    EXPECT_TRUE(ProcessGone(leader));
    EXPECT_TRUE(ProcessGone(grandchild)) << "descendant " << grandchild << " survived";
}

struct StartFailureCase {
    const char* name;
    std::string script; // run by /bin/sh; never listens on the port
    const char* expected[2];
    friend void PrintTo(const StartFailureCase& c, std::ostream* os) { *os << c.name; }
};

class StartServerFailureTest : public ::testing::TestWithParam<StartFailureCase> {};

TEST_P(StartServerFailureTest, ReportsWhyWithTheCapturedOutput) {
    TempDir dir;
    int attempts = 0;
    auto build = [&](uint16_t) {
        ++attempts;
        ProcessSpec spec;
        spec.argv = {"/bin/sh", "-c", GetParam().script};
        spec.logFile = dir / "log";
        return spec;
    };
    try {
        StartServer("dummy", build, 300ms, 2);
        FAIL() << "StartServer succeeded";
    } catch (const std::runtime_error& e) {
        for (const char* text : GetParam().expected)
            EXPECT_THAT(e.what(), HasSubstr(text));
    }
    // Dying at once looks like a lost port race and earns a second try;
    // running without listening does not.
    EXPECT_EQ(attempts, GetParam().script.find("exit") != std::string::npos ? 2 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartServerFailureTest,
    ::testing::Values(StartFailureCase{"ExitsAtOnce",
                                       "echo 'bind: Address in use' >&2; exit 3",
                                       {"bind: Address in use", "exit code 3"}},
                      StartFailureCase{"NeverListens",
                                       "echo 'still starting' >&2; exec sleep 30",
                                       {"still starting", "did not accept connections"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StalledListenerTest, ConnectNeitherSucceedsNorFails) {
    StalledListener stalled;
    std::string why;
    UniqueFd fd = ConnectTcp("127.0.0.1", stalled.port(), 300ms, &why);
    EXPECT_FALSE(fd.valid());
    EXPECT_EQ(why, "connect timed out");
}

// ---------------------------------------------------------------- real FTP servers

struct RealServerCase {
    FtpServerKind kind;
    bool passive;
    friend void PrintTo(const RealServerCase& c, std::ostream* os) {
        *os << ToString(c.kind) << (c.passive ? " passive" : " active");
    }
};

class RealFtpServerTest : public ::testing::TestWithParam<RealServerCase> {
protected:
    void SetUp() override {
        std::string why = GetParam().kind == FtpServerKind::Vsftpd ? VsftpdServer::Unavailable()
                                                                   : PyftpdlibServer::Unavailable();
        if (!why.empty())
            GTEST_SKIP() << why;
        server_ = StartFtpServer(GetParam().kind);
    }

    ProcessResult curl(std::vector<std::string> args, const std::string* input = nullptr) {
        if (!GetParam().passive)
            args.insert(args.begin(), {"-P", "127.0.0.1"});
        return Curl(args, input);
    }

    std::unique_ptr<RealFtpServer> server_;
};

TEST_P(RealFtpServerTest, ListsDownloadsAndUploads) {
    const std::string big = RandomBytes(1 << 20);
    server_->writeFile("random.bin", big);
    server_->writeFile("name with  spaces.txt", "x");
    server_->writeFile("empty", "");

    auto list = curl({"--list-only", server_->urlWithLogin()});
    ASSERT_EQ(list.exitCode, 0) << Describe(list) << server_->log();
    for (const char* name : {"random.bin", "name with  spaces.txt", "empty"})
        EXPECT_THAT(list.out, HasSubstr(name));

    auto get = curl({server_->urlWithLogin("random.bin")});
    ASSERT_EQ(get.exitCode, 0) << Describe(get);
    EXPECT_TRUE(get.out == big) << "downloaded " << get.out.size() << " bytes";
    auto getEmpty = curl({server_->urlWithLogin("empty")});
    EXPECT_EQ(getEmpty.exitCode, 0) << Describe(getEmpty);
    EXPECT_EQ(getEmpty.out, "");

    const std::string upload = RandomBytes(300000, 7);
    auto put = curl({"-T", "-", server_->urlWithLogin("up%20load.bin")}, &upload);
    ASSERT_EQ(put.exitCode, 0) << Describe(put) << server_->log();
    EXPECT_TRUE(server_->readFile("up load.bin") == upload);
}

TEST_P(RealFtpServerTest, AllowsDirectoryAndFileChanges) {
    server_->writeFile("old.txt", "o");
    server_->writeFile("gone.txt", "g");
    server_->makeDir("emptydir");
    // curl sends quote commands before it changes into the URL's directory.
    auto path = [&](const char* rel) { return server_->remotePath(rel); };
    auto r = curl({"-Q", "MKD " + path("newdir"), "-Q", "RNFR " + path("old.txt"), "-Q",
                   "RNTO " + path("renamed.txt"), "-Q", "DELE " + path("gone.txt"), "-Q",
                   "RMD " + path("emptydir"), "--list-only", server_->urlWithLogin()});
    ASSERT_EQ(r.exitCode, 0) << Describe(r) << server_->log();
    EXPECT_TRUE(std::filesystem::is_directory(server_->workDir() / "newdir"));
    EXPECT_EQ(server_->readFile("renamed.txt"), "o");
    EXPECT_FALSE(server_->exists("old.txt"));
    EXPECT_FALSE(server_->exists("gone.txt"));
    EXPECT_FALSE(server_->exists("emptydir"));
}

INSTANTIATE_TEST_SUITE_P(Servers, RealFtpServerTest,
                         ::testing::Values(RealServerCase{FtpServerKind::Vsftpd, true},
                                           RealServerCase{FtpServerKind::Vsftpd, false},
                                           RealServerCase{FtpServerKind::Pyftpdlib, true},
                                           RealServerCase{FtpServerKind::Pyftpdlib, false}),
                         [](const auto& info) {
                             return ToString(info.param.kind) +
                                    (info.param.passive ? "Passive" : "Active");
                         });

TEST(PyftpdlibServerTest, RefusesAWrongPassword) {
    if (std::string why = PyftpdlibServer::Unavailable(); !why.empty())
        GTEST_SKIP() << why;
    PyftpdlibServer server;
    server.writeFile("f", "data");
    auto good = Curl({"--user", server.user() + ":" + server.password(), server.url("f")});
    EXPECT_EQ(good.exitCode, 0) << Describe(good);
    auto bad = Curl({"--user", server.user() + ":wrong", server.url("f")});
    EXPECT_EQ(bad.exitCode, 67) << Describe(bad); // login denied
}

TEST(DanteServerTest, CarriesAPassiveDownloadAndAnUpload) {
    for (const std::string& why : {DanteServer::Unavailable(), VsftpdServer::Unavailable()})
        if (!why.empty())
            GTEST_SKIP() << why;
    VsftpdServer ftp;
    DanteServer socks;
    const std::string bytes = RandomBytes(200000, 3);
    ftp.writeFile("via-socks.bin", bytes);
    const std::string proxy = "127.0.0.1:" + std::to_string(socks.port());

    auto get = Curl({"--socks5", proxy, ftp.urlWithLogin("via-socks.bin")});
    ASSERT_EQ(get.exitCode, 0) << Describe(get) << socks.log();
    EXPECT_TRUE(get.out == bytes);
    auto put = Curl({"--socks5", proxy, "-T", "-", ftp.urlWithLogin("back.bin")}, &bytes);
    ASSERT_EQ(put.exitCode, 0) << Describe(put) << socks.log();
    EXPECT_TRUE(ftp.readFile("back.bin") == bytes);
}

// ---------------------------------------------------------------- fake FTP server

struct FakeCurlCase {
    const char* name;
    bool passive;
    std::string advertisedHost;
    friend void PrintTo(const FakeCurlCase& c, std::ostream* os) { *os << c.name; }
};

class FakeFtpCurlTest : public ::testing::TestWithParam<FakeCurlCase> {};

TEST_P(FakeFtpCurlTest, ServesARetrieveAndRecordsTheCommands) {
    FakeFtpServer server;
    server.setAdvertisedHost(GetParam().advertisedHost);
    const std::string bytes = RandomBytes(700000, 11);
    server.setFile("dir file.bin", bytes);
    std::vector<std::string> args = {"--user", "joe:p w",
                                     "ftp://127.0.0.1:" + std::to_string(server.port()) +
                                         "/dir%20file.bin"};
    if (!GetParam().passive)
        args.insert(args.begin(), {"-P", "127.0.0.1"});
    auto r = Curl(args);
    ASSERT_EQ(r.exitCode, 0) << Describe(r) << ::testing::PrintToString(server.commands());
    EXPECT_TRUE(r.out == bytes);
    ASSERT_TRUE(server.waitForSessionsEnded(1));

    auto commands = server.commands();
    ASSERT_GE(commands.size(), 3u);
    EXPECT_EQ(commands[0], "USER joe");
    EXPECT_EQ(commands[1], "PASS p w");
    EXPECT_THAT(commands, Contains("RETR dir file.bin"));
    if (GetParam().passive)
        EXPECT_THAT(commands, Contains("PASV"));
    else
        EXPECT_TRUE(std::any_of(commands.begin(), commands.end(), [](const std::string& c) {
            return c.rfind("PORT 127,0,0,1,", 0) == 0;
        }));
    EXPECT_THAT(server.rawInput(), HasSubstr("RETR dir file.bin\r\n"));
    EXPECT_EQ(server.dataBytesSent(), bytes.size());
    EXPECT_TRUE(server.problems().empty()) << ::testing::PrintToString(server.problems());
}

INSTANTIATE_TEST_SUITE_P(Modes, FakeFtpCurlTest,
                         ::testing::Values(FakeCurlCase{"Passive", true, "127.0.0.1"},
                                           // curl ignores the 227 address by default, so
                                           // this only works if the fake really listens
                                           // on 127.0.0.1 while naming another host.
                                           FakeCurlCase{"PassiveForeignAddress", true, "10.9.8.7"},
                                           FakeCurlCase{"Active", false, "127.0.0.1"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FakeFtpServerTest, ReceivesAnUploadFromCurl) {
    FakeFtpServer server;
    const std::string bytes = RandomBytes(123457, 5);
    auto r =
        Curl({"-T", "-", "ftp://127.0.0.1:" + std::to_string(server.port()) + "/up.bin"}, &bytes);
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    auto uploads = server.uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].command, "STOR up.bin");
    EXPECT_TRUE(uploads[0].bytes == bytes);
}

// A raw control connection to the fake server, reading replies by bytes.
class RawFtpClient {
public:
    explicit RawFtpClient(uint16_t port) : control_(ConnectLoopback(port)) {}
    void send(const std::string& line) { ASSERT_TRUE(SendAll(control_.get(), line + "\r\n")); }
    std::string line() { return RecvLine(control_.get()); }
    // Sends PASV and connects to the port named in the reply.
    UniqueFd passive() {
        send("PASV");
        std::string reply = line();
        auto open = reply.find('('), close = reply.find(')');
        std::vector<int> f;
        std::string field;
        for (char c : reply.substr(open + 1, close - open - 1) + ",") {
            if (c == ',') {
                f.push_back(std::stoi(field));
                field.clear();
            } else {
                field += c;
            }
        }
        return ConnectLoopback(static_cast<uint16_t>(f[4] * 256 + f[5]));
    }
    int fd() const { return control_.get(); }

private:
    UniqueFd control_;
};

struct ReplyShapeCase {
    const char* name;
    FtpScript script;
    std::string expected; // the bytes the client must see
    friend void PrintTo(const ReplyShapeCase& c, std::ostream* os) { *os << c.name; }
};

class FakeFtpReplyShapeTest : public ::testing::TestWithParam<ReplyShapeCase> {};

TEST_P(FakeFtpReplyShapeTest, DeliversTheScriptedBytesExactly) {
    FakeFtpServer server;
    server.enqueue("SYST", GetParam().script);
    RawFtpClient client(server.port());
    EXPECT_EQ(client.line(), "220 Quorvan fake FTP server ready.\r\n");
    client.send("SYST");
    const std::string& expected = GetParam().expected;
    EXPECT_EQ(RecvExact(client.fd(), expected.size()), expected);
    // The queued answer was used once; the default answers the next SYST.
    client.send("syst");
    EXPECT_EQ(client.line(), "215 UNIX Type: L8\r\n");
    EXPECT_EQ(server.commands(), (std::vector<std::string>{"SYST", "syst"}));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, FakeFtpReplyShapeTest,
    ::testing::Values(
        ReplyShapeCase{"MultiLine",
                       {act::Send("215-first\r\n  odd continuation\r\n215 done\r\n")},
                       "215-first\r\n  odd continuation\r\n215 done\r\n"},
        ReplyShapeCase{"Bytewise", act::SendBytewise("215 one\r\n", 1ms), "215 one\r\n"},
        ReplyShapeCase{"Pieces", act::SendInPieces("215-a\r\n215 b\n", {3, 5}), "215-a\r\n215 b\n"},
        ReplyShapeCase{"Delayed", {act::Delay(30ms), act::Reply("999 late")}, "999 late\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

struct DialogueCase {
    const char* name;
    std::function<void(FakeFtpServer&)> setup;
    // Lines the client sends in order, each with the exact reply bytes it expects.
    std::vector<std::pair<std::string, std::string>> exchange;
    friend void PrintTo(const DialogueCase& c, std::ostream* os) { *os << c.name; }
};

class FakeFtpDialogueTest : public ::testing::TestWithParam<DialogueCase> {};

TEST_P(FakeFtpDialogueTest, AnswersEachLineAsScripted) {
    FakeFtpServer server;
    if (GetParam().setup)
        GetParam().setup(server);
    RawFtpClient client(server.port());
    client.line();
    for (const auto& [line, reply] : GetParam().exchange) {
        client.send(line);
        EXPECT_EQ(RecvExact(client.fd(), reply.size(), 2000ms), reply) << "after " << line;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Dialogues, FakeFtpDialogueTest,
    ::testing::Values(DialogueCase{"DefaultSession",
                                   nullptr,
                                   {{"USER u", "331 Please specify the password.\r\n"},
                                    {"PASS p", "230 Login successful.\r\n"},
                                    {"TYPE A", "200 Switching to ASCII mode.\r\n"},
                                    {"CWD a\"b", "250 Directory successfully changed.\r\n"},
                                    {"PWD", "257 \"/a\"\"b\" is the current directory\r\n"},
                                    {"MKD x", "257 \"/a\"\"b/x\" created\r\n"},
                                    {"FEAT", "500 Unknown command.\r\n"},
                                    {"QUIT", "221 Goodbye.\r\n"}}},
                      DialogueCase{"TransfersNeedADataChannel",
                                   [](FakeFtpServer& s) { s.setFile("f", "x"); },
                                   {{"RETR f", "425 Use PORT or PASV first.\r\n"},
                                    {"PORT 1,2,3", "501 Illegal PORT command.\r\n"},
                                    {"PORT 127,0,0,1,0,1", "200 PORT command successful.\r\n"},
                                    {"RETR missing", "550 Failed to open file.\r\n"}}},
                      DialogueCase{"ScriptedPasvNamesTheRealPort",
                                   [](FakeFtpServer& s) {
                                       s.setAdvertisedHost("192.168.1.20");
                                       s.setResponse("PASV", "227 ={h},{p1},{p2}\r\n");
                                   },
                                   // The port differs per run; only the fixed part is compared.
                                   {{"PASV", "227 =192,168,1,20,"}}},
                      DialogueCase{"QueuedThenStickyThenDefault",
                                   [](FakeFtpServer& s) {
                                       s.enqueue("NOOP", "421 first\r\n");
                                       s.setResponse("noop", "200 sticky\r\n");
                                   },
                                   {{"NOOP", "421 first\r\n"},
                                    {"noop", "200 sticky\r\n"},
                                    {"NOOP", "200 sticky\r\n"}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FakeFtpServerTest, WithheldGreetingStillRecordsCommands) {
    FakeFtpServer server;
    server.withholdGreeting();
    server.setResponse("USER", {act::CloseControl()});
    RawFtpClient client(server.port());
    EXPECT_EQ(RecvSome(client.fd(), 100ms), "");
    client.send("USER a\rb");
    EXPECT_EQ(RecvUntilClose(client.fd()), "");
    EXPECT_EQ(server.commands(), std::vector<std::string>{"USER a\rb"});
    EXPECT_TRUE(server.waitForSessionsEnded(1));
}

TEST(FakeFtpServerTest, StopsReadingAnUploadAfterTheLimit) {
    FakeFtpServer server;
    server.enqueue("STOR", act::Upload("226 done\r\n", 1000));
    RawFtpClient client(server.port());
    client.line();
    UniqueFd data = client.passive();
    client.send("STOR x");
    client.line();
    const std::string bytes = RandomBytes(1 << 20);
    SendAll(data.get(), bytes); // fails part-way once the server has closed
    EXPECT_EQ(client.line(), "226 done\r\n");
    auto uploads = server.uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].bytes, bytes.substr(0, 1000));
}

TEST(FakeFtpServerTest, AborDuringADownloadBreaksItThenAnswersAbor) {
    FakeFtpServer server;
    server.setFile("huge", Payload::Pattern(uint64_t{5} << 30)); // never held in memory
    RawFtpClient client(server.port());
    client.line();
    UniqueFd data = client.passive();
    client.send("REST 1000");
    EXPECT_EQ(client.line(), "350 Restart position accepted (1000).\r\n");
    client.send("RETR huge");
    EXPECT_THAT(client.line(), HasSubstr("150 "));
    const std::string head = RecvExact(data.get(), 100000);
    ASSERT_EQ(head.size(), 100000u);
    for (size_t i = 0; i < head.size(); ++i)
        ASSERT_EQ(static_cast<uint8_t>(head[i]), PatternByte(1000 + i)) << "at " << i;
    client.send("ABOR");
    data.reset();
    EXPECT_EQ(client.line(), "426 Connection closed; transfer aborted.\r\n");
    EXPECT_EQ(client.line(), "226 Abort successful.\r\n");
    EXPECT_EQ(server.commands(),
              (std::vector<std::string>{"PASV", "REST 1000", "RETR huge", "ABOR"}));
}

TEST(FakeFtpServerTest, ClosesTheDataConnectionEarlyAndSendsBothFinalReplies) {
    FakeFtpServer server;
    server.setFile("f", RandomBytes(5000));
    server.enqueue("RETR", act::Download("450 partial\r\n226 after\r\n", 1234));
    server.enqueue("QUIT", {act::CloseControl()});
    RawFtpClient client(server.port());
    client.line();
    UniqueFd data = client.passive();
    client.send("RETR f");
    client.line();
    EXPECT_EQ(RecvUntilClose(data.get()).size(), 1234u);
    EXPECT_EQ(client.line(), "450 partial\r\n");
    EXPECT_EQ(client.line(), "226 after\r\n");
    client.send("QUIT");
    EXPECT_EQ(RecvUntilClose(client.fd()), ""); // closed without a reply
}

// ---------------------------------------------------------------- SOCKS

struct SocksCase {
    const char* name;
    std::string handshake;    // what the client sends before the request
    std::string serverAnswer; // what it expects back before the request
    bool withAuth;
    std::string (*request)(uint16_t port); // the CONNECT request for the echo port
    size_t replySize;
    friend void PrintTo(const SocksCase& c, std::ostream* os) { *os << c.name; }
};

std::string Be16(uint16_t p) {
    return {static_cast<char>(p >> 8), static_cast<char>(p & 0xff)};
}

class FakeSocksRelayTest : public ::testing::TestWithParam<SocksCase> {};

TEST_P(FakeSocksRelayTest, RecordsTheRequestAndRelaysBothWays) {
    EchoServer echo;
    FakeSocksServer socks;
    socks.mapHost("echo.test", "127.0.0.1");
    if (GetParam().withAuth)
        socks.setCredentials("user", "pass");
    UniqueFd c = ConnectLoopback(socks.port());
    if (!GetParam().handshake.empty()) {
        ASSERT_TRUE(SendAll(c.get(), GetParam().handshake));
        ASSERT_EQ(ToHex(RecvExact(c.get(), GetParam().serverAnswer.size())),
                  ToHex(GetParam().serverAnswer));
    }
    if (GetParam().withAuth) {
        ASSERT_TRUE(SendAll(c.get(), Hex("01 04") + "user" + Hex("04") + "pass"));
        ASSERT_EQ(ToHex(RecvExact(c.get(), 2)), "01 00");
    }
    const std::string request = GetParam().request(echo.port());
    ASSERT_TRUE(SendAll(c.get(), request));
    std::string reply = RecvExact(c.get(), GetParam().replySize);
    ASSERT_EQ(reply.size(), GetParam().replySize);
    EXPECT_TRUE(reply[1] == 0 || reply[1] == 90) << ToHex(reply);

    const std::string payload = RandomBytes(100000, 9);
    ASSERT_TRUE(SendAll(c.get(), payload));
    EXPECT_TRUE(RecvExact(c.get(), payload.size()) == payload);
    c.reset();

    ASSERT_TRUE(socks.waitForCompleted(1));
    const SocksExchange e = socks.exchanges().at(0);
    EXPECT_EQ(ToHex(e.connectRequest), ToHex(request));
    EXPECT_EQ(e.targetPort, echo.port());
    EXPECT_TRUE(e.granted);
    EXPECT_EQ(e.bytesToTarget, payload.size());
    EXPECT_EQ(e.bytesFromTarget, payload.size());
    if (GetParam().withAuth) {
        EXPECT_EQ(e.user, "user");
        EXPECT_EQ(e.password, "pass");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Versions, FakeSocksRelayTest,
    ::testing::Values(
        SocksCase{"Socks4", "", "", false,
                  [](uint16_t p) { return Hex("04 01") + Be16(p) + Hex("7f 00 00 01 00"); }, 8},
        SocksCase{"Socks4A", "", "", false,
                  [](uint16_t p) {
                      return Hex("04 01") + Be16(p) + Hex("00 00 00 01") + "id" + Hex("00") +
                             "echo.test" + Hex("00");
                  },
                  8},
        SocksCase{"Socks5", Hex("05 01 00"), Hex("05 00"), false,
                  [](uint16_t p) { return Hex("05 01 00 03 09") + "echo.test" + Be16(p); }, 10},
        SocksCase{"Socks5Password", Hex("05 01 02"), Hex("05 02"), true,
                  [](uint16_t p) { return Hex("05 01 00 01 7f 00 00 01") + Be16(p); }, 10}),
    [](const auto& info) { return std::string(info.param.name); });

struct SocksRefusalCase {
    const char* name;
    SocksScript script;
    std::string expectedReply; // hex of everything the client gets before the close
    friend void PrintTo(const SocksRefusalCase& c, std::ostream* os) { *os << c.name; }
};

class FakeSocksRefusalTest : public ::testing::TestWithParam<SocksRefusalCase> {};

TEST_P(FakeSocksRefusalTest, SendsTheScriptedAnswerThenCloses) {
    FakeSocksServer socks;
    socks.enqueue(GetParam().script);
    // Port 1 on loopback: nothing listens, so the default answer is a refusal.
    UniqueFd c = ConnectLoopback(socks.port());
    ASSERT_TRUE(SendAll(c.get(), Hex("05 01 00")));
    std::string got = RecvExact(c.get(), 2);
    if (got == Hex("05 00")) {
        ASSERT_TRUE(SendAll(c.get(), Hex("05 01 00 01 7f 00 00 01 00 01")));
        got += RecvUntilClose(c.get());
    } else {
        got += RecvUntilClose(c.get());
    }
    EXPECT_EQ(ToHex(got), GetParam().expectedReply);
    ASSERT_TRUE(socks.waitForCompleted(1));
    EXPECT_FALSE(socks.exchanges().at(0).granted);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, FakeSocksRefusalTest,
    ::testing::Values(
        SocksRefusalCase{"TargetRefused", {}, "05 00 05 05 00 01 7f 00 00 01 00 00"},
        SocksRefusalCase{"NoAcceptableMethod",
                         {SocksStep::CloseAfter(Hex("05 ff")), {}, {}, SocksAfter::Relay},
                         "05 ff"},
        SocksRefusalCase{
            "CloseInsteadOfAnswer", {SocksStep::CloseAfter(), {}, {}, SocksAfter::Relay}, ""},
        SocksRefusalCase{
            "ReplyInPiecesThenClose",
            {{}, {}, SocksStep::Pieces({Hex("05"), Hex("02 00 01")}), SocksAfter::Close},
            "05 00 05 02 00 01"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
