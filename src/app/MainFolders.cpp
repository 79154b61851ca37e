// Folders in a selection: counted first, so that the question can say what
// they hold, then moved or deleted whole by the library's tree walker.
#include "Dialogs.h"
#include "FileRows.h"
#include "IdFTP.h"
#include "IdGlobal.h"
#include "Main.h"

#include <sys/stat.h>

#include <algorithm>

namespace {

bool IsFolderRow(const QString& ACaption, bool ARemote) {
    return ARemote ? IsRemoteDirectoryRow(ACaption) : IsLocalDirectoryRow(ACaption);
}

std::string WithoutTrailingSeparator(std::string APath) {
    while (APath.size() > 1 && APath.back() == '/') {
        APath.pop_back();
    }
    return APath;
}

// The walker and the job it does, for as long as it runs.
struct TWalkerInUse {
    TIdFTPTreeWalker*& Slot;
    ~TWalkerInUse() { Slot = nullptr; }
};

} // namespace

void TfrmMain::CancelBatch() {
    if (!Busy || FEscaped || CancelRequested) {
        return;
    }
    FEscaped = true;
    if (FWalker) {
        FWalker->Cancel();
    }
    // Only a transfer under way is aborted: an ABOR between commands would
    // be answered in place of the next one.
    if (sckFTP->DataConnection()) {
        sckFTP->AbortTransfer();
    }
}

bool TfrmMain::BreatheDuringTree() {
    // A local folder is walked without a network wait, which is where the
    // window otherwise gets its turn.
    if (!FWorkPumped.isValid() || FWorkPumped.elapsed() >= 10) {
        ProcessMessages();
        FWorkPumped.start();
    }
    return CancelRequested || FEscaped;
}

void TfrmMain::PrepareWalker(TIdFTPTreeWalker& AWalker) {
    AWalker.OnCheckCancel = [this] { return BreatheDuringTree(); };
    AWalker.OnProgress = [this](const TIdTreeProgress& AProgress) {
        ShowTreeProgress(AProgress, false);
        BreatheDuringTree();
    };
}

void TfrmMain::ShowTreeProgress(const TIdTreeProgress& AProgress, bool AForce) {
    // Every entry found and every chunk moved reports; a person reads a few
    // changes a second.
    // A new file is said at once, though.
    constexpr qint64 Every = 100;
    const int64_t files = AProgress.Scanning || !FTreeJob ? -1 : AProgress.FilesDone;
    if (!AForce && files == FTreeShownFiles && FTreeShown.isValid() &&
        FTreeShown.elapsed() < Every) {
        return;
    }
    FTreeShown.start();
    FTreeShownFiles = files;
    if (!FTreeJob) {
        lblTransfer.setText(PickText(TWindowText::wtCounting));
        lblProgress.setText(FileCountText(FTreeFilesBefore + AProgress.FilesFound) +
                            QStringLiteral(" (") +
                            FormatSize(FTreeBytesBefore + AProgress.BytesFound) + QLatin1Char(')'));
        lblTransferDetails.setText(PickText(TWindowText::wtEscapeCancels));
        lblTransferDetails.show();
        return;
    }
    const int64_t done = FTreeFilesBefore + AProgress.FilesDone;
    const auto at = static_cast<int32_t>(
        std::min<int64_t>(std::min(done + 1, std::max<int64_t>(FTreeFilesTotal, 1)), INT32_MAX));
    const auto of = static_cast<int32_t>(std::min<int64_t>(FTreeFilesTotal, INT32_MAX));
    switch (*FTreeJob) {
    case TTreeJob::tjDownload:
        lblTransfer.setText(BatchText(
            PickText(QStringLiteral("Laddar ner"), QStringLiteral("Downloading")), at, of));
        break;
    case TTreeJob::tjUpload:
        lblTransfer.setText(
            BatchText(PickText(QStringLiteral("Laddar upp"), QStringLiteral("Uploading")), at, of));
        break;
    default:
        lblTransfer.setText(BatchText(PickText(TWindowText::wtDeleting), at, of));
        return;
    }
    ShowTransferDetails(FTreeBytesBefore + AProgress.BytesDone, AForce);
}

