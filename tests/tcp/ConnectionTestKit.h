#pragma once

#include "IdTCPConnection.h"
#include "MemoryIOHandler.h"

#include <cstdint>
#include <string>
#include <vector>

// A connection over a scripted in-memory handler, recording its events.
struct TConnectionKit {
    TIdTCPConnection Conn;
    TIdMemoryIOHandler Handler;
    std::vector<std::string> Events;

    TConnectionKit() {
        Conn.SetIOHandler(&Handler);
        Conn.OnWorkBegin = [this](TIdComponent*, TWorkMode m, int64_t max) {
            Events.push_back(Mode(m) + "begin " + std::to_string(max));
        };
        Conn.OnWork = [this](TIdComponent*, TWorkMode m, int64_t count) {
            Events.push_back(Mode(m) + std::to_string(count));
        };
        Conn.OnWorkEnd = [this](TIdComponent*, TWorkMode m) { Events.push_back(Mode(m) + "end"); };
        Conn.OnStatus = [this](TIdComponent*, TIdStatus, const std::string& text) {
            Events.push_back("status " + text);
        };
        Conn.OnDisconnected = [this](TIdComponent*) { Events.push_back("disconnected"); };
    }
    static std::string Mode(TWorkMode AMode) { return AMode == wmRead ? "r " : "w "; }
    std::string Unread() {
        return std::string(Conn.ReceivedData().DataStart(),
                           static_cast<size_t>(Conn.ReceivedData().Size()));
    }
};

// Counts what is written and keeps nothing, so receptions may exceed memory.
class TCountingStream : public TIdStream {
public:
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* ABuffer, int64_t ACount) override {
        const auto* bytes = static_cast<const unsigned char*>(ABuffer);
        for (int64_t i = 0; i < ACount; i += 4093) {
            if (bytes[i] != TIdMemoryIOHandler::GeneratedByte(FPosition + i)) {
                ++Mismatches;
            }
        }
        FPosition += ACount;
        FSize = std::max(FSize, FPosition);
        return ACount;
    }
    int64_t Seek(int64_t AOffset, TIdSeekOrigin AOrigin) override {
        FPosition = (AOrigin == TIdSeekOrigin::soBeginning ? 0
                     : AOrigin == TIdSeekOrigin::soCurrent ? FPosition
                                                           : FSize) +
                    AOffset;
        return FPosition;
    }
    int64_t Size() const override { return FSize; }
    void SetSize(int64_t ASize) override {
        FSize = ASize;
        FPosition = std::min(FPosition, FSize);
    }
    int64_t Mismatches = 0;

private:
    int64_t FPosition = 0;
    int64_t FSize = 0;
};
