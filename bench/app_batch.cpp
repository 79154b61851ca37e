// Downloads many small files from a private vsftpd through the real main
// window (offscreen: Connect, OK, select every file, Download), beside lftp
// (mirror, one transfer at a time) and curl (one process, every URL) fetching
// the same files in the same run. Also records the longest gap between two
// ticks of a 10 ms timer during the window's batch.
//   bench_app_batch [files=1000] [bytes=4096] [rounds=3]
#include "Connect.h"
#include "FileRows.h"
#include "IdFTP.h"
#include "Main.h"
#include "TempDir.h"
#include "VsftpdServer.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QTreeWidgetItem>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point AFrom) {
    return std::chrono::duration<double>(Clock::now() - AFrom).count();
}

std::string FileName(long AIndex) {
    char name[32];
    std::snprintf(name, sizeof name, "f%05ld.bin", AIndex);
    return name;
}

// Every file arrived whole.
bool AllThere(const fs::path& ADir, long AFiles, uintmax_t ABytes) {
    for (long i = 0; i < AFiles; ++i) {
        std::error_code ec;
        if (fs::file_size(ADir / FileName(i), ec) != ABytes || ec) {
            return false;
        }
    }
    return true;
}

void Empty(const fs::path& ADir) {
    fs::remove_all(ADir);
    fs::create_directories(ADir);
}

// Runs a shell command and returns its wall time, or a negative time on failure.
double Timed(const std::string& ACommand) {
    const auto start = Clock::now();
    const int status = std::system(ACommand.c_str());
    const double seconds = Seconds(start);
    return status == 0 ? seconds : -seconds;
}

} // namespace

int main(int argc, char** argv) {
    const long files = argc > 1 ? std::atol(argv[1]) : 1000;
    const long bytes = argc > 2 ? std::atol(argv[2]) : 4096;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM") && !qEnvironmentVariableIsSet("DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    if (const std::string why = qtest::VsftpdServer::Unavailable(); !why.empty()) {
        std::printf("vsftpd unavailable: %s\n", why.c_str());
        return 1;
    }
    qtest::VsftpdServer server;
    server.makeDir("batch");
    const std::string content = qtest::RandomBytes(static_cast<size_t>(bytes));
    for (long i = 0; i < files; ++i) {
        server.writeFile("batch/" + FileName(i), content);
    }
    qtest::TempDir local{"quorvan-bench"};
    const fs::path target = local / "target";
    qtest::TempDir settings{"quorvan-bench-ini"};
    const std::string ini = (settings.path() / "QuorvanFTP.INI").string();
    qputenv("QUORVAN_FTP_INI", ini.c_str());
    {
        std::ofstream out(ini);
        out << "[Main]\nRemoteHost=127.0.0.1\nPort=" << server.port()
            << "\nPassive=1\nUsername=anonymous\nPassword=" << EncodePassword("bench@example.com")
            << "\nInitialRemoteDirectory=/upload/batch\nInitialLocalDirectory=" << target.string()
            << "/\n";
    }

    const std::string lftp = "lftp -c 'set cmd:fail-exit yes; set ftp:passive-mode on; "
                             "open -u anonymous,bench@example.com ftp://127.0.0.1:" +
                             std::to_string(server.port()) +
                             "; mirror --parallel=1 /upload/batch " + target.string() +
                             "' >/dev/null 2>&1";
    std::string curl = "cd '" + target.string() + "' && curl -s";
    for (long i = 0; i < files; ++i) {
        curl += " -O '" + server.url("batch/" + FileName(i)) + "'";
    }

    int argcQt = 1;
    char name[] = "bench_app_batch";
    char* argvQt[] = {name, nullptr};
    TQuorvanApplication app(argcQt, argvQt);
    SetSwedish(false);

    double lftpBest = 1e9, curlBest = 1e9, oursBest = 1e9;
    long long longestGap = 0;
    bool ok = true;
    for (int round = 0; round < rounds; ++round) {
        Empty(target);
        const double l = Timed(lftp);
        ok = l > 0 && AllThere(target, files, bytes) && ok;
        lftpBest = std::min(lftpBest, std::abs(l));

        Empty(target);
        const double c = Timed(curl);
        ok = c > 0 && AllThere(target, files, bytes) && ok;
        curlBest = std::min(curlBest, std::abs(c));

        Empty(target);
        TfrmMain window;
        TfrmConnect dialog;
        window.show();
        QTimer::singleShot(0, &dialog, [&dialog] { dialog.btnOK.click(); });
        window.btnConnect.click();
        // Every file, but not the parent row: a folder in the batch asks the
        // user a question.
        int selected = 0;
        for (int i = 0; i < window.lvRemoteFiles.topLevelItemCount(); ++i) {
            QTreeWidgetItem* row = window.lvRemoteFiles.topLevelItem(i);
            const bool file = !IsRemoteParentRow(TFileListView::RowCaption(*row)) &&
                              !IsRemoteDirectoryRow(TFileListView::RowCaption(*row));
            row->setSelected(file);
            selected += file ? 1 : 0;
        }
        if (selected != files) {
            std::printf("the window listed %d of %ld files\n", selected, files);
            return 1;
        }
        QElapsedTimer sinceTick;
        qint64 gap = 0;
        QTimer ticker;
        ticker.setInterval(10);
        QObject::connect(&ticker, &QTimer::timeout,
                         [&] { gap = std::max(gap, sinceTick.restart()); });
        const auto start = Clock::now();
        sinceTick.start();
        ticker.start();
        window.btnRemoteDownload.click();
        const double ours = Seconds(start);
        ticker.stop();
        longestGap = std::max<long long>(longestGap, gap);
        ok = AllThere(target, files, bytes) && ok;
        oursBest = std::min(oursBest, ours);
        window.btnDisconnect.click();
    }

    std::printf("%ld files of %ld bytes from vsftpd on 127.0.0.1, best of %d\n", files, bytes,
                rounds);
    std::printf("lftp mirror, one at a time: %6.3f s  %7.0f files/s\n", lftpBest,
                static_cast<double>(files) / lftpBest);
    std::printf("curl, one process:          %6.3f s  %7.0f files/s\n", curlBest,
                static_cast<double>(files) / curlBest);
    std::printf("main window, Download:      %6.3f s  %7.0f files/s  (%.2f x lftp's time, "
                "%.2f x curl's)\n",
                oursBest, static_cast<double>(files) / oursBest, oursBest / lftpBest,
                oursBest / curlBest);
    std::printf("longest gap between 10 ms timer ticks during the window's batch: %lld ms\n",
                longestGap);
    if (!ok) {
        std::printf("FAILED: a tool or the window did not fetch every file whole\n");
    }
    return ok ? 0 : 1;
}
