#pragma once

#include "FakeFtpServer.h"
#include "IdFTP.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace qtest {

// A client set up for the scripted server (user "u", password "p", passive
// with PASV)
// that records its statuses; SetUp signs it in. A fixture that signs in
// differently changes ftp first and then calls this SetUp, or replaces it.
class FtpClientTest : public ::testing::Test {
protected:
    FtpClientTest();
    void SetUp() override;

    // The command lines sent since SetUp signed in (all of them without it).
    std::vector<std::string> Sent() const;
    bool HasStatus(TIdStatus AStatus, const std::string& AText) const;

    FakeFtpServer server;
    TIdFTP ftp;
    size_t sessionCommands = 0;
    std::vector<std::pair<TIdStatus, std::string>> statuses;
};

} // namespace qtest
