#include "IdException.h"
#include "IdResourceStrings.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace IdResourceStrings;

TEST(Exceptions, FamiliesCatchTheirMembersOnly) {
    EXPECT_THROW(throw EIdConnClosedGracefully(RSConnectionClosedGracefully), EIdSilentException);
    EXPECT_THROW(throw EIdNotConnected(RSNotConnected), EIdTCPConnectionError);
    try {
        throw EIdClosedSocket(RSStatusDisconnected);
    } catch (const EIdTCPConnectionError&) {
        FAIL() << "a closed socket is not a connection-layer error";
    } catch (const EIdException& e) {
        EXPECT_STREQ(e.what(), "Disconnected.");
    }
    EXPECT_THROW(throw EIdSocksServerAddressError(RSSocksServerAddressError), EIdSocksError);
    EXPECT_THROW(throw EIdStackSetSizeExceeded(RSSetSizeExceeded), EIdStackError);
    EXPECT_THROW(throw EIdInvalidPortRange("x"), EIdSocketHandleError);
}

TEST(Exceptions, CodesAndFilledMessages) {
    const EIdSocketError socketError(10061,
                                     FormatMessage(RSStackError, 10061, "Connection refused."));
    EXPECT_EQ(socketError.ErrorCode, 10061);
    EXPECT_STREQ(socketError.what(), "Socket Error # 10061\r\nConnection refused.");

    const EIdProtocolReplyError replyError(530, "Login incorrect.\r\n");
    EXPECT_EQ(replyError.ReplyCode, 530);

    EXPECT_EQ(FormatMessage(RSInvalidPortRange, 5002, 5000), "Invalid Port Range (5002 - 5000)");
    EXPECT_EQ(FormatMessage(RSFileNotFound, "a b"), "File \"a b\" not found");
}

TEST(Exceptions, StubErrorWithAndWithoutSystemCode) {
    const EIdWS2StubError plain("Title", 0);
    EXPECT_STREQ(plain.what(), "Title");
    EXPECT_TRUE(plain.SystemErrorMessage.empty());

    const EIdWS2StubError withCode("Title", 2);
    EXPECT_EQ(withCode.SystemErrorMessage, std::strerror(2));
    EXPECT_EQ(std::string(withCode.what()), "Title: " + withCode.SystemErrorMessage);
    EXPECT_EQ(withCode.ErrorTitle, "Title");
    EXPECT_EQ(withCode.SystemErrorCode, 2u);
}

} // namespace
