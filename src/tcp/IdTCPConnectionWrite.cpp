#include "IdTCPConnection.h"

#include "IdAntiFreezeBase.h"
#include "IdException.h"
#include "IdGlobal.h"
#include "IdResourceStrings.h"
#include "IdStack.h"

#include <algorithm>
#include <limits>
#include <sys/stat.h>

void TIdTCPConnection::WriteText(const std::string& AText) {
    const char* data = AText.data();
    size_t left = AText.size();
    while (left > 0) {
        const auto n = static_cast<int32_t>(
            std::min<size_t>(left, static_cast<size_t>(std::numeric_limits<int32_t>::max())));
        WriteBytes(data, n);
        data += n;
        left -= static_cast<size_t>(n);
    }
}

void TIdTCPConnection::WriteLine(const std::string& AText) {
    WriteText(AText + "\r\n");
}

void TIdTCPConnection::WriteBytes(const void* ASource, int32_t ACount) {
    WriteBytesInSteps(ASource, ACount, std::numeric_limits<int32_t>::max());
}

void TIdTCPConnection::WriteBytesInSteps(const void* ASource, int32_t ACount, int32_t AStep) {
    if (ACount <= 0 || !ASource) {
        return;
    }
    CheckClosed(true, true);
    if (!IsConnected()) {
        throw EIdNotConnected(IdResourceStrings::RSNotConnected);
    }
    if (!FIntercept) {
        // The private copy exists only so that an intercept can rewrite the
        // bytes; without one the caller's memory is sent as it is.
        SendAll(static_cast<const char*>(ASource), ACount, AStep);
        return;
    }
    TIdSimpleBuffer buffer;
    buffer.WriteBuffer(ASource, ACount);
    buffer.SetPosition(0);
    FIntercept->FilterOutgoing(buffer);
    SendAll(buffer.Memory(), static_cast<int32_t>(buffer.Size()), AStep);
}

void TIdTCPConnection::SendAll(const char* AData, int32_t ACount, int32_t AStep) {
    const THandlerInUse inUse(*this);
    int32_t offset = 0;
    while (offset < ACount) {
        // A handler run by the anti-freeze may have taken the transport away.
        if (!FIOHandler) {
            throw EIdNotConnected(IdResourceStrings::RSNotConnected);
        }
        const int32_t n = FIOHandler->SendFrom(AData + offset, ACount - offset);
        TIdAntiFreezeBase::KeepResponsive(false, false);
        PeerClosed = (n == 0);
        CheckClosed(true, false);
        int32_t code = 0;
        if (CheckSocketResult(n, {10058, 10053, 10054}, code)) {
            DropSocket();
            RaiseSocketFailure(code);
        }
        // One work event per step begun or finished, as if each step had
        // gone out on its own.
        for (int32_t done = 0; done < n;) {
            const int32_t part = std::min(n - done, AStep - (offset + done) % AStep);
            AdvanceWork(wmWrite, part);
            done += part;
        }
        offset += n;
    }
}

void TIdTCPConnection::WriteInt32(int32_t AValue, bool AConvert) {
    uint32_t value = static_cast<uint32_t>(AValue);
    if (AConvert) {
        value = TheStack->HostToNetLong(value);
    }
    WriteBytes(&value, 4);
}

void TIdTCPConnection::SendStream(TIdStream& AStream, bool AFromStart, bool AWriteSizePrefix,
                                  int64_t ASize) {
    if (AFromStart) {
        AStream.SetPosition(0);
    }
    int64_t position = AStream.Position();
    const int64_t end = ASize == 0 ? AStream.Size() : position + ASize;
    const int64_t count = end - position;
    if (AWriteSizePrefix) {
        // The prefix has four bytes; a larger count would go out cut to its
        // low 32 bits and the peer would stop reading in the middle.
        if (count < 0 || count > int64_t{0xFFFFFFFF}) {
            throw EIdException(FormatMessage(IdResourceStrings::RSStreamTooLargeForPrefix,
                                             static_cast<long long>(count)));
        }
        WriteInt32(static_cast<int32_t>(static_cast<uint32_t>(count)), true);
    }
    StartWork(wmWrite, count);
    TIdScopeExit work([this] { FinishWork(wmWrite); });
    const int32_t chunkSize = std::max<int32_t>(1, SendBufferSize);
    // Small chunks would cost a read and a send (and over TLS a record) each:
    // they are read and sent a block at a time, the work events still per
    // chunk. An intercept sees the chunks as they are.
    constexpr int32_t kGatherBlock = 256 * 1024;
    const int32_t blockSize = FIntercept || chunkSize > kGatherBlock / 2
                                  ? chunkSize
                                  : kGatherBlock / chunkSize * chunkSize;
    const std::unique_ptr<char[]> block(new char[static_cast<size_t>(blockSize)]);
    for (;;) {
        const int64_t n = std::min<int64_t>(end - position, blockSize);
        if (n <= 0) {
            break;
        }
        const int64_t got = AStream.Read(block.get(), n);
        if (got <= 0) {
            throw EIdNoDataToRead(IdResourceStrings::RSNoDataToRead);
        }
        WriteBytesInSteps(block.get(), static_cast<int32_t>(got), chunkSize);
        position += got;
    }
    work.Commit();
}

