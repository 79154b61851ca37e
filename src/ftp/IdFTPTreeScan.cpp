// The remote scan of the tree walker: directories listed over one session
// or several.
#include "IdFTPTree.h"

#include "IdException.h"
#include "IdFTPTreeShared.h"
#include "IdGlobal.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace IdFTPTreeShared;

// A directory waiting to be listed.
struct TIdFTPTreeWalker::TScanJob {
    std::string Absolute;
    std::string Path;
    int32_t Depth = 0;
    // Its place in TScan::Nodes.
    size_t Node = 0;
    // MLSD's unique fact told it apart from every directory seen, which
    // spares the PWD that would otherwise tell.
    bool Known = false;
};

// The state a scan's sessions share; guarded by Lock.
struct TIdFTPTreeWalker::TScan {
    struct TNode {
        TIdTreeDir Dir;
        // False until listed; a directory that could not be is left out.
        bool Listed = false;
        // In the order the parent listed them.
        std::vector<size_t> Children;
    };
    std::mutex Lock;
    std::condition_variable Changed;
    // Last in, first out: one session walks the tree in the order a
    // recursive walk would, several spread over its branches.
    std::vector<TScanJob> Pending;
    size_t Busy = 0;
    std::vector<TNode> Nodes;

    // Parents before children, siblings as listed: the same order whichever
    // session listed what.
    void Flatten(TIdTree& ATree) {
        std::vector<size_t> stack{0};
        while (!stack.empty()) {
            TNode& node = Nodes[stack.back()];
            stack.pop_back();
            if (!node.Listed) {
                continue;
            }
            ATree.FileCount += static_cast<int64_t>(node.Dir.Files.size());
            for (const TIdTreeFileEntry& file : node.Dir.Files) {
                ATree.Bytes += std::max<int64_t>(file.Size, 0);
            }
            ATree.Dirs.push_back(std::move(node.Dir));
            stack.insert(stack.end(), node.Children.rbegin(), node.Children.rend());
        }
    }
};

TIdTree TIdFTPTreeWalker::ScanRemote(const std::string& ARemoteDir) {
    TIdTree tree;
    tree.Side = TIdTreeSide::tsRemote;
    FVisitedPaths.clear();
    FVisitedUnique.clear();
    FProgress.Scanning = true;
    const std::string start = FClient.QueryCurrentDir();
    TScan scan;
    FScan = &scan;
    TIdScopeExit back([&] {
        FScan = nullptr;
        FProgress.Scanning = false;
        ReturnTo(start);
    });
    if (!ARemoteDir.empty()) {
        FClient.ChangeDirectory(ARemoteDir);
    }
    tree.Root = FClient.QueryCurrentDir();
    if (tree.Root.empty()) {
        // Without the server's own path the walk cannot find its way back to
        // a directory; a relative start is of no use for that.
        if (!IsAbsolute(ARemoteDir)) {
            throw EIdException("the server does not tell its current directory (PWD)");
        }
        tree.Root = ARemoteDir;
    }
    FVisitedPaths.insert(tree.Root);
    Act(TIdTreeAction::taList, std::string());
    scan.Nodes.emplace_back();
    // The root is listed here while the other sessions sign in; until then
    // they have nothing to take and must not take that for the end.
    scan.Busy = 1;
    RunOnSessions(static_cast<size_t>(std::max(Parallel, 1)), [this, &scan, &tree](TIdFTP& AClient,
                                                                                   size_t AIndex) {
        if (AIndex == 0) {
            TIdScopeExit done([&scan] {
                const std::lock_guard<std::mutex> hold(scan.Lock);
                --scan.Busy;
                scan.Changed.notify_all();
            });
            ScanRemoteDir(AClient, TScanJob{tree.Root, std::string(), 0, 0, true}, false);
        }
        ScanRemoteDirs(AClient, AIndex == 0);
    });
    scan.Flatten(tree);
    back.Commit();
    Report();
    return tree;
}

