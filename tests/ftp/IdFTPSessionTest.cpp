// Session, sign-in, proxy arrangements and the commands without a data
// connection, against the scripted server.

#include "FtpClientTest.h"
#include "IdException.h"
#include "IdFTP.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Signs in only where a test asks for it.
class FtpSessionTest : public qtest::FtpClientTest {
protected:
    void SetUp() override {
        ftp.Username = "u1";
        ftp.Password = "pw";
        ftp.Passive = false;
    }
};

TEST_F(FtpSessionTest, FreshClientDefaults) {
    TIdFTP fresh;
    EXPECT_EQ(fresh.Port(), 21);
    EXPECT_FALSE(fresh.Passive);
    EXPECT_EQ(fresh.TransferType(), ftBinary);
    EXPECT_EQ(fresh.ProxySettings().ProxyType, fpcmNone);
    EXPECT_EQ(fresh.ProxySettings().Port, 0);
    EXPECT_EQ(fresh.DataConnection(), nullptr);
    EXPECT_TRUE(fresh.SystemDescription().empty());
}

TEST_F(FtpSessionTest, SignInAnnouncesTypeAndAsksSystem) {
    int afterLogin = 0;
    ftp.OnAfterClientLogin = [&](TIdComponent* sender) {
        EXPECT_EQ(sender, &ftp);
        EXPECT_EQ(server.commands().size(), 2u) << "raised after sign-in, before TYPE";
        ++afterLogin;
    };
    server.setResponse("SYST", "215 UNIX Type: L8\r\n");
    ftp.OpenSession();
    EXPECT_EQ(Sent(), (std::vector<std::string>{"USER u1", "PASS pw", "TYPE I", "SYST", "FEAT"}));
    EXPECT_EQ(afterLogin, 1);
    EXPECT_EQ(ftp.SystemDescription(), "UNIX Type: L8");
    EXPECT_EQ(ftp.LoginReply().NumericCode(), 230);
    EXPECT_EQ(ftp.GreetingReply().NumericCode(), 220);
    EXPECT_TRUE(HasStatus(ftpReady, "Connection established"));
    EXPECT_TRUE(ftp.IsConnected());
}

TEST_F(FtpSessionTest, WithoutSignInOnlyTheGreetingIsRead) {
    server.setGreeting("220-Hello\r\n220 there\r\n");
    ftp.OpenSession(false);
    EXPECT_TRUE(ftp.IsConnected());
    EXPECT_EQ(ftp.GreetingReply().Text(), (std::vector<std::string>{"Hello", "there"}));
    ftp.EndSession();
    ASSERT_TRUE(server.waitForVerb("QUIT"));
    EXPECT_EQ(Sent(), std::vector<std::string>{"QUIT"});
}

struct GreetingCase {
    const char* name;
    std::string raw;
    int32_t code;
};

class FtpGreetingTest : public FtpSessionTest,
                        public ::testing::WithParamInterface<GreetingCase> {};

TEST_P(FtpGreetingTest, OnlyA220GreetingOpensTheSession) {
    server.setGreeting(GetParam().raw);
    try {
        ftp.OpenSession();
        FAIL() << "greeting accepted";
    } catch (const EIdProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyCode, GetParam().code);
    }
    EXPECT_FALSE(ftp.IsConnected());
    EXPECT_EQ(ftp.Host(), server.host());
    EXPECT_EQ(ftp.Port(), server.port());
    EXPECT_TRUE(Sent().empty());
}

