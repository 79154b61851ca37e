// Throughput of TIdFTP against a private vsftpd on loopback, passive mode,
// beside curl on the same file from the same server in the same run.
//
//   bench_ftp_transfer [size in MiB, default 1024]
//
// Each figure is the best of five runs, the three contenders taking turns
// going first, so a neighbour's burst on a shared machine does not decide the
// result.

#include "BytePattern.h"
#include "CountingStream.h"
#include "IdFTP.h"
#include "TempDir.h"
#include "VsftpdServer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int Runs = 5;

double Seconds(const std::function<void()>& run) {
    // No dirty pages left by the run before: otherwise the next contender
    // pays for writing back the previous one's file.
    (void)std::system("sync");
    const auto start = Clock::now();
    run();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void Shell(const std::string& command) {
    const int rc = std::system(command.c_str());
    if (rc != 0) {
        std::fprintf(stderr, "failed (%d): %s\n", rc, command.c_str());
        std::exit(1);
    }
}

struct Row {
    std::string what;
    double curlSeconds;
    double oursDefault;
    double ours1024;
};

} // namespace

int main(int argc, char** argv) {
    const int64_t mib = argc > 1 ? std::atoll(argv[1]) : 1024;
    const int64_t size = mib << 20;
    const std::string why = qtest::VsftpdServer::Unavailable();
    if (!why.empty()) {
        std::fprintf(stderr, "vsftpd unavailable: %s\n", why.c_str());
        return 1;
    }
    qtest::VsftpdServer server;
    qtest::TempDir local("quorvan-bench");
    const std::string name = "bench.bin";
    const auto remoteFile = server.writeFile(name, "");
    qtest::WritePatternFile(remoteFile, size);
    const auto upSource = local / "source.bin";
    qtest::WritePatternFile(upSource, size);
    const auto downTarget = local / "down.bin";

    auto session = [&](int32_t bufferSize, const std::function<void(TIdFTP&)>& body) {
        TIdFTP ftp;
        ftp.SetHost(server.host());
        ftp.SetPort(server.port());
        ftp.Username = server.user();
        ftp.Password = server.password();
        ftp.Passive = true;
        if (bufferSize > 0) {
            ftp.RecvBufferSize = bufferSize;
            ftp.SendBufferSize = bufferSize;
        }
        ftp.OpenSession();
        ftp.ChangeDirectory(server.remoteWorkDir());
        body(ftp);
        ftp.EndSession();
    };
    auto ours = [&](int32_t bufferSize, const std::string& what) {
        return Seconds([&] {
            session(bufferSize, [&](TIdFTP& ftp) {
                if (what == "download to file") {
                    ftp.Download(name, downTarget.string(), true, false);
                } else if (what == "download, discarded") {
                    TCountingStream sink;
                    ftp.Download(name, sink, false);
                } else {
                    ftp.Upload(upSource.string(), "up.bin");
                }
            });
        });
    };
    auto curl = [&](const std::string& what) {
        const std::string base = "curl -sS --fail --ftp-pasv ";
        return Seconds([&] {
            if (what == "download to file") {
                Shell(base + "-o '" + downTarget.string() + "' '" + server.url(name) + "'");
            } else if (what == "download, discarded") {
                Shell(base + "-o /dev/null '" + server.url(name) + "'");
            } else {
                Shell(base + "-T '" + upSource.string() + "' '" + server.url("up.bin") + "'");
            }
        });
    };

    std::vector<Row> rows;
    for (const std::string what : {"download to file", "download, discarded", "upload from file"}) {
        Row row{what, 1e100, 1e100, 1e100};
        for (int i = 0; i < Runs; ++i) {
            // Each contender goes first in turn.
            for (int k = 0; k < 3; ++k) {
                switch ((i + k) % 3) {
                case 0: row.curlSeconds = std::min(row.curlSeconds, curl(what)); break;
                case 1: row.oursDefault = std::min(row.oursDefault, ours(0, what)); break;
                default: row.ours1024 = std::min(row.ours1024, ours(1024, what)); break;
                }
            }
        }
        rows.push_back(row);
    }

    const double mb = static_cast<double>(size) / 1e6;
    std::printf("TIdFTP vs curl, vsftpd on loopback, passive, %lld MiB, best of %d (MB = 10^6 B)\n",
                static_cast<long long>(mib), Runs);
    std::printf("%-22s %10s %14s %8s %14s %8s\n", "transfer", "curl MB/s", "default MB/s", "ratio",
                "1024 B MB/s", "ratio");
    for (const Row& r : rows) {
        const double c = mb / r.curlSeconds;
        const double d = mb / r.oursDefault;
        const double k = mb / r.ours1024;
        std::printf("%-22s %10.0f %14.0f %8.2f %14.0f %8.2f\n", r.what.c_str(), c, d, d / c, k,
                    k / c);
    }
    return 0;
}
