#pragma once

#include "IdStream.h"

#include <cstdint>

// Counts what is written and keeps nothing, so transfers may exceed memory
// and disk. As a source of SetSize bytes, reads hand out the caller's buffer
// as it is, so producing data costs nothing. Checking the pattern compares samples of each write
// with qtest::PatternByte at their offset: the first and last byte and every 4093rd, enough to show
// a lost, doubled or shifted block without the check dominating the run.
class TCountingStream : public TIdStream {
public:
    explicit TCountingStream(bool ACheckPattern = false) : FCheckPattern(ACheckPattern) {}

    int64_t Read(void*, int64_t ACount) override;
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    int64_t Seek(int64_t AOffset, TIdSeekOrigin AOrigin) override;
    int64_t Size() const override { return FSize; }
    void SetSize(int64_t ASize) override;

    int64_t Mismatches = 0;

private:
    bool FCheckPattern;
    int64_t FPosition = 0;
    int64_t FSize = 0;
};