INSTANTIATE_TEST_SUITE_P(Codes, FtpGreetingTest,
                         ::testing::Values(GreetingCase{"busy", "421 Too many users\r\n", 421},
                                           GreetingCase{"later", "120 Ready in 5\r\n", 120},
                                           GreetingCase{"noCode", "hello\r\n", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpSessionTest, UserAnswered230SkipsPassword) {
    server.setResponse("USER", "230 No password needed\r\n");
    ftp.OpenSession();
    EXPECT_EQ(Sent(), (std::vector<std::string>{"USER u1", "TYPE I", "SYST", "FEAT"}));
    EXPECT_EQ(ftp.LoginReply().NumericCode(), 230);
    EXPECT_EQ(ftp.LoginReply().Text(), std::vector<std::string>{"No password needed"});
}

TEST_F(FtpSessionTest, RefusedPasswordClosesTheConnection) {
    server.setResponse("PASS", "530 Login incorrect.\r\n");
    try {
        ftp.OpenSession();
        FAIL();
    } catch (const EIdProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyCode, 530);
        EXPECT_STREQ(e.what(), "Login incorrect.\r\n");
    }
    EXPECT_FALSE(ftp.IsConnected());
    EXPECT_EQ(ftp.LastReply().NumericCode(), 530);
    EXPECT_TRUE(server.waitForClientCloses(1));
}

TEST_F(FtpSessionTest, PasswordReply332FailsTheLogin) {
    server.setResponse("PASS", "332 Need account\r\n");
    EXPECT_THROW(ftp.OpenSession(), EIdProtocolReplyError);
    EXPECT_FALSE(ftp.IsConnected());
}

struct SystCase {
    const char* name;
    std::string raw;
    bool fails;
    std::string description;
};

class FtpSystTest : public FtpSessionTest, public ::testing::WithParamInterface<SystCase> {};

TEST_P(FtpSystTest, SystemDescriptionFromTheReply) {
    server.setResponse("SYST", GetParam().raw);
    if (GetParam().fails) {
        EXPECT_THROW(ftp.OpenSession(), EIdProtocolReplyError);
        EXPECT_FALSE(ftp.IsConnected());
        return;
    }
    ftp.OpenSession();
    EXPECT_EQ(ftp.SystemDescription(), GetParam().description);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, FtpSystTest,
    ::testing::Values(SystCase{"unix", "215 UNIX Type: L8\r\n", false, "UNIX Type: L8"},
                      SystCase{"ok200", "200 Windows_NT\r\n", false, "Windows_NT"},
                      SystCase{"multi", "215-First\r\n215 Second\r\n", false, "First"},
                      SystCase{"unknown", "500 What?\r\n", false, "Unknown"},
                      SystCase{"notImplemented", "502 Not implemented\r\n", true, ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct ProxyCase {
    const char* name;
    TIdFtpProxyType type;
    std::string proxyUser;
    std::string proxyPassword;
    std::vector<std::string> login; // command lines before TYPE
};

class FtpProxyTest : public FtpSessionTest, public ::testing::WithParamInterface<ProxyCase> {};

// The scripted server stands in for the proxy; the client's own Host names a
// server it cannot reach, so only a connect to the proxy can succeed.
TEST_P(FtpProxyTest, ControlGoesToProxyAndLoginFollowsTheType) {
    const ProxyCase& c = GetParam();
    ftp.SetHost("srv");
    ftp.SetPort(2121);
    TIdFtpProxySettings settings;
    settings.ProxyType = c.type;
    settings.Host = server.host();
    settings.Port = server.port();
    settings.UserName = c.proxyUser;
    settings.Password = c.proxyPassword;
    ftp.SetProxySettings(settings);
    ftp.OpenSession();
    std::vector<std::string> expected = c.login;
    expected.push_back("TYPE I");
    expected.push_back("SYST");
    expected.push_back("FEAT");
    EXPECT_EQ(Sent(), expected);
    EXPECT_EQ(ftp.Host(), "srv");
    EXPECT_EQ(ftp.Port(), 2121);
}

INSTANTIATE_TEST_SUITE_P(
    Types, FtpProxyTest,
    ::testing::Values(
        ProxyCase{"userSiteNoProxyUser", fpcmUserSite, "", "", {"USER u1@srv", "PASS pw"}},
        ProxyCase{
            "userSite", fpcmUserSite, "gw", "gp", {"USER gw", "PASS gp", "USER u1@srv", "PASS pw"}},
        ProxyCase{
            "site", fpcmSite, "gw", "gp", {"USER gw", "PASS gp", "SITE srv", "USER u1", "PASS pw"}},
        ProxyCase{
            "open", fpcmOpen, "gw", "gp", {"USER gw", "PASS gp", "OPEN srv", "USER u1", "PASS pw"}},
        ProxyCase{"openNoProxyUser", fpcmOpen, "", "", {"OPEN srv", "USER u1", "PASS pw"}},
        ProxyCase{"userPassNoProxyPassword", fpcmUserPass, "gw", "", {"USER u1@gw@srv", "PASS pw"}},
        ProxyCase{"userPass", fpcmUserPass, "gw", "gp", {"USER u1@gw@srv", "PASS pw@gp"}},
        ProxyCase{"transparent",
                  fpcmTransparent,
                  "gw",
                  "gp",
                  {"USER gw", "PASS gp", "USER u1", "PASS pw"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpSessionTest, EmptyProxyHostConnectsToHostButKeepsTheLoginOfTheType) {
    TIdFtpProxySettings settings;
    settings.ProxyType = fpcmUserSite;
    settings.Port = 1;
    ftp.SetProxySettings(settings);
    ftp.OpenSession();
    EXPECT_EQ(Sent()[0], "USER u1@" + server.host());
}

TEST_F(FtpSessionTest, NoProxyTypeIgnoresTheProxyHost) {
    TIdFtpProxySettings settings;
    settings.Host = "192.0.2.1";
    settings.Port = 1;
    ftp.SetProxySettings(settings);
    ftp.OpenSession();
    EXPECT_EQ(Sent()[0], "USER u1");
}

TEST_F(FtpSessionTest, HttpProxyIsRefusedWithoutSendingAnything) {
    TIdFtpProxySettings settings;
    settings.ProxyType = fpcmHttpProxyWithFtp;
    settings.Host = server.host();
    settings.Port = server.port();
    settings.UserName = "gw";
    ftp.SetProxySettings(settings);
    try {
        ftp.OpenSession();
        FAIL();
    } catch (const EIdException& e) {
        EXPECT_STREQ(e.what(), "Command not supported.");
    }
    EXPECT_FALSE(ftp.IsConnected());
    EXPECT_TRUE(server.waitForClientCloses(1));
    EXPECT_TRUE(Sent().empty());
}

TEST_F(FtpSessionTest, FailedConnectRestoresHostAndPort) {
    TIdFtpProxySettings settings;
    settings.ProxyType = fpcmTransparent;
    settings.Host = "127.0.0.1";
    settings.Port = 1; // nothing listens there
    ftp.SetProxySettings(settings);
    EXPECT_THROW(ftp.OpenSession(), EIdException);
    EXPECT_EQ(ftp.Host(), server.host());
    EXPECT_EQ(ftp.Port(), server.port());
    EXPECT_FALSE(ftp.IsConnected());
}

TEST_F(FtpSessionTest, OpenSessionWhileConnectedFailsAndCloses) {
    ftp.OpenSession();
    try {
        ftp.OpenSession();
        FAIL();
    } catch (const EIdAlreadyConnected& e) {
        EXPECT_STREQ(e.what(), "Already connected.");
    }
    EXPECT_FALSE(ftp.IsConnected());
}

TEST_F(FtpSessionTest, EndSessionWritesQuitAndReadsNoReply) {
    ftp.OpenSession();
    statuses.clear();
    int disconnected = 0;
    ftp.OnDisconnected = [&](TIdComponent*) { ++disconnected; };
    server.setResponse("QUIT", qtest::FtpScript{});
    ftp.EndSession();
    EXPECT_FALSE(ftp.IsConnected());
    ASSERT_TRUE(server.waitForVerb("QUIT"));
    EXPECT_EQ(disconnected, 1);
    EXPECT_TRUE(HasStatus(hsDisconnecting, "Disconnecting."));
    EXPECT_TRUE(HasStatus(hsDisconnected, "Disconnected."));
}

TEST_F(FtpSessionTest, EndSessionOnANeverConnectedClientSendsNothing) {
    int disconnected = 0;
    ftp.OnDisconnected = [&](TIdComponent*) { ++disconnected; };
    ftp.EndSession();
    EXPECT_EQ(disconnected, 1);
    EXPECT_TRUE(HasStatus(hsDisconnected, "Disconnected."));
    EXPECT_EQ(server.connections(), 0u);
}

TEST_F(FtpSessionTest, TransferTypeIsAnnouncedOnlyWhenItChanges) {
    ftp.SetTransferType(ftBinary);
    ftp.SetTransferType(ftASCII); // disconnected: remembered only
    EXPECT_EQ(server.connections(), 0u);
    ftp.OpenSession();
    EXPECT_EQ(Sent()[2], "TYPE A");
    ftp.SetTransferType(ftASCII);
    ftp.SetTransferType(ftBinary);
    ftp.SetTransferType(ftBinary);
    EXPECT_EQ(Sent(),
              (std::vector<std::string>{"USER u1", "PASS pw", "TYPE A", "SYST", "FEAT", "TYPE I"}));
}

TEST_F(FtpSessionTest, RefusedTypeFailsTheSession) {
    server.setResponse("TYPE", "504 Not that type\r\n");
    EXPECT_THROW(ftp.OpenSession(), EIdProtocolReplyError);
    EXPECT_FALSE(ftp.IsConnected());
}

// --- Commands without a data connection ---

enum class Op { Cwd, Mkd, Rmd, Dele };

struct CommandCase {
    const char* name;
    Op op;
    std::string arg;
    std::string reply;
    std::string line;
    bool fails;
};

class FtpCommandTest : public FtpSessionTest, public ::testing::WithParamInterface<CommandCase> {
protected:
    void Run(Op op, const std::string& arg) {
        switch (op) {
        case Op::Cwd:
            ftp.ChangeDirectory(arg);
            break;
        case Op::Mkd:
            ftp.MakeDirectory(arg);
            break;
        case Op::Rmd:
            ftp.DeleteDirectory(arg);
            break;
        case Op::Dele:
            ftp.DeleteRemoteFile(arg);
            break;
        }
    }
};

TEST_P(FtpCommandTest, SendsTheLineAndChecksTheReply) {
    const CommandCase& c = GetParam();
    ftp.OpenSession();
    const std::string verb = c.line.substr(0, c.line.find(' '));
    server.enqueue(verb, c.reply + "\r\n");
    if (c.fails) {
        EXPECT_THROW(Run(c.op, c.arg), EIdProtocolReplyError);
    } else {
        EXPECT_NO_THROW(Run(c.op, c.arg));
    }
    EXPECT_EQ(Sent().back(), c.line);
    EXPECT_EQ(ftp.RawCommand("NOOP"), 200) << "the connection stays usable";
}

INSTANTIATE_TEST_SUITE_P(
    Replies, FtpCommandTest,
    ::testing::Values(
        CommandCase{"cwd250", Op::Cwd, "pub", "250 ok", "CWD pub", false},
        CommandCase{"cwd200", Op::Cwd, "pub", "200 ok", "CWD pub", false},
        CommandCase{"cwd550", Op::Cwd, "nope", "550 No such directory", "CWD nope", true},
        CommandCase{"cwdSpaces", Op::Cwd, " two  blanks ", "250 ok", "CWD  two  blanks ", false},
        CommandCase{"cwdEmpty", Op::Cwd, "", "250 ok", "CWD ", false},
        CommandCase{"mkd257", Op::Mkd, "new dir", "257 \"/new dir\" created", "MKD new dir", false},
        CommandCase{"mkd250", Op::Mkd, "d", "250 ok", "MKD d", true},
        CommandCase{"rmd250", Op::Rmd, "d", "250 removed", "RMD d", false},
        CommandCase{"rmd200", Op::Rmd, "d", "200 ok", "RMD d", true},
        CommandCase{"dele250", Op::Dele, "f.txt", "250 deleted", "DELE f.txt", false},
        CommandCase{"dele200", Op::Dele, "f.txt", "200 ok", "DELE f.txt", true},
        CommandCase{"dele530", Op::Dele, "f.txt", "530 Not logged in", "DELE f.txt", true}),
    [](const auto& info) { return std::string(info.param.name); });

struct PwdCase {
    const char* name;
    std::string reply;
    std::string path;
};

class FtpPwdTest : public FtpSessionTest, public ::testing::WithParamInterface<PwdCase> {};

TEST_P(FtpPwdTest, CurrentDirectoryFromTheQuotedPath) {
    ftp.OpenSession();
    server.enqueue("PWD", GetParam().reply + "\r\n");
    EXPECT_EQ(ftp.QueryCurrentDir(), GetParam().path);
    EXPECT_EQ(Sent().back(), "PWD");
}

INSTANTIATE_TEST_SUITE_P(
    Replies, FtpPwdTest,
    ::testing::Values(PwdCase{"remark", "257 \"/pub/incoming\" is current directory.",
                              "/pub/incoming"},
                      PwdCase{"root", "257 \"/\"", "/"},
                      PwdCase{"doubledQuotes", "257 \"/a \"\"q\"\" dir\" is cwd", "/a \"q\" dir"},
                      PwdCase{"doubledAtEnd", "257 \"/x\"\"\"", "/x\""},
                      PwdCase{"spaces", "257 \"/two  blanks \"", "/two  blanks "},
                      PwdCase{"noQuote", "257 /pub", ""}, PwdCase{"oneQuote", "257 \"/pub", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpSessionTest, PwdRefusedRaises) {
    ftp.OpenSession();
    server.enqueue("PWD", "550 No\r\n");
    EXPECT_THROW(ftp.QueryCurrentDir(), EIdProtocolReplyError);
}

struct RawReplyCase {
    const char* name;
    std::string raw;
    int16_t code;
    std::vector<std::string> text;
};

class FtpReplyReadingTest : public FtpSessionTest,
                            public ::testing::WithParamInterface<RawReplyCase> {};

TEST_P(FtpReplyReadingTest, OneWholeReplyIsReadAndNothingMore) {
    ftp.OpenSession();
    server.enqueue("NOOP", GetParam().raw);
    EXPECT_EQ(ftp.RawCommand("NOOP"), GetParam().code);
    EXPECT_EQ(ftp.LastReply().Text(), GetParam().text);
    server.enqueue("NOOP", "200 next\r\n");
    EXPECT_EQ(ftp.RawCommand("NOOP"), 200) << "the reply ended where it should";
    EXPECT_EQ(ftp.LastReply().Text(), std::vector<std::string>{"next"});
}

INSTANTIATE_TEST_SUITE_P(
    Replies, FtpReplyReadingTest,
    ::testing::Values(
        RawReplyCase{"continuationTrimmed",
                     "230-Welcome\r\n  to the server\r\n230 Done\r\n",
                     230,
                     {"Welcome", "he server", "Done"}},
        RawReplyCase{"blankLinesSkipped", "230-a\r\n\r\n  \t \r\n230 b\r\n", 230, {"a", "b"}},
        RawReplyCase{"otherCodeDoesNotEnd",
                     "230-a\r\n231 not yet\r\n230 end\r\n",
                     230,
                     {"a", "not yet", "end"}},
        RawReplyCase{"shortLinesBelong", "230-a\r\nok\r\n CCC\r\n XX\r\n  *\r\n230 b\r\n", 230, {"a", "", "", "", "", "b"}},
        RawReplyCase{"bareCodeWithBlanksEnds", "230-a\r\n 230 \r\n", 230, {"a", ""}},
        RawReplyCase{"codePrefixIsNoEnd", "211-a\r\n2110 x\r\n211-MDTM\r\n211 e\r\n", 211, {"a", " x", "MDTM", "e"}},
        RawReplyCase{"bareCodeEnds", "230-a\r\n230\r\n", 230, {"a", ""}},
        // inetutils ftpd opens its sign-in message so.
        RawReplyCase{"shortFirstLine", "230-\r\n230-b\r\nc\r\n230-d\r\n230 e\r\n", 230, {"", "b", "", "d", "e"}},
        RawReplyCase{"hyphenContinuations", "211-x\r\n211-y\r\n211 z\r\n", 211, {"x", "y", "z"}},
        RawReplyCase{"bareLf", "200 lf only\n", 200, {"lf only"}},
        RawReplyCase{"hyphenOnlyFirst", "226-\r\n226 ok\r\n", 226, {"", "ok"}},
        RawReplyCase{"refusalIsNoError", "500 Unknown command\r\n", 500, {"Unknown command"}},
        RawReplyCase{"noCode", "hello\r\n", 0, {"o"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpSessionTest, ReplySplitAcrossSegmentsIsReassembled) {
    ftp.OpenSession();
    server.enqueue("NOOP", qtest::act::SendInPieces("250-first\r\n250 second\r\n", {3, 9, 4}));
    EXPECT_EQ(ftp.SendCommand("NOOP", TIdReplyCodes{250}), 250);
    EXPECT_EQ(ftp.LastReply().Text(), (std::vector<std::string>{"first", "second"}));
}

TEST_F(FtpSessionTest, OverlongReplyLineRaises) {
    ftp.OpenSession();
    server.enqueue("NOOP", "200 " + std::string(20000, 'x') + "\r\n");
    try {
        ftp.RawCommand("NOOP");
        FAIL();
    } catch (const EIdReadLnMaxLineLengthExceeded& e) {
        EXPECT_STREQ(e.what(), "Max line length exceeded.");
    }
}

struct LineBreakCase {
    const char* name;
    void (*run)(TIdFTP&);
};

class FtpLineBreakTest : public FtpSessionTest,
                         public ::testing::WithParamInterface<LineBreakCase> {};

// A CR or LF inside a command would reach the server as a second command;
// nothing at all may be sent for such a command, not even its PASV.
TEST_P(FtpLineBreakTest, CommandWithLineBreakIsRefusedBeforeSending) {
    ftp.Passive = true;
    ftp.OpenSession();
    const size_t before = Sent().size();
    EXPECT_THROW(GetParam().run(ftp), EIdException);
    EXPECT_EQ(ftp.RawCommand("NOOP"), 200);
    const std::vector<std::string> after = Sent();
    ASSERT_EQ(after.size(), before + 1);
    EXPECT_EQ(after.back(), "NOOP");
    EXPECT_EQ(ftp.DataConnection(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, FtpLineBreakTest,
    ::testing::Values(LineBreakCase{"cwd", [](TIdFTP& f) { f.ChangeDirectory("a\r\nDELE b"); }},
                      LineBreakCase{"mkd", [](TIdFTP& f) { f.MakeDirectory("x\ny"); }},
                      LineBreakCase{"dele", [](TIdFTP& f) { f.DeleteRemoteFile("x\rRMD y"); }},
                      LineBreakCase{"raw", [](TIdFTP& f) { f.RawCommand("NOOP\r\nQUIT"); }},
                      LineBreakCase{"retr",
                                    [](TIdFTP& f) {
                                        TIdMemoryStream s;
                                        f.Download("a\nDELE b", s, false);
                                    }},
                      LineBreakCase{"stor",
                                    [](TIdFTP& f) {
                                        TIdMemoryStream s;
                                        f.Upload(s, "a\r\nDELE b", false);
                                    }},
                      LineBreakCase{"list",
                                    [](TIdFTP& f) { f.ListDirectory(nullptr, "-l\r\nDELE x"); }}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace

namespace {

// A transfer on a client that never connected must fail cleanly in either
// mode, before any listener or data connection is left behind.
TEST(FtpDisconnected, TransfersRaiseNotConnected) {
    for (const bool passive : {true, false}) {
        for (const bool upload : {false, true}) {
            TIdFTP ftp;
            ftp.Passive = passive;
            TIdMemoryStream stream;
            if (upload) {
                EXPECT_THROW(ftp.Upload(stream, "x", false), EIdNotConnected) << passive;
            } else {
                EXPECT_THROW(ftp.Download("x", stream, false), EIdNotConnected) << passive;
            }
            EXPECT_EQ(ftp.DataConnection(), nullptr);
        }
    }
}

} // namespace
