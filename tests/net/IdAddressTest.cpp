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

#include <tuple>

namespace {

using Texts = std::vector<std::string>;

TEST(AddressTest, ParseAndTextOfBothFamilies) {
    const bool lo = ::if_nametoindex("lo") != 0;
    // clang-format off
    const std::pair<std::string, const char*> cases[] = {
        {"127.0.0.1", "127.0.0.1"}, {"::1", "::1"}, {"[::1]", "::1"}, {"2001:DB8::0:1", "2001:db8::1"},
        {"fe80::1%lo", lo ? "fe80::1%lo" : nullptr}, {"fe80::1%no-such-if", nullptr},
        {"fe80::1%", nullptr}, {"[127.0.0.1]", nullptr}, {"[::1", nullptr}, {":::", nullptr}, {"", nullptr}};
    // clang-format on
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
    std::unique_ptr<TIdComponent> Component;
    TIdStackClass Saved;
};

TEST_F(TableStackTest, ResolutionKeepsTheResolverOrderAndTheFamilyAskedFor) {
    TableStack::Answer = {"::1", "127.0.0.1", "192.0.2.7"};
    using F = TIdAddressFamily;
    const std::tuple<const char*, F, Texts> cases[] = {
        {"dual.test", F::None, {"::1 21", "127.0.0.1 21", "192.0.2.7 21"}},
        {"dual.test", F::IPv4, {"127.0.0.1 21", "192.0.2.7 21"}},
        {"[::1]", F::None, {"::1 21"}},
        {"localhost", F::IPv6, {"::1 21"}},
        {"127.0.0.1", F::IPv6, {}}, // nothing: 11001
        {"no-such.test", F::None, {}}};
    for (const auto& [host, family, expected] : cases) {
        Texts got;
        try {
            for (const TIdAddress& a : TheStack->ResolveAddresses(host, 21, family)) {
                got.push_back(a.Text() + " " + std::to_string(a.Port));
            }
        } catch (const EIdSocketError& e) {
            EXPECT_EQ(e.ErrorCode, 11001);
        }
        EXPECT_EQ(got, expected) << host;
    }
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
        EXPECT_EQ(tried, (Texts{"Connecting to " + c.Answer[0] + ".",
                                "Connecting to " + c.Answer[1] + "."}));
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
