#include "PosixIOHandler.h"

#include "IdStack.h"
#include "TestSockets.h"

#include <cerrno>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

void TPosixIOHandler::Shut() {
    if (FDescriptor >= 0) {
        close(FDescriptor);
        FDescriptor = -1;
    }
}

bool TPosixIOHandler::WaitReadable(int32_t AMSec) {
    pollfd entry{FDescriptor, POLLIN, 0};
    int result;
    do {
        result = poll(&entry, 1, AMSec < 0 ? -1 : AMSec);
    } while (result < 0 && errno == EINTR);
    return result > 0;
}

int32_t TPosixIOHandler::ReceiveInto(void* ABuffer, int32_t ALength) {
    ssize_t n;
    do {
        n = TheStack->SockRecv(FDescriptor, ABuffer, ALength, 0);
    } while (n < 0 && errno == EINTR);
    return static_cast<int32_t>(n);
}

int32_t TPosixIOHandler::SendFrom(const void* ABuffer, int32_t ALength) {
    ssize_t n;
    do {
        n = TheStack->SockSend(FDescriptor, ABuffer, ALength, 0);
    } while (n < 0 && errno == EINTR);
    return static_cast<int32_t>(n);
}

namespace qtest {

SocketPair LoopbackSocketPair() {
    const UniqueFd listener = ListenLoopback(0, 1);
    UniqueFd client = ConnectLoopback(LocalPort(listener.get()));
    UniqueFd server = AcceptWithin(listener.get(), Millis(5000));
    if (!server) {
        throw std::runtime_error("cannot accept on the loopback interface");
    }
    return {client.release(), server.release()};
}

} // namespace qtest
