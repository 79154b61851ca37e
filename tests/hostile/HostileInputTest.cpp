// Hostile listings and names, command text with line breaks, SOCKS proxies
// that answer oddly, and a server that never greets.

#include "EchoServer.h"
#include "FakeSocksServer.h"
#include "FtpClientTest.h"
#include "HostileTestSupport.h"
#include "IdException.h"
#include "IdFTP.h"
#include "IdIOHandlerSocket.h"
#include "IdSocks.h"
#include "IdTCPClient.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

using qtest::ExpectRaises;
using qtest::FakeFtpServer;
using qtest::Hex;

using namespace std::string_literals;

namespace {

using HostileSessionTest = qtest::FtpClientTest;

// ---------------------------------------------------------------------------
// Listings with hostile names

std::string UnixLine(const std::string& AName) {
    return "-rw-r--r--   1 owner    group        1234 Jan 01  2020 " + AName;
}

TEST_F(HostileSessionTest, HostileNamesAreListedAsTheServerSentThem) {
    const std::vector<std::string> names = {"..",          "../x",         "/etc/x",          "a/b",
                                            "a\\b",        "nul\0inside"s, "\xff\xfe\xc3(",   ".",
                                            "two  blanks", "..\\..\\win",  "x -> /etc/passwd"};
    std::string listing;
    for (const std::string& name : names) {
        listing += UnixLine(name) + "\r\n";
    }
    server.setListing(listing);
    ftp.ListDirectory(&ftp.ListLines);
    TIdFTPListItems& items = ftp.ListItems();
    ASSERT_EQ(items.Count(), static_cast<int32_t>(names.size()));
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        EXPECT_EQ(items.ItemAt(static_cast<int32_t>(i)).Name, names[i]) << i;
        EXPECT_EQ(items.ItemAt(static_cast<int32_t>(i)).FileSize, 1234);
    }
    // A plain file line with an arrow keeps the whole name; only links split.
    EXPECT_EQ(items.ItemAt(static_cast<int32_t>(names.size() - 1)).Name, names.back());
    EXPECT_EQ(Sent(), (std::vector<std::string>{"PASV", "LIST"}));
}

