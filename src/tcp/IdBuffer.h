#pragma once

#include "IdStream.h"

#include <cstdint>
#include <functional>
#include <string>

class TIdSimpleBuffer;

// Raised after bytes were removed from the front of a buffer.
using TIdBufferRemovalHook = std::function<void(TIdSimpleBuffer* ASender, int64_t ACount)>;

// A growable in-memory byte stream that is consumed from the front.
class TIdSimpleBuffer : public TIdMemoryStream {
public:
    TIdSimpleBuffer() = default;
    ~TIdSimpleBuffer() override = default;

    TIdBufferRemovalHook RemovalHook;

    // The first unread byte.
    virtual char* DataStart() { return FData.get(); }

    // Both raise EIdNotEnoughDataInBuffer and change nothing when ACount
    // exceeds the size.
    std::string TakeString(int64_t ACount);
    virtual void Discard(int64_t ACount);
    // Drops every byte; raises no removal hook.
    virtual void Empty();

    // Room for ACount more bytes at the end, to be filled by the caller and
    // then made part of the content with CommitAppend.
    char* BeginAppend(int64_t ACount);
    void CommitAppend(int64_t ACount);

protected:
    void CheckAvailable(int64_t ACount);
};

// Consumes from the front by counting instead of moving memory; the unread
// bytes move to the front only once CompactThreshold consumed bytes have
// accumulated. Sizes and positions seen from outside exclude consumed bytes.
class TIdManagedBuffer : public TIdSimpleBuffer {
public:
    TIdManagedBuffer() = default;
    ~TIdManagedBuffer() override = default;

    int32_t CompactThreshold = 32768;
    int64_t ConsumedCount() const { return FConsumedCount; }

    int64_t Seek(int64_t AOffset, TIdSeekOrigin AOrigin) override;
    int64_t Size() const override { return FSize - FConsumedCount; }
    void SetSize(int64_t ASize) override;

    char* DataStart() override { return FData.get() + FConsumedCount; }
    void Discard(int64_t ACount) override;
    void Empty() override;
    void Compact();

private:
    int64_t FConsumedCount = 0;
};
