// Addresses of both families: their text, resolution in the resolver's order,
// and a connect that goes on to the next address when one does not answer.

#include "IdException.h"
#include "IdIOHandlerSocket.h"
#include "IdStackPosix.h"
#include "IdTCPClient.h"
#include "NetTestUtil.h"
#include "TestSockets.h"

#include <net/if.h>

#include <string>
#include <vector>

namespace {

TEST(AddressTest, ParseAndTextOfBothFamilies) {
    const std::string loopName = ::if_nametoindex("lo") != 0 ? "lo" : "";
    const struct {
        std::string In;
        const char* Text; // nullptr: refused
    } cases[] = {
        {"127.0.0.1", "127.0.0.1"},
        {"::1", "::1"},
        {"[::1]", "::1"},
        {"0:0:0:0:0:0:0:1", "::1"},
        {"2001:DB8::0:1", "2001:db8::1"},
        {"::ffff:192.0.2.1", "::ffff:192.0.2.1"},
        {"fe80::1%" + loopName, loopName.empty() ? nullptr : "fe80::1%lo"},
        {"fe80::1%no-such-interface", nullptr},
        {"fe80::1%", nullptr},
        {"[127.0.0.1]", nullptr},
        {"[::1", nullptr},
        {":::", nullptr},
        {"::1 ", nullptr},
        {"", nullptr},
    };
    for (const auto& c : cases) {
        TIdAddress address;
        const bool parsed = TIdAddress::Parse(c.In, 21, address);
        EXPECT_EQ(parsed, c.Text != nullptr) << c.In;
        if (parsed && c.Text != nullptr) {
            EXPECT_EQ(address.Text(), c.Text) << c.In;
            EXPECT_EQ(address.Port, 21);
        }
    }
}

// Answers names from a table, so that order and fallback need no resolver set-up.
class TableStack : public TIdStackPosix {
public:
    static inline std::vector<std::string> Answer;
    std::vector<TIdAddress> HostAddresses(const std::string& AHostName,
                                          TIdAddressFamily AFamily) override {
        if (AHostName != "dual.test") {
            return TIdStackPosix::HostAddresses(AHostName, AFamily);
        }
        std::vector<TIdAddress> found;
        for (const std::string& text : Answer) {
            TIdAddress address;
            TIdAddress::Parse(text, 0, address);
            if (AFamily == TIdAddressFamily::None || AFamily == address.Family) {
                found.push_back(address);
            }
        }
        if (found.empty()) {
            RaiseSocketFailure(Id_WSAHOST_NOT_FOUND);
        }
        return found;
    }
};

class TableStackTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string why = qtest::IPv6Unavailable(); !why.empty()) {
            GTEST_SKIP() << why;
        }
        StackClass = [] { return std::make_unique<TableStack>(); };
        component = std::make_unique<TIdComponent>();
    }
    void TearDown() override {
        component.reset();
        StackClass = nullptr;
    }
    std::unique_ptr<TIdComponent> component;
};

TEST_F(TableStackTest, ResolutionKeepsTheResolverOrderAndTheFamilyAskedFor) {
    TableStack::Answer = {"::1", "127.0.0.1", "192.0.2.7"};
    const auto texts = [](const std::vector<TIdAddress>& AList) {
        std::vector<std::string> out;
        for (const TIdAddress& a : AList) {
            out.push_back(a.Text() + ":" + std::to_string(a.Port));
        }
        return out;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(texts(TheStack->ResolveAddresses("dual.test", 21)),
              (V{"::1:21", "127.0.0.1:21", "192.0.2.7:21"}));
    EXPECT_EQ(texts(TheStack->ResolveAddresses("dual.test", 21, TIdAddressFamily::IPv4)),
              (V{"127.0.0.1:21", "192.0.2.7:21"}));
    EXPECT_EQ(texts(TheStack->ResolveAddresses("[::1]", 990)), V{"::1:990"});
    EXPECT_EQ(texts(TheStack->ResolveAddresses("localhost", 21, TIdAddressFamily::IPv6)),
              V{"::1:21"});
    EXPECT_THROW(TheStack->ResolveAddresses("127.0.0.1", 21, TIdAddressFamily::IPv6),
                 EIdSocketError);
    TableStack::Answer = {"::1"};
    EXPECT_THROW(TheStack->ResolveAddresses("dual.test", 21, TIdAddressFamily::IPv4),
                 EIdSocketError);
}

// The first address refuses; the connect goes on to the next one within the
// same call, in the timed and in the platform's connect alike.
TEST_F(TableStackTest, ConnectGoesOnToTheNextAddressInOrder) {
    const struct {
        const char* Label;
        std::vector<std::string> Answer;
        const char* Listening; // the one that accepts
        int32_t Timeout;
    } cases[] = {
        {"ipv6Dead", {"::1", "127.0.0.1"}, "127.0.0.1", 5000},
        {"ipv4Dead", {"127.0.0.1", "::1"}, "::1", 5000},
        {"ipv6DeadPlainConnect", {"::1", "127.0.0.1"}, "127.0.0.1", -1},
    };
    for (const auto& c : cases) {
        TIdSocketHandle listener;
        listener.Family = std::string(c.Listening) == "::1" ? Id_PF_INET6 : Id_PF_INET;
        listener.OpenSocket();
        listener.IP = c.Listening;
        listener.BindLocal();
        listener.StartListen(4);
        TableStack::Answer = c.Answer;
        TIdTCPClient client;
        std::vector<std::string> tried;
        client.OnStatus = [&tried](TIdComponent*, TIdStatus AStatus, const std::string& AText) {
            if (AStatus == hsConnecting) {
                tried.push_back(AText);
            }
        };
        client.SetHost("dual.test");
        client.SetPort(listener.Port);
        client.OpenConnection(c.Timeout);
        EXPECT_EQ(tried, c.Answer) << c.Label;
        EXPECT_EQ(client.IOHandler()->PeerAddress().Text(), c.Listening) << c.Label;
        EXPECT_EQ(client.IOHandler()->LocalAddress().Text(), c.Listening) << c.Label;
        client.CloseConnection();

        // Asked for the other family only, the listening address is never tried.
        client.AddressFamily =
            std::string(c.Listening) == "::1" ? TIdAddressFamily::IPv4 : TIdAddressFamily::IPv6;
        tried.clear();
        EXPECT_THROW(client.OpenConnection(c.Timeout), EIdException) << c.Label;
        EXPECT_EQ(tried.size(), 1u) << c.Label;
    }
}

} // namespace
