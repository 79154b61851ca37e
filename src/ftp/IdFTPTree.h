#pragma once

#include "IdException.h"
#include "IdFTP.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// Whole directory trees over one signed-in TIdFTP session: scanned on the
// server (MLSD where offered, LIST otherwise) or on the local disk, then
// downloaded, uploaded or deleted. Links are never followed on either side;
// every listed name must be usable as one path component; one failing entry
// does not stop the rest, and every skip and failure is collected.

// A local file or directory of the walk that could not be read, made or
// written; front ends tell it apart from the network's failures.
class EIdTreeLocalError : public EIdException {
public:
    using EIdException::EIdException;
};

// One file of a scanned tree.
struct TIdTreeFileEntry {
    std::string Name;
    // -1 when the listing gave none.
    int64_t Size = -1;
};

// One directory of a scanned tree with the entries directly in it.
struct TIdTreeDir {
    // Below the tree's root, components joined with "/"; empty for the root.
    std::string Path;
    // The root is 0.
    int32_t Depth = 0;
    std::vector<TIdTreeFileEntry> Files;
    // Links listed here: never followed; a transfer skips them, a delete
    // removes the link itself.
    std::vector<std::string> Links;
};

enum class TIdTreeSide { tsRemote, tsLocal };

struct TIdTree {
    TIdTreeSide Side = TIdTreeSide::tsRemote;
    // Remote: the server's absolute path of the root (from PWD); local: the
    // path as given.
    std::string Root;
    // Parents before their children; Dirs[0] is the root.
    std::vector<TIdTreeDir> Dirs;
    int64_t FileCount = 0;
    // The sum of the sizes known.
    int64_t Bytes = 0;
};

// Why an entry was left out, for a front end that words it in its own language.
enum class TIdTreeSkip { tkNone, tkName, tkLink, tkLoop, tkDepth, tkNotRegular };

// A skipped or failed entry.
struct TIdTreeIssue {
    // Below the root, as listed (raw bytes; show it through EscapeControl).
    std::string Path;
    std::string Reason;
    // Left out by rule (a name, a link, a loop, the depth limit) rather than
    // failed.
    bool Skipped = false;
    TIdTreeSkip Skip = TIdTreeSkip::tkNone;
    // The failure itself, for a caller that sorts failures by kind; empty for
    // a skipped entry.
    std::exception_ptr Error;
};

// Figures for the whole tree. While a scan runs the found counts grow; a
// transfer starts with the scanned totals.
struct TIdTreeProgress {
    int64_t DirsFound = 0;
    int64_t FilesFound = 0;
    int64_t BytesFound = 0;
    int64_t FilesDone = 0;
    // Bytes of the files done plus those of the file under way.
    int64_t BytesDone = 0;
    bool Scanning = false;
};

// What the per-file step moves. The session's current directory is RemoteDir
// when the step runs.
struct TIdTreeFile {
    bool Download = true;
    // The server's absolute path of the file's directory.
    std::string RemoteDir;
    std::string Name;
    // The full local path.
    std::string LocalPath;
    // Below the tree's root, for messages.
    std::string Path;
    int64_t Size = -1;
};

enum class TIdTreeAction { taList, taMakeDir, taGet, taPut, taDelete, taRemoveDir };

class TIdFTPTreeWalker {
public:
    static constexpr int32_t MaxDepth = 64;

    explicit TIdFTPTreeWalker(TIdFTP& AClient) : FClient(AClient) {}
    ~TIdFTPTreeWalker();
    TIdFTPTreeWalker(const TIdFTPTreeWalker&) = delete;
    TIdFTPTreeWalker& operator=(const TIdFTPTreeWalker&) = delete;

    // Every change of the figures: each entry found, each data step of a file.
    std::function<void(const TIdTreeProgress& AProgress)> OnProgress;
    // Each step as it starts (APath below the root, raw bytes).
    std::function<void(TIdTreeAction AAction, const std::string& APath)> OnAction;
    // Each skip or failure as it happens; Issues() keeps them all.
    std::function<void(const TIdTreeIssue& AIssue)> OnIssue;
    // Asked between entries; true stops the walk as Cancel() does.
    std::function<bool()> OnCheckCancel;

