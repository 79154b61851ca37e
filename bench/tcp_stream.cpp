// Streams a volume of data through a loopback TCP socket pair with SendStream
// on one side and an until-closed ReceiveStream into a discarding stream on the
// other, and compares it with a plain read()/write() loop over the same kind of
// socket pair, measured in the same run with the same buffer sizes.
//
// Usage: bench_tcp_stream [MiB, default 1024] [repetitions, default 3]

#include "CountingStream.h"
#include "IdTCPConnection.h"
#include "PosixIOHandler.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

double PlainLoop(int64_t AVolume, int32_t ABufferSize) {
    const qtest::SocketPair pair = qtest::LoopbackSocketPair();
    const auto start = TClock::now();
    std::thread writer([&] {
        std::vector<char> buffer(static_cast<size_t>(ABufferSize));
        int64_t left = AVolume;
        while (left > 0) {
            const ssize_t n = write(pair.client, buffer.data(),
                                    static_cast<size_t>(std::min<int64_t>(left, ABufferSize)));
            if (n <= 0) {
                break;
            }
            left -= n;
        }
        close(pair.client);
    });
    std::vector<char> buffer(static_cast<size_t>(ABufferSize));
    int64_t total = 0;
    for (;;) {
        const ssize_t n = read(pair.server, buffer.data(), buffer.size());
        if (n <= 0) {
            break;
        }
        total += n;
    }
    const double seconds = std::chrono::duration<double>(TClock::now() - start).count();
    writer.join();
    close(pair.server);
    if (total != AVolume) {
        throw std::runtime_error("plain loop lost data");
    }
    return static_cast<double>(total) / seconds / 1e6;
}

double Connection(int64_t AVolume, int32_t ABufferSize) {
    const qtest::SocketPair pair = qtest::LoopbackSocketPair();
    const auto start = TClock::now();
    std::thread writer([&] {
        TPosixIOHandler handler(pair.client);
        TIdTCPConnection conn;
        conn.SetIOHandler(&handler);
        conn.SendBufferSize = ABufferSize;
        // Unfilled, like the plain loop's fixed buffer, so neither side pays
        // for producing data.
        TCountingStream source;
        source.SetSize(AVolume);
        conn.SendStream(source, true, false, 0);
        conn.DropSocket();
    });
    TPosixIOHandler handler(pair.server);
    TIdTCPConnection conn;
    conn.SetIOHandler(&handler);
    conn.RecvBufferSize = ABufferSize;
    TCountingStream target;
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