bool TfrmMain::CountFolders(const TNetworkScope& AScope, const std::vector<TBatchRow>& ARows,
                            bool ARemote, bool ADelete, TFolderPlan& VPlan) {
    FEscaped = false;
    VPlan = TFolderPlan{};
    VPlan.Trees.resize(ARows.size());
    VPlan.Failed.resize(ARows.size());
    VPlan.Issues.resize(ARows.size());
    std::vector<size_t> folders;
    for (size_t i = 0; i < ARows.size(); ++i) {
        if (!IsFolderRow(ARows[i].Caption, ARemote)) {
            continue;
        }
        struct stat st {};
        if (!ARemote && ADelete &&
            ::lstat(WithoutTrailingSeparator(ARows[i].Argument).c_str(), &st) == 0 &&
            S_ISLNK(st.st_mode)) {
            continue;
        }
        // A listed name that is no single entry ("..", "a/b") would lead the
        // walk, and a delete, out of the folder the user sees.
        if (ARemote && !IsSafeEntryName(ARows[i].Argument)) {
            VPlan.Failed[i] = true;
            NoteRowFailure(ARows[i].Argument,
                           PickText(TWindowText::wtNameUnusable).arg(ShowName(ARows[i].Argument)));
            continue;
        }
        folders.push_back(i);
    }
    if (folders.empty()) {
        return true;
    }
    TIdFTPTreeWalker walker(*sckFTP);
    PrepareWalker(walker);
    FWalker = &walker;
    const TWalkerInUse inUse{FWalker};
    FTreeJob.reset();
    FTreeFilesBefore = 0;
    FTreeBytesBefore = 0;
    FTreeShown.invalidate();
    ShowTreeProgress(TIdTreeProgress{}, true);
    const bool whole =
        TFtpSession::RunBatchLoop(static_cast<int32_t>(folders.size()), [&](int32_t AIndex) {
            if (FEscaped) {
                return;
            }
            const size_t i = folders[static_cast<size_t>(AIndex - 1)];
            const TBatchRow& row = ARows[i];
            walker.Reset();
            try {
                TIdTree tree = ARemote ? walker.ScanRemote(row.Argument)
                                       : walker.ScanLocal(WithoutTrailingSeparator(row.Argument));
                if (walker.Lost()) {
                    // The server went while a folder below was listed.
                    std::exception_ptr why;
                    for (const TIdTreeIssue& issue : walker.Issues()) {
                        why = issue.Error ? issue.Error : why;
                    }
                    SessionGone(AScope, why);
                    return;
                }
                if (walker.Cancelled()) {
                    return;
                }
                VPlan.Names << ShowName(RowEntryName(row.Argument));
                VPlan.Files += tree.FileCount;
                VPlan.Bytes += tree.Bytes;
                VPlan.Subfolders += static_cast<int64_t>(tree.Dirs.size()) - 1;
                FTreeFilesBefore = VPlan.Files;
                FTreeBytesBefore = VPlan.Bytes;
                VPlan.Issues[i] = walker.Issues();
                VPlan.Trees[i] = std::move(tree);
            } catch (...) {
                const std::exception_ptr error = std::current_exception();
                if (FEscaped || SessionGone(AScope, error)) {
                    return;
                }
                VPlan.Failed[i] = true;
                NoteRowFailure(row.Argument, FailureReason(error));
            }
        });
    lblTransfer.clear();
    lblProgress.clear();
    HideTransferDetails();
    FTreeFilesTotal = VPlan.Files;
    FTreeBytesTotal = VPlan.Bytes;
    FTreeFilesBefore = 0;
    FTreeBytesBefore = 0;
    return whole && !FEscaped && !AScope.Interrupted();
}

bool TfrmMain::ConfirmFolders(const TFolderPlan& APlan, bool ADownload) {
    const QString question =
        PickText(APlan.Names.size() == 1 ? TWindowText::wtFolderQuestionOne
                                         : TWindowText::wtFolderQuestionMany)
            .arg(PickText(ADownload ? TWindowText::wtDownloadVerb : TWindowText::wtUploadVerb),
                 FolderNames(APlan.Names), FileCountText(APlan.Files), FormatSize(APlan.Bytes));
    return Dialogs().MessageBox(this, PickText(TWindowText::wtConfirm), question,
                                TMsgIcon::miQuestion, TMsgButtons::mbYesNo) == TMsgResult::mrYes;
}

namespace {

// The walker words why it left an entry out in English, with the details;
// the Swedish window says it in its own words.
QString SkipReason(const TIdTreeIssue& AIssue) {
    if (!IsSwedish() || AIssue.Skip == TIdTreeSkip::tkNone) {
        return ShowName(AIssue.Reason);
    }
    switch (AIssue.Skip) {
    case TIdTreeSkip::tkName:
        return PickText(TWindowText::wtSkipName);
    case TIdTreeSkip::tkLink:
        return PickText(TWindowText::wtSkipLink);
    case TIdTreeSkip::tkLoop:
        return PickText(TWindowText::wtSkipLoop);
    case TIdTreeSkip::tkDepth:
        return PickText(TWindowText::wtSkipDepth).arg(TIdFTPTreeWalker::MaxDepth);
    default:
        return PickText(TWindowText::wtSkipNotRegular);
    }
}

} // namespace

