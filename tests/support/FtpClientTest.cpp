#include "FtpClientTest.h"

#include <algorithm>

namespace qtest {

FtpClientTest::FtpClientTest() {
    ftp.SetHost(server.host());
    ftp.SetPort(server.port());
    ftp.Username = "u";
    ftp.Password = "p";
    ftp.Passive = true;
    // The scripted exchanges name PASV; EPSV has tests of its own.
    ftp.UseEPSV = false;
    ftp.OnStatus = [this](TIdComponent*, TIdStatus s, const std::string& text) {
        statuses.emplace_back(s, text);
    };
}

void FtpClientTest::SetUp() {
    ftp.OpenSession();
    sessionCommands = server.commands().size();
}

std::vector<std::string> FtpClientTest::Sent() const {
    const std::vector<std::string> all = server.commands();
    return {all.begin() + static_cast<std::ptrdiff_t>(sessionCommands), all.end()};
}

bool FtpClientTest::HasStatus(TIdStatus AStatus, const std::string& AText) const {
    return std::find(statuses.begin(), statuses.end(), std::make_pair(AStatus, AText)) !=
           statuses.end();
}

} // namespace qtest
