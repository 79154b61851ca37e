#include "IdFTPTree.h"

#include "IdException.h"
#include "IdFTPTreeShared.h"
#include "IdGlobal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace IdFTPTreeShared;

namespace {

// The first line of a failure's text, the system's words for a socket error.
std::string FirstLine(const std::string& AText) {
    const std::string text = WithoutSocketErrorNumber(AText);
    return text.substr(0, text.find_first_of("\r\n"));
}

} // namespace

namespace IdFTPTreeShared {

std::string ReasonOf(const std::exception_ptr& AError) {
    try {
        std::rethrow_exception(AError);
    } catch (const EIdProtocolReplyError& e) {
        const std::string text = FirstLine(e.what());
        return e.ReplyCode == 0 ? text : std::to_string(e.ReplyCode) + " " + text;
    } catch (const std::exception& e) {
        return FirstLine(e.what());
    } catch (...) {
        return "an unknown failure";
    }
}

} // namespace IdFTPTreeShared

namespace {

// Opens a local file, its failure told as the local one it is.
std::unique_ptr<TIdFileStream> OpenLocal(const std::string& APath, TIdFileMode AMode) {
    try {
        return std::make_unique<TIdFileStream>(APath, AMode);
    } catch (const EIdException& e) {
        throw EIdTreeLocalError(FirstLine(e.what()));
    }
}

// A directory of the copy. Something else under that name (a file, or a link
// that could lead the writes elsewhere) is never replaced or followed.
void MakeLocalDir(const std::string& APath) {
    struct stat info {};
    if (::lstat(APath.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            return;
        }
        FailLocal(APath, S_ISLNK(info.st_mode) ? "exists as a link, which is not followed"
                                               : "exists and is not a directory");
    }
    if (errno != ENOENT || ::mkdir(APath.c_str(), 0777) != 0) {
        FailSystem(APath, errno);
    }
}

// The parent of a server path ("/a/b" -> "/a", "/a" -> "/").
std::string ParentPath(const std::string& APath) {
    const size_t slash = APath.rfind('/');
    if (slash == std::string::npos) {
        return std::string();
    }
    return slash == 0 ? "/" : APath.substr(0, slash);
}

} // namespace

std::string JoinTreePath(const std::string& ADir, const std::string& AName) {
    if (ADir.empty()) {
        return AName;
    }
    if (AName.empty()) {
        return ADir;
    }
    return ADir.back() == '/' ? ADir + AName : ADir + "/" + AName;
}

TIdFTPTreeWalker::~TIdFTPTreeWalker() = default;

void TIdFTPTreeWalker::RunOnSessions(size_t ASessions,
                                     const std::function<void(TIdFTP&, size_t)>& AWork) {
    const size_t count = OpenSession ? std::max<size_t>(ASessions, 1) : 1;
    if (FHelpers.size() < count - 1) {
        FHelpers.resize(count - 1);
    }
    std::vector<std::thread> workers;
    auto join = [&workers] {
        for (std::thread& worker : workers) {
            worker.join();
        }
    };
    for (size_t i = 1; i < count; ++i) {
        workers.emplace_back([this, i, &AWork] {
            std::shared_ptr<TIdFTP>& session = FHelpers[i - 1];
            if (!session || !session->IsConnected()) {
                session.reset();
                if (FHelpersRefused) {
                    return;
                }
                try {
                    session = OpenSession();
                } catch (...) {
                    // A server that takes no more sessions leaves the work
                    // to those it took.
                    FHelpersRefused = true;
                    return;
                }
            }
            if (!session) {
                return;
            }
            try {
                AWork(*session, i);
            } catch (...) {
                // The work reports its own failures; a session that failed
                // otherwise leaves the rest to the others.
            }
        });
    }
    try {
        AWork(FClient, 0);
    } catch (...) {
        // The others stop at their next entry; a stop that was not asked for
        // does not remain as a cancel.
        const bool cancelled = FCancelled.exchange(true);
        join();
        FCancelled = cancelled;
        throw;
    }
    join();
}

void TIdFTPTreeWalker::Reset() {
    FCancelled = false;
    FLost = false;
    FIssues.clear();
    FProgress = TIdTreeProgress();
    FVisitedPaths.clear();
    FVisitedUnique.clear();
}

