#include "CliSession.h"

#include "IdException.h"
#include "IdGlobal.h"

#include <filesystem>
#include <memory>
#include <string>

void TCliSession::SetUpWalker(TIdFTPTreeWalker& AWalker, const std::string& ARoot) {
    AWalker.OnAction = [this, ARoot](TIdTreeAction AAction, const std::string& APath) {
        if (!FOptions.Verbose) {
            return;
        }
        // In the order of TIdTreeAction.
        static const char* const kVerbs[] = {"list", "mkdir", "get", "put", "delete", "rmdir"};
        LogLine("* ", std::string(kVerbs[static_cast<size_t>(AAction)]) + " " +
                          JoinTreePath(ARoot, APath));
    };
    AWalker.OnIssue = [this, ARoot](const TIdTreeIssue& AIssue) {
        if (FProgress.Running() && FProgress.Enabled()) {
            std::fputs("\r\033[K", FErr);
        }
        std::fprintf(FErr, "qvftp: %s %s: %s\n", AIssue.Skipped ? "skipped" : "failed",
                     EscapeControl(JoinTreePath(ARoot, AIssue.Path)).c_str(),
                     EscapeControl(AIssue.Reason).c_str());
        std::fflush(FErr);
        if (AIssue.Skipped) {
            return;
        }
        if (++FTreeFailures == 1) {
            // The same exit codes as a single command failing the same way.
            try {
                Step(TPhase::Operation, AIssue.Path, [&] { std::rethrow_exception(AIssue.Error); });
            } catch (const ECliFailure& e) {
                FFirstFailure = e.Code;
            }
        }
    };
    AWalker.OnProgress = [this](const TIdTreeProgress& AProgress) {
        Touch();
        if (!AProgress.Scanning && FProgress.Running()) {
            FProgress.SetFiles(AProgress.FilesDone, AProgress.FilesFound);
            FProgress.Update(AProgress.BytesDone);
        }
    };
}

void TCliSession::SetUpSessions(TIdFTPTreeWalker& AWalker) {
    AWalker.Parallel = FOptions.Parallel;
    AWalker.OpenSession = [this]() -> std::shared_ptr<TIdFTP> {
        auto worker = std::make_shared<TWorkerSession>(FOptions, FPassword, FOut, FErr);
        worker->Session.FFtp.ResumeTlsSession(FTlsSession);
        try {
            worker->Session.Connect();
        } catch (const ECliFailure& e) {
            // 421 or 530 for one session too many: the others go on.
            if (FOptions.Verbose) {
                LogLine("* ", std::string("no further session: ") + e.what());
            }
            throw;
        }
        return std::shared_ptr<TIdFTP>(worker, &worker->Session.FFtp);
    };
}

void TCliSession::RunTree() {
    const TFtpUrl& url = FOptions.Url;
    const std::string& name = url.Name;
    TIdFTPTreeWalker walker(FFtp);
    TIdTree tree;
    switch (FOptions.Command) {
    case TCliCommand::Get: {
        // As cp -r: a DEST that exists as a directory receives the tree under
        // its own name; otherwise DEST becomes the copy.
        std::string dest = FOptions.LocalPath.empty() ? "." : FOptions.LocalPath;
        std::error_code ec;
        if (std::filesystem::is_directory(dest, ec)) {
            dest = (std::filesystem::path(dest) / CheckedLocalName(name)).string();
        } else if (std::filesystem::exists(std::filesystem::symlink_status(dest, ec))) {
            throw ECliFailure(ecLocalFile, "write " + dest + ": exists and is not a directory");
        }
        SetUpWalker(walker, name);
        SetUpSessions(walker);
        Connect();
        ChangeToUrlDirs();
        Step(TPhase::Operation, "list " + name, [&] { tree = walker.ScanRemote(name); });
        FProgress.Begin(tree.Bytes, 0);
        Step(TPhase::Operation, "download " + name, [&] { walker.Download(tree, dest); });
        break;
    }
    case TCliCommand::Put: {
        std::error_code ec;
        std::string own = std::filesystem::path(FOptions.LocalPath).filename().string();
        if (own.empty() || own == "." || own == "..") {
            own = std::filesystem::canonical(FOptions.LocalPath, ec).filename().string();
        }
        if (own.empty()) {
            throw EUsage("'" + FOptions.LocalPath +
                         "' has no name to give the copy; name it in the URL");
        }
        SetUpWalker(walker, own);
        SetUpSessions(walker);
        Step(TPhase::Operation, "read " + FOptions.LocalPath,
             [&] { tree = walker.ScanLocal(FOptions.LocalPath); });
        Connect();
        ChangeToUrlDirs();
        // As cp -r: an existing remote directory receives the tree under its
        // own name; a name that is not there yet becomes the copy.
        std::string target = own;
        if (!name.empty()) {
            Step(TPhase::Operation, "change directory to " + name, [&] {
                try {
                    FFtp.ChangeDirectory(name);
                } catch (const EIdProtocolReplyError& e) {
                    if (e.ReplyCode / 100 != 5) {
                        throw;
                    }
                    target = name;
                }
            });
        }
        FProgress.Begin(tree.Bytes, 0);
        Step(TPhase::Operation, "upload " + FOptions.LocalPath,
             [&] { walker.Upload(tree, target); });
        break;
    }
    default: {
        SetUpWalker(walker, name);
        Connect();
        ChangeToUrlDirs();
        Step(TPhase::Operation, "list " + name, [&] { tree = walker.ScanRemote(name); });
        Step(TPhase::Operation, "delete " + name, [&] { walker.DeleteRemote(tree); });
        break;
    }
    }
    FProgress.End();
    if (FTreeFailures > 0) {
        const std::string label = name.empty() ? FOptions.LocalPath : name;
        throw ECliFailure(FFirstFailure, label + ": " + std::to_string(FTreeFailures) +
                                             (FTreeFailures == 1 ? " entry" : " entries") +
                                             " failed");
    }
}
