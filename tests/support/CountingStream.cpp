#include "CountingStream.h"

#include "BytePattern.h"

#include <algorithm>

int64_t TCountingStream::Read(void*, int64_t ACount) {
    const int64_t n = std::max<int64_t>(0, std::min(ACount, FSize - FPosition));
    FPosition += n;
    return n;
}

int64_t TCountingStream::Write(const void* ABuffer, int64_t ACount) {
    if (FCheckPattern && ACount > 0) {
        const auto* bytes = static_cast<const unsigned char*>(ABuffer);
        const auto differs = [&](int64_t i) {
            return bytes[i] != qtest::PatternByte(static_cast<uint64_t>(FPosition + i));
        };
        for (int64_t i = 0; i < ACount; i += 4093) {
            Mismatches += differs(i) ? 1 : 0;
        }
        Mismatches += ACount > 1 && differs(ACount - 1) ? 1 : 0;
    }
    FPosition += ACount;
    FSize = std::max(FSize, FPosition);
    return ACount;
}

int64_t TCountingStream::Seek(int64_t AOffset, TIdSeekOrigin AOrigin) {
    FPosition = (AOrigin == TIdSeekOrigin::soBeginning ? 0
                 : AOrigin == TIdSeekOrigin::soCurrent ? FPosition
                                                       : FSize) +
                AOffset;
    return FPosition;
}

void TCountingStream::SetSize(int64_t ASize) {
    FSize = ASize;
    FPosition = std::min(FPosition, FSize);
}
