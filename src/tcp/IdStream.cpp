#include "IdStream.h"

#include "IdException.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string SystemReason(int AError) {
    char buffer[256];
    const char* text = strerror_r(AError, buffer, sizeof buffer);
    return text ? std::string(text) : std::string();
}

[[noreturn]] void RaiseFileError(const std::string& AWhat, const std::string& AFileName) {
    const int error = errno;
    throw EIdException(AWhat + " \"" + AFileName + "\": " + SystemReason(error));
}

} // namespace

void TIdStream::ReadBuffer(void* ABuffer, int64_t ACount) {
    char* target = static_cast<char*>(ABuffer);
    int64_t done = 0;
    while (done < ACount) {
        const int64_t n = Read(target + done, ACount - done);
        if (n <= 0) {
            throw EIdException("Stream read error");
        }
        done += n;
    }
}

void TIdStream::WriteBuffer(const void* ABuffer, int64_t ACount) {
    const char* source = static_cast<const char*>(ABuffer);
    int64_t done = 0;
    while (done < ACount) {
        const int64_t n = Write(source + done, ACount - done);
        if (n <= 0) {
            throw EIdException("Stream write error");
        }
        done += n;
    }
}

int64_t TIdStream::CopyFrom(TIdStream& ASource, int64_t ACount) {
    if (ACount == 0) {
        ASource.SetPosition(0);
        ACount = ASource.Size();
    }
    constexpr int64_t ChunkSize = 65536;
    std::unique_ptr<char[]> chunk(new char[ChunkSize]);
    int64_t left = ACount;
    while (left > 0) {
        const int64_t n = std::min(left, ChunkSize);
        ASource.ReadBuffer(chunk.get(), n);
        WriteBuffer(chunk.get(), n);
        left -= n;
    }
    return ACount;
}

int64_t TIdMemoryStream::Read(void* ABuffer, int64_t ACount) {
    if (ACount <= 0 || FPosition >= FSize) {
        return 0;
    }
    const int64_t n = std::min(ACount, FSize - FPosition);
    std::memcpy(ABuffer, FData.get() + FPosition, static_cast<size_t>(n));
    FPosition += n;
    return n;
}

int64_t TIdMemoryStream::Write(const void* ABuffer, int64_t ACount) {
    if (ACount <= 0) {
        return 0;
    }
    const int64_t end = FPosition + ACount;
    if (end > FSize) {
        Reserve(end);
        // A write past the end leaves no uninitialised gap behind it.
        if (FPosition > FSize) {
            std::memset(FData.get() + FSize, 0, static_cast<size_t>(FPosition - FSize));
        }
        FSize = end;
    }
    std::memmove(FData.get() + FPosition, ABuffer, static_cast<size_t>(ACount));
    FPosition = end;
    return ACount;
}

int64_t TIdMemoryStream::Seek(int64_t AOffset, TIdSeekOrigin AOrigin) {
    int64_t base = 0;
    if (AOrigin == TIdSeekOrigin::soCurrent) {
        base = FPosition;
    } else if (AOrigin == TIdSeekOrigin::soEnd) {
        base = FSize;
    }
    FPosition = std::max<int64_t>(0, base + AOffset);
    return FPosition;
}

void TIdMemoryStream::SetSize(int64_t ASize) {
    ASize = std::max<int64_t>(0, ASize);
    Reserve(ASize);
    // Grown space reads as zeros, never as stale memory.
    if (ASize > FSize) {
        std::memset(FData.get() + FSize, 0, static_cast<size_t>(ASize - FSize));
    }
    FSize = ASize;
    if (FPosition > FSize) {
        FPosition = FSize;
    }
}

void TIdMemoryStream::Reserve(int64_t ACapacity) {
    if (ACapacity <= FCapacity) {
        return;
    }
    // Doubling keeps appending in small pieces linear.
    int64_t capacity = std::max<int64_t>(FCapacity * 2, 4096);
    capacity = std::max(capacity, ACapacity);
    std::unique_ptr<char[]> data(new char[static_cast<size_t>(capacity)]);
    if (FSize > 0) {
        std::memcpy(data.get(), FData.get(), static_cast<size_t>(FSize));
    }
    FData = std::move(data);
    FCapacity = capacity;
}

