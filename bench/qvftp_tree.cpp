// A whole tree from a private vsftpd on loopback, passive mode, one
// connection each: qvftp get -r beside lftp (mirror, one transfer at a time),
// wget -r, and curl (one process given every file's URL, so it need not list)
// in the same run; the best of a few rounds each. Then the same tree over a
// slow link (pyftpdlib waiting one round trip before every reply and every
// data connection, each session on a thread of its own so that the waits do
// not add up across sessions), once: qvftp get -r over four sessions and over
// one beside lftp mirror with --parallel=4 and =1.
//   bench_qvftp_tree [dirs=50] [files per dir=20] [bytes=4096] [rounds=3] [round trip ms=50]
#include "PyftpdlibServer.h"
#include "TempDir.h"
#include "VsftpdServer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::string Name(const char* APrefix, long AIndex) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%03ld", APrefix, AIndex);
    return name;
}

// Runs a shell command and returns its wall time, or a negative time on failure.
double Timed(const std::string& ACommand) {
    (void)std::system("sync");
    const auto start = Clock::now();
    const int status = std::system(ACommand.c_str());
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return status == 0 ? seconds : -seconds;
}

// Every file arrived whole below ARoot.
bool AllThere(const fs::path& ARoot, long ADirs, long AFiles, uintmax_t ABytes) {
    for (long d = 0; d < ADirs; ++d) {
        for (long f = 0; f < AFiles; ++f) {
            std::error_code ec;
            if (fs::file_size(ARoot / Name("d", d) / Name("f", f), ec) != ABytes || ec) {
                return false;
            }
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const long dirs = argc > 1 ? std::atol(argv[1]) : 50;
    const long files = argc > 2 ? std::atol(argv[2]) : 20;
    const long bytes = argc > 3 ? std::atol(argv[3]) : 4096;
    const int rounds = argc > 4 ? std::atoi(argv[4]) : 3;
    if (const std::string why = qtest::VsftpdServer::Unavailable(); !why.empty()) {
        std::printf("vsftpd unavailable: %s\n", why.c_str());
        return 1;
    }
    qtest::VsftpdServer server;
    const std::string content = qtest::RandomBytes(static_cast<size_t>(bytes));
    for (long d = 0; d < dirs; ++d) {
        for (long f = 0; f < files; ++f) {
            server.writeFile("tree/" + Name("d", d) + "/" + Name("f", f), content);
        }
    }
    qtest::TempDir local{"quorvan-bench"};
    const fs::path target = local / "target";
    const std::string port = std::to_string(server.port());

    const std::string qvftp = std::string(QVFTP_PATH) + " -q get -r " + server.url("tree") + " '" +
                              target.string() + "' >/dev/null";
    const std::string lftp = "lftp -c 'set cmd:fail-exit yes; set ftp:passive-mode on; "
                             "open -u anonymous,bench@example.com ftp://127.0.0.1:" +
                             port + "; mirror --parallel=1 /upload/tree " + target.string() +
                             "' >/dev/null 2>&1";
    const std::string wget =
        "wget -q -r -l inf -nH --cut-dirs=2 -P '" + target.string() + "' " + server.url("tree/");
    std::string curl = "curl -s --create-dirs";
    for (long d = 0; d < dirs; ++d) {
        for (long f = 0; f < files; ++f) {
            const std::string rel = Name("d", d) + "/" + Name("f", f);
            curl += " -o '" + (target / rel).string() + "' '" + server.url("tree/" + rel) + "'";
        }
    }

    struct TTool {
        const char* label;
        const std::string* command;
        double best = 1e9;
        bool ok = true;
    };
    TTool tools[] = {{"qvftp get -r", &qvftp},
                     {"lftp mirror, one at a time", &lftp},
                     {"wget -r", &wget},
                     {"curl, every URL, one process", &curl}};
    for (int round = 0; round < rounds; ++round) {
        for (TTool& tool : tools) {
            fs::remove_all(target);
            const double seconds = Timed(*tool.command);
            // wget keeps a .listing file per directory; only the files count.
            tool.ok = tool.ok && seconds > 0 && AllThere(target, dirs, files, bytes);
            tool.best = std::min(tool.best, std::abs(seconds));
        }
    }
    const long total = dirs * files;
    std::printf("%ld files of %ld bytes in %ld directories from vsftpd on 127.0.0.1, best of %d\n",
                total, bytes, dirs, rounds);
    std::printf("%-30s %8s %10s %10s\n", "tool", "seconds", "files/s", "x lftp");
    for (const TTool& tool : tools) {
        std::printf("%-30s %8.3f %10.0f %10.2f%s\n", tool.label, tool.best,
                    static_cast<double>(total) / tool.best, tool.best / tools[1].best,
                    tool.ok ? "" : "  (FAILED: not every file arrived whole)");
    }
    bool ok = std::all_of(std::begin(tools), std::end(tools), [](const TTool& t) { return t.ok; });

    const long delayMs = argc > 5 ? std::atol(argv[5]) : 50;
    if (const std::string why = qtest::PyftpdlibServer::Unavailable(); !why.empty()) {
        std::printf("pyftpdlib unavailable: %s\n", why.c_str());
        return 1;
    }
    qtest::PyftpdlibOptions options;
    options.password = "bench";
    options.extraArgs = {"--delay-ms=" + std::to_string(delayMs)};
    qtest::PyftpdlibServer slow(options);
    for (long d = 0; d < dirs; ++d) {
        for (long f = 0; f < files; ++f) {
            slow.writeFile("tree/" + Name("d", d) + "/" + Name("f", f), content);
        }
    }
    const std::string slowUrl =
        "ftp://" + slow.user() + ":bench@127.0.0.1:" + std::to_string(slow.port()) + "/tree";
    auto qvftpOver = [&](int ASessions) {
        return std::string(QVFTP_PATH) + " -q --parallel " + std::to_string(ASessions) +
               " get -r " + slowUrl + " '" + target.string() + "' >/dev/null";
    };
    auto lftpOver = [&](int ASessions) {
        return "lftp -c 'set cmd:fail-exit yes; set ftp:passive-mode on; open -u " + slow.user() +
               ",bench ftp://127.0.0.1:" + std::to_string(slow.port()) +
               "; mirror --parallel=" + std::to_string(ASessions) + " /tree " + target.string() +
               "' >/dev/null 2>&1";
    };
    const std::string slowCommands[] = {qvftpOver(4), lftpOver(4), qvftpOver(1), lftpOver(1)};
    TTool slowTools[] = {{"qvftp get -r --parallel 4", &slowCommands[0]},
                         {"lftp mirror --parallel=4", &slowCommands[1]},
                         {"qvftp get -r --parallel 1", &slowCommands[2]},
                         {"lftp mirror --parallel=1", &slowCommands[3]}};
    for (TTool& tool : slowTools) {
        fs::remove_all(target);
        const double seconds = Timed(*tool.command);
        tool.ok = seconds > 0 && AllThere(target, dirs, files, bytes);
        tool.best = std::abs(seconds);
        ok = ok && tool.ok;
    }
    std::printf("\nthe same from pyftpdlib with %ld ms before every reply and data connection, "
                "once\n",
                delayMs);
    std::printf("%-30s %8s %10s %10s\n", "tool", "seconds", "files/s", "x lftp");
    for (size_t i = 0; i < std::size(slowTools); ++i) {
        const TTool& tool = slowTools[i];
        // Beside lftp with as many connections.
        const double lftpSeconds = slowTools[i / 2 * 2 + 1].best;
        std::printf("%-30s %8.3f %10.1f %10.2f%s\n", tool.label, tool.best,
                    static_cast<double>(total) / tool.best, tool.best / lftpSeconds,
                    tool.ok ? "" : "  (FAILED: not every file arrived whole)");
    }
    return ok ? 0 : 1;
}
