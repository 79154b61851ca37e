// The remote file pane: listing, moving between directories, creating and
// deleting.
#include "Dialogs.h"
#include "FileRows.h"
#include "IdFTP.h"
#include "Main.h"

void TfrmMain::SetRemoteDir(const std::string& ABytes) {
    FRemoteDirBytes = ABytes;
    CurrentRemoteDir = DecodeName(ABytes);
}

std::string TfrmMain::RemoteDirBytes() const {
    if (DecodeName(FRemoteDirBytes) == CurrentRemoteDir) {
        return FRemoteDirBytes;
    }
    return CurrentRemoteDir.toUtf8().toStdString();
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
                const QString caption = QStringLiteral("</> ") + DecodeName(AItem.Name);
                fill.Add(caption, QStringLiteral("N/A"), std::move(AItem.Name));
            } else if (AItem.Kind == likFile) {
                const QString caption = FileRowCaption(DecodeName(AItem.Name));
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
    try {
        sckFTP->ChangeDirectory(RemoteDirBytes());
    } catch (...) {
        if (SessionGone(scope, std::current_exception())) {
            return;
        }
    }
    if (scope.Interrupted()) {
        return;
    }
    try {
        sckFTP->ListDirectory(&sckFTP->ListLines, std::string(), true);
    } catch (...) {
        if (SessionGone(scope, std::current_exception())) {
            return;
        }
    }
    if (scope.Interrupted()) {
        return;
    }
    if (!FillRemoteList(scope)) {
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
    try {
        sckFTP->ChangeDirectory(argument);
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        if (SessionGone(scope, error)) {
            return;
        }
        ShowCommandFailure(QStringLiteral("Katalogen \"%1\" kunde inte öppnas."),
                           QStringLiteral("The directory \"%1\" could not be opened."),
                           DecodeName(argument), error);
    }
    if (scope.Interrupted()) {
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
    const QString name = Dialogs().InputBox(
        this, PickText(QStringLiteral("Skapa katalog..."), QStringLiteral("Create directory...")),
        PickText(QStringLiteral("Ange ett namn:"), QStringLiteral("Type a name:")), QString());
    if (name.isEmpty() || scope.Interrupted()) {
        return;
    }
    try {
        sckFTP->MakeDirectory(name.toUtf8().toStdString());
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        if (SessionGone(scope, error)) {
            return;
        }
        ShowCommandFailure(QStringLiteral("Katalogen \"%1\" kunde inte skapas."),
                           QStringLiteral("The directory \"%1\" could not be created."), name,
                           error);
    }
    if (scope.Interrupted()) {
        return;
    }
    btnRemoteRefreshClick();
}

void TfrmMain::lvRemoteFilesKeyDown(int AKey) {
    TNetworkScope scope(*this);
    if (AKey == VK_DELETE && lvRemoteFiles.SelectedCount() > 0) {
        SetPaneControlsEnabled(false);
        if (ConfirmDelete(lvRemoteFiles, TWindowText::wtRemoteFileCount) && !scope.Interrupted()) {
            RunBatchLoop(lvRemoteFiles, [this, &scope](const TBatchRow& ARow, int32_t, int32_t) {
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
        }
        FinishBatch(
            scope, [this] { btnRemoteRefreshClick(); }, PickText(TWindowText::wtEntriesNotDeleted));
    } else if (AKey == VK_F5) {
        btnRemoteRefreshClick();
    } else if (AKey == VK_RETURN) {
        lvRemoteFilesDblClick();
    }
}
