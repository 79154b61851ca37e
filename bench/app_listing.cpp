// Shows a large directory in the real main window (offscreen, driven as a
// user would: Connect, OK) and times OK until the remote list is drawn, beside
// curl listing the same directory in the same run. Also records the longest
// gap between two ticks of a 10 ms timer (how long the window went without
// answering), the process's peak RSS, and the heap the listed rows still hold
// once drawn, per row.
//   bench_app_listing [entries=20000,100000] [rounds=3]
#include "Connect.h"
#include "IdFTP.h"
#include "Main.h"
#include "TempDir.h"
#include "VsftpdServer.h"

#include <QElapsedTimer>
#include <QTimer>

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point AFrom) {
    return std::chrono::duration<double>(Clock::now() - AFrom).count();
}

size_t HeapInUse() {
    const struct mallinfo2 m = ::mallinfo2();
    return m.uordblks + m.hblkhd;
}

double PeakRssMiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Names and sizes vary like a real directory's: several extensions, some
// without one, sizes from bytes to gigabytes (sparse, so no disk is used).
void FillDirectory(const fs::path& ADir, long AEntries) {
    static const char* const extensions[] = {".txt", ".jpg", ".tar.gz", "", ".c", ".log"};
    for (long i = 0; i < AEntries; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "file_%07ld%s", (i * 7919) % AEntries, extensions[i % 6]);
        const fs::path file = ADir / name;
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || ::ftruncate(fd, static_cast<off_t>((i * 104729) % 3000000000L)) != 0) {
            std::fprintf(stderr, "cannot create %s\n", file.c_str());
            std::exit(1);
        }
        ::close(fd);
    }
}

struct TFigures {
    double Seconds = 1e9;
    double LongestGap = 0;
    double FillGap = 0;
    double BytesPerRow = 0;
    // Of the whole process so far: give the sizes in rising order.
    double PeakRss = 0;
    int Rows = 0;
};

} // namespace

int main(int argc, char** argv) {
    std::vector<long> sizes;
    {
        std::stringstream list(argc > 1 ? argv[1] : "20000,100000");
        for (std::string item; std::getline(list, item, ',');) {
            sizes.push_back(std::atol(item.c_str()));
        }
    }
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM") && !qEnvironmentVariableIsSet("DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    if (const std::string why = qtest::VsftpdServer::Unavailable(); !why.empty()) {
        std::printf("vsftpd unavailable: %s\n", why.c_str());
        return 1;
    }
    qtest::VsftpdServer server;
    for (const long n : sizes) {
        FillDirectory(server.makeDir("d" + std::to_string(n)), n);
    }
    qtest::TempDir local{"quorvan-bench"};
    qtest::TempDir settings{"quorvan-bench-ini"};
    const std::string ini = (settings.path() / "QuorvanFTP.INI").string();
    qputenv("QUORVAN_FTP_INI", ini.c_str());

    int argcQt = 1;
    char name[] = "bench_app_listing";
    char* argvQt[] = {name, nullptr};
    TQuorvanApplication app(argcQt, argvQt);
    SetSwedish(false);

    std::vector<double> curlBest(sizes.size(), 1e9);
    std::vector<TFigures> ours(sizes.size());
    bool ok = true;
    for (int round = 0; round < rounds; ++round) {
        for (size_t s = 0; s < sizes.size(); ++s) {
            const std::string dir = "d" + std::to_string(sizes[s]);
            const std::string command = "curl -s -o /dev/null '" + server.url(dir + "/") + "'";
            const auto curlStart = Clock::now();
            ok = std::system(command.c_str()) == 0 && ok;
            curlBest[s] = std::min(curlBest[s], Seconds(curlStart));

            {
                std::ofstream out(ini);
                out << "[Main]\nRemoteHost=127.0.0.1\nPort=" << server.port()
                    << "\nPassive=1\nUsername=anonymous\nPassword="
                    << EncodePassword("bench@example.com") << "\nInitialRemoteDirectory=/upload/"
                    << dir << "\nInitialLocalDirectory=" << local.path().string() << "/\n";
            }
            // A fresh window each time: the client keeps the last listing, which
            // would otherwise blur the heap figure.
            TfrmMain window;
            window.show();
            QCoreApplication::processEvents();
            const size_t heapBefore = HeapInUse();
            TfrmConnect dialog;
            // The longest gap overall, and the longest once the listing has
            // arrived: before that the window waits on the server, in the
            // anti-freeze's idle slices.
            Clock::time_point start;
            Clock::time_point lastTick;
            std::optional<Clock::time_point> listed;
            double longestGap = 0;
            double fillGap = 0;
            const auto tick = [&] {
                const auto now = Clock::now();
                longestGap =
                    std::max(longestGap, std::chrono::duration<double>(now - lastTick).count());
                if (listed) {
                    fillGap = std::max(
                        fillGap,
                        std::chrono::duration<double>(now - std::max(lastTick, *listed)).count());
                }
                lastTick = now;
            };
            QTimer ticker;
            ticker.setInterval(10);
            QObject::connect(&ticker, &QTimer::timeout, tick);
            const auto end = window.sckFTP->OnWorkEnd;
            window.sckFTP->OnWorkEnd = [&, end](TIdComponent* S, TWorkMode M) {
                end(S, M);
                listed = Clock::now();
            };
            QTimer::singleShot(0, &dialog, [&] {
                start = Clock::now();
                lastTick = start;
                ticker.start();
                dialog.btnOK.click();
            });
            window.btnConnect.click();
            QCoreApplication::processEvents();
            window.lvRemoteFiles.viewport()->repaint();
            tick();
            ticker.stop();
            const double seconds = Seconds(start);
            if (std::getenv("BENCH_VERBOSE")) {
                std::printf("%ld entries: %.3f s, listing arrived at %.3f s, longest gap %.0f ms, "
                            "after the listing arrived %.0f ms\n",
                            sizes[s], seconds,
                            listed ? std::chrono::duration<double>(*listed - start).count() : -1.0,
                            longestGap * 1000, fillGap * 1000);
            }
            const int rows = window.lvRemoteFiles.topLevelItemCount();
            // The parent row comes on top of the entries.
            ok = rows == sizes[s] + 1 && ok;
            TFigures& f = ours[s];
            if (seconds < f.Seconds) {
                f.Seconds = seconds;
                f.Rows = rows;
            }
            f.LongestGap = std::max(f.LongestGap, longestGap);
            f.FillGap = std::max(f.FillGap, fillGap);
            f.BytesPerRow =
                (static_cast<double>(HeapInUse()) - static_cast<double>(heapBefore)) / rows;
            if (round == 0) {
                f.PeakRss = PeakRssMiB();
            }
            window.btnDisconnect.click();
        }
    }

    std::printf("directories from vsftpd on 127.0.0.1, best of %d\n", rounds);
    for (size_t s = 0; s < sizes.size(); ++s) {
        const TFigures& f = ours[s];
        std::printf("%7ld entries: curl LIST %6.3f s | window OK to drawn %6.3f s (%.2f x curl), "
                    "%d rows, longest gap %.0f ms (%.0f ms once listed), %.0f bytes of heap per "
                    "row, peak RSS %.0f MiB\n",
                    sizes[s], curlBest[s], f.Seconds, f.Seconds / curlBest[s], f.Rows,
                    f.LongestGap * 1000, f.FillGap * 1000, f.BytesPerRow, f.PeakRss);
    }
    if (!ok) {
        std::printf("FAILED: curl failed or the window did not list every entry\n");
    }
    return ok ? 0 : 1;
}
