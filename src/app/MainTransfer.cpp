// Downloads, uploads and the progress display.
#include "Dialogs.h"
#include "FileRows.h"
#include "IdFTP.h"
#include "Main.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

// A download that failed must not leave behind an empty file it created.
void RemoveIfEmpty(const std::string& APath) {
    struct stat st {};
    if (::lstat(APath.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0) {
        ::unlink(APath.c_str());
    }
}

// A name from the server becomes part of a local path: anything that could
// leave the chosen folder (or name no file at all) is refused.
bool IsSafeLocalName(const std::string& AName) {
    return !AName.empty() && AName != "." && AName != ".." &&
           AName.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

QString WorkText(TWorkMode AWorkMode) {
    return AWorkMode == wmRead
               ? PickText(QStringLiteral("Läser..."), QStringLiteral("Reading..."))
               : PickText(QStringLiteral("Skriver..."), QStringLiteral("Writing..."));
}

QString BatchText(const QString& ASwedish, const QString& AEnglish, int32_t AIndex,
                  int32_t ACount) {
    return PickText(ASwedish, AEnglish) + QLatin1Char(' ') + FormatCount(AIndex) +
           QLatin1Char(' ') + PickText(QStringLiteral("av"), QStringLiteral("of")) +
           QLatin1Char(' ') + FormatCount(ACount) + QStringLiteral("...");
}

} // namespace

void TfrmMain::ShowDirectoryRefusal(const std::string& AArgument, bool ADownload) {
    const QString text =
        PickText(QStringLiteral("Programmet hanterar inte överföringar av kataloger. Katalogen \""),
                 QStringLiteral("The application does not handle transfers of directories. The "
                                "directory \"")) +
        DecodeName(AArgument) + QLatin1Char('"') +
        (ADownload ? PickText(QStringLiteral(" kommer inte att laddas ner."),
                              QStringLiteral(" will not be downloaded."))
                   : PickText(QStringLiteral(" kommer inte att laddas upp."),
                              QStringLiteral(" will not be uploaded.")));
    Dialogs().MessageBox(this, PickText(QStringLiteral("Fel!"), QStringLiteral("Error!")), text,
                         TMsgIcon::miError, TMsgButtons::mbOK);
}

void TfrmMain::btnRemoteDownloadClick() {
    if (lvRemoteFiles.SelectedCount() == 0) {
        return;
    }
    TNetworkScope scope(*this);
    SetPaneControlsEnabled(false);
    RunBatchLoop(lvRemoteFiles, [this, &scope](const TBatchRow& ARow, int32_t AIndex,
                                               int32_t ACount) {
        if (IsRemoteDirectoryRow(ARow.Caption) || IsRemoteParentRow(ARow.Caption)) {
            ShowDirectoryRefusal(ARow.Argument, true);
            return;
        }
        lblTransfer.setText(
            BatchText(QStringLiteral("Laddar ner"), QStringLiteral("Downloading"), AIndex, ACount));
        ProcessMessages();
        if (!IsSafeLocalName(ARow.Argument)) {
            NoteRowFailure(ARow.Argument,
                           PickText(QStringLiteral("Namnet kan inte användas för en lokal fil."),
                                    QStringLiteral("The name cannot be used for a local file.")));
            lblTransfer.clear();
            return;
        }
        std::string target = LocalDirBytes();
        if (target.empty() || target.back() != '/') {
            target += '/';
        }
        target += ARow.Argument;
        struct stat st {};
        const bool existed = ::lstat(target.c_str(), &st) == 0;
        try {
            sckFTP->Download(ARow.Argument, target, true, false);
        } catch (...) {
            const std::exception_ptr error = std::current_exception();
            if (!existed) {
                RemoveIfEmpty(target);
            }
            if (!SessionGone(scope, error)) {
                NoteRowFailure(ARow.Argument, FailureReason(error));
            }
        }
        // A download that failed before its data began never ended a work.
        lblTransfer.clear();
        lblProgress.clear();
    });
    FinishBatch(
        scope,
        [this, &scope] {
            btnRemoteRefreshClick();
            // A refresh that found the connection gone left the window
            // disconnected, with both panes empty.
            if (!scope.Interrupted()) {
                btnLocalRefreshClick();
            }
        },
        QStringLiteral("Några filer kunde inte laddas ner:"),
        QStringLiteral("Some files could not be downloaded:"));
}

void TfrmMain::btnLocalUploadClick() {
    if (lvLocalFiles.SelectedCount() == 0) {
        return;
    }
    TNetworkScope scope(*this);
    SetPaneControlsEnabled(false);
    RunBatchLoop(
        lvLocalFiles, [this, &scope](const TBatchRow& ARow, int32_t AIndex, int32_t ACount) {
            if (IsLocalDirectoryRow(ARow.Caption)) {
                ShowDirectoryRefusal(ARow.Argument, false);
                return;
            }
            lblTransfer.setText(BatchText(QStringLiteral("Laddar upp"), QStringLiteral("Uploading"),
                                          AIndex, ACount));
            ProcessMessages();
            const size_t slash = ARow.Argument.rfind('/');
            const std::string name =
                slash == std::string::npos ? ARow.Argument : ARow.Argument.substr(slash + 1);
            try {
                sckFTP->Upload(ARow.Argument, name, false);
            } catch (...) {
                const std::exception_ptr error = std::current_exception();
                if (!SessionGone(scope, error)) {
                    NoteRowFailure(name, FailureReason(error));
                }
            }
            lblTransfer.clear();
            lblProgress.clear();
        });
    FinishBatch(
        scope,
        [this, &scope] {
            btnRemoteRefreshClick();
            // A refresh that found the connection gone left the window
            // disconnected, with both panes empty.
            if (!scope.Interrupted()) {
                btnLocalRefreshClick();
            }
        },
        QStringLiteral("Några filer kunde inte laddas upp:"),
        QStringLiteral("Some files could not be uploaded:"));
}

void TfrmMain::PaintProgressFromNowOn() {
    FProgressPaintLater.stop();
    if (!lblProgress.updatesEnabled()) {
        // Schedules the paint of whatever the label holds now.
        lblProgress.setUpdatesEnabled(true);
        FProgressPainted.start();
    }
}

void TfrmMain::sckFTPWorkBegin(TIdComponent*, TWorkMode AWorkMode, int64_t) {
    PaintProgressFromNowOn();
    if (lblTransfer.text().isEmpty()) {
        lblTransfer.setText(WorkText(AWorkMode));
    }
    lblProgress.setText(WorkText(AWorkMode));
    ProcessMessages();
}

void TfrmMain::sckFTPWork(TIdComponent*, TWorkMode AWorkMode, int64_t AWorkCount) {
    // Work comes in every received chunk while the text changes far more
    // rarely; the label is compared too, since other handlers set it.
    const QString work = WorkText(AWorkMode);
    std::string key = FormatSizeKey(AWorkCount);
    if (key != FShownSizeKey || !FShownProgress.startsWith(work) ||
        lblProgress.text() != FShownProgress) {
        FShownProgress = work + QStringLiteral(" (") + FormatSize(AWorkCount) + QLatin1Char(')');
        FShownSizeKey = std::move(key);
        const bool paintNow =
            !FProgressPainted.isValid() || FProgressPainted.elapsed() >= ProgressPaintInterval;
        if (paintNow) {
            PaintProgressFromNowOn();
            FProgressPainted.start();
        } else if (lblProgress.updatesEnabled()) {
            lblProgress.setUpdatesEnabled(false);
            // A transfer that stalls still gets its latest count painted.
            FProgressPaintLater.start(ProgressPaintInterval);
        }
        lblProgress.setText(FShownProgress);
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
    PaintProgressFromNowOn();
    lblTransfer.clear();
    lblProgress.clear();
    ProcessMessages();
}