void TIdFTPTreeWalker::ScanRemoteDirs(TIdFTP& AClient, bool AMain) {
    TScan& scan = *FScan;
    for (;;) {
        // Only the caller's thread may ask OnCheckCancel, and never while
        // holding the scan's lock.
        if (AMain ? Stopping() : FCancelled || FLost) {
            scan.Changed.notify_all();
            return;
        }
        TScanJob job;
        {
            std::unique_lock<std::mutex> hold(scan.Lock);
            if (scan.Pending.empty()) {
                if (scan.Busy == 0) {
                    scan.Changed.notify_all();
                    return;
                }
                // Another session may yet find more; the cancel check above
                // runs again after a while.
                scan.Changed.wait_for(hold, std::chrono::milliseconds(50));
                continue;
            }
            job = std::move(scan.Pending.back());
            scan.Pending.pop_back();
            ++scan.Busy;
        }
        Act(TIdTreeAction::taList, job.Path);
        bool lost = false;
        try {
            ScanRemoteDir(AClient, job, true);
        } catch (...) {
            const std::exception_ptr error = std::current_exception();
            lost = !AClient.IsConnected();
            if (!FCancelled && (AMain || !lost)) {
                Fail(job.Path, ReasonOf(error), error);
            }
        }
        const std::lock_guard<std::mutex> hold(scan.Lock);
        --scan.Busy;
        if (lost && !FCancelled) {
            if (AMain) {
                FLost = true;
            } else {
                // The directory goes to a session that is still there.
                scan.Pending.push_back(std::move(job));
            }
        }
        scan.Changed.notify_all();
        if (lost) {
            return;
        }
    }
}

void TIdFTPTreeWalker::ScanRemoteDir(TIdFTP& AClient, const TScanJob& AJob, bool AEnter) {
    TScan& scan = *FScan;
    if (AEnter) {
        AClient.ChangeDirectory(AJob.Absolute);
    }
    if (AEnter && !AJob.Known) {
        // Where the server says it now is: a directory that lists itself, or
        // a link the server resolves, comes back to a path seen before.
        const std::string here = AClient.QueryCurrentDir();
        bool fresh = false;
        {
            const std::lock_guard<std::mutex> hold(scan.Lock);
            fresh = FVisitedPaths.insert(here.empty() ? AJob.Absolute : here).second;
        }
        if (!fresh) {
            Skip(AJob.Path, TIdTreeSkip::tkLoop,
                 "a directory already walked (" + here + "); not walked again");
            return;
        }
    }
    AClient.ListDirectory(nullptr);
    const TIdFTPListItems& items = AClient.ListItems();
    TScan::TNode node;
    node.Dir = TIdTreeDir{AJob.Path, AJob.Depth, {}, {}};
    node.Listed = true;
    std::vector<TScanJob> children;
    int64_t bytes = 0;
    for (int32_t i = 0; i < items.Count(); ++i) {
        const TIdFTPListItem& item = items.ItemAt(i);
        // The usual entries for the directory itself and its parent.
        if (item.Kind == likDirectory && (item.Name == "." || item.Name == "..")) {
            continue;
        }
        const std::string path = JoinTreePath(AJob.Path, item.Name);
        if (const std::string reason = UnsafeNameReason(item.Name); !reason.empty()) {
            Skip(path, TIdTreeSkip::tkName, reason);
        } else if (item.Kind == likSymbolicLink) {
            node.Dir.Links.push_back(item.Name);
        } else if (item.Kind != likDirectory) {
            node.Dir.Files.push_back(TIdTreeFileEntry{item.Name, item.FileSize});
            bytes += std::max<int64_t>(item.FileSize, 0);
        } else if (AJob.Depth + 1 > MaxDepth) {
            Skip(path, TIdTreeSkip::tkDepth,
                 "deeper than " + std::to_string(MaxDepth) + " levels; not walked");
        } else if (!item.Unique.empty() && [&] {
                       // A server that follows links lists the same directory
                       // again under another name; MLSD's unique fact gives it away.
                       const std::lock_guard<std::mutex> hold(scan.Lock);
                       return !FVisitedUnique.insert(item.Unique).second;
                   }()) {
            Skip(path, TIdTreeSkip::tkLoop,
                 "a directory already walked (a link loop); not walked again");
        } else {
            children.push_back(TScanJob{JoinTreePath(AJob.Absolute, item.Name), path,
                                        AJob.Depth + 1, 0, !item.Unique.empty()});
        }
    }
    {
        const std::lock_guard<std::recursive_mutex> hold(FLock);
        ++FProgress.DirsFound;
        FProgress.FilesFound += static_cast<int64_t>(node.Dir.Files.size());
        FProgress.BytesFound += bytes;
    }
    {
        const std::lock_guard<std::mutex> hold(scan.Lock);
        for (TScanJob& child : children) {
            child.Node = scan.Nodes.size();
            scan.Nodes.emplace_back();
            node.Children.push_back(child.Node);
        }
        // Reversed, so the first child is taken first.
        for (auto child = children.rbegin(); child != children.rend(); ++child) {
            scan.Pending.push_back(std::move(*child));
        }
        scan.Nodes[AJob.Node] = std::move(node);
        scan.Changed.notify_all();
    }
    Report();
}
