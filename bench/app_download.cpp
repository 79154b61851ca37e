// Downloads one large file from a private vsftpd through the real main
// window (offscreen, driven as a user would: Connect, OK, select, Download),
// and the same file with curl in the same run as the reference, best of five
// runs each, taking turns. Also records the longest gap between two ticks of
// a 10 ms timer during the window's downloads, which is how long the window
// went without answering.
//   bench_app_download [MiB=1024] [screenshot.png]
#include "Connect.h"
#include "FileRows.h"
#include "IdFTP.h"
#include "Main.h"
#include "TempDir.h"
#include "VsftpdServer.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QTreeWidgetItem>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr int Runs = 5;

namespace {

double Seconds(Clock::time_point AFrom) {
    return std::chrono::duration<double>(Clock::now() - AFrom).count();
}

} // namespace

int main(int argc, char** argv) {
    const long mib = argc > 1 ? std::atol(argv[1]) : 1024;
    const std::string shot = argc > 2 ? argv[2] : "";
    const auto size = static_cast<uint64_t>(mib) * 1024 * 1024;
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM") && !qEnvironmentVariableIsSet("DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    if (const std::string why = qtest::VsftpdServer::Unavailable(); !why.empty()) {
        std::printf("vsftpd unavailable: %s\n", why.c_str());
        return 1;
    }
    qtest::VsftpdServer server;
    {
        // Sparse: the file system hands out zeros without the disk.
        const fs::path file = server.writeFile("big.bin", "");
        fs::resize_file(file, size);
    }
    qtest::TempDir local{"quorvan-bench"};
    // A few files so the local pane has something to show beside the download.
    local.write("notes.txt", "remember the milk\n");
    local.write("photo.jpg", std::string(150000, 'p'));
    local.makeDir("archive");
    qtest::TempDir settings{"quorvan-bench-ini"};
    const std::string ini = (settings.path() / "QuorvanFTP.INI").string();
    qputenv("QUORVAN_FTP_INI", ini.c_str());
    {
        std::ofstream out(ini);
        out << "[Main]\nRemoteHost=127.0.0.1\nPort=" << server.port()
            << "\nPassive=1\nUsername=anonymous\nPassword=" << EncodePassword("bench@example.com")
            << "\nInitialRemoteDirectory=/upload\nInitialLocalDirectory=" << local.path().string()
            << "/\n";
    }

    // The reference, into the same folder.
    const fs::path curlFile = local / "curl.bin";
    const std::string command =
        "curl -s -o '" + curlFile.string() + "' '" + server.url("big.bin") + "'";
    double curlSeconds = 1e100;
    bool curlOk = true;
    auto runCurl = [&] {
        (void)std::system("sync");
        const auto curlStart = Clock::now();
        const int curlStatus = std::system(command.c_str());
        curlSeconds = std::min(curlSeconds, Seconds(curlStart));
        curlOk = curlOk && curlStatus == 0 && fs::file_size(curlFile) == size;
        fs::remove(curlFile);
    };

    // The reference goes first, then the two alternate.
    runCurl();

    int argcQt = 1;
    char name[] = "bench_app_download";
    char* argvQt[] = {name, nullptr};
    TQuorvanApplication app(argcQt, argvQt);
    SetSwedish(false);
    TfrmMain window;
    TfrmConnect dialog;
    window.show();
    QTimer::singleShot(0, &dialog, [&dialog] { dialog.btnOK.click(); });
    window.btnConnect.click();
    auto findRow = [&]() -> QTreeWidgetItem* {
        for (int i = 0; i < window.lvRemoteFiles.topLevelItemCount(); ++i) {
            if (TFileListView::RowArgument(*window.lvRemoteFiles.topLevelItem(i)) == "big.bin") {
                return window.lvRemoteFiles.topLevelItem(i);
            }
        }
        return nullptr;
    };
    if (!findRow()) {
        std::printf("the window did not list big.bin\n");
        return 1;
    }

    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    QTimer ticker;
    ticker.setInterval(10);
    QObject::connect(&ticker, &QTimer::timeout,
                     [&] { longestGap = std::max(longestGap, sinceTick.restart()); });

    bool shotTaken = shot.empty();
    auto work = window.sckFTP->OnWork;
    window.sckFTP->OnWork = [&](TIdComponent* S, TWorkMode M, int64_t N) {
        work(S, M, N);
        if (!shotTaken && N > static_cast<int64_t>(size / 3)) {
            shotTaken = true;
            window.grab().save(QString::fromStdString(shot));
        }
    };

    double ourSeconds = 1e100;
    bool ourOk = true;
    auto runWindow = [&] {
        fs::remove(local / "big.bin");
        // Each download refreshes both panes, which drops the selection.
        window.btnLocalRefresh.click();
        QTreeWidgetItem* row = findRow();
        if (!row) {
            ourOk = false;
            return;
        }
        window.lvRemoteFiles.clearSelection();
        row->setSelected(true);
        (void)std::system("sync");
        const auto start = Clock::now();
        sinceTick.start();
        ticker.start();
        window.btnRemoteDownload.click();
        ticker.stop();
        ourSeconds = std::min(ourSeconds, Seconds(start));
        ourOk = ourOk && fs::exists(local / "big.bin") && fs::file_size(local / "big.bin") == size;
    };
    for (int i = 0; i < Runs; ++i) {
        runWindow();
        if (i + 1 < Runs) {
            runCurl();
        }
    }

    const double mb = static_cast<double>(size) / (1024.0 * 1024.0);
    std::printf("file: %.0f MiB from vsftpd on 127.0.0.1, best of %d, taking turns\n", mb, Runs);
    std::printf("curl (reference):     %7.2f s  %8.1f MiB/s%s\n", curlSeconds, mb / curlSeconds,
                curlOk ? "" : "  (FAILED)");
    std::printf("main window download: %7.2f s  %8.1f MiB/s%s  (%.2f x curl)\n", ourSeconds,
                mb / ourSeconds, ourOk ? "" : "  (FAILED)", curlSeconds / ourSeconds);
    std::printf("longest gap between 10 ms timer ticks during the download: %lld ms\n",
                static_cast<long long>(longestGap));
    window.btnDisconnect.click();
    return ourOk && curlOk ? 0 : 1;
}
