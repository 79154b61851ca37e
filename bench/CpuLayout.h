#pragma once

// Where a benchmark's server and clients run. On loopback they share the
// machine's cores, and how the scheduler places the server's processes then
// decides as much as the client does: vsftpd hands every 64 KiB of a TLS
// transfer from its file process to its TLS process and back, and a client
// that sleeps while it waits (instead of spinning) leaves a core idle for
// those hand-overs to land on, each a wake-up across cores. With the server
// on a core of its own and the clients on the others, as when the server is
// another machine, the figures compare the clients.

#include <sched.h>
#include <sys/types.h>

namespace qbench {

class CpuLayout {
public:
    CpuLayout() {
        CPU_ZERO(&FAll);
        (void)sched_getaffinity(0, sizeof FAll, &FAll);
    }

    // Whether the server can have a core that no client uses.
    bool CanSeparate() const { return CPU_COUNT(&FAll) >= 2; }

    // The server (its sessions are forked later and inherit it) on the first
    // core; this process and the programs it starts on the others.
    void Separate(pid_t AServer) const {
        cpu_set_t server;
        cpu_set_t clients = FAll;
        CPU_ZERO(&server);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &FAll)) {
                CPU_SET(cpu, &server);
                CPU_CLR(cpu, &clients);
                break;
            }
        }
        (void)sched_setaffinity(AServer, sizeof server, &server);
        (void)sched_setaffinity(0, sizeof clients, &clients);
    }

    // Both on every core this process started with.
    void Share(pid_t AServer) const {
        (void)sched_setaffinity(AServer, sizeof FAll, &FAll);
        (void)sched_setaffinity(0, sizeof FAll, &FAll);
    }

private:
    cpu_set_t FAll;
};

} // namespace qbench
