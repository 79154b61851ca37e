#pragma once

// Starting helper programs (real servers, curl) from tests. Every server runs
// in its own process group and is killed with all its descendants when its
// owner goes away, also when a test fails or the test program crashes
// (PR_SET_PDEATHSIG and fatal-signal handlers back up the destructors).

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qtest {

struct LaunchPlan {
    std::vector<std::string> argv; // argv[0] is the program path, no PATH lookup
    // Added to (or replacing entries of) the test program's environment.
    std::map<std::string, std::string> env;
    std::filesystem::path workDir; // empty: inherit
    // stdout and stderr go here (created/truncated); empty: /dev/null.
    std::filesystem::path logFile;
    // When set, stdout goes here instead and only stderr to logFile.
    std::filesystem::path stdoutFile;
    // stdin comes from this file; empty: /dev/null.
    std::filesystem::path stdinFile;
};

// One running child process leading its own process group. Create it on a
// thread that outlives it (the test's main thread): the kernel kills the child
// when the creating thread ends.
class ChildProcess {
public:
    // Throws std::runtime_error when the program cannot be started at all.
    explicit ChildProcess(LaunchPlan plan);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Kills the group and every descendant, and reaps them.
    ~ChildProcess();

    pid_t pid() const { return pid_; }
    const LaunchPlan& plan() const { return plan_; }
    // True while the child has not exited (reaps it when it has).
    bool running();
    // Exit description once it has exited ("exit code 1", "signal 9"), else "".
    std::string exitDescription() const { return exitText_; }
    // The captured output so far (empty when there is no log file).
    std::string log() const;
    // The command line, for messages.
    std::string commandLine() const;

    // Polls a TCP connect to 127.0.0.1:port until it succeeds, the child exits
    // or the deadline passes. Returns "" when ready, else the reason.
    std::string waitForPort(uint16_t port, std::chrono::milliseconds deadline,
                            const std::string& host = "127.0.0.1");

    // SIGKILL to the group and all descendants, then reap. Idempotent.
    void kill();

private:
    LaunchPlan plan_;
    pid_t pid_ = -1;
    bool exited_ = false;
    bool reaped_ = false;
    std::string exitText_;
};

// Starts a server on a fresh ephemeral port: `build` is called with the port
// and returns the plan (writing any config naming it); retried with another
// port when the child exits before accepting connections (lost port race).
// Throws std::runtime_error with the command line and the captured log when
// every attempt fails.
struct StartedServer {
    std::unique_ptr<ChildProcess> process;
    uint16_t port = 0;
};
StartedServer StartServer(const std::string& name,
                          const std::function<LaunchPlan(uint16_t port)>& build,
                          std::chrono::milliseconds deadline = std::chrono::seconds(20),
                          int attempts = 4, const std::string& host = "127.0.0.1");

struct ProcessResult {
    int exitCode = -1; // -1 when killed by a signal or the timeout
    bool timedOut = false;
    std::string out; // stdout
    std::string err; // stderr
};
// Runs a program to completion (killed at the timeout), stdin from /dev/null
// or from `input` when given.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         std::chrono::milliseconds timeout = std::chrono::seconds(60),
                         const std::string* input = nullptr);

} // namespace qtest
