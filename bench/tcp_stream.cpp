// Streams a volume of data through a loopback TCP socket pair with SendStream
// on one side and an until-closed ReceiveStream into a discarding stream on the
// other, and compares it with a plain read()/write() loop over the same kind of
// socket pair, measured in the same run with the same buffer sizes.
//
// Usage: bench_tcp_stream [MiB, default 1024] [repetitions, default 3]

#include "IdIOHandler.h"
#include "IdStack.h"
#include "IdTCPConnection.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct TSocketPair {
    int Sender = -1;
    int Receiver = -1;
};

TSocketPair LoopbackPair() {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot listen on the loopback interface");
    }
    TSocketPair pair;
    pair.Sender = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(pair.Sender, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        throw std::runtime_error("cannot connect on the loopback interface");
    }
    pair.Receiver = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
    if (pair.Receiver < 0) {
        throw std::runtime_error("cannot accept on the loopback interface");
    }
    return pair;
}

// The same calls the socket handler makes: a readable wait before each receive,
// plain blocking receive and send.
class TPosixHandler : public TIdIOHandler {
public:
    explicit TPosixHandler(int ADescriptor) : FDescriptor(ADescriptor) {}
    ~TPosixHandler() override { Shut(); }
    void Shut() override {
        if (FDescriptor >= 0) {
            close(FDescriptor);
            FDescriptor = -1;
        }
    }
    bool IsOpen() override { return FDescriptor >= 0; }
    bool WaitReadable(int32_t AMSec) override {
        pollfd entry{FDescriptor, POLLIN, 0};
        int result;
        do {
            result = poll(&entry, 1, AMSec < 0 ? -1 : AMSec);
        } while (result < 0 && errno == EINTR);
        return result > 0;
    }
    int32_t ReceiveInto(void* ABuffer, int32_t ALength) override {
        ssize_t n;
        do {
            n = TheStack->SockRecv(FDescriptor, ABuffer, ALength, 0);
        } while (n < 0 && errno == EINTR);
        return static_cast<int32_t>(n);
    }
    int32_t SendFrom(const void* ABuffer, int32_t ALength) override {
        ssize_t n;
        do {
            n = TheStack->SockSend(FDescriptor, ABuffer, ALength, 0);
        } while (n < 0 && errno == EINTR);
        return static_cast<int32_t>(n);
    }

private:
    int FDescriptor;
};

// A source that hands out its chunk buffer as it is, like the plain loop's
// fixed buffer, so neither side pays for producing data.
class TUnfilledSource : public TIdStream {
public:
    explicit TUnfilledSource(int64_t ASize) : FSize(ASize) {}
    int64_t Read(void*, int64_t ACount) override {
        const int64_t n = std::min(ACount, FSize - FPosition);
        FPosition += n;
        return n;
    }
    int64_t Write(const void*, int64_t) override { return 0; }
    int64_t Seek(int64_t AOffset, TIdSeekOrigin AOrigin) override {
        FPosition = (AOrigin == TIdSeekOrigin::soBeginning ? 0
                     : AOrigin == TIdSeekOrigin::soCurrent ? FPosition
                                                           : FSize) +
                    AOffset;
        return FPosition;
    }
    int64_t Size() const override { return FSize; }
    void SetSize(int64_t ASize) override { FSize = ASize; }

private:
    int64_t FSize;
    int64_t FPosition = 0;
};

class TDiscardingStream : public TIdStream {
public:
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void*, int64_t ACount) override {
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
    void SetSize(int64_t ASize) override { FSize = ASize; }

private:
    int64_t FSize = 0;
    int64_t FPosition = 0;
};

using TClock = std::chrono::steady_clock;

double PlainLoop(int64_t AVolume, int32_t ABufferSize) {
    const TSocketPair pair = LoopbackPair();
    const auto start = TClock::now();
    std::thread writer([&] {
        std::vector<char> buffer(static_cast<size_t>(ABufferSize));
        int64_t left = AVolume;
        while (left > 0) {
            const ssize_t n = write(pair.Sender, buffer.data(),
                                    static_cast<size_t>(std::min<int64_t>(left, ABufferSize)));
            if (n <= 0) {
                break;
            }
            left -= n;
        }
        close(pair.Sender);
    });
    std::vector<char> buffer(static_cast<size_t>(ABufferSize));
    int64_t total = 0;
    for (;;) {
        const ssize_t n = read(pair.Receiver, buffer.data(), buffer.size());
        if (n <= 0) {
            break;
        }
        total += n;
    }
    const double seconds = std::chrono::duration<double>(TClock::now() - start).count();
    writer.join();
    close(pair.Receiver);
    if (total != AVolume) {
        throw std::runtime_error("plain loop lost data");
    }
    return static_cast<double>(total) / seconds / 1e6;
}

double Connection(int64_t AVolume, int32_t ABufferSize) {
    const TSocketPair pair = LoopbackPair();
    const auto start = TClock::now();
    std::thread writer([&] {
        TPosixHandler handler(pair.Sender);
        TIdTCPConnection conn;
        conn.SetIOHandler(&handler);
        conn.SendBufferSize = ABufferSize;
        TUnfilledSource source(AVolume);
        conn.SendStream(source, true, false, 0);
        conn.DropSocket();
    });
    TPosixHandler handler(pair.Receiver);
    TIdTCPConnection conn;
    conn.SetIOHandler(&handler);
    conn.RecvBufferSize = ABufferSize;
    TDiscardingStream target;
    conn.ReceiveStream(target, -1, true);
    const double seconds = std::chrono::duration<double>(TClock::now() - start).count();
    writer.join();
    if (target.Size() != AVolume) {
        throw std::runtime_error("connection lost data");
    }
    return static_cast<double>(target.Size()) / seconds / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    const int64_t mebibytes = argc > 1 ? std::atoll(argv[1]) : 1024;
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 3;
    const int64_t volume = mebibytes << 20;
    std::printf("streaming %lld MiB through loopback TCP, best of %d runs\n",
                static_cast<long long>(mebibytes), repetitions);
    std::printf("%-8s %16s %16s %8s\n", "buffer", "plain MB/s", "connection MB/s", "ratio");
    for (const int32_t size : {1024, 32768}) {
        double plain = 0;
        double ours = 0;
        // Interleaved so that load from elsewhere on the machine hits both alike.
        for (int i = 0; i < repetitions; ++i) {
            plain = std::max(plain, PlainLoop(volume, size));
            ours = std::max(ours, Connection(volume, size));
        }
        std::printf("%-8d %16.0f %16.0f %7.0f%%\n", size, plain, ours, 100.0 * ours / plain);
    }
    return 0;
}
