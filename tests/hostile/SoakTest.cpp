// Thousands of small transfers and hundreds of sessions against vsftpd in one
// process: no descriptor and no memory may be left behind.

#include "HostileTestSupport.h"
#include "IdFTP.h"
#include "TempDir.h"
#include "VsftpdServer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
#define QUORVAN_SOAK_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORVAN_SOAK_UNDER_ASAN 1
#endif
#endif

namespace {

constexpr int kTransfers = 2000;
constexpr int kSessions = 200;
#ifdef QUORVAN_SOAK_UNDER_ASAN
// The sanitizer keeps freed memory in quarantine, so resident memory says
// nothing about leaks there; its leak checker covers them instead.
constexpr bool kCheckMemory = false;
#else
constexpr bool kCheckMemory = true;
#endif

void Configure(TIdFTP& AFtp, const qtest::VsftpdServer& AServer) {
    AFtp.SetHost(AServer.host());
    AFtp.SetPort(AServer.port());
    AFtp.Username = AServer.user();
    AFtp.Password = AServer.password();
    AFtp.Passive = true;
    AFtp.RecvBufferSize = 1024;
    AFtp.SendBufferSize = 1024;
}

TEST(SoakTest, ManyTransfersAndSessionsLeaveNothingBehind) {
    if (const std::string why = qtest::VsftpdServer::Unavailable(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    qtest::VsftpdServer server;
    const std::string payload = qtest::RandomBytes(3000, 99);
    server.writeFile("small.bin", payload);
    const std::string remote = server.remotePath("small.bin");

    TIdFTP ftp;
    Configure(ftp, server);
    // One full round first, so that one-time allocations (the socket stack,
    // the resolver, the allocator's own pools) are not counted as growth.
    ftp.OpenSession();
    {
        TIdMemoryStream stream;
        ftp.Download(remote, stream, false);
    }
    ftp.EndSession();
    const size_t fdsBefore = qtest::OpenSocketCount();
    const long residentBefore = qtest::ResidentKiB();

    ftp.OpenSession();
    int wrong = 0;
    for (int i = 0; i < kTransfers; ++i) {
        if (i % 10 == 9) {
            ftp.ListDirectory(nullptr, server.remoteWorkDir());
            wrong += ftp.ListItems().Count() == 1 ? 0 : 1;
        } else {
            TIdMemoryStream stream;
            ftp.Download(remote, stream, false);
            wrong += stream.DataString() == payload ? 0 : 1;
        }
    }
    ftp.EndSession();
    EXPECT_EQ(wrong, 0);

    for (int i = 0; i < kSessions; ++i) {
        ftp.OpenSession();
        ftp.ChangeDirectory(server.remoteWorkDir());
        ftp.EndSession();
    }
    EXPECT_FALSE(ftp.IsConnected());

    const size_t fdsAfter = qtest::OpenSocketCount();
    const long grown = qtest::ResidentKiB() - residentBefore;
    std::printf("soak: %d transfers, %d sessions; sockets %zu -> %zu; resident +%ld KiB\n",
                kTransfers, kSessions, fdsBefore, fdsAfter, grown);
    EXPECT_EQ(fdsAfter, fdsBefore);
    if (kCheckMemory) {
        EXPECT_LT(grown, 5 * 1024);
    }
}

} // namespace
