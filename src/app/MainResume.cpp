// The file-exists question, the count of checked transfers, and the silent
// reconnect after a server ended an idle session.
#include "Dialogs.h"
#include "FileRows.h"
#include "IdException.h"
#include "IdFTP.h"
#include "Main.h"

TFileExistsAnswer TfrmMain::AskFileExists(const std::string& AName, bool ADownload,
                                          int64_t ATargetSize, int64_t ASourceSize, bool ABatch) {
    // Continuing needs a shorter target, and a server that can restart.
    bool canResume = ATargetSize >= 0 && ASourceSize > ATargetSize;
    if (canResume) {
        try {
            canResume = sckFTP->CanRestart();
        } catch (...) {
            canResume = false;
        }
    }
    if (FExistsForAll) {
        // "Resume" for all overwrites the files that cannot be continued.
        return *FExistsForAll == TFileExistsAnswer::feResume && !canResume
                   ? TFileExistsAnswer::feOverwrite
                   : *FExistsForAll;
    }
    TFileExistsQuestion question;
    question.Text = PickText(ADownload ? TWindowText::wtFileExistsLocal
                                       : TWindowText::wtFileExistsRemote)
                        .arg(DecodeName(AName), FormatSize(std::max<int64_t>(ATargetSize, 0)),
                             FormatSize(std::max<int64_t>(ASourceSize, 0)));
    question.CanResume = canResume;
    question.Batch = ABatch;
    const TFileExistsReply reply = Dialogs().FileExists(this, question);
    TFileExistsAnswer answer = reply.Answer;
    if (answer == TFileExistsAnswer::feResume && !canResume) {
        answer = TFileExistsAnswer::feOverwrite;
    }
    if (reply.ForAll) {
        FExistsForAll = reply.Answer;
    }
    return answer;
}

int64_t TfrmMain::ListedRemoteSize(const std::string& AName) const {
    for (int i = 0; i < lvRemoteFiles.topLevelItemCount(); ++i) {
        const QTreeWidgetItem& row = *lvRemoteFiles.topLevelItem(i);
        if (TFileListView::RowArgument(row) == AName &&
            !IsRemoteDirectoryRow(TFileListView::RowCaption(row)) &&
            !IsRemoteParentRow(TFileListView::RowCaption(row))) {
            return TFileListView::RowSize(row);
        }
    }
    return -1;
}

void TfrmMain::StartCheckCount() {
    FExistsForAll.reset();
    FCheckedBySize = 0;
    FCheckedByDigest = 0;
}

void TfrmMain::NoteCheck() {
    switch (sckFTP->LastCheck().Kind) {
    case TIdFTPCheckKind::Digest:
        ++FCheckedByDigest;
        break;
    case TIdFTPCheckKind::Size:
        ++FCheckedBySize;
        break;
    case TIdFTPCheckKind::None:
        break;
    }
}

void TfrmMain::ShowCheckSummary() {
    if (FCheckedBySize + FCheckedByDigest == 0) {
        return;
    }
    lblTransfer.setText(PickText(TWindowText::wtCheckSummary)
                            .arg(FormatCount(FCheckedBySize), FormatCount(FCheckedByDigest)));
}

bool TfrmMain::EndedWhileIdle(const std::exception_ptr& AError) const {
    try {
        std::rethrow_exception(AError);
    } catch (const EIdProtocolReplyError& e) {
        // "421 Control connection timed out", or the like.
        return e.ReplyCode == 421;
    } catch (const EIdConnClosedGracefully&) {
        return true;
    } catch (const EIdSocketError&) {
        return !SessionConnected();
    } catch (const EIdNotConnected&) {
        return true;
    } catch (...) {
        return false;
    }
}

void TfrmMain::CallReconnecting(const TNetworkScope& AScope, const std::function<void()>& ACall) {
    // Only the first call of a command finds out that the session ended
    // while nobody used it; later failures are the command's own.
    const bool first = IdleSinceLastCommand;
    IdleSinceLastCommand = false;
    try {
        ACall();
        return;
    } catch (...) {
        if (!first || AScope.Interrupted() || !EndedWhileIdle(std::current_exception())) {
            throw;
        }
    }
    try {
        sckFTP->DropSocket();
    } catch (...) {
    }
    // Host, port, sign-in, mode and TLS settings (a trusted certificate
    // included) are still the client's from the connect.
    sckFTP->OpenSession(true, ConnectLimit);
    sckFTP->ChangeDirectory(RemoteDirBytes());
    ACall();
}
