#include "IdBuffer.h"

#include "IdException.h"
#include "IdResourceStrings.h"

#include <algorithm>
#include <cstring>

void TIdSimpleBuffer::CheckAvailable(int64_t ACount) {
    if (ACount > Size()) {
        throw EIdNotEnoughDataInBuffer(IdResourceStrings::RSNotEnoughDataInBuffer);
    }
}

std::string TIdSimpleBuffer::TakeString(int64_t ACount) {
    CheckAvailable(ACount);
    if (ACount <= 0) {
        return std::string();
    }
    std::string result(DataStart(), static_cast<size_t>(ACount));
    Discard(ACount);
    return result;
}

void TIdSimpleBuffer::Discard(int64_t ACount) {
    CheckAvailable(ACount);
    if (ACount <= 0) {
        return;
    }
    if (ACount == FSize) {
        Empty();
    } else {
        std::memmove(FData.get(), FData.get() + ACount, static_cast<size_t>(FSize - ACount));
        FSize -= ACount;
        FPosition = std::max<int64_t>(0, FPosition - ACount);
    }
    if (RemovalHook) {
        RemovalHook(this, ACount);
    }
}

void TIdSimpleBuffer::Empty() {
    FSize = 0;
    FPosition = 0;
}

char* TIdSimpleBuffer::BeginAppend(int64_t ACount) {
    Reserve(FSize + ACount);
    return FData.get() + FSize;
}

void TIdSimpleBuffer::CommitAppend(int64_t ACount) {
    FSize += ACount;
    FPosition = FSize;
}

int64_t TIdManagedBuffer::Seek(int64_t AOffset, TIdSeekOrigin AOrigin) {
    int64_t base = FConsumedCount;
    if (AOrigin == TIdSeekOrigin::soCurrent) {
        base = FPosition;
    } else if (AOrigin == TIdSeekOrigin::soEnd) {
        base = FSize;
    }
    FPosition = std::max(FConsumedCount, base + AOffset);
    return FPosition - FConsumedCount;
}

void TIdManagedBuffer::SetSize(int64_t ASize) {
    TIdSimpleBuffer::SetSize(std::max<int64_t>(0, ASize) + FConsumedCount);
}

void TIdManagedBuffer::Discard(int64_t ACount) {
    CheckAvailable(ACount);
    if (ACount <= 0) {
        return;
    }
    if (ACount == Size()) {
        Empty();
    } else {
        FConsumedCount += ACount;
        if (FPosition < FConsumedCount) {
            FPosition = FConsumedCount;
        }
        if (FConsumedCount >= CompactThreshold) {
            Compact();
        }
    }
    if (RemovalHook) {
        RemovalHook(this, ACount);
    }
}

void TIdManagedBuffer::Empty() {
    TIdSimpleBuffer::Empty();
    FConsumedCount = 0;
}

void TIdManagedBuffer::Compact() {
    if (FConsumedCount <= 0) {
        return;
    }
    const int64_t unread = FSize - FConsumedCount;
    std::memmove(FData.get(), FData.get() + FConsumedCount, static_cast<size_t>(unread));
    FSize = unread;
    FPosition = std::max<int64_t>(0, FPosition - FConsumedCount);
    FConsumedCount = 0;
}
