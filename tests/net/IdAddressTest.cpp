// Addresses of both families: their text, resolution in the resolver's order,
// and a connect that goes on to the next address when one does not answer.

#include "IdException.h"
#include "IdIOHandler.h"
#include "IdSocketHandle.h"
#include "IdStackPosix.h"
#include "IdTCPClient.h"
#include "TestSockets.h"

#include <gtest/gtest.h>
#include <net/if.h>

namespace {

using Texts = std::vector<std::string>;

TEST(AddressTest, ParseAndTextOfBothFamilies) {
    const bool lo = ::if_nametoindex("lo") != 0;
    const std::pair<std::string, const char*> cases[] = {
        {"127.0.0.1", "127.0.0.1"},
        {"::1", "::1"},
        {"[::1]", "::1"},
        {"2001:DB8::0:1", "2001:db8::1"},
        {"fe80::1%lo", lo ? "fe80::1%lo" : nullptr},
        {"fe80::1%no-such-if", nullptr},
        {"fe80::1%", nullptr},
        {"[127.0.0.1]", nullptr},
        {"[::1", nullptr},
        {":::", nullptr},
        {"", nullptr}};
    for (const auto& [in, text] : cases) {
        TIdAddress address;
        EXPECT_EQ(TIdAddress::Parse(in, 21, address), text != nullptr) << in;
        EXPECT_EQ(address.Text(), text ? text : "") << in;
    }
}

// Answers "dual.test" from a list, so that order and fallback need no resolver set-up.
class TableStack : public TIdStackPosix {
public:
    static inline Texts Answer;
    std::vector<TIdAddress> HostAddresses(const std::string& AName,
                                          TIdAddressFamily AFamily) override {
        std::vector<TIdAddress> found;
        for (const std::string& text : Answer) {
            TIdAddress a;
            if (AName == "dual.test" && TIdAddress::Parse(text, 0, a) &&
                (AFamily == TIdAddressFamily::None || AFamily == a.Family)) {
                found.push_back(a);
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
        Saved = StackClass;
        if (const std::string why = qtest::IPv6Unavailable(); !why.empty()) {
            GTEST_SKIP() << why;
        }
        StackClass = [] { return std::make_unique<TableStack>(); };
        Component = std::make_unique<TIdComponent>();
        ASSERT_NE(dynamic_cast<TableStack*>(TheStack), nullptr);
    }
    void TearDown() override {
        Component.reset();
        StackClass = Saved;
    }
    static Texts Resolved(const std::string& AHost, TIdAddressFamily AFamily) {
        Texts out;
        for (const TIdAddress& a : TheStack->ResolveAddresses(AHost, 21, AFamily)) {
            out.push_back(a.Text() + " " + std::to_string(a.Port));
        }
        return out;
    }
    std::unique_ptr<TIdComponent> Component;
    TIdStackClass Saved;
};

TEST_F(TableStackTest, ResolutionKeepsTheResolverOrderAndTheFamilyAskedFor) {
    TableStack::Answer = {"::1", "127.0.0.1", "192.0.2.7"};
    using F = TIdAddressFamily;
    EXPECT_EQ(Resolved("dual.test", F::None), (Texts{"::1 21", "127.0.0.1 21", "192.0.2.7 21"}));
    EXPECT_EQ(Resolved("dual.test", F::IPv4), (Texts{"127.0.0.1 21", "192.0.2.7 21"}));
    EXPECT_EQ(Resolved("[::1]", F::None), Texts{"::1 21"});
    EXPECT_EQ(Resolved("localhost", F::IPv6), Texts{"::1 21"});
    EXPECT_THROW(Resolved("127.0.0.1", F::IPv6), EIdSocketError);
    EXPECT_THROW(Resolved("no-such.test", F::None), EIdSocketError);
}

// The first address refuses; the connect goes on to the next one within the
// same call, the timed one and the platform's alike.
TEST_F(TableStackTest, ConnectGoesOnToTheNextAddressInOrder) {
    const struct {
        Texts Answer;
        const char* Listening;
        int32_t Timeout;
    } cases[] = {{{"::1", "127.0.0.1"}, "127.0.0.1", 5000},
                 {{"127.0.0.1", "::1"}, "::1", 5000},
                 {{"::1", "127.0.0.1"}, "127.0.0.1", -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Listening + std::to_string(c.Timeout));
        const bool six = std::string(c.Listening) == "::1";
        TIdSocketHandle listener;
        listener.Family = six ? Id_PF_INET6 : Id_PF_INET;
        listener.OpenSocket();
        listener.IP = c.Listening;
        listener.BindLocal();
        listener.StartListen(4);
        TableStack::Answer = c.Answer;
        TIdTCPClient client;
        Texts tried;
        client.OnStatus = [&tried](TIdComponent*, TIdStatus AStatus, const std::string& AText) {
            if (AStatus == hsConnecting) {
                tried.push_back(AText);
            }
        };
        client.SetHost("dual.test");
        client.SetPort(listener.Port);
        client.OpenConnection(c.Timeout);
        Texts expected;
        for (const std::string& a : c.Answer) {
            expected.push_back("Connecting to " + a + ".");
        }
        EXPECT_EQ(tried, expected);
        EXPECT_EQ(client.IOHandler()->PeerAddress().Text(), c.Listening);
        EXPECT_EQ(client.IOHandler()->LocalAddress().Text(), c.Listening);
        client.CloseConnection();
        // Kept to the other family, the listening address is never tried.
        client.AddressFamily = six ? TIdAddressFamily::IPv4 : TIdAddressFamily::IPv6;
        tried.clear();
        EXPECT_THROW(client.OpenConnection(c.Timeout), EIdException);
        EXPECT_EQ(tried.size(), 1u);
    }
}

} // namespace