int64_t TIdTCPConnection::SendFile(const std::string& AFileName, bool AAllowKernelTransfer) {
    (void)AAllowKernelTransfer;
    struct stat info {};
    if (::stat(AFileName.c_str(), &info) != 0) {
        throw EIdFileNotFound(FormatMessage(IdResourceStrings::RSFileNotFound, AFileName.c_str()));
    }
    TIdFileStream file(AFileName, TIdFileMode::fmOpenRead);
    SendStream(file, true, false, 0);
    return file.Size();
}

void TIdTCPConnection::ReceiveStream(TIdStream& AStream, int64_t ACount, bool AUntilClosed) {
    if (ACount == -1 && !AUntilClosed) {
        ACount = ReadInt32(true);
    }
    if (ACount >= 0) {
        ReserveStreamSize(AStream, AStream.Position() + ACount);
    }
    int64_t remaining = AUntilClosed ? std::numeric_limits<int64_t>::max() : ACount;
    StartWork(wmRead, AUntilClosed ? 0 : ACount);
    // Space reserved ahead but never filled is cut off on every path.
    TIdScopeExit finish([&] {
        // The bytes are where they belong before anyone hears the work ended,
        // and a stream that held some back reports its failure from here.
        TIdScopeExit work([this] { FinishWork(wmRead); });
        AStream.Flush();
        work.Commit();
        if (AStream.Size() > AStream.Position()) {
            AStream.SetSize(AStream.Position());
        }
    });
    {
        TIdManagedBuffer& received = *FReceivedData;
        if (received.Size() > 0 && remaining > 0) {
            const int64_t n = std::min(received.Size(), remaining);
            AStream.WriteBuffer(received.DataStart(), n);
            received.Discard(n);
            remaining -= n;
        }
        const int64_t chunkSize =
            std::min<int64_t>(remaining, std::max<int32_t>(1, RecvBufferSize));
        while (remaining > 0 && IsConnected()) {
            int64_t n = std::min(remaining, chunkSize);
            bool closed = false;
            // Waits as an exact-count read does, but hands the bytes to the
            // stream straight from the received data.
            try {
                while (received.Size() < n) {
                    ReceiveMore(true, -1, true);
                    CheckClosed(true, true);
                }
            } catch (const EIdConnClosedGracefully&) {
                if (!AUntilClosed) {
                    throw;
                }
                // The peer's close is the normal end of an until-closed reception.
                n = received.Size();
                closed = true;
            } catch (...) {
                // The bytes that did arrive are sound (under TLS each record
                // was authenticated): a resumed transfer continues after them
                // instead of fetching up to a whole chunk again. The failure
                // that ended the reception is the one reported.
                try {
                    AStream.WriteBuffer(received.DataStart(), received.Size());
                    received.Empty();
                } catch (...) {
                }
                throw;
            }
            if (n > 0) {
                AStream.WriteBuffer(received.DataStart(), n);
                if (closed) {
                    received.Empty();
                } else {
                    received.Discard(n);
                }
                remaining -= n;
            }
        }
    }
    finish.Commit();
}

void TIdTCPConnection::ReserveStreamSize(TIdStream& AStream, int64_t ASize) {
    const int64_t position = AStream.Position();
    AStream.SetSize(ASize);
    if (AStream.Position() != position) {
        AStream.SetPosition(position);
    }
}
