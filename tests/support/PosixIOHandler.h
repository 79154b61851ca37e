#pragma once

#include "IdIOHandler.h"

#include <cstdint>

// A blocking socket under a connection, making the calls the socket handler
// makes: a readable wait before each receive, plain blocking receive and
// send. Owns the descriptor.
class TPosixIOHandler : public TIdIOHandler {
public:
    explicit TPosixIOHandler(int ADescriptor) : FDescriptor(ADescriptor) {}
    ~TPosixIOHandler() override { Shut(); }
    void Shut() override;
    bool IsOpen() override { return FDescriptor >= 0; }
    bool WaitReadable(int32_t AMSec) override;
    int32_t ReceiveInto(void* ABuffer, int32_t ALength) override;
    int32_t SendFrom(const void* ABuffer, int32_t ALength) override;

private:
    int FDescriptor;
};

namespace qtest {

// Two connected blocking loopback sockets on an ephemeral port; the caller
// owns both. Throws std::runtime_error on failure.
struct SocketPair {
    int client = -1; // the connecting side
    int server = -1; // the accepted side
};
SocketPair LoopbackSocketPair();

} // namespace qtest