bool TIdFTPTreeWalker::HasFailures() const {
    return std::any_of(FIssues.begin(), FIssues.end(),
                       [](const TIdTreeIssue& AIssue) { return !AIssue.Skipped; });
}

void TIdFTPTreeWalker::ReturnTo(const std::string& ADir) {
    if (ADir.empty() || FLost || !FClient.IsConnected()) {
        return;
    }
    try {
        FClient.ChangeDirectory(ADir);
    } catch (const EIdProtocolReplyError&) {
        // The directory may be gone (a deleted tree held it); the session
        // stays where it is.
    }
}

void TIdFTPTreeWalker::Report() {
    const std::lock_guard<std::recursive_mutex> hold(FLock);
    if (OnProgress) {
        OnProgress(FProgress);
    }
}

void TIdFTPTreeWalker::Act(TIdTreeAction AAction, const std::string& APath) {
    const std::lock_guard<std::recursive_mutex> hold(FLock);
    if (OnAction) {
        OnAction(AAction, APath);
    }
}

void TIdFTPTreeWalker::Skip(const std::string& APath, TIdTreeSkip AKind,
                            const std::string& AReason) {
    TIdTreeIssue issue;
    issue.Path = APath;
    issue.Reason = AReason;
    issue.Skipped = true;
    issue.Skip = AKind;
    const std::lock_guard<std::recursive_mutex> hold(FLock);
    FIssues.push_back(issue);
    if (OnIssue) {
        OnIssue(FIssues.back());
    }
}

void TIdFTPTreeWalker::Fail(const std::string& APath, const std::string& AReason,
                            std::exception_ptr AError) {
    TIdTreeIssue issue;
    issue.Path = APath;
    issue.Reason = AReason;
    issue.Error = std::move(AError);
    const std::lock_guard<std::recursive_mutex> hold(FLock);
    FIssues.push_back(issue);
    if (OnIssue) {
        OnIssue(FIssues.back());
    }
}

bool TIdFTPTreeWalker::Stopping() {
    if (!FCancelled && OnCheckCancel && OnCheckCancel()) {
        FCancelled = true;
    }
    return FCancelled || FLost;
}

bool TIdFTPTreeWalker::Try(const std::string& APath, const std::function<void()>& AStep) {
    try {
        AStep();
        return true;
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        // The abort a cancel sends fails the running step; that is no failure
        // of the entry.
        if (FCancelled) {
            return false;
        }
        Fail(APath, ReasonOf(error), error);
        return false;
    }
}

