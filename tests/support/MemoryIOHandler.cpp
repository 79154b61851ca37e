#include "MemoryIOHandler.h"

#include "BytePattern.h"
#include "IdException.h"
#include "IdResourceStrings.h"
#include "IdStackPosix.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <stdexcept>

namespace {

// The stack learns of a failed socket call only through its own calls, so a
// scripted failure is handed to it here: the next last-error query reports it.
thread_local int32_t tScriptedError = 0;

class TScriptedErrorStack : public TIdStackPosix {
public:
    int32_t LastSocketError() override {
        if (tScriptedError != 0) {
            const int32_t code = tScriptedError;
            tScriptedError = 0;
            return code;
        }
        return TIdStackPosix::LastSocketError();
    }
};

// Installed before the first test, when no component (and so no stack) exists yet.
class TScriptedErrorEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        StackClass = [] { return std::make_unique<TScriptedErrorStack>(); };
    }
};

[[maybe_unused]] const auto* const gEnvironment =
    ::testing::AddGlobalTestEnvironment(new TScriptedErrorEnvironment);

int32_t ScriptFailure(int AErrno) {
    if (!dynamic_cast<TScriptedErrorStack*>(TheStack)) {
        throw std::logic_error("scripted socket errors need the scripted-error stack");
    }
    tScriptedError = WinsockErrorFromErrno(AErrno);
    errno = AErrno;
    return -1;
}

} // namespace

TIdMemoryIOHandler& TIdMemoryIOHandler::Chunk(const std::string& ABytes) {
    FScript.push_back({TStepKind::skChunk, ABytes, 0});
    return *this;
}

TIdMemoryIOHandler& TIdMemoryIOHandler::Close() {
    FScript.push_back({TStepKind::skClose, {}, 0});
    return *this;
}

TIdMemoryIOHandler& TIdMemoryIOHandler::Error(int AErrno) {
    FScript.push_back({TStepKind::skError, {}, AErrno});
    return *this;
}

TIdMemoryIOHandler& TIdMemoryIOHandler::WaitExpires() {
    FScript.push_back({TStepKind::skWaitExpires, {}, 0});
    return *this;
}

TIdMemoryIOHandler& TIdMemoryIOHandler::Generate(int64_t ACount) {
    FGenerateLeft = ACount;
    FGenerating = true;
    return *this;
}

TIdMemoryIOHandler& TIdMemoryIOHandler::SendTakes(int32_t ACount) {
    FSendScript.push_back({ACount, 0});
    return *this;
}

TIdMemoryIOHandler& TIdMemoryIOHandler::SendFails(int AErrno) {
    FSendScript.push_back({-1, AErrno});
    return *this;
}

void TIdMemoryIOHandler::Shut() {
    if (FOpen) {
        ++ShutCount;
    }
    FOpen = false;
}

bool TIdMemoryIOHandler::WaitReadable(int32_t AMSec) {
    WaitTimeouts.push_back(AMSec);
    if (!FScript.empty() && FScript.front().Kind == TStepKind::skWaitExpires) {
        FScript.pop_front();
        return false;
    }
    // With nothing left to hand out a real socket would wait for ever; an
    // expired wait lets a faulty test fail instead of hanging.
    return !FScript.empty() || FGenerating;
}

int32_t TIdMemoryIOHandler::ReceiveInto(void* ABuffer, int32_t ALength) {
    if (!FOpen) {
        throw EIdClosedSocket(IdResourceStrings::RSStatusDisconnected);
    }
    ReceiveLengths.push_back(ALength);
    if (FScript.empty()) {
        if (FGenerateLeft == 0) {
            FGenerating = false;
            return 0;
        }
        const auto n = static_cast<int32_t>(std::min<int64_t>(ALength, FGenerateLeft));
        qtest::FillPattern(static_cast<uint64_t>(Generated), static_cast<char*>(ABuffer),
                           static_cast<size_t>(n));
        Generated += n;
        FGenerateLeft -= n;
        return n;
    }
    TStep& step = FScript.front();
    switch (step.Kind) {
    case TStepKind::skClose:
        FScript.pop_front();
        return 0;
    case TStepKind::skError: {
        const int error = step.Errno;
        FScript.pop_front();
        return ScriptFailure(error);
    }
    case TStepKind::skWaitExpires:
        FScript.pop_front();
        return 0;
    case TStepKind::skChunk:
        break;
    }
    const auto n =
        static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(ALength), step.Bytes.size()));
    std::memcpy(ABuffer, step.Bytes.data(), static_cast<size_t>(n));
    step.Bytes.erase(0, static_cast<size_t>(n));
    if (step.Bytes.empty()) {
        FScript.pop_front();
    }
    return n;
}

int32_t TIdMemoryIOHandler::SendFrom(const void* ABuffer, int32_t ALength) {
    if (!FOpen) {
        throw EIdClosedSocket(IdResourceStrings::RSStatusDisconnected);
    }
    SendSizes.push_back(ALength);
    int32_t takes = SendLimit > 0 ? std::min(SendLimit, ALength) : ALength;
    if (!FSendScript.empty()) {
        const TSendStep step = FSendScript.front();
        FSendScript.pop_front();
        if (step.Takes < 0) {
            return ScriptFailure(step.Errno);
        }
        takes = std::min(step.Takes, ALength);
    }
    Sent.append(static_cast<const char*>(ABuffer), static_cast<size_t>(takes));
    return takes;
}