TIdFileStream::TIdFileStream(const std::string& AFileName, TIdFileMode AMode)
    : FFileName(AFileName) {
    int flags = O_CLOEXEC;
    switch (AMode) {
    case TIdFileMode::fmOpenRead:
        flags |= O_RDONLY;
        break;
    case TIdFileMode::fmOpenReadWrite:
        flags |= O_RDWR;
        break;
    case TIdFileMode::fmCreate:
        flags |= O_RDWR | O_CREAT | O_TRUNC;
        break;
    case TIdFileMode::fmOpenOrCreate:
        flags |= O_RDWR | O_CREAT;
        break;
    }
    do {
        FDescriptor = ::open(AFileName.c_str(), flags, 0666);
    } while (FDescriptor < 0 && errno == EINTR);
    if (FDescriptor < 0) {
        RaiseFileError("Cannot open file", AFileName);
    }
}

TIdFileStream::~TIdFileStream() {
    try {
        Flush();
    } catch (...) {
        // Nobody is left to tell; a caller who cares flushes before letting go.
    }
    if (FDescriptor >= 0) {
        ::close(FDescriptor);
    }
}

void TIdFileStream::Flush() {
    const char* data = FGathered.get();
    int64_t left = FGatheredCount;
    // Dropped before writing: after a failure the stream must not try the same
    // bytes again from its destructor.
    FGatheredCount = 0;
    while (left > 0) {
        const int64_t n = WriteThrough(data, left);
        if (n <= 0) {
            throw EIdException("Stream write error");
        }
        data += n;
        left -= n;
    }
}

int64_t TIdFileStream::Read(void* ABuffer, int64_t ACount) {
    if (ACount <= 0) {
        return 0;
    }
    Flush();
    for (;;) {
        const ssize_t n = ::read(FDescriptor, ABuffer, static_cast<size_t>(ACount));
        if (n >= 0) {
            return n;
        }
        if (errno != EINTR) {
            RaiseFileError("Cannot read file", FFileName);
        }
    }
}

int64_t TIdFileStream::Write(const void* ABuffer, int64_t ACount) {
    if (ACount <= 0) {
        return 0;
    }
    if (FGatheredCount + ACount > GatherSize) {
        Flush();
    }
    if (ACount >= GatherSize) {
        return WriteThrough(static_cast<const char*>(ABuffer), ACount);
    }
    if (!FGathered) {
        FGathered = std::make_unique<char[]>(static_cast<size_t>(GatherSize));
    }
    std::memcpy(FGathered.get() + FGatheredCount, ABuffer, static_cast<size_t>(ACount));
    FGatheredCount += ACount;
    return ACount;
}

int64_t TIdFileStream::WriteThrough(const char* ABuffer, int64_t ACount) {
    for (;;) {
        const ssize_t n = ::write(FDescriptor, ABuffer, static_cast<size_t>(ACount));
        if (n >= 0) {
            return n;
        }
        if (errno != EINTR) {
            RaiseFileError("Cannot write file", FFileName);
        }
    }
}

int64_t TIdFileStream::Seek(int64_t AOffset, TIdSeekOrigin AOrigin) {
    Flush();
    int whence = SEEK_SET;
    if (AOrigin == TIdSeekOrigin::soCurrent) {
        whence = SEEK_CUR;
    } else if (AOrigin == TIdSeekOrigin::soEnd) {
        whence = SEEK_END;
    }
    const off_t result = ::lseek(FDescriptor, static_cast<off_t>(AOffset), whence);
    if (result < 0) {
        RaiseFileError("Cannot seek in file", FFileName);
    }
    return result;
}

int64_t TIdFileStream::Size() const {
    struct stat info {};
    if (::fstat(FDescriptor, &info) != 0) {
        RaiseFileError("Cannot read the size of file", FFileName);
    }
    if (FGatheredCount == 0) {
        return info.st_size;
    }
    // The gathered bytes start where the descriptor stands.
    const off_t position = ::lseek(FDescriptor, 0, SEEK_CUR);
    if (position < 0) {
        RaiseFileError("Cannot read the size of file", FFileName);
    }
    return std::max<int64_t>(info.st_size, position + FGatheredCount);
}

void TIdFileStream::SetSize(int64_t ASize) {
    Flush();
    const int64_t position = ::lseek(FDescriptor, 0, SEEK_CUR);
    int result;
    do {
        result = ::ftruncate(FDescriptor, static_cast<off_t>(std::max<int64_t>(0, ASize)));
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        RaiseFileError("Cannot set the size of file", FFileName);
    }
    if (position > ASize) {
        ::lseek(FDescriptor, static_cast<off_t>(ASize), SEEK_SET);
    }
}
