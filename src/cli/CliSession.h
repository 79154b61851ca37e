#pragma once

// The session behind one qvftp command, shared by its single-file and its
// tree commands (SessionTree.cpp).

#include "Errors.h"
#include "IdAntiFreezeBase.h"
#include "IdFTP.h"
#include "IdFTPTree.h"
#include "IdIntercept.h"
#include "LocalFile.h"
#include "Options.h"
#include "Progress.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

using Clock = std::chrono::steady_clock;

// Waits are cut into slices this long, and the time limit is checked between them.
constexpr int32_t kSliceMs = 100;

enum class TPhase { Connect, SignIn, Operation };

class TCliSession;

// What lasts from one attempt to the next: the local file, and how far the
// transfer got with the server.
struct TTransferState {
    std::unique_ptr<TDownloadTarget> Target;
    std::unique_ptr<TLocalStream> Source;
    std::string RemoteName;
    // A STOR was accepted: the server's copy now begins with our bytes, and
    // a retry continues it rather than starting over.
    bool UploadStarted = false;
    int32_t Attempt = 0;
};

// The process's own anti-freeze: nothing to keep responsive, but every wait
// of the library passes through it between slices, which is where the time
// limit is enforced for the waits that have none of their own (a passive data
// connect, the active accept).
class TLimitWatch : public TIdAntiFreezeBase {
public:
    explicit TLimitWatch(TCliSession& ASession) : FSession(ASession) { IdleTimeOut = kSliceMs; }
    void PumpMessages() override;

private:
    TCliSession& FSession;
};

class TCliSession {
public:
    TCliSession(const TCliOptions& AOptions, const std::string& APassword, std::FILE* AOut,
                std::FILE* AErr, TTransferState& AState, bool AWorker = false);
    ~TCliSession();
    void Run();

    // Something moved: the time limit counts from here.
    void Touch() { FLastActivity.store(Clock::now(), std::memory_order_relaxed); }
    void CheckLimit();

private:
    // Runs one step of the command and puts its failure into words, with the
    // exit code and whether a fresh session may try again.
    void Step(TPhase APhase, const std::string& AWhat, const std::function<void()>& AStep);
    std::string Reason(const std::exception& AError) const;
    std::string TimeoutText() const;
    std::string Endpoint() const;
    void SetUpConnection();
    void LogLine(const char* APrefix, std::string ALine);
    void OnWorkBegin(TIdComponent* ASender, TWorkMode AMode);

    void Connect();
    void List();
    // get -r, put -r, rm -r: the walk, its lines on stderr and its exit code.
    void RunTree();
    void SetUpWalker(TIdFTPTreeWalker& AWalker, const std::string& ARoot);
    // Further sessions for the files of a transfer, up to --parallel.
    void SetUpSessions(TIdFTPTreeWalker& AWalker);
    void ChangeToUrlDirs();
    void Get();
    void Put();
    // -v names the check the transfer passed; --verify insists on a digest.
    void ReportCheck(const std::string& AWhat);

    const TCliOptions& FOptions;
    TTransferState& FState;
    std::FILE* FOut;
    std::FILE* FErr;
    std::string FUser;
    std::string FPassword;
    TProgress FProgress;
    // The tree's failures so far, and the exit code of the first.
    int64_t FTreeFailures = 0;
    TExitCode FFirstFailure = ecSuccess;
    // Set while get or put run, so that the listing's data shows no progress.
    bool FShowProgress = false;
    int64_t FProgressOffset = 0;
    int64_t FUploadSize = -1;
    int64_t FRemoteSize = -1;
    TIdStream* FProgressStream = nullptr;
    // The download's target while get runs; its work begins once RETR is accepted.
    TDownloadTarget* FTarget = nullptr;
    // The walk's sessions on other threads touch it too.
    std::atomic<Clock::time_point> FLastActivity{Clock::now()};
    // One more session of a tree, on a thread of its own.
    bool FWorker = false;
    int64_t FDataSeen = -1;
    std::string FReceivedLine;
    // Declared before the client, which refers to it until it is destroyed.
    TIdConnectionIntercept FLog;
    TIdFTP FFtp;
    std::shared_ptr<TIdTlsSession> FTlsSession;
    std::unique_ptr<TLimitWatch> FWatch;
};

// A further session of get -r or put -r with what it keeps between commands.
struct TWorkerSession {
    TWorkerSession(const TCliOptions& AOptions, const std::string& APassword, std::FILE* AOut,
                   std::FILE* AErr)
        : Session(AOptions, APassword, AOut, AErr, State, true) {}
    TTransferState State;
    TCliSession Session;
};

// A name the server's side chose must not lead the file anywhere but into
// the directory meant for it.
std::string CheckedLocalName(const std::string& AName);
