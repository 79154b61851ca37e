// Downloads, uploads and the progress display.
#include "Dialogs.h"
#include "FileRows.h"
#include "IdFTP.h"
#include "IdGlobal.h"
#include "Main.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

// A download that failed must not leave behind an empty file it created.
void RemoveIfEmpty(const std::string& APath) {
    struct stat st {};
    if (::lstat(APath.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0) {
        ::unlink(APath.c_str());
    }
}

QString WorkText(TWorkMode AWorkMode) {
    return AWorkMode == wmRead
               ? PickText(QStringLiteral("Läser..."), QStringLiteral("Reading..."))
               : PickText(QStringLiteral("Skriver..."), QStringLiteral("Writing..."));
}

} // namespace

QString BatchText(const QString& AVerb, int32_t AIndex, int32_t ACount) {
    return AVerb + QLatin1Char(' ') + FormatCount(AIndex) + QLatin1Char(' ') +
           PickText(QStringLiteral("av"), QStringLiteral("of")) + QLatin1Char(' ') +
           FormatCount(ACount) + QStringLiteral("...");
}

void TfrmMain::ShowDirectoryRefusal(const std::string& AArgument, bool ADownload) {
    const QString text =
        PickText(QStringLiteral("Programmet hanterar inte överföringar av kataloger. Katalogen \""),
                 QStringLiteral("The application does not handle transfers of directories. The "
                                "directory \"")) +
        ShowName(AArgument) + QLatin1Char('"') +
        (ADownload ? PickText(QStringLiteral(" kommer inte att laddas ner."),
                              QStringLiteral(" will not be downloaded."))
                   : PickText(QStringLiteral(" kommer inte att laddas upp."),
                              QStringLiteral(" will not be uploaded.")));
    Dialogs().MessageBox(this, PickText(TWindowText::wtError), text, TMsgIcon::miError,
                         TMsgButtons::mbOK);
}

void TfrmMain::btnRemoteDownloadClick() {
    TransferBatch(true);
}

void TfrmMain::btnLocalUploadClick() {
    TransferBatch(false);
}

void TfrmMain::TransferBatch(bool ADownload) {
    TFileListView& list = ADownload ? lvRemoteFiles : lvLocalFiles;
    if (list.SelectedCount() == 0) {
        return;
    }
    TNetworkScope scope(*this);
    SetPaneControlsEnabled(false);
    FRowFailures.clear();
    StartCheckCount();
    const std::vector<TBatchRow> rows = SelectedRows(list);
    TFolderPlan plan;
    if (CountFolders(scope, rows, ADownload, false, plan)) {
        // No keeps the refusal for each folder row.
        const bool asked = !plan.Names.isEmpty();
        const bool trees = asked && ConfirmFolders(plan, ADownload);
        if (asked && !trees) {
            FRowFailures.clear();
        }
        RunBatchLoop(rows, [&](const TBatchRow& ARow, int32_t AIndex, int32_t ACount) {
            const auto i = static_cast<size_t>(AIndex - 1);
            if (ADownload ? IsRemoteDirectoryRow(ARow.Caption) || IsRemoteParentRow(ARow.Caption)
                          : IsLocalDirectoryRow(ARow.Caption)) {
                if (trees && plan.Trees[i]) {
                    RunTree(scope, ARow, plan, i,
                            ADownload ? TTreeJob::tjDownload : TTreeJob::tjUpload);
                } else if ((asked && !trees) || !plan.Failed[i]) {
                    ShowDirectoryRefusal(ARow.Argument, ADownload);
                }
            } else {
                lblTransfer.setText(BatchText(
                    ADownload
                        ? PickText(QStringLiteral("Laddar ner"), QStringLiteral("Downloading"))
                        : PickText(QStringLiteral("Laddar upp"), QStringLiteral("Uploading")),
                    AIndex, ACount));
                ProcessMessages();
                if (ADownload) {
                    DownloadRow(scope, ARow);
                } else {
                    UploadRow(scope, ARow);
                }
            }
            // A transfer that failed before its data began never ended a work.
            lblTransfer.clear();
            lblProgress.clear();
            HideTransferDetails();
        });
    }
    FinishBatch(
        scope, [this, &scope] { RefreshBothPanes(scope); },
        ADownload ? PickText(QStringLiteral("Några filer kunde inte laddas ner:"),
                             QStringLiteral("Some files could not be downloaded:"))
                  : PickText(QStringLiteral("Några filer kunde inte laddas upp:"),
                             QStringLiteral("Some files could not be uploaded:")));
    if (!scope.Interrupted()) {
        ShowCheckSummary();
    }
}

