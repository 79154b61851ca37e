// The remote file pane: listing, moving between directories, creating and
// deleting.
#include "Dialogs.h"
#include "FileRows.h"
#include "IdFTP.h"
#include "Main.h"

void TfrmMain::SetRemoteDir(const std::string& ABytes) {
    FRemoteDirBytes = ABytes;
    CurrentRemoteDir = ShowName(ABytes);
}

std::string TfrmMain::RemoteDirBytes() const {
    return NameBytes(FRemoteDirBytes, CurrentRemoteDir);
}

bool TfrmMain::NetworkStep(const TNetworkScope& AScope, const std::function<void()>& ACall,
                           const std::function<void(const std::exception_ptr&)>& AFailed) {
    try {
        CallReconnecting(AScope, ACall);
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        if (SessionGone(AScope, error)) {
            return false;
        }
        if (AFailed) {
            AFailed(error);
        }
    }
    return !AScope.Interrupted();
}

bool TfrmMain::FillRemoteList(const TNetworkScope& AScope) {
    TFileListFill fill(lvRemoteFiles, [this, &AScope] {
        ProcessMessages();
        return !AScope.Interrupted();
    });
    // The listing is parsed a slice at a time so that the window answers in
    // between.
    const bool whole = ParseListing(
        [&fill](TIdFTPListItem& AItem) {
            // The caption is made before the name moves into the row.
            if (AItem.Kind == likDirectory && AItem.Name != "." && AItem.Name != "..") {
                const QString caption = QStringLiteral("</> ") + ShowName(AItem.Name);
                fill.Add(caption, QStringLiteral("N/A"), std::move(AItem.Name));
            } else if (AItem.Kind == likFile) {
                const QString caption = FileRowCaption(ShowName(AItem.Name));
                fill.Add(caption, AItem.FileSize, std::move(AItem.Name));
            }
        },
        [&fill] { return fill.Breathe(); });
    return whole && fill.Finish();
}

void TfrmMain::btnRemoteRefreshClick() {
    TNetworkScope scope(*this);
    lvRemoteFiles.clear();
    lvRemoteFiles.AddRow(QStringLiteral("<..> .."), QStringLiteral("N/A"), "..");
    if (!NetworkStep(scope, [this] { sckFTP->ChangeDirectory(RemoteDirBytes()); }) ||
        !NetworkStep(scope, [this] { sckFTP->ListDirectory(&sckFTP->ListLines); }) ||
        !FillRemoteList(scope)) {
        return;
    }
    try {
        SetRemoteDir(sckFTP->QueryCurrentDir());
    } catch (...) {
    }
    if (scope.Interrupted()) {
        return;
    }
    SetFittedText(lblRemoteFiles, RemoteFilesText(CurrentRemoteDir));
}

void TfrmMain::lvRemoteFilesDblClick() {
    TNetworkScope scope(*this);
    const QTreeWidgetItem* row = lvRemoteFiles.FirstSelectedRow();
    if (!row) {
        return;
    }
    const QString caption = TFileListView::RowCaption(*row);
    if (!IsRemoteDirectoryRow(caption) && !IsRemoteParentRow(caption)) {
        return;
    }
    const std::string argument = TFileListView::RowArgument(*row);
    const bool going = NetworkStep(
        scope, [&] { sckFTP->ChangeDirectory(argument); },
        [&](const std::exception_ptr& AError) {
            ShowCommandFailure(
                PickText(QStringLiteral("Katalogen \"%1\" kunde inte öppnas."),
                         QStringLiteral("The directory \"%1\" could not be opened.")),
                ShowName(argument), FailureReason(AError));
        });
    if (!going) {
        return;
    }
    try {
        SetRemoteDir(sckFTP->QueryCurrentDir());
    } catch (...) {
    }
    if (scope.Interrupted()) {
        return;
    }
    btnRemoteRefreshClick();
}

void TfrmMain::btnRemoteCreateDirectoryClick() {
    TNetworkScope scope(*this);
    const QString name = Dialogs().InputBox(this, PickText(TWindowText::wtCreateDirectoryTitle),
                                            PickText(TWindowText::wtTypeName), QString());
    if (name.isEmpty() || scope.Interrupted()) {
        return;
    }
    const bool going = NetworkStep(
        scope, [&] { sckFTP->MakeDirectory(name.toUtf8().toStdString()); },
        [&](const std::exception_ptr& AError) {
            ShowCommandFailure(PickText(TWindowText::wtNotCreated), name, FailureReason(AError));
        });
    if (!going) {
        return;
    }
    btnRemoteRefreshClick();
}

void TfrmMain::lvRemoteFilesKeyDown(int AKey) {
    TNetworkScope scope(*this);
    if (AKey == VK_DELETE && lvRemoteFiles.SelectedCount() > 0) {
        DeleteSelectedRows(scope, true, [&](const TBatchRow& ARow) {
            try {
                if (!IsRemoteDirectoryRow(ARow.Caption) && !IsRemoteParentRow(ARow.Caption)) {
                    sckFTP->DeleteRemoteFile(ARow.Argument);
                } else {
                    sckFTP->DeleteDirectory(ARow.Argument);
                }
            } catch (...) {
                const std::exception_ptr error = std::current_exception();
                // The parent entry cannot be removed, and everyone knows.
                if (!SessionGone(scope, error) && !IsRemoteParentRow(ARow.Caption)) {
                    NoteRowFailure(ARow.Argument, FailureReason(error));
                }
            }
        });
    } else if (AKey == VK_F2) {
        lvRemoteFilesRename();
    } else if (AKey == VK_F5) {
        btnRemoteRefreshClick();
    } else if (AKey == VK_RETURN) {
        lvRemoteFilesDblClick();
    }
}

void TfrmMain::lvRemoteFilesRename() {
    TNetworkScope scope(*this);
    const QTreeWidgetItem* row = lvRemoteFiles.FirstSelectedRow();
    if (!row || IsRemoteParentRow(TFileListView::RowCaption(*row))) {
        return;
    }
    // The row is gone once Disconnect runs during the question.
    const std::string from = TFileListView::RowArgument(*row);
    std::string to;
    if (!AskNewName(lvRemoteFiles, from, to) || scope.Interrupted()) {
        return;
    }
    const bool going = NetworkStep(
        scope, [&] { sckFTP->Rename(from, to); },
        [&](const std::exception_ptr& AError) {
            ShowCommandFailure(PickText(TWindowText::wtNotRenamed), ShowName(from),
                               FailureReason(AError));
        });
    if (going) {
        btnRemoteRefreshClick();
    }
}
