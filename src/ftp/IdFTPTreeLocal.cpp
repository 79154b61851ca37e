// The local half of the tree walker: scans of the disk and local deletes.
#include "IdFTPTree.h"

#include "IdFTPTreeShared.h"
#include "IdGlobal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace IdFTPTreeShared;

TIdTree TIdFTPTreeWalker::ScanLocal(const std::string& ALocalDir) {
    TIdTree tree;
    tree.Side = TIdTreeSide::tsLocal;
    tree.Root = ALocalDir;
    FProgress.Scanning = true;
    TIdScopeExit done([&] { FProgress.Scanning = false; });
    struct stat info {};
    // The root is what the user named, so a link given as the root is taken
    // to its directory; links inside are not.
    if (::stat(ALocalDir.c_str(), &info) != 0) {
        FailSystem(ALocalDir, errno);
    }
    if (!S_ISDIR(info.st_mode)) {
        FailSystem(ALocalDir, ENOTDIR);
    }
    Act(TIdTreeAction::taList, std::string());
    ScanLocalDir(tree, ALocalDir, std::string(), 0);
    done.Commit();
    Report();
    return tree;
}

void TIdFTPTreeWalker::ScanLocalDir(TIdTree& ATree, const std::string& ALocal,
                                    const std::string& APath, int32_t ADepth) {
    std::vector<std::string> names;
    {
        DIR* dir = ::opendir(ALocal.c_str());
        if (dir == nullptr) {
            FailSystem(ALocal, errno);
        }
        TIdScopeExit close([dir] { ::closedir(dir); });
        errno = 0;
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        if (errno != 0) {
            FailSystem(ALocal, errno);
        }
    }
    std::sort(names.begin(), names.end());
    const size_t index = ATree.Dirs.size();
    ATree.Dirs.push_back(TIdTreeDir{APath, ADepth, {}, {}});
    ++FProgress.DirsFound;
    std::vector<std::string> children;
    for (const std::string& name : names) {
        const std::string path = JoinTreePath(APath, name);
        // A local name is the user's own; only what no command can carry is left out.
        if (name.find_first_of("\r\n") != std::string::npos) {
            Skip(path, TIdTreeSkip::tkName, "a name with a line break, which no command can carry");
            continue;
        }
        const std::string local = JoinTreePath(ALocal, name);
        struct stat info {};
        if (::lstat(local.c_str(), &info) != 0) {
            const int error = errno;
            Attempt(path, [&] { FailSystem(local, error); });
            continue;
        }
        if (S_ISLNK(info.st_mode)) {
            ATree.Dirs[index].Links.push_back(name);
        } else if (S_ISDIR(info.st_mode)) {
            children.push_back(name);
        } else if (S_ISREG(info.st_mode)) {
            const auto size = static_cast<int64_t>(info.st_size);
            ATree.Dirs[index].Files.push_back(TIdTreeFileEntry{name, size});
            ++ATree.FileCount;
            ++FProgress.FilesFound;
            ATree.Bytes += size;
            FProgress.BytesFound += size;
        } else {
            // Pipes, devices and sockets: opening one could block for ever.
            Skip(path, TIdTreeSkip::tkNotRegular, "not a regular file");
        }
    }
    Report();
    for (const std::string& name : children) {
        if (Stopping()) {
            return;
        }
        const std::string path = JoinTreePath(APath, name);
        if (ADepth + 1 > MaxDepth) {
            Skip(path, TIdTreeSkip::tkDepth,
                 "deeper than " + std::to_string(MaxDepth) + " levels; not walked");
            continue;
        }
        Act(TIdTreeAction::taList, path);
        Attempt(path, [&] { ScanLocalDir(ATree, JoinTreePath(ALocal, name), path, ADepth + 1); });
    }
}

namespace {

[[noreturn]] void FailRemoval(int AError) {
    // The issue names the entry; the reason is the system's alone.
    throw EIdTreeLocalError(AError == ELOOP ? "a link stands there now, which is not followed"
                                            : std::strerror(AError));
}

// A directory of the tree opened one component at a time from the root, none
// followed as a link: a folder swapped for a link since the scan cannot lead
// the delete out of the tree.
int OpenTreeDir(const std::string& ARoot, const std::string& APath) {
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(ARoot.c_str(), flags);
    for (size_t from = 0; fd >= 0 && from < APath.size();) {
        const size_t slash = std::min(APath.find('/', from), APath.size());
        const std::string name = APath.substr(from, slash - from);
        const int next = ::openat(fd, name.c_str(), flags);
        int error = errno;
        struct stat info {};
        // O_DIRECTORY answers a link with ENOTDIR.
        if (next < 0 && ::fstatat(fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(info.st_mode)) {
            error = ELOOP;
        }
        ::close(fd);
        errno = error;
        fd = next;
        from = slash + 1;
    }
    if (fd < 0) {
        FailRemoval(errno);
    }
    return fd;
}

struct TDirHandle {
    explicit TDirHandle(int AFd) : Fd(AFd) {}
    ~TDirHandle() { ::close(Fd); }
    TDirHandle(const TDirHandle&) = delete;
    TDirHandle& operator=(const TDirHandle&) = delete;
    const int Fd;
};

// Removes AName (a directory with AT_REMOVEDIR) from ADir.
void RemoveEntry(int ADir, const std::string& AName, int AFlags) {
    if (::unlinkat(ADir, AName.c_str(), AFlags) != 0) {
        FailRemoval(errno);
    }
}

} // namespace

void TIdFTPTreeWalker::DeleteLocal(const TIdTree& ATree) {
    StartTransfer(ATree, TIdTreeSide::tsLocal);
    struct stat info {};
    if (::lstat(ATree.Root.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        Act(TIdTreeAction::taDelete, std::string());
        Try(std::string(), [&] { RemoveEntry(AT_FDCWD, ATree.Root, 0); });
        return;
    }
    TDeleteSide side;
    side.Enter = [&](const TIdTreeDir& ADir) -> TRemoveEntry {
        // Open for as long as its entries are removed.
        const auto dir = std::make_shared<TDirHandle>(OpenTreeDir(ATree.Root, ADir.Path));
        return [dir](const std::string& AName) { RemoveEntry(dir->Fd, AName, 0); };
    };
    side.RemoveDir = [&](const TIdTreeDir& ADir) {
        if (ADir.Path.empty()) {
            if (::rmdir(ATree.Root.c_str()) != 0) {
                FailRemoval(errno);
            }
            return;
        }
        const std::string parent = ParentOf(ADir.Path);
        const int fd = OpenTreeDir(ATree.Root, parent);
        const TIdScopeExit close([fd] { ::close(fd); });
        RemoveEntry(fd, ADir.Path.substr(parent.empty() ? 0 : parent.size() + 1), AT_REMOVEDIR);
    };
    DeleteTree(ATree, side);
}
