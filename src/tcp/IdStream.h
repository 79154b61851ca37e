#pragma once

#include <cstdint>
#include <memory>
#include <string>

// Seekable byte streams with 64-bit sizes and positions: downloads and uploads
// go through them, and the connection's own buffers are streams too, so an
// intercept can rewrite received or outgoing bytes in place.

enum class TIdSeekOrigin { soBeginning, soCurrent, soEnd };

class TIdStream {
public:
    TIdStream() = default;
    virtual ~TIdStream() = default;
    TIdStream(const TIdStream&) = delete;
    TIdStream& operator=(const TIdStream&) = delete;

    // Both return the number of bytes moved; a read returns 0 at the end.
    virtual int64_t Read(void* ABuffer, int64_t ACount) = 0;
    virtual int64_t Write(const void* ABuffer, int64_t ACount) = 0;
    // Returns the new position.
    virtual int64_t Seek(int64_t AOffset, TIdSeekOrigin AOrigin) = 0;
    virtual int64_t Size() const = 0;
    // A stream whose position lay beyond the new size is positioned at its end.
    virtual void SetSize(int64_t ASize) = 0;
    // Hands bytes a stream holds back to where they belong; a failure raises.
    virtual void Flush() {}

    int64_t Position() { return Seek(0, TIdSeekOrigin::soCurrent); }
    void SetPosition(int64_t APosition) { Seek(APosition, TIdSeekOrigin::soBeginning); }

    // Exact forms: a short read or write raises EIdException.
    void ReadBuffer(void* ABuffer, int64_t ACount);
    void WriteBuffer(const void* ABuffer, int64_t ACount);

    // Copies ACount bytes from ASource's position; 0 copies the whole of ASource
    // from its start. Returns the number of bytes copied.
    int64_t CopyFrom(TIdStream& ASource, int64_t ACount);
};

// Growable contiguous memory. Growth never clears memory that is about to be
// overwritten, because receiving resizes its scratch area on every step.
class TIdMemoryStream : public TIdStream {
public:
    TIdMemoryStream() = default;
    ~TIdMemoryStream() override = default;

    int64_t Read(void* ABuffer, int64_t ACount) override;
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    int64_t Seek(int64_t AOffset, TIdSeekOrigin AOrigin) override;
    int64_t Size() const override { return FSize; }
    void SetSize(int64_t ASize) override;

    char* Memory() { return FData.get(); }
    const char* Memory() const { return FData.get(); }
    int64_t Capacity() const { return FCapacity; }
    // Makes room for at least ACapacity bytes without changing the size.
    void Reserve(int64_t ACapacity);

    // The whole content as a byte string.
    std::string DataString() const { return std::string(FData.get(), static_cast<size_t>(FSize)); }

protected:
    std::unique_ptr<char[]> FData;
    int64_t FCapacity = 0;
    int64_t FSize = 0;
    int64_t FPosition = 0;
};

enum class TIdFileMode {
    fmOpenRead,      // existing file, read only
    fmOpenReadWrite, // existing file
    fmCreate,        // created or emptied, read and write
    fmOpenOrCreate   // existing file kept as it is, created when missing
};

// A local file through its POSIX descriptor. Small writes are gathered and
// written in large pieces; every other operation writes them out first, and a
// write failure raises there at the latest. Sizes and positions always count
// the gathered bytes.
class TIdFileStream : public TIdStream {
public:
    // Raises EIdException with the system's reason when the file cannot be opened.
    TIdFileStream(const std::string& AFileName, TIdFileMode AMode);
    ~TIdFileStream() override;

    int64_t Read(void* ABuffer, int64_t ACount) override;
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    int64_t Seek(int64_t AOffset, TIdSeekOrigin AOrigin) override;
    int64_t Size() const override;
    void SetSize(int64_t ASize) override;
    void Flush() override;

    // The descriptor holds every byte written so far only after Flush.
    int Descriptor() const { return FDescriptor; }
    const std::string& FileName() const { return FFileName; }

    static constexpr int64_t GatherSize = 65536;

private:
    int64_t WriteThrough(const char* ABuffer, int64_t ACount);

    std::string FFileName;
    int FDescriptor = -1;
    std::unique_ptr<char[]> FGathered;
    int64_t FGatheredCount = 0;
};