    // Moves one file. Empty: DownloadFile or UploadFile. A replacement (a
    // resuming or parallel transfer) raises to report the file failed.
    using TTransferFile = std::function<void(TIdFTP& AClient, const TIdTreeFile& AFile)>;
    TTransferFile TransferFile;
    // RETR into LocalPath; an existing file is emptied only once the server
    // accepted, and a file left incomplete by a failure is removed.
    static void DownloadFile(TIdFTP& AClient, const TIdTreeFile& AFile);
    // STOR of LocalPath as Name, replacing what the server has under it.
    static void UploadFile(TIdFTP& AClient, const TIdTreeFile& AFile);

    // Sessions that list the directories of ScanRemote and move the files of
    // Download and Upload at once: this one and up to Parallel - 1 more, each
    // opened by OpenSession on a thread of its own (it returns a signed-in
    // session, or raises when the server refuses one more: the walk goes on
    // with the sessions it has, and asks for no more). Opened sessions are
    // kept for the walker's next step, so a scan's sessions then move the
    // files. The directories are all made on this session before any file
    // moves. The callbacks above are then called from those threads too, one
    // at a time; OnCheckCancel only from the caller's.
    int32_t Parallel = 1;
    using TOpenSession = std::function<std::shared_ptr<TIdFTP>()>;
    TOpenSession OpenSession;

    // ARemoteDir is absolute or relative to the current directory (empty: the
    // current directory itself). Raises when the root itself cannot be
    // entered or listed; everything below it becomes an issue.
    TIdTree ScanRemote(const std::string& ARemoteDir);
    // Raises EIdException when the root is no readable directory (a link to
    // one is not followed either).
    TIdTree ScanLocal(const std::string& ALocalDir);

    // ALocalDir becomes the copy of the tree's root: created when missing,
    // filled when it is a directory. Raises when it cannot be.
    void Download(const TIdTree& ATree, const std::string& ALocalDir);
    // ARemoteDir (absolute, or relative to the current directory) becomes the
    // copy: created when missing, filled when it exists.
    void Upload(const TIdTree& ATree, const std::string& ARemoteDir);
    // Files and links first, then the directories deepest first, the root last.
    void DeleteRemote(const TIdTree& ATree);
    // The same for a tree of ScanLocal. A link goes as the link itself, never
    // followed or emptied: a root that is a link is all that goes, and a
    // folder that became a link since the scan is not entered.
    void DeleteLocal(const TIdTree& ATree);

    // The remote operations return to the directory they started in.

