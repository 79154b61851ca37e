#pragma once

#include "IdIOHandler.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// Names the failed condition, so a crash report says which property broke.
inline void CheckAt(bool ACondition, const char* AText) {
    if (!ACondition) {
        std::fprintf(stderr, "check failed: %s\n", AText);
        std::abort();
    }
}
#define Check(condition) CheckAt((condition), #condition)

// A peer made of the fuzzer's bytes: receives hand them out in chunks of a
// chosen size, then report the peer's close; sends are kept and never fail.
class TFuzzIOHandler : public TIdIOHandler {
public:
    TFuzzIOHandler(std::string AData, size_t AChunk)
        : FData(std::move(AData)), FChunk(std::max<size_t>(AChunk, 1)) {}
    ~TFuzzIOHandler() override { Shut(); }

    void Shut() override { FOpen = false; }
    bool IsOpen() override { return FOpen; }
    void Prepare() override { FOpen = true; }
    // Data or the close is always there to be read, so no wait ever expires.
    bool WaitReadable(int32_t) override { return true; }
    int32_t ReceiveInto(void* ABuffer, int32_t ALength) override {
        if (ALength <= 0) {
            return 0;
        }
        const size_t n = std::min({FChunk, FData.size() - FOffset, static_cast<size_t>(ALength)});
        std::memcpy(ABuffer, FData.data() + FOffset, n);
        FOffset += n;
        return static_cast<int32_t>(n);
    }
    int32_t SendFrom(const void* ABuffer, int32_t ALength) override {
        Sent.append(static_cast<const char*>(ABuffer), static_cast<size_t>(ALength));
        return ALength;
    }

    size_t Consumed() const { return FOffset; }

    std::string Sent;

private:
    std::string FData;
    size_t FChunk;
    size_t FOffset = 0;
    bool FOpen = true;
};

// The chunk sizes a peer's segments come in: single bytes up to more than a
// whole receive buffer.
inline size_t FuzzChunkSize(uint8_t AChoice) {
    static constexpr size_t kSizes[] = {1, 2, 3, 5, 7, 16, 64, 1000, 4096, 100000};
    return kSizes[AChoice % (sizeof kSizes / sizeof kSizes[0])];
}
