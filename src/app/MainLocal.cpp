// The local file pane: listing a folder, choosing one, deleting entries.
// Paths are bytes all the way to the system calls, so a name that is not
// valid text still round-trips.
#include "Connect.h"
#include "Dialogs.h"
#include "FileRows.h"
#include "Main.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

bool IsDirectory(const std::string& APath) {
    struct stat st {};
    return ::stat(APath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct TDirCloser {
    void operator()(DIR* ADir) const { ::closedir(ADir); }
};

// Calls AEntry(name, is-directory) for every entry but "." and "..",
// hidden ones included.
template <typename F> void EnumerateEntries(const std::string& ABase, F AEntry) {
    const std::unique_ptr<DIR, TDirCloser> dir(::opendir(ABase.c_str()));
    if (!dir) {
        return;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        // A link to a folder is entered like the folder it names.
        AEntry(name, IsDirectory(ABase + name));
    }
}

} // namespace

void TfrmMain::SetLocalDir(const std::string& ABytes) {
    FLocalDirBytes = ABytes;
    CurrentLocalDir = DecodeName(ABytes);
}

std::string TfrmMain::LocalDirBytes() const {
    return NameBytes(FLocalDirBytes, CurrentLocalDir);
}

namespace {

int64_t LocalFileSize(const std::string& APath) {
    // Only stat: opening an entry to learn its size would block on a named
    // pipe and can have side effects on a device.
    struct stat st {};
    if (::stat(APath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return 0;
    }
    return static_cast<int64_t>(st.st_size);
}

} // namespace

int64_t TfrmMain::GetLocalFileSize(const QString& APath) {
    return LocalFileSize(APath.toUtf8().toStdString());
}

void TfrmMain::FillLocalList(const QString& ADirectory) {
    const std::string directory =
        ADirectory == CurrentLocalDir ? LocalDirBytes() : ADirectory.toUtf8().toStdString();
    if (!IsDirectory(directory)) {
        return;
    }
    const std::string base = WithTrailingSeparator(directory);
    TFileListFill fill(lvLocalFiles, [this] {
        ProcessMessages();
        return true;
    });
    bool going = true;
    EnumerateEntries(base, [&](const std::string& AName, bool ADirectory) {
        if (!going) {
            return;
        }
        if (ADirectory) {
            fill.Add(QStringLiteral("<\\> ") + DecodeName(AName), QStringLiteral("N/A"),
                     base + AName + "/");
        } else {
            std::string path = base + AName;
            const int64_t size = LocalFileSize(path);
            fill.Add(FileRowCaption(DecodeName(AName)), size, std::move(path));
        }
        going = fill.Breathe();
    });
    if (going) {
        fill.Finish();
    }
}

void TfrmMain::btnLocalRefreshClick() {
    lvLocalFiles.clear();
    FillLocalList(CurrentLocalDir);
    SetFittedText(lblLocalFiles, PickText(TWindowText::wtLocalFiles) + QStringLiteral(" (") +
                                     CurrentLocalDir + QStringLiteral(")"));
}

void TfrmMain::btnLocalBrowseClick() {
    QString start = WithTrailingSeparator(CurrentLocalDir);
    if (BrowseForFolder(PickText(TWindowText::wtChooseDirectory), start) && !start.isEmpty()) {
        SetLocalDir(WithTrailingSeparator(start.toUtf8().toStdString()));
        btnLocalRefreshClick();
    }
}

void TfrmMain::lvLocalFilesDblClick() {
    const QTreeWidgetItem* row = lvLocalFiles.FirstSelectedRow();
    if (!row || !IsLocalDirectoryRow(TFileListView::RowCaption(*row))) {
        return;
    }
    SetLocalDir(TFileListView::RowArgument(*row));
    btnLocalRefreshClick();
}

void TfrmMain::lvLocalFilesKeyDown(int AKey) {
    TNetworkScope scope(*this);
    if (AKey == VK_DELETE && lvLocalFiles.SelectedCount() > 0) {
        SetPaneControlsEnabled(false);
        if (ConfirmDelete(lvLocalFiles, TWindowText::wtLocalFileCount) && !scope.Interrupted()) {
            RunBatchLoop(lvLocalFiles, [this](const TBatchRow& ARow, int32_t, int32_t) {
                const int result = IsLocalDirectoryRow(ARow.Caption)
                                       ? ::rmdir(ARow.Argument.c_str())
                                       : ::unlink(ARow.Argument.c_str());
                if (result != 0) {
                    NoteRowFailure(ARow.Argument, QString::fromLocal8Bit(std::strerror(errno)));
                }
            });
        }
        FinishBatch(
            scope, [this] { btnLocalRefreshClick(); }, PickText(TWindowText::wtEntriesNotDeleted));
    } else if (AKey == VK_F5) {
        btnLocalRefreshClick();
    } else if (AKey == VK_RETURN) {
        lvLocalFilesDblClick();
    }
}