    // Stops the walk at the next entry; the session stays usable (a front end
    // that must stop the running file also calls TIdFTP::AbortTransfer).
    void Cancel() { FCancelled = true; }
    bool Cancelled() const { return FCancelled; }
    // The session was lost: the walk ended early.
    bool Lost() const { return FLost; }
    const std::vector<TIdTreeIssue>& Issues() const { return FIssues; }
    bool HasFailures() const;
    const TIdTreeProgress& Progress() const { return FProgress; }
    // Clears issues, figures and the cancel and lost states.
    void Reset();

private:
    struct TScan;
    struct TScanJob;
    // Lists the directory of AJob on AClient (entering it first unless it is
    // the root) and queues its subdirectories.
    void ScanRemoteDir(TIdFTP& AClient, const TScanJob& AJob, bool AEnter);
    // Takes directories from the scan's queue until none is left or under way.
    void ScanRemoteDirs(TIdFTP& AClient, bool AMain);
    // Runs AWork on this session on the caller's thread and on up to
    // ASessions - 1 more, each on a thread of its own; returns when all have.
    void RunOnSessions(size_t ASessions, const std::function<void(TIdFTP&, size_t)>& AWork);
    void ScanLocalDir(TIdTree& ATree, const std::string& ALocal, const std::string& APath,
                      int32_t ADepth);
    // Runs AStep for APath; a failure becomes an issue. False when it failed.
    bool Attempt(const std::string& APath, const std::function<void()>& AStep);
    // As Attempt, but a lost session does not end the walk.
    bool Try(const std::string& APath, const std::function<void()>& AStep);
    void Skip(const std::string& APath, TIdTreeSkip AKind, const std::string& AReason);
    void Fail(const std::string& APath, const std::string& AReason, std::exception_ptr AError);
    // True once the walk must end: cancelled or the session is gone.
    bool Stopping();
    void Report();
    // What a delete does on its side: enter a directory (raising when it
    // cannot) and get the step that removes one of its entries, get ready
    // for the directories, remove one.
    using TRemoveEntry = std::function<void(const std::string& AName)>;
    struct TDeleteSide {
        bool Remote = false;
        std::function<TRemoveEntry(const TIdTreeDir& ADir)> Enter;
        std::function<void()> BeforeDirs;
        std::function<void(const TIdTreeDir& ADir)> RemoveDir;
    };
    // Files and links first, then the directories deepest first.
    void DeleteTree(const TIdTree& ATree, const TDeleteSide& ASide);
    // Changes to ADir; a refusal is no failure of the walk.
    void ReturnTo(const std::string& ADir);
    void Act(TIdTreeAction AAction, const std::string& APath);
    // Raises for a tree of the other side (or none).
    void StartTransfer(const TIdTree& ATree, TIdTreeSide ASide);
    // Moves AFile on AClient; AInFlight holds its bytes so far for the figures.
    void MoveFile(TIdFTP& AClient, const TIdTreeFile& AFile, int64_t& AInFlight);
    static constexpr size_t npos = static_cast<size_t>(-1);
    // The next file for a session working in AGroup (npos: none yet), which
    // it may move on to another group; false when no file is left.
    bool TakeFile(size_t& AGroup, TIdTreeFile& AFile);
    // Takes files from FQueue until it is empty, the walk stops or the
    // session is lost.
    void MoveFiles(TIdFTP& AClient, int64_t& AInFlight, bool AMain);
    void SetBytesDone();
    // Directories made on the other side, then each file moved by the step.
    void CopyTree(const TIdTree& ATree, bool ADownload, const std::string& ALocalRoot,
                  const std::string& ARemoteRoot);
    // MKD; a directory already there is as good as made.
    void MakeRemoteDir(const std::string& APath);

    TIdFTP& FClient;
    std::atomic<bool> FCancelled{false};
    std::atomic<bool> FLost{false};
    std::vector<TIdTreeIssue> FIssues;
    TIdTreeProgress FProgress;
    // Directories entered during a scan: the server's own path and MLSD's
    // unique fact, so a server that follows links cannot loop the walk.
    std::set<std::string> FVisitedPaths;
    std::set<std::string> FVisitedUnique;
    // Set while ScanRemote runs.
    TScan* FScan = nullptr;
    // The sessions beyond this one; slot i - 1 belongs to thread i.
    std::vector<std::shared_ptr<TIdFTP>> FHelpers;
    std::atomic<bool> FHelpersRefused{false};
    // Guards the issues, the figures and the callbacks while sessions run at once.
    std::recursive_mutex FLock;
    // The files to move, a group per directory in the tree's order.
    struct TDirFiles {
        std::vector<TIdTreeFile> Files;
        size_t Next = 0;
        // No session could enter it: its files are not tried again.
        bool Failed = false;
    };
    std::vector<TDirFiles> FQueue;
    // The first group no session has started on.
    size_t FUntouched = 0;
    int64_t FBytesFinished = 0;
    std::vector<int64_t*> FInFlight;
};

// Joins a directory path and a name with "/" ("" and "/" need none).
std::string JoinTreePath(const std::string& ADir, const std::string& AName);