bool TIdFTPTreeWalker::Attempt(const std::string& APath, const std::function<void()>& AStep) {
    if (Try(APath, AStep)) {
        return true;
    }
    if (!FCancelled && !FClient.IsConnected()) {
        FLost = true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Transfers

void TIdFTPTreeWalker::DownloadFile(TIdFTP& AClient, const TIdTreeFile& AFile) {
    struct stat info {};
    const bool existed = ::lstat(AFile.LocalPath.c_str(), &info) == 0;
    if (existed && !S_ISREG(info.st_mode)) {
        FailLocal(AFile.LocalPath, S_ISLNK(info.st_mode) ? "exists as a link, which is not followed"
                                                         : "exists and is not a regular file");
    }
    // Never emptied on opening: the old contents go only once the server has
    // accepted the download.
    const std::unique_ptr<TIdFileStream> file =
        OpenLocal(AFile.LocalPath, existed ? TIdFileMode::fmOpenReadWrite : TIdFileMode::fmCreate);
    bool accepted = false;
    // The scan just listed it: the check needs no SIZE of its own.
    AClient.ListedSize = AFile.Size;
    try {
        AClient.Download(AFile.Name, *file, false, [&] {
            accepted = true;
            if (existed) {
                file->SetSize(0);
                file->SetPosition(0);
            }
        });
        file->Flush();
    } catch (...) {
        // An incomplete file must not pass for the whole one.
        if (!existed || accepted) {
            ::unlink(AFile.LocalPath.c_str());
        }
        throw;
    }
}

void TIdFTPTreeWalker::UploadFile(TIdFTP& AClient, const TIdTreeFile& AFile) {
    const std::unique_ptr<TIdFileStream> file = OpenLocal(AFile.LocalPath, TIdFileMode::fmOpenRead);
    AClient.Upload(*file, AFile.Name, false);
}

void TIdFTPTreeWalker::StartTransfer(const TIdTree& ATree, TIdTreeSide ASide) {
    if (ATree.Side != ASide || ATree.Dirs.empty()) {
        throw EIdException("the tree was not scanned on the side this operation reads from");
    }
    FProgress.Scanning = false;
    FProgress.DirsFound = static_cast<int64_t>(ATree.Dirs.size());
    FProgress.FilesFound = ATree.FileCount;
    FProgress.BytesFound = ATree.Bytes;
    FProgress.FilesDone = 0;
    FProgress.BytesDone = 0;
    Report();
}

void TIdFTPTreeWalker::SetBytesDone() {
    int64_t bytes = FBytesFinished;
    for (const int64_t* running : FInFlight) {
        bytes += *running;
    }
    FProgress.BytesDone = bytes;
}

void TIdFTPTreeWalker::MoveFile(TIdFTP& AClient, const TIdTreeFile& AFile, int64_t& AInFlight) {
    // The data connection's work events give the bytes of the file under way.
    const TWorkEvent saved = AClient.OnWork;
    AClient.OnWork = [this, saved, &AClient, &AInFlight](TIdComponent* ASender, TWorkMode AMode,
                                                         int64_t ACount) {
        if (saved) {
            saved(ASender, AMode, ACount);
        }
        if (ASender != &AClient) {
            const std::lock_guard<std::recursive_mutex> hold(FLock);
            AInFlight = ACount;
            SetBytesDone();
            Report();
        }
    };
    TIdScopeExit restore([&] { AClient.OnWork = saved; });
    Try(AFile.Path, [&] {
        if (TransferFile) {
            TransferFile(AClient, AFile);
        } else if (AFile.Download) {
            DownloadFile(AClient, AFile);
        } else {
            UploadFile(AClient, AFile);
        }
    });
    restore.Commit();
    const std::lock_guard<std::recursive_mutex> hold(FLock);
    // A failed file counts as dealt with, so the figures still reach the total.
    AInFlight = 0;
    ++FProgress.FilesDone;
    FBytesFinished += std::max<int64_t>(AFile.Size, 0);
    SetBytesDone();
    Report();
}

bool TIdFTPTreeWalker::TakeFile(size_t& AGroup, TIdTreeFile& AFile) {
    const std::lock_guard<std::recursive_mutex> hold(FLock);
    auto left = [this](size_t AIndex) {
        const TDirFiles& group = FQueue[AIndex];
        return !group.Failed && group.Next < group.Files.size();
    };
    if (AGroup == npos || !left(AGroup)) {
        // A directory no session works in yet, in the tree's order; once
        // there is none, the one with the most files left.
        while (FUntouched < FQueue.size() && !left(FUntouched)) {
            ++FUntouched;
        }
        AGroup = FUntouched;
        if (AGroup == FQueue.size()) {
            AGroup = npos;
            size_t most = 0;
            for (size_t i = 0; i < FQueue.size(); ++i) {
                if (left(i) && FQueue[i].Files.size() - FQueue[i].Next > most) {
                    most = FQueue[i].Files.size() - FQueue[i].Next;
                    AGroup = i;
                }
            }
            if (AGroup == npos) {
                return false;
            }
        } else {
            ++FUntouched;
        }
    }
    TDirFiles& group = FQueue[AGroup];
    AFile = group.Files[group.Next++];
    return true;
}

void TIdFTPTreeWalker::MoveFiles(TIdFTP& AClient, int64_t& AInFlight, bool AMain) {
    std::string current;
    // Each session keeps to a directory until its files are taken, so a
    // directory costs one CWD rather than one per session that passes by.
    size_t group = npos;
    for (;;) {
        // Only the caller's thread may ask OnCheckCancel.
        if (AMain ? Stopping() : FCancelled || FLost) {
            return;
        }
        TIdTreeFile file;
        if (!TakeFile(group, file)) {
            return;
        }
        if (file.RemoteDir != current) {
            try {
                AClient.ChangeDirectory(file.RemoteDir);
                current = file.RemoteDir;
            } catch (...) {
                const std::exception_ptr error = std::current_exception();
                if (FCancelled) {
                    return;
                }
                // A lost session fails the file it held; a refusal, the directory once.
                if (!AClient.IsConnected()) {
                    Fail(file.Path, ReasonOf(error), error);
                    return;
                }
                const std::lock_guard<std::recursive_mutex> hold(FLock);
                if (!FQueue[group].Failed) {
                    FQueue[group].Failed = true;
                    Fail(ParentOf(file.Path), ReasonOf(error), error);
                }
                continue;
            }
        }
        Act(file.Download ? TIdTreeAction::taGet : TIdTreeAction::taPut, file.Path);
        MoveFile(AClient, file, AInFlight);
        if (!AClient.IsConnected()) {
            return;
        }
    }
}

void TIdFTPTreeWalker::CopyTree(const TIdTree& ATree, bool ADownload, const std::string& ALocalRoot,
                                const std::string& ARemoteRoot) {
    FQueue.clear();
    FUntouched = 0;
    FBytesFinished = FProgress.BytesDone;
    // Every directory first, on this session: a file never waits for its
    // directory on another one. Below one that could not be made nothing can
    // be written.
    std::set<std::string> failed;
    for (const TIdTreeDir& dir : ATree.Dirs) {
        if (Stopping()) {
            return;
        }
        if (!dir.Path.empty() && failed.count(ParentOf(dir.Path)) != 0) {
            failed.insert(dir.Path);
            continue;
        }
        const std::string local = JoinTreePath(ALocalRoot, dir.Path);
        const std::string remote = JoinTreePath(ARemoteRoot, dir.Path);
        if (!dir.Path.empty()) {
            Act(TIdTreeAction::taMakeDir, dir.Path);
            if (!Attempt(dir.Path,
                         [&] { ADownload ? MakeLocalDir(local) : MakeRemoteDir(remote); })) {
                failed.insert(dir.Path);
                continue;
            }
        }
        for (const std::string& link : dir.Links) {
            Skip(JoinTreePath(dir.Path, link), TIdTreeSkip::tkLink, "a link; not followed");
        }
        if (!dir.Files.empty()) {
            FQueue.emplace_back();
        }
        for (const TIdTreeFileEntry& entry : dir.Files) {
            TIdTreeFile file;
            file.Download = ADownload;
            file.RemoteDir = remote;
            file.Name = entry.Name;
            file.LocalPath = JoinTreePath(local, entry.Name);
            file.Path = JoinTreePath(dir.Path, entry.Name);
            file.Size = entry.Size;
            FQueue.back().Files.push_back(std::move(file));
        }
    }
    std::vector<int64_t> inFlight(std::max<size_t>(static_cast<size_t>(std::max(Parallel, 1)), 1),
                                  0);
    FInFlight.clear();
    for (int64_t& slot : inFlight) {
        FInFlight.push_back(&slot);
    }
    TIdScopeExit forget([this] { FInFlight.clear(); });
    size_t files = 0;
    for (const TDirFiles& group : FQueue) {
        files += group.Files.size();
    }
    RunOnSessions(std::min(inFlight.size(), std::max<size_t>(files, 1)),
                  [this, &inFlight](TIdFTP& AClient, size_t AIndex) {
                      MoveFiles(AClient, inFlight[AIndex], AIndex == 0);
                  });
    // Every session was lost with files left.
    if (!FCancelled && std::any_of(FQueue.begin(), FQueue.end(), [](const TDirFiles& AGroup) {
            return !AGroup.Failed && AGroup.Next < AGroup.Files.size();
        })) {
        FLost = true;
    }
}

void TIdFTPTreeWalker::MakeRemoteDir(const std::string& APath) {
    try {
        FClient.MakeDirectory(APath);
    } catch (const EIdProtocolReplyError&) {
        // Already there is as good as made; otherwise the MKD's refusal says why.
        const std::exception_ptr refusal = std::current_exception();
        try {
            FClient.ChangeDirectory(APath);
        } catch (const EIdProtocolReplyError&) {
            std::rethrow_exception(refusal);
        }
    }
}

void TIdFTPTreeWalker::Download(const TIdTree& ATree, const std::string& ALocalDir) {
    StartTransfer(ATree, TIdTreeSide::tsRemote);
    const std::string start = FClient.QueryCurrentDir();
    TIdScopeExit back([&] { ReturnTo(start); });
    MakeLocalDir(ALocalDir);
    CopyTree(ATree, true, ALocalDir, ATree.Root);
    back.Commit();
}

void TIdFTPTreeWalker::Upload(const TIdTree& ATree, const std::string& ARemoteDir) {
    StartTransfer(ATree, TIdTreeSide::tsLocal);
    const std::string start = FClient.QueryCurrentDir();
    TIdScopeExit back([&] { ReturnTo(start); });
    if (!ARemoteDir.empty()) {
        try {
            FClient.ChangeDirectory(ARemoteDir);
        } catch (const EIdProtocolReplyError&) {
            Act(TIdTreeAction::taMakeDir, std::string());
            FClient.MakeDirectory(ARemoteDir);
            FClient.ChangeDirectory(ARemoteDir);
        }
    }
    std::string root = FClient.QueryCurrentDir();
    if (root.empty()) {
        if (!IsAbsolute(ARemoteDir)) {
            throw EIdException("the server does not tell its current directory (PWD)");
        }
        root = ARemoteDir;
    }
    CopyTree(ATree, false, ATree.Root, root);
    back.Commit();
}

void TIdFTPTreeWalker::DeleteTree(const TIdTree& ATree, const TDeleteSide& ASide) {
    auto attempt = [&](const std::string& APath, const std::function<void()>& AStep) {
        // A local delete goes on whatever became of the session.
        return ASide.Remote ? Attempt(APath, AStep) : Try(APath, AStep);
    };
    // A directory that keeps an entry cannot go, and neither can those above it.
    std::set<std::string> blocked;
    auto block = [&blocked](std::string APath) {
        while (blocked.insert(APath).second && !APath.empty()) {
            APath = ParentOf(APath);
        }
    };
    for (const TIdTreeDir& dir : ATree.Dirs) {
        if (dir.Files.empty() && dir.Links.empty()) {
            continue;
        }
        if (Stopping()) {
            return;
        }
        TRemoveEntry remove;
        if (!attempt(dir.Path, [&] { remove = ASide.Enter(dir); })) {
            block(dir.Path);
            continue;
        }
        auto removeEntry = [&](const std::string& AName, int64_t ASize) {
            const std::string path = JoinTreePath(dir.Path, AName);
            Act(TIdTreeAction::taDelete, path);
            // A link goes as the link itself; what it points to stays.
            if (!attempt(path, [&] { remove(AName); })) {
                block(dir.Path);
            }
            ++FProgress.FilesDone;
            FProgress.BytesDone += std::max<int64_t>(ASize, 0);
            Report();
        };
        for (const TIdTreeFileEntry& entry : dir.Files) {
            if (Stopping()) {
                return;
            }
            removeEntry(entry.Name, entry.Size);
        }
        for (const std::string& link : dir.Links) {
            if (Stopping()) {
                return;
            }
            removeEntry(link, 0);
        }
    }
    std::vector<const TIdTreeDir*> dirs;
    for (const TIdTreeDir& dir : ATree.Dirs) {
        dirs.push_back(&dir);
    }
    std::stable_sort(dirs.begin(), dirs.end(),
                     [](const TIdTreeDir* a, const TIdTreeDir* b) { return a->Depth > b->Depth; });
    if (Stopping()) {
        return;
    }
    if (ASide.BeforeDirs) {
        ASide.BeforeDirs();
    }
    for (const TIdTreeDir* dir : dirs) {
        if (Stopping()) {
            return;
        }
        if (blocked.count(dir->Path) != 0) {
            continue;
        }
        Act(TIdTreeAction::taRemoveDir, dir->Path);
        if (!attempt(dir->Path, [&] { ASide.RemoveDir(*dir); })) {
            block(dir->Path);
        }
    }
}

void TIdFTPTreeWalker::DeleteRemote(const TIdTree& ATree) {
    StartTransfer(ATree, TIdTreeSide::tsRemote);
    const std::string start = FClient.QueryCurrentDir();
    TIdScopeExit back([&] { ReturnTo(start); });
    TDeleteSide side;
    side.Remote = true;
    side.Enter = [&](const TIdTreeDir& ADir) -> TRemoveEntry {
        FClient.ChangeDirectory(JoinTreePath(ATree.Root, ADir.Path));
        return [this](const std::string& AName) { FClient.DeleteRemoteFile(AName); };
    };
    // Out of the tree first: some servers refuse to remove the current directory.
    side.BeforeDirs = [&] { ReturnTo(ParentPath(ATree.Root)); };
    side.RemoveDir = [&](const TIdTreeDir& ADir) {
        FClient.DeleteDirectory(JoinTreePath(ATree.Root, ADir.Path));
    };
    DeleteTree(ATree, side);
    back.Commit();
}
