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

#include <fcntl.h>

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

QString SystemError(int AError) {
    return QString::fromLocal8Bit(std::strerror(AError));
}

} // namespace

void TfrmMain::SetLocalDir(const std::string& ABytes) {
    FLocalDirBytes = ABytes;
    CurrentLocalDir = ShowName(ABytes);
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
            fill.Add(QStringLiteral("<\\> ") + ShowName(AName), QStringLiteral("N/A"),
                     base + AName + "/");
        } else {
            std::string path = base + AName;
            const int64_t size = LocalFileSize(path);
            fill.Add(FileRowCaption(ShowName(AName)), size, std::move(path));
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
        DeleteSelectedRows(scope, false, [this](const TBatchRow& ARow) {
            // A link to a folder goes as the link; what it leads to stays.
            const std::string path = ARow.Argument.size() > 1 && ARow.Argument.back() == '/'
                                         ? ARow.Argument.substr(0, ARow.Argument.size() - 1)
                                         : ARow.Argument;
            struct stat st {};
            const bool link = ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
            const int result = IsLocalDirectoryRow(ARow.Caption) && !link
                                   ? ::rmdir(ARow.Argument.c_str())
                                   : ::unlink(path.c_str());
            if (result != 0) {
                NoteRowFailure(ARow.Argument, SystemError(errno));
            }
        });
    } else if (AKey == VK_F2) {
        lvLocalFilesRename();
    } else if (AKey == VK_F5) {
        btnLocalRefreshClick();
    } else if (AKey == VK_RETURN) {
        lvLocalFilesDblClick();
    }
}

namespace {

// rename() would silently replace an entry of the new name; where the file
// system cannot refuse that itself, the check comes just before.
int RenameNoReplace(const std::string& AFrom, const std::string& ATo) {
    if (::renameat2(AT_FDCWD, AFrom.c_str(), AT_FDCWD, ATo.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return -1;
    }
    struct stat st {};
    if (::lstat(ATo.c_str(), &st) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::rename(AFrom.c_str(), ATo.c_str());
}

} // namespace

void TfrmMain::lvLocalFilesRename() {
    TNetworkScope scope(*this);
    const QTreeWidgetItem* row = lvLocalFiles.FirstSelectedRow();
    if (!row) {
        return;
    }
    const std::string name = RowEntryName(TFileListView::RowArgument(*row));
    const std::string base = WithTrailingSeparator(LocalDirBytes());
    std::string to;
    if (!AskNewName(lvLocalFiles, name, to) || scope.Interrupted()) {
        return;
    }
    if (RenameNoReplace(base + name, base + to) != 0) {
        ShowCommandFailure(PickText(TWindowText::wtNotRenamed), ShowName(name), SystemError(errno));
    }
    if (!scope.Interrupted()) {
        btnLocalRefreshClick();
    }
}

void TfrmMain::LocalCreateDirectory() {
    TNetworkScope scope(*this);
    const QString typed = Dialogs().InputBox(this, PickText(TWindowText::wtCreateDirectoryTitle),
                                             PickText(TWindowText::wtTypeName), QString());
    const std::string name = typed.toUtf8().toStdString();
    if (name.empty() || scope.Interrupted() || !UsableNewName(lvLocalFiles, name)) {
        return;
    }
    if (::mkdir((WithTrailingSeparator(LocalDirBytes()) + name).c_str(), 0777) != 0) {
        ShowCommandFailure(PickText(TWindowText::wtNotCreated), typed, SystemError(errno));
    }
    if (!scope.Interrupted()) {
        btnLocalRefreshClick();
    }
}
