#include "LocalFile.h"

#include "Errors.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void FailLocal(const std::string& AWhat, int AError) {
    throw ECliFailure(ecLocalFile, AWhat + ": " + SystemErrorText(AError));
}

} // namespace

std::string SystemErrorText(int AError) {
    return std::strerror(AError);
}

TLocalStream::TLocalStream(int ADescriptor, std::string AWhat, int64_t APosition, int64_t ASize,
                           bool ARegular)
    : FDescriptor(ADescriptor), FWhat(std::move(AWhat)), FPosition(APosition), FSize(ASize),
      FRegular(ARegular) {}

TLocalStream::~TLocalStream() {
    if (FDescriptor >= 0) {
        ::close(FDescriptor);
    }
}

void TLocalStream::Fail(int AError) const {
    throw ELocalFile(FWhat, SystemErrorText(AError));
}

int64_t TLocalStream::Repeat(int64_t ACount, const std::function<ssize_t(int64_t ADone)>& ACall) {
    int64_t done = 0;
    while (done < ACount) {
        const ssize_t n = ACall(done);
        if (n < 0 && errno != EINTR) {
            Fail(errno);
        }
        if (n == 0) {
            break;
        }
        done += std::max<ssize_t>(n, 0);
    }
    FPosition += done;
    return done;
}

int64_t TLocalStream::Read(void* ABuffer, int64_t ACount) {
    auto* out = static_cast<char*>(ABuffer);
    const int64_t done = Repeat(ACount, [&](int64_t ADone) {
        return ::read(FDescriptor, out + ADone, static_cast<size_t>(ACount - ADone));
    });
    // The size was taken when the upload began; a file cut short meanwhile
    // would otherwise end the upload early and look complete on the server.
    if (done < ACount && FPosition < FSize) {
        throw ELocalFile(FWhat, "the file became shorter while it was read");
    }
    return done;
}

int64_t TLocalStream::Write(const void* ABuffer, int64_t ACount) {
    const auto* in = static_cast<const char*>(ABuffer);
    const int64_t done = Repeat(ACount, [&](int64_t ADone) {
        return ::write(FDescriptor, in + ADone, static_cast<size_t>(ACount - ADone));
    });
    FSize = std::max(FSize, FPosition);
    return done;
}

int64_t TLocalStream::Seek(int64_t AOffset, TIdSeekOrigin AOrigin) {
    int64_t target = AOffset;
    if (AOrigin == TIdSeekOrigin::soCurrent) {
        target = FPosition + AOffset;
    } else if (AOrigin == TIdSeekOrigin::soEnd) {
        target = FSize + AOffset;
    }
    if (target == FPosition) {
        return FPosition;
    }
    if (!FRegular || ::lseek(FDescriptor, target, SEEK_SET) < 0) {
        throw ELocalFile(FWhat, FRegular ? SystemErrorText(errno) : "cannot seek");
    }
    FPosition = target;
    return FPosition;
}

void TLocalStream::SetSize(int64_t ASize) {
    if (FRegular && ::ftruncate(FDescriptor, ASize) != 0) {
        Fail(errno);
    }
    FSize = ASize;
    if (FPosition > FSize) {
        Seek(FSize, TIdSeekOrigin::soBeginning);
    }
}

void TLocalStream::Close() {
    const int fd = FDescriptor;
    FDescriptor = -1;
    // Network file systems report some write failures only here.
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) {
        Fail(errno);
    }
}

TDownloadTarget::TDownloadTarget(const std::string& APath, bool AResume) : FPath(APath) {
    struct stat info {};
    const bool exists = ::stat(APath.c_str(), &info) == 0;
    if (!exists && errno != ENOENT) {
        FailLocal("write " + APath, errno);
    }
    if (exists && S_ISDIR(info.st_mode)) {
        FailLocal("write " + APath, EISDIR);
    }
    // Never O_TRUNC: the old contents stay until the server has accepted the download.
    // A regular file is opened for reading as well: a resumed download's
    // digest covers the part already there. Pipes keep their writer-only end.
    const int access = !exists || S_ISREG(info.st_mode) ? O_RDWR : O_WRONLY;
    int fd = ::open(APath.c_str(), access | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EACCES && access == O_RDWR) {
        fd = ::open(APath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    }
    if (fd < 0) {
        FailLocal("write " + APath, errno);
    }
    struct stat opened {};
    (void)::fstat(fd, &opened);
    const bool regular = S_ISREG(opened.st_mode);
    FOffset = AResume && regular ? static_cast<int64_t>(opened.st_size) : 0;
    if (FOffset > 0 && ::lseek(fd, FOffset, SEEK_SET) < 0) {
        const int error = errno;
        ::close(fd);
        FailLocal("write " + APath, error);
    }
    FStream = std::make_unique<TLocalStream>(fd, "write " + APath, FOffset, FOffset, regular);
    // A resumed download keeps what it got for the next attempt; devices and
    // pipes are never removed.
    FKeep = AResume || !regular;
    FExisted = exists;
    FRegular = regular;
    FEmptyAtStart = regular && opened.st_size == 0;
}

TDownloadTarget::~TDownloadTarget() {
    FStream.reset();
    // A file this download created, or emptied, holds nothing worth keeping
    // after a failure; a file the server never got to is left as it was.
    if (!FCommitted && !FKeep && (!FExisted || FAccepted)) {
        ::unlink(FPath.c_str());
    }
}

void TDownloadTarget::Accepted() {
    if (FAccepted || FKeep) {
        return;
    }
    FAccepted = true;
    if (!FEmptyAtStart) {
        FStream->SetSize(0);
    }
}

void TDownloadTarget::PrepareRetry() {
    // An attempt the server never accepted left the file as it was.
    if (FRegular && (FAccepted || FKeep)) {
        FOffset = FStream->Size();
        FStream->SetPosition(FOffset);
    }
}

void TDownloadTarget::Restart() {
    FStream->SetSize(0);
    FOffset = 0;
}

void TDownloadTarget::Commit() {
    try {
        FStream->Close();
    } catch (const ELocalFile& e) {
        throw ECliFailure(ecLocalFile, e.what());
    }
    FCommitted = true;
}

std::unique_ptr<TLocalStream> OpenUploadSource(const std::string& APath) {
    const int fd = ::open(APath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        FailLocal("read " + APath, errno);
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        if (error == EINVAL) {
            throw ECliFailure(ecLocalFile, "read " + APath + ": not a regular file");
        }
        FailLocal("read " + APath, error);
    }
    return std::make_unique<TLocalStream>(fd, "read " + APath, 0,
                                          static_cast<int64_t>(info.st_size), true);
}
