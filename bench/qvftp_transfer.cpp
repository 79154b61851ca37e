// qvftp against a private vsftpd on loopback, passive mode, beside curl on the
// same file from the same server in the same run: a download to a file, a
// download to /dev/null and an upload. With --tls both run over explicit
// TLS (vsftpd requiring it, data connections resuming the session), trusting
// the same test CA: qvftp --tls beside curl --ssl-reqd.
//
//   bench_qvftp_transfer [--tls] [size in MiB, default 1024]
//
// Each figure is the best of five runs, the two programs taking turns going
// first, so a neighbour's burst on a shared machine does not decide the result.
// Every row runs twice: with server and clients sharing the cores, and with
// the server on a core of its own (CpuLayout.h tells why both).

#include "BytePattern.h"
#include "CpuLayout.h"
#include "TempDir.h"
#include "TestCertificates.h"
#include "VsftpdServer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int Runs = 5;

double TimedShell(const std::string& command) {
    // Each run starts with no dirty pages left by the one before: otherwise
    // the second program of a pair pays for writing back the first one's file.
    (void)std::system("sync");
    const auto start = Clock::now();
    const int rc = std::system(command.c_str());
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (rc != 0) {
        std::fprintf(stderr, "failed (%d): %s\n", rc, command.c_str());
        std::exit(1);
    }
    return seconds;
}

} // namespace

int main(int argc, char** argv) {
    const bool tls = argc > 1 && std::string(argv[1]) == "--tls";
    if (tls) {
        --argc;
        ++argv;
    }
    const int64_t mib = argc > 1 ? std::atoll(argv[1]) : 1024;
    const int64_t size = mib << 20;
    std::string why = qtest::VsftpdServer::Unavailable();
    if (why.empty() && tls) {
        why = qtest::TestCertificates::Unavailable();
    }
    if (!why.empty()) {
        std::fprintf(stderr, "vsftpd unavailable: %s\n", why.c_str());
        return 1;
    }
    qtest::VsftpdOptions options;
    std::string qTls;
    std::string curlTls;
    if (tls) {
        options.tls = qtest::FtpTls::Explicit;
        options.tlsRequired = true;
        const std::string ca = qtest::TestCertificates::Get().caFile.string();
        qTls = "--tls --cacert '" + ca + "' ";
        curlTls = "--ssl-reqd --cacert '" + ca + "' ";
    }
    qtest::VsftpdServer server(options);
    qtest::TempDir local("quorvan-bench");
    qtest::WritePatternFile(server.writeFile("bench.bin", ""), size);
    const std::string upSource = (local / "source.bin").string();
    qtest::WritePatternFile(upSource, size);
    const std::string downTarget = (local / "down.bin").string();
    const std::string q = std::string("'") + QVFTP_PATH + "' -q " + qTls;
    const std::string curl = "curl -sS --fail --ftp-pasv " + curlTls;
    const std::string from = "'" + server.url("bench.bin") + "'";
    const std::string to = "'" + server.url("up.bin") + "'";

    struct Row {
        const char* what;
        std::string ours;
        std::string theirs;
    };
    const std::vector<Row> rows = {
        {"get to a file", q + "get " + from + " '" + downTarget + "'",
         curl + "-o '" + downTarget + "' " + from},
        {"get to /dev/null", q + "get " + from + " /dev/null", curl + "-o /dev/null " + from},
        {"put from a file", q + "put '" + upSource + "' " + to,
         curl + "-T '" + upSource + "' " + to},
    };
    const qbench::CpuLayout layout;
    const double mb = static_cast<double>(size) / 1e6;
    for (const bool apart : {false, true}) {
        if (apart && !layout.CanSeparate()) {
            std::printf("one core only: no run with the server on a core of its own\n");
            break;
        }
        if (apart) {
            layout.Separate(server.pid());
        } else {
            layout.Share(server.pid());
        }
        std::printf("\nqvftp vs curl, vsftpd on loopback, passive%s, %lld MiB, best of %d, %s "
                    "(MB = 10^6 B)\n",
                    tls ? ", explicit TLS" : "", static_cast<long long>(mib), Runs,
                    apart ? "server on a core of its own" : "server and clients share the cores");
        std::printf("%-18s %10s %11s %7s\n", "transfer", "curl MB/s", "qvftp MB/s", "ratio");
        for (const Row& row : rows) {
            double oursBest = 1e100;
            double theirsBest = 1e100;
            // The programs take turns going first.
            for (int i = 0; i < Runs; ++i) {
                if (i % 2 == 0) {
                    theirsBest = std::min(theirsBest, TimedShell(row.theirs));
                }
                oursBest = std::min(oursBest, TimedShell(row.ours));
                if (i % 2 == 1) {
                    theirsBest = std::min(theirsBest, TimedShell(row.theirs));
                }
            }
            const double c = mb / theirsBest;
            const double o = mb / oursBest;
            std::printf("%-18s %10.0f %11.0f %7.2f\n", row.what, c, o, o / c);
            std::fflush(stdout);
        }
    }
    return 0;
}
