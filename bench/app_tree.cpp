// A whole folder from a private vsftpd through the real main window
// (offscreen: Connect, OK, select the folder, Download, Yes to the question),
// beside lftp (mirror, one transfer at a time) and wget -r fetching the same
// tree in the same run, one connection each; the best of a few rounds.
//   bench_app_tree [dirs=50] [files per dir=20] [bytes=4096] [rounds=3]
#include "Connect.h"
#include "Dialogs.h"
#include "FileRows.h"
#include "Main.h"
#include "TempDir.h"
#include "VsftpdServer.h"

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

// Yes to every question: the folder's, here.
class TYesDialogs final : public TDialogs {
public:
    TMsgResult MessageBox(QWidget*, const QString&, const QString&, TMsgIcon,
                          TMsgButtons AButtons) override {
        return AButtons == TMsgButtons::mbYesNo ? TMsgResult::mrYes : TMsgResult::mrOK;
    }
    QString InputBox(QWidget*, const QString&, const QString&, const QString& ADefault) override {
        return ADefault;
    }
    bool SelectFolder(QWidget*, const QString&, QString&) override { return false; }
    TTrustAnswer TrustCertificate(QWidget*, const TCertificateQuestion&) override {
        return TTrustAnswer::taCancel;
    }
};

double Seconds(Clock::time_point AFrom) {
    return std::chrono::duration<double>(Clock::now() - AFrom).count();
}

// How many files below ARoot have exactly ABytes; each tool must bring all.
long WholeFiles(const fs::path& ARoot, uintmax_t ABytes) {
    long whole = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(ARoot, ec), end; !ec && it != end; it.increment(ec)) {
        whole += it->is_regular_file() && it->file_size() == ABytes &&
                 it->path().filename().string()[0] == 'f';
    }
    return whole;
}

} // namespace

int main(int argc, char** argv) {
    const auto arg = [&](int AIndex, long ADefault) {
        return argc > AIndex ? std::atol(argv[AIndex]) : ADefault;
    };
    const long dirs = arg(1, 50), files = arg(2, 20), bytes = arg(3, 4096);
    const auto rounds = static_cast<int>(arg(4, 3));
    const long total = dirs * files;
    if (qgetenv("DISPLAY").isEmpty()) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    const std::string unavailable = qtest::VsftpdServer::Unavailable();
    if (!unavailable.empty()) {
        std::printf("vsftpd unavailable: %s\n", unavailable.c_str());
        return 1;
    }
    qtest::VsftpdServer server;
    const std::string content = qtest::RandomBytes(static_cast<size_t>(bytes));
    for (long i = 0; i < total; ++i) {
        server.writeFile("tree/d" + std::to_string(i / files) + "/f" + std::to_string(i % files),
                         content);
    }
    qtest::TempDir local{"quorvan-bench"};
    const fs::path target = local / "target";
    qtest::TempDir settings{"quorvan-bench-ini"};
    const std::string ini = (settings.path() / "QuorvanFTP.INI").string();
    qputenv("QUORVAN_FTP_INI", ini.c_str());
    std::ofstream(ini) << "[Main]\nRemoteHost=127.0.0.1\nPort=" << server.port()
                       << "\nPassive=1\nUsername=anonymous\nPassword="
                       << EncodePassword("bench@example.com")
                       << "\nInitialRemoteDirectory=/upload\nInitialLocalDirectory="
                       << local.path().string() << "/\n";

    const std::string lftp = "lftp -c 'set cmd:fail-exit yes; set ftp:passive-mode on; "
                             "open -u anonymous,bench@example.com ftp://127.0.0.1:" +
                             std::to_string(server.port()) + "; mirror --parallel=1 /upload/tree " +
                             target.string() + "' >/dev/null 2>&1";
    const std::string wget =
        "wget -q -r -l inf -nH --cut-dirs=2 -P '" + target.string() + "' " + server.url("tree/");

    // The toolkit sees the program's name alone; the numbers above are ours.
    int argcQt = 1;
    TQuorvanApplication app(argcQt, argv);
    SetSwedish(false);
    TYesDialogs yes;
    SetDialogs(&yes);

    double best[3] = {1e9, 1e9, 1e9};
    bool ok[3] = {true, true, true};
    for (int round = 0; round < rounds; ++round) {
        for (int tool = 0; tool < 2; ++tool) {
            fs::remove_all(target);
            const auto start = Clock::now();
            const bool ran = std::system((tool == 0 ? lftp : wget).c_str()) == 0;
            best[tool] = std::min(best[tool], Seconds(start));
            ok[tool] = ok[tool] && ran && WholeFiles(target, bytes) == total;
        }
        // The window downloads the folder "tree" into the local folder, under its own name.
        fs::remove_all(target);
        fs::remove_all(local / "tree");
        TfrmMain window;
        TfrmConnect dialog;
        window.show();
        QTimer::singleShot(0, &dialog, [&dialog] { dialog.btnOK.click(); });
        window.btnConnect.click();
        window.lvRemoteFiles.clearSelection();
        for (int i = 0; i < window.lvRemoteFiles.topLevelItemCount(); ++i) {
            QTreeWidgetItem* row = window.lvRemoteFiles.topLevelItem(i);
            row->setSelected(TFileListView::RowCaption(*row) == QStringLiteral("</> tree"));
        }
        const auto start = Clock::now();
        window.btnRemoteDownload.click();
        best[2] = std::min(best[2], Seconds(start));
        ok[2] = ok[2] && WholeFiles(local / "tree", bytes) == total;
        window.btnDisconnect.click();
    }
    SetDialogs(nullptr);

    std::printf("%ld files of %ld bytes in %ld directories from vsftpd on 127.0.0.1, best of %d\n",
                total, bytes, dirs, rounds);
    std::printf("%-40s %8s %10s %10s\n", "tool", "seconds", "files/s", "x lftp");
    const char* const labels[] = {"lftp mirror, one at a time", "wget -r",
                                  "main window, Download (count and tree)"};
    for (int tool = 0; tool < 3; ++tool) {
        std::printf("%-40s %8.3f %10.0f %10.2f%s\n", labels[tool], best[tool],
                    static_cast<double>(total) / best[tool], best[tool] / best[0],
                    ok[tool] ? "" : "  (FAILED: not every file arrived whole)");
    }
    return ok[0] && ok[1] && ok[2] ? 0 : 1;
}
