// qvftp: the command-line client over the FTP library.

#include "Errors.h"
#include "IdGlobal.h"
#include "Options.h"
#include "Session.h"

#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

#ifndef QVFTP_VERSION
#define QVFTP_VERSION "0"
#endif

namespace {

// The first line of standard input, without its line end: a password kept
// out of the process list.
std::string ReadPasswordLine() {
    std::string line;
    if (!std::getline(std::cin, line) && line.empty()) {
        throw EUsage("--password-stdin: no password on standard input");
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (line.find('\0') != std::string::npos || line.find('\r') != std::string::npos) {
        throw EUsage("--password-stdin: the password contains a NUL or CR byte");
    }
    return line;
}

int Fail(TExitCode ACode, const std::string& AMessage) {
    std::fflush(stdout);
    // Names in messages come from the server or the command line; neither
    // may send control sequences to the terminal.
    std::fprintf(stderr, "qvftp: %s\n", EscapeControl(AMessage).c_str());
    return ACode;
}

} // namespace

int main(int argc, char** argv) {
    try {
        const TCliOptions options = ParseCommandLine(argc, argv);
        if (options.Command == TCliCommand::Help) {
            std::fputs(UsageText().c_str(), stdout);
            return ecSuccess;
        }
        if (options.Command == TCliCommand::Version) {
            std::printf("qvftp %s\n", QVFTP_VERSION);
            return ecSuccess;
        }
        std::string password;
        if (options.PasswordStdin) {
            password = ReadPasswordLine();
        } else if (options.Password) {
            password = *options.Password;
        } else if (options.Url.HasPassword && !options.User) {
            password = options.Url.Password;
        } else if (!options.User && !options.Url.HasUser) {
            password = "anonymous@";
        }
        RunSession(options, password, stdout, stderr);
        return ecSuccess;
    } catch (const ECliFailure& e) {
        return Fail(e.Code, e.what());
    } catch (const std::exception& e) {
        return Fail(ecLost, e.what());
    }
}
