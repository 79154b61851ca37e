#pragma once

#include "IdStream.h"

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>

// A local file as a stream over its descriptor. Every failure raises
// ELocalFile naming AWhat, so that a transfer tells local trouble apart from
// the network's. The position is counted here, so devices and pipes (where
// the system's offset means nothing) work as well as regular files.
class TLocalStream : public TIdStream {
public:
    TLocalStream(int ADescriptor, std::string AWhat, int64_t APosition, int64_t ASize,
                 bool ARegular);
    ~TLocalStream() override;

    int64_t Read(void* ABuffer, int64_t ACount) override;
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    int64_t Seek(int64_t AOffset, TIdSeekOrigin AOrigin) override;
    int64_t Size() const override { return FSize; }
    void SetSize(int64_t ASize) override;

    // Closes the descriptor, raising when the system reports a late write failure.
    void Close();

private:
    [[noreturn]] void Fail(int AError) const;
    // Calls ACall(bytes done so far) until ACount bytes have moved or it
    // returns 0, through EINTR; moves the position by what moved.
    int64_t Repeat(int64_t ACount, const std::function<ssize_t(int64_t ADone)>& ACall);

    int FDescriptor;
    std::string FWhat;
    int64_t FPosition;
    int64_t FSize;
    bool FRegular;
};

// Where a download goes. An existing file is emptied only once the server
// has accepted the download, so a refusal leaves it intact; a download that
// fails after that, or a new file whose download fails, is removed, so no
// partial file is left to pass for a whole one. A resumed download appends
// and keeps what it got; devices and pipes are written as they are.
class TDownloadTarget {
public:
    // Opens or creates what is needed; raises ECliFailure (exit 6) when that
    // fails. AWhat names the target in messages.
    TDownloadTarget(const std::string& APath, bool AResume);
    ~TDownloadTarget();
    TDownloadTarget(const TDownloadTarget&) = delete;
    TDownloadTarget& operator=(const TDownloadTarget&) = delete;

    TLocalStream& Stream() { return *FStream; }
    // Bytes already there that a resumed download continues after.
    int64_t Offset() const { return FOffset; }
    // The server accepted the download: the old contents go now.
    void Accepted();
    // Closes the file, which is then kept; raises ECliFailure (exit 6).
    void Commit();
    // Another attempt follows a failed one: what an accepted attempt wrote
    // is continued from its end. A device or pipe cannot take the same
    // bytes twice, so it has no second attempt once data went into it.
    bool CanRetry() const { return FRegular || !FAccepted; }
    void PrepareRetry();
    // The server cannot restart: the next attempt writes from the start.
    void Restart();

private:
    std::string FPath;
    std::unique_ptr<TLocalStream> FStream;
    int64_t FOffset = 0;
    bool FKeep = false;
    bool FRegular = false;
    bool FExisted = false;
    bool FEmptyAtStart = false;
    bool FAccepted = false;
    bool FCommitted = false;
};

// Opens the source of an upload: a readable regular file. Raises ECliFailure
// (exit 6) otherwise.
std::unique_ptr<TLocalStream> OpenUploadSource(const std::string& APath);

// The system's text for an error number, without a trailing period.
std::string SystemErrorText(int AError);