void TfrmMain::RunTree(const TNetworkScope& AScope, const TBatchRow& ARow, const TFolderPlan& APlan,
                       size_t ARowIndex, TTreeJob AJob) {
    const TIdTree& tree = *APlan.Trees[ARowIndex];
    const std::string name = RowEntryName(ARow.Argument);
    // Failures inside a folder are named by their path from the folder the
    // user chose; a local one by its whole path, as local rows are.
    const std::string prefix = AJob == TTreeJob::tjDeleteLocal || AJob == TTreeJob::tjUpload
                                   ? WithoutTrailingSeparator(ARow.Argument)
                                   : name;
    const auto note = [&](const TIdTreeIssue& AIssue) {
        NoteRowFailure(JoinTreePath(prefix, AIssue.Path),
                       AIssue.Error ? FailureReason(AIssue.Error) : SkipReason(AIssue));
    };
    for (const TIdTreeIssue& issue : APlan.Issues[ARowIndex]) {
        note(issue);
    }
    TIdFTPTreeWalker walker(*sckFTP);
    PrepareWalker(walker);
    FWalker = &walker;
    const TWalkerInUse inUse{FWalker};
    FTreeJob = AJob;
    if (AJob == TTreeJob::tjDownload || AJob == TTreeJob::tjUpload) {
        // The bar and the speed measure the whole batch of folders.
        FExpectedSize = FTreeBytesTotal;
        if (!FTrackingFile) {
            FTrackingFile = true;
            FFileStarted.start();
            FRateSamples.clear();
        }
    }
    ShowTreeProgress(TIdTreeProgress{}, true);
    std::exception_ptr error;
    try {
        switch (AJob) {
        case TTreeJob::tjDownload:
            walker.Download(tree, WithTrailingSeparator(LocalDirBytes()) + name);
            break;
        case TTreeJob::tjUpload:
            walker.Upload(tree, name);
            break;
        case TTreeJob::tjDeleteRemote:
            walker.DeleteRemote(tree);
            break;
        case TTreeJob::tjDeleteLocal:
            walker.DeleteLocal(tree);
            break;
        }
    } catch (...) {
        error = std::current_exception();
    }
    FTreeJob.reset();
    FTreeFilesBefore += tree.FileCount;
    FTreeBytesBefore += tree.Bytes;
    for (const TIdTreeIssue& issue : walker.Issues()) {
        note(issue);
        // A local delete never waits on the server: its failures are the disk's.
        if (!error && issue.Error && AJob != TTreeJob::tjDeleteLocal && !SessionConnected()) {
            error = issue.Error;
        }
    }
    if (error && !SessionGone(AScope, error)) {
        NoteRowFailure(prefix, FailureReason(error));
    }
}

void TfrmMain::DeleteSelectedRows(const TNetworkScope& AScope, bool ARemote,
                                  const std::function<void(const TBatchRow& ARow)>& ADeleteRow) {
    TFileListView& list = ARemote ? lvRemoteFiles : lvLocalFiles;
    SetPaneControlsEnabled(false);
    FRowFailures.clear();
    const std::vector<TBatchRow> rows = SelectedRows(list);
    TFolderPlan plan;
    const bool counted = CountFolders(AScope, rows, ARemote, true, plan);
    if (counted &&
        ConfirmDelete(
            list, ARemote ? TWindowText::wtRemoteFileCount : TWindowText::wtLocalFileCount, plan) &&
        !AScope.Interrupted()) {
        RunBatchLoop(rows, [&](const TBatchRow& ARow, int32_t AIndex, int32_t) {
            const auto i = static_cast<size_t>(AIndex - 1);
            if (plan.Trees[i]) {
                RunTree(AScope, ARow, plan, i,
                        ARemote ? TTreeJob::tjDeleteRemote : TTreeJob::tjDeleteLocal);
            } else if (!plan.Failed[i]) {
                ADeleteRow(ARow);
            }
        });
    } else if (counted) {
        FRowFailures.clear();
    }
    FinishBatch(
        AScope, [this, ARemote] { ARemote ? btnRemoteRefreshClick() : btnLocalRefreshClick(); },
        PickText(TWindowText::wtEntriesNotDeleted));
}
