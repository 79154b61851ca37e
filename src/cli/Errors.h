#pragma once

#include <stdexcept>
#include <string>

// Exit codes of qvftp; scripts rely on the numbers.
enum TExitCode : int {
    ecSuccess = 0,
    ecUsage = 1,
    ecConnect = 2,
    ecSignIn = 3,
    ecTls = 4,
    ecRefused = 5,
    ecLocalFile = 6,
    ecLost = 7,
    ecCheck = 8,
};

// A failure already put into words: the text after "qvftp: " and the exit code.
class ECliFailure : public std::runtime_error {
public:
    ECliFailure(TExitCode ACode, const std::string& AMessage, bool ATransient = false)
        : std::runtime_error(AMessage), Code(ACode), Transient(ATransient) {}
    TExitCode Code;
    // A fresh session may well succeed: the connection was lost or refused,
    // or the server said it could not do it now (421, 425, 426, 450, 451).
    bool Transient;
};

// A malformed command line: exit code 1.
class EUsage : public ECliFailure {
public:
    explicit EUsage(const std::string& AMessage) : ECliFailure(ecUsage, AMessage) {}
};

// A local file that cannot be read or written, raised from inside a transfer
// so that it is told apart from the network's failures on the way out.
class ELocalFile : public std::runtime_error {
public:
    ELocalFile(const std::string& AWhat, const std::string& AReason)
        : std::runtime_error(AWhat + ": " + AReason) {}
};

// The process's own time limit ran out during a wait.
class ETimedOut : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