void TfrmMain::DownloadRow(const TNetworkScope& AScope, const TBatchRow& ARow) {
    // A name from the server becomes part of a local path: anything that could
    // leave the chosen folder (or name no file at all) is refused.
    if (!IsSafeEntryName(ARow.Argument)) {
        NoteRowFailure(ARow.Argument,
                       PickText(QStringLiteral("Namnet kan inte användas för en lokal fil."),
                                QStringLiteral("The name cannot be used for a local file.")));
        return;
    }
    const std::string target = WithTrailingSeparator(LocalDirBytes()) + ARow.Argument;
    struct stat st {};
    const bool existed = ::lstat(target.c_str(), &st) == 0;
    bool resume = false;
    if (existed) {
        const TFileExistsAnswer answer =
            AskFileExists(ARow.Argument, true, S_ISREG(st.st_mode) ? int64_t(st.st_size) : -1,
                          ARow.Size, lvRemoteFiles.SelectedCount() > 1);
        if (answer == TFileExistsAnswer::feSkip) {
            return;
        }
        resume = answer == TFileExistsAnswer::feResume;
    }
    // The size the listing gave, for the progress bar.
    FExpectedSize = ARow.Size;
    try {
        CallReconnecting(AScope,
                         [&] { sckFTP->Download(ARow.Argument, target, !resume, resume); });
        NoteCheck();
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        if (!existed) {
            RemoveIfEmpty(target);
        }
        if (!SessionGone(AScope, error)) {
            NoteRowFailure(ARow.Argument, FailureReason(error));
        }
    }
}

