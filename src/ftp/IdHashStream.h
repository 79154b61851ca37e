#pragma once

#include "IdStream.h"

#include <cstdint>
#include <memory>
#include <string>

// The digests FTP servers offer over a stored file.
enum class TIdHashKind { None, Sha256, Sha1, Md5, Crc32 };

// One running digest of a byte sequence, fed piece by piece.
class TIdHash {
public:
    explicit TIdHash(TIdHashKind AKind);
    ~TIdHash();
    TIdHash(const TIdHash&) = delete;
    TIdHash& operator=(const TIdHash&) = delete;

    TIdHashKind Kind() const { return FKind; }
    void Update(const void* AData, int64_t ACount);
    // Lower-case hex; the digest cannot be fed after this.
    std::string Final();
    // The name servers use for it: "SHA-256", "SHA-1", "MD5", "CRC32".
    static const char* Name(TIdHashKind AKind);

private:
    struct TState;
    TIdHashKind FKind;
    std::unique_ptr<TState> FState;
};

// Passes every call to another stream and feeds the bytes read from it or
// written to it into a digest, so that a file is read only once for both the
// transfer and its check. Bytes must pass in order: a seek that skips or
// goes back is the caller's business.
class TIdHashStream : public TIdStream {
public:
    TIdHashStream(TIdStream& AInner, TIdHash& AHash) : FInner(AInner), FHash(AHash) {}

    int64_t Read(void* ABuffer, int64_t ACount) override;
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    int64_t Seek(int64_t AOffset, TIdSeekOrigin AOrigin) override {
        return FInner.Seek(AOffset, AOrigin);
    }
    int64_t Size() const override { return FInner.Size(); }
    void SetSize(int64_t ASize) override { FInner.SetSize(ASize); }
    void Flush() override { FInner.Flush(); }

private:
    TIdStream& FInner;
    TIdHash& FHash;
};