TEST_F(HostileSessionTest, HostileNameListsAndHugeListingsKeepParsing) {
    struct {
        const char* name;
        std::function<std::string()> listing;
        bool longForm;
        size_t lines;
        int32_t items;
    } cases[] = {
        {"HundredThousandEntries",
         [] {
             std::string s;
             for (int i = 0; i < 100000; ++i) {
                 s += UnixLine("file" + std::to_string(i)) + "\n";
             }
             return s;
         },
         true, 100000, 100000},
        {"SixteenThousandByteLines",
         [] {
             return UnixLine(std::string(16000, 'n')) + "\r\n" + std::string(16000, '?') + "\r\n" +
                    UnixLine("after") + "\r\n";
         },
         true, 3, 2},
        {"NameListWithHostileNames",
         [] { return std::string("..\r\n../x\r\n/etc/x\r\na\\b\r\nn\0ul\r\n\xc3\x28\r\n", 33); },
         // Detection looks for a long listing even after NLST, so bare names
         // yield no entries; the raw lines are all kept.
         false, 6, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string listing = c.listing();
        if (c.longForm) {
            server.setListing(listing);
        } else {
            server.setNameList(listing);
        }
        ftp.ListDirectory(nullptr, "", c.longForm);
        EXPECT_EQ(ftp.ListLines.size(), c.lines);
        EXPECT_EQ(ftp.ListItems().Count(), c.items);
    }
    const std::vector<std::string> sent = Sent();
    EXPECT_EQ(sent.back(), "NLST");
}

// ---------------------------------------------------------------------------
// Line breaks in command text

TEST_F(HostileSessionTest, CommandTextWithLineBreaksIsRefusedBeforeSending) {
    TIdMemoryStream stream;
    stream.Write("payload", 7);
    const std::vector<std::pair<const char*, std::function<void()>>> cases = {
        {"CWD", [&] { ftp.ChangeDirectory("a\r\nDELE victim"); }},
        {"MKD", [&] { ftp.MakeDirectory("a\nb"); }},
        {"RMD", [&] { ftp.DeleteDirectory("a\rb"); }},
        {"DELE", [&] { ftp.DeleteRemoteFile("x\nDELE y"); }},
        {"Raw", [&] { ftp.RawCommand("NOOP\r\nQUIT"); }},
        {"SendCommand", [&] { ftp.SendCommand("NOOP\n", -1); }},
        {"RETR", [&] { ftp.Download("a\r\nDELE b", stream, false); }},
        {"LIST", [&] { ftp.ListDirectory(nullptr, "-la\r\nDELE b"); }},
        {"STOR", [&] { ftp.Upload(stream, "up\nDELE b", false); }},
        {"APPE", [&] { ftp.Upload(stream, "up\rDELE b", true); }},
    };
    for (const auto& [name, action] : cases) {
        SCOPED_TRACE(name);
        ExpectRaises<EIdException>(action, "Line breaks are not allowed in a command.");
    }
    // A round trip proves nothing was still on its way.
    EXPECT_EQ(ftp.RawCommand("NOOP"), 200);
    EXPECT_EQ(Sent(), std::vector<std::string>{"NOOP"});
    EXPECT_EQ(ftp.DataConnection(), nullptr);
}

// ---------------------------------------------------------------------------
// A server that never greets

TEST(HostileGreetingTest, SilentServerGivesReadTimeoutAndClientRecovers) {
    FakeFtpServer server;
    server.withholdGreeting();
    TIdFTP ftp;
    ftp.SetHost(server.host());
    ftp.SetPort(server.port());
    ftp.ReadTimeout = 300;
    ExpectRaises<EIdReadTimeout>([&] { ftp.OpenSession(); }, "Read Timeout");
    EXPECT_FALSE(ftp.IsConnected());
    EXPECT_EQ(server.commands(), std::vector<std::string>{});
    ASSERT_TRUE(server.waitForClientCloses(1));
    // The next connection is greeted and works.
    server.setGreeting("220 Late but here.\r\n");
    ftp.OpenSession();
    EXPECT_EQ(ftp.GreetingReply().Text().front(), "Late but here.");
    ftp.EndSession();
}

// ---------------------------------------------------------------------------
// SOCKS proxies

struct SocksCase {
    const char* name;
    TSocksVersion version;
    qtest::SocksScript script;
    const char* error; // empty: the connection is granted and carries data
};

// Cases print by name; their raw bytes include padding.
void PrintTo(const SocksCase& ACase, std::ostream* AOut) {
    *AOut << ACase.name;
}

class HostileSocksTest : public ::testing::TestWithParam<SocksCase> {};

TEST_P(HostileSocksTest, GrantedAndAlignedOrRefusedAndDropped) {
    const SocksCase& c = GetParam();
    qtest::EchoServer echo;
    qtest::FakeSocksServer proxy;
    qtest::SocksScript script = c.script;
    script.after = qtest::SocksAfter::Relay;
    proxy.enqueue(script);

    TIdTCPClient client;
    client.SetOwnedIOHandler(std::make_unique<TIdIOHandlerSocket>());
    auto* handler = client.SocketHandler();
    ASSERT_NE(handler, nullptr);
    handler->SocksInfo()->Version = c.version;
    handler->SocksInfo()->Host = proxy.host();
    handler->SocksInfo()->Port = proxy.port();
    client.SetHost(c.version == svSocks4 ? echo.host() : "localhost");
    client.SetPort(echo.port());
    client.ReadTimeout = 10000;

    if (*c.error == '\0') {
        client.OpenConnection(5000);
        // Whatever the bound address took, nothing of it is left to be read
        // as data: the first line back is exactly the one sent.
        client.WriteLine("ping through the proxy");
        EXPECT_EQ(client.ReadLine(), "ping through the proxy");
        client.CloseConnection();
    } else if (c.version == svSocks5) {
        ExpectRaises<EIdSocksServerRespondError>([&] { client.OpenConnection(5000); }, c.error);
    } else {
        ExpectRaises<EIdConnClosedGracefully>([&] { client.OpenConnection(5000); }, c.error);
    }
    EXPECT_FALSE(client.IsConnected());
    ASSERT_TRUE(proxy.waitForExchanges(1));
    EXPECT_EQ(qtest::ToHex(proxy.exchanges().front().connectRequest.substr(0, 2)),
              c.version == svSocks5
                  ? (proxy.exchanges().front().connectRequest.empty() ? "" : "05 01")
                  : "04 01");
}

qtest::SocksScript Connect5(std::vector<std::string> APieces) {
    qtest::SocksScript s;
    s.connectReply = qtest::SocksStep::Pieces(std::move(APieces));
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, HostileSocksTest,
    ::testing::Values(
        SocksCase{"V5NameBoundAddress", svSocks5,
                  Connect5({Hex("05 00 00 03 0b") + "proxy.local" + Hex("04 38")}), ""},
        SocksCase{"V5Ipv6BoundAddress", svSocks5,
                  Connect5({Hex("05 00 00 04 20 01 0d b8 00 00 00 00 00 00 00 00 00 00 00 01 "
                                "04 38")}),
                  ""},
        SocksCase{"V5ReplyInOneBytePieces", svSocks5,
                  Connect5({Hex("05"), Hex("00"), Hex("00"), Hex("01"), Hex("7f"), Hex("00"),
                            Hex("00"), Hex("01"), Hex("04"), Hex("38")}),
                  ""},
        SocksCase{"V5NameReplySplitInsideName", svSocks5,
                  Connect5({Hex("05 00 00 03 04") + "ab", "cd" + Hex("04"), Hex("38")}), ""},
        SocksCase{"V5MethodReplyInPieces", svSocks5,
                  [] {
                      qtest::SocksScript s;
                      s.methodReply = qtest::SocksStep::Pieces({Hex("05"), Hex("00")});
                      return s;
                  }(),
                  ""},
        SocksCase{"V5ClosesInsteadOfMethodReply", svSocks5,
                  [] {
                      qtest::SocksScript s;
                      s.methodReply = qtest::SocksStep::CloseAfter();
                      return s;
                  }(),
                  "Socks server did not respond."},
        SocksCase{"V5ClosesMidConnectReply", svSocks5,
                  [] {
                      qtest::SocksScript s;
                      s.connectReply = qtest::SocksStep::CloseAfter(Hex("05 00 00"));
                      return s;
                  }(),
                  "Socks server did not respond."},
        SocksCase{"V5ClosesInsideBoundAddress", svSocks5,
                  [] {
                      qtest::SocksScript s;
                      s.connectReply =
                          qtest::SocksStep::CloseAfter(Hex("05 00 00 03 10") + "short");
                      return s;
                  }(),
                  "Socks server did not respond."},
        SocksCase{"V4ReplyInPieces", svSocks4,
                  [] {
                      qtest::SocksScript s;
                      s.connectReply = qtest::SocksStep::Pieces(
                          {Hex("00 5a"), Hex("00 00"), Hex("00 00 00 00")});
                      return s;
                  }(),
                  ""},
        SocksCase{"V4ReplyShorterThan8Bytes", svSocks4,
                  [] {
                      qtest::SocksScript s;
                      s.connectReply = qtest::SocksStep::CloseAfter(Hex("00 5a 00 15"));
                      return s;
                  }(),
                  "Connection Closed Gracefully."}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

} // namespace