void TfrmMain::UploadRow(const TNetworkScope& AScope, const TBatchRow& ARow) {
    const size_t slash = ARow.Argument.rfind('/');
    const std::string name =
        slash == std::string::npos ? ARow.Argument : ARow.Argument.substr(slash + 1);
    struct stat st {};
    FExpectedSize = ::stat(ARow.Argument.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
    bool resume = false;
    if (const int64_t listed = ListedRemoteSize(name); listed >= 0) {
        const TFileExistsAnswer answer = AskFileExists(name, false, listed, FExpectedSize,
                                                       lvLocalFiles.SelectedCount() > 1);
        if (answer == TFileExistsAnswer::feSkip) {
            return;
        }
        resume = answer == TFileExistsAnswer::feResume;
    }
    try {
        CallReconnecting(AScope, [&] {
            if (resume) {
                TIdFileStream source(ARow.Argument, TIdFileMode::fmOpenRead);
                sckFTP->ResumeUpload(source, name);
            } else {
                sckFTP->Upload(ARow.Argument, name, false);
            }
        });
        NoteCheck();
    } catch (...) {
        if (!SessionGone(AScope, std::current_exception())) {
            NoteRowFailure(name, FailureReason(std::current_exception()));
        }
    }
}

void TfrmMain::RefreshBothPanes(const TNetworkScope& AScope) {
    btnRemoteRefreshClick();
    // A refresh that found the connection gone left the window disconnected,
    // with both panes empty.
    if (!AScope.Interrupted()) {
        btnLocalRefreshClick();
    }
}

void TfrmMain::sckFTPWorkBegin(TIdComponent*, TWorkMode AWorkMode, int64_t) {
    if (lblTransfer.text().isEmpty()) {
        lblTransfer.setText(WorkText(AWorkMode));
    }
    // While folders are counted, the label counts what was found.
    if (!FWalker || FTreeJob) {
        lblProgress.setText(WorkText(AWorkMode));
    }
    // Only a file of the batch has a size to measure against; a listing's
    // reading has none and leaves the bar hidden. A folder's bar measures
    // the whole tree instead.
    if (Busy && FExpectedSize >= 0 && !FWalker) {
        FTrackingFile = true;
        FFileStarted.start();
        FRateSamples.clear();
        ShowTransferDetails(0, true);
    }
    // A folder's small files start and end by the hundred a second; the
    // window gets its turn as often as during one long file.
    FWalker ? void(BreatheDuringTree()) : ProcessMessages();
}

void TfrmMain::sckFTPWork(TIdComponent*, TWorkMode AWorkMode, int64_t AWorkCount) {
    // Work comes in every received chunk while the text changes far more
    // rarely; the label is compared too, since other handlers set it. While
    // folders are counted, it counts what was found instead.
    const QString work = WorkText(AWorkMode);
    const int64_t key = FormatSizeKey(AWorkCount);
    if ((!FWalker || FTreeJob) && (key != FShownSizeKey || !FShownProgress.startsWith(work) ||
                                   lblProgress.text() != FShownProgress)) {
        FShownProgress = work + QStringLiteral(" (") + FormatSize(AWorkCount) + QLatin1Char(')');
        FShownSizeKey = key;
        lblProgress.setText(FShownProgress);
    }
    if (FTrackingFile && !FWalker) {
        ShowTransferDetails(AWorkCount, false);
    }
    // Chunks arrive every few microseconds on a fast link; processing the
    // messages once a millisecond keeps Disconnect as prompt to the user
    // while the transfer no longer spends most of its time in the event loop.
    if (!FWorkPumped.isValid() || FWorkPumped.nsecsElapsed() >= 1000000) {
        ProcessMessages();
        FWorkPumped.start();
    }
}

void TfrmMain::sckFTPWorkEnd(TIdComponent*, TWorkMode) {
    // A folder's labels and bar stay from one of its files to the next.
    if (!FWalker) {
        lblTransfer.clear();
        lblProgress.clear();
        HideTransferDetails();
    } else if (FTreeJob) {
        lblProgress.clear();
    }
    FWalker ? void(BreatheDuringTree()) : ProcessMessages();
}

namespace {

QString Duration(qint64 ASeconds) {
    const qint64 h = ASeconds / 3600;
    const qint64 m = ASeconds / 60 % 60;
    const qint64 s = ASeconds % 60;
    const QString mmss = QStringLiteral("%1:%2")
                             .arg(m, h > 0 ? 2 : 1, 10, QLatin1Char('0'))
                             .arg(s, 2, 10, QLatin1Char('0'));
    return h > 0 ? QString::number(h) + QLatin1Char(':') + mmss : mmss;
}

} // namespace

void TfrmMain::ShowTransferDetails(int64_t ACount, bool AForce) {
    // Four times a second is as often as a speed can be read.
    constexpr qint64 Every = 250;
    if (!AForce && FDetailsShown.isValid() && FDetailsShown.elapsed() < Every) {
        return;
    }
    FDetailsShown.start();
    const qint64 now = FFileStarted.elapsed();
    FRateSamples.push_back({now, ACount});
    // The speed over the last few seconds: steady enough to read, recent
    // enough to follow a server that slows down.
    constexpr qint64 Window = 4000;
    while (FRateSamples.size() > 2 && now - FRateSamples.front().Ms > Window) {
        FRateSamples.erase(FRateSamples.begin());
    }
    const TRateSample& first = FRateSamples.front();
    const qint64 span = now - first.Ms;
    const double rate = span > 0 ? double(ACount - first.Count) * 1000.0 / double(span) : 0.0;

    const int64_t total = std::max<int64_t>(FExpectedSize, ACount);
    pbTransfer.setValue(total > 0 ? static_cast<int>(ACount * 100 / total) : 100);
    QString left = QStringLiteral("-");
    if (rate > 0 && span >= 1000) {
        left = Duration(static_cast<qint64>(double(total - ACount) / rate + 0.5));
    }
    lblTransferDetails.setText(
        PickText(QStringLiteral("%1 av %2"), QStringLiteral("%1 of %2"))
            .arg(FormatSize(ACount), FormatSize(total)) +
        QLatin1Char('\n') + FormatSize(static_cast<int64_t>(rate)) + QStringLiteral("/s") +
        QLatin1Char('\n') +
        PickText(QStringLiteral("Tid kvar: %1"), QStringLiteral("Time left: %1")).arg(left));
    pbTransfer.show();
    lblTransferDetails.show();
}

void TfrmMain::HideTransferDetails() {
    FTrackingFile = false;
    FExpectedSize = -1;
    FDetailsShown.invalidate();
    pbTransfer.hide();
    pbTransfer.setValue(0);
    lblTransferDetails.hide();
    lblTransferDetails.clear();
}
