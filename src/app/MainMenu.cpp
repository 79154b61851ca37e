// The context menu of the two lists, and the naming rules that renaming and
// creating a directory share.
#include "Dialogs.h"
#include "FileRows.h"
#include "IdGlobal.h"
#include "Main.h"

#include <QMenu>
#include <QTimer>

void TfrmMain::ShowListMenu(TFileListView& AList, const QPoint& AAt) {
    // A list answers while a refresh waits on the network; its commands
    // would have to wait for that, so it offers none.
    if (!CanStartCommand() || !AList.isEnabled()) {
        return;
    }
    const bool remote = &AList == &lvRemoteFiles;
    const int selected = AList.SelectedCount();
    const QTreeWidgetItem* first = AList.FirstSelectedRow();
    const bool renamable = first && !IsRemoteParentRow(TFileListView::RowCaption(*first));

    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const auto add = [this, menu](TWindowText AText, bool AEnabled,
                                  std::function<void()> ACommand) {
        QAction* action = menu->addAction(PickText(AText));
        action->setEnabled(AEnabled);
        // The command runs once the menu has gone, from the event loop itself,
        // as a click on a button would.
        connect(action, &QAction::triggered, this, [this, ACommand = std::move(ACommand)] {
            QTimer::singleShot(0, this, [this, ACommand] { RunUserCommand(ACommand); });
        });
    };
    if (remote) {
        add(TWindowText::wtMenuDownload, selected > 0, [this] { btnRemoteDownloadClick(); });
    } else {
        add(TWindowText::wtMenuUpload, selected > 0, [this] { btnLocalUploadClick(); });
    }
    add(TWindowText::wtMenuDelete, selected > 0, [this, remote] {
        remote ? lvRemoteFilesKeyDown(VK_DELETE) : lvLocalFilesKeyDown(VK_DELETE);
    });
    add(TWindowText::wtMenuRename, renamable,
        [this, remote] { remote ? lvRemoteFilesRename() : lvLocalFilesRename(); });
    menu->addSeparator();
    add(TWindowText::wtMenuCreateDirectory, true,
        [this, remote] { remote ? btnRemoteCreateDirectoryClick() : LocalCreateDirectory(); });
    add(TWindowText::wtMenuRefresh, true,
        [this, remote] { remote ? btnRemoteRefreshClick() : btnLocalRefreshClick(); });
    menu->popup(AList.viewport()->mapToGlobal(AAt));
}

std::string TfrmMain::RowEntryName(const std::string& AArgument) {
    std::string path = AArgument;
    // Local rows carry the whole path, folders with a trailing "/".
    if (!path.empty() && path.back() == '/') {
        path.pop_back();
    }
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool TfrmMain::UsableNewName(const TFileListView& AList, const std::string& ANewName) {
    // A rename is no move: the entry stays in its folder, under one name.
    TWindowText problem = TWindowText::wtNameUnusable;
    if (IsSafeEntryName(ANewName)) {
        problem = TWindowText::wtNameTaken;
        bool taken = false;
        for (int i = 0; i < AList.topLevelItemCount() && !taken; ++i) {
            const QTreeWidgetItem& row = *AList.topLevelItem(i);
            taken = !IsRemoteParentRow(TFileListView::RowCaption(row)) &&
                    RowEntryName(TFileListView::RowArgument(row)) == ANewName;
        }
        if (!taken) {
            return true;
        }
    }
    Dialogs().MessageBox(this, PickText(TWindowText::wtError),
                         PickText(problem).arg(ShowName(ANewName)), TMsgIcon::miError,
                         TMsgButtons::mbOK);
    return false;
}

bool TfrmMain::AskNewName(const TFileListView& AList, const std::string& AName,
                          std::string& VNewName) {
    const QString shown = ShowName(AName);
    const QString typed = Dialogs().InputBox(this, PickText(TWindowText::wtRenameTitle),
                                             PickText(TWindowText::wtNewName), shown);
    if (typed.isEmpty() || typed == shown) {
        return false;
    }
    VNewName = typed.toUtf8().toStdString();
    return UsableNewName(AList, VNewName);
}
