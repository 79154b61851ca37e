#include "ChildProcess.h"

#include "TempDir.h"
#include "TestSockets.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace qtest {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Process groups that must die with the test program. A fixed array of
// atomics so that a fatal-signal handler may walk it.
std::array<std::atomic<pid_t>, 256> gLiveGroups{};

void RegisterGroup(pid_t pgid) {
    for (auto& slot : gLiveGroups) {
        pid_t empty = 0;
        if (slot.compare_exchange_strong(empty, pgid))
            return;
    }
}

void UnregisterGroup(pid_t pgid) {
    for (auto& slot : gLiveGroups) {
        pid_t expected = pgid;
        if (slot.compare_exchange_strong(expected, 0))
            return;
    }
}

constexpr int kFatalSignals[] = {SIGINT,  SIGTERM, SIGHUP, SIGQUIT, SIGABRT,
                                 SIGSEGV, SIGBUS,  SIGFPE, SIGILL};
struct sigaction gPrevious[sizeof kFatalSignals / sizeof kFatalSignals[0]];

void OnFatalSignal(int sig, siginfo_t* info, void* context) {
    for (auto& slot : gLiveGroups) {
        pid_t pgid = slot.load();
        if (pgid > 0)
            ::kill(-pgid, SIGKILL);
    }
    for (size_t i = 0; i < sizeof kFatalSignals / sizeof kFatalSignals[0]; ++i) {
        if (kFatalSignals[i] != sig)
            continue;
        // Hand over to whoever was there before (a sanitizer's reporter, say).
        const struct sigaction& prev = gPrevious[i];
        if (prev.sa_flags & SA_SIGINFO) {
            if (prev.sa_sigaction) {
                prev.sa_sigaction(sig, info, context);
                return;
            }
        } else if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN) {
            prev.sa_handler(sig);
            return;
        }
        ::sigaction(sig, &prev, nullptr);
        ::raise(sig);
        return;
    }
}

void InstallSafetyNet() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Orphaned grandchildren (vsftpd sessions, danted workers) are
        // re-parented to us, so we can reap them instead of leaving zombies
        // under an init that may never reap.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        for (size_t i = 0; i < sizeof kFatalSignals / sizeof kFatalSignals[0]; ++i) {
            struct sigaction sa {};
            sa.sa_sigaction = OnFatalSignal;
            sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
            sigemptyset(&sa.sa_mask);
            ::sigaction(kFatalSignals[i], &sa, &gPrevious[i]);
        }
    });
}

struct ProcInfo {
    pid_t pid, ppid, pgrp;
    char state;
    std::string comm;
};

std::vector<ProcInfo> ListProcesses() {
    std::vector<ProcInfo> out;
    DIR* d = ::opendir("/proc");
    if (!d)
        return out;
    while (dirent* e = ::readdir(d)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end)
            continue;
        std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
        std::string stat;
        std::getline(in, stat);
        // The command name may contain blanks and parentheses: fields resume
        // after the last ')'.
        auto close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        auto open = stat.find('(');
        std::istringstream rest(stat.substr(close + 1));
        char state;
        long ppid, pgrp;
        if (open != std::string::npos && rest >> state >> ppid >> pgrp)
            out.push_back({static_cast<pid_t>(pid), static_cast<pid_t>(ppid),
                           static_cast<pid_t>(pgrp), state,
                           stat.substr(open + 1, close - open - 1)});
    }
    ::closedir(d);
    return out;
}

bool IsLeader(pid_t pid) {
    for (auto& slot : gLiveGroups)
        if (slot.load() == pid)
            return true;
    return false;
}

// The reaper thread is detached and may still run while static objects are
// destroyed at exit, so its state is never destroyed.
struct ReaperState {
    std::mutex mutex;
    std::set<std::string> serverNames; // kernel command names of servers we started
};
ReaperState& Reaper() {
    static ReaperState* const state = new ReaperState;
    return *state;
}

// Some server processes outlive their parent (a vsftpd session's helper) and,
// since we are a subreaper, end as our zombies. Reap those of our servers
// now and then, so that a long soak does not pile them up; other zombies
// belong to someone else's waitpid.
void ReapStrayServerZombies() {
    std::set<std::string> names;
    {
        std::lock_guard lock(Reaper().mutex);
        names = Reaper().serverNames;
    }
    const pid_t self = ::getpid();
    for (const auto& p : ListProcesses())
        if (p.ppid == self && p.state == 'Z' && names.count(p.comm) && !IsLeader(p.pid))
            ::waitpid(p.pid, nullptr, WNOHANG);
}

void StartReaper(const std::string& program) {
    // The kernel keeps the first 15 bytes of the executable's name.
    std::string comm = std::filesystem::path(program).filename().string().substr(0, 15);
    std::lock_guard lock(Reaper().mutex);
    Reaper().serverNames.insert(comm);
    static bool started = false;
    if (started)
        return;
    started = true;
    std::thread([] {
        for (;;) {
            std::this_thread::sleep_for(milliseconds(500));
            ReapStrayServerZombies();
        }
    }).detach();
}

std::string Tail(const std::string& text, size_t max) {
    return text.size() <= max ? text : "...\n" + text.substr(text.size() - max);
}

int OpenOrDie(const std::filesystem::path& path, int flags) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("open " + path.string() + ": " + std::strerror(errno));
    return fd;
}

} // namespace

ChildProcess::ChildProcess(LaunchPlan plan) : plan_(std::move(plan)) {
    if (plan_.argv.empty())
        throw std::runtime_error("ChildProcess: empty argv");
    InstallSafetyNet();

    // Everything the child needs is prepared before fork: after it, only
    // async-signal-safe calls are allowed (other test threads may hold locks).
    std::vector<char*> argv;
    for (auto& a : plan_.argv)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        std::string key = entry.substr(0, entry.find('='));
        if (!plan_.env.count(key))
            envStrings.push_back(entry);
    }
    for (auto& [k, v] : plan_.env)
        envStrings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : envStrings)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    UniqueFd in(OpenOrDie(plan_.stdinFile.empty() ? "/dev/null" : plan_.stdinFile, O_RDONLY));
    UniqueFd log(plan_.logFile.empty() ? OpenOrDie("/dev/null", O_WRONLY)
                                       : OpenOrDie(plan_.logFile, O_WRONLY | O_CREAT | O_TRUNC));
    UniqueFd out(plan_.stdoutFile.empty()
                     ? ::dup(log.get())
                     : OpenOrDie(plan_.stdoutFile, O_WRONLY | O_CREAT | O_TRUNC));
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    UniqueFd errRead(pipeFds[0]), errWrite(pipeFds[1]);
    const char* dir = plan_.workDir.empty() ? nullptr : plan_.workDir.c_str();
    const pid_t parent = ::getpid();

    pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        ::dup2(in.get(), 0);
        ::dup2(out.get(), 1);
        ::dup2(log.get(), 2);
        int pipeFd = ::fcntl(errWrite.get(), F_DUPFD_CLOEXEC, 3);
        // Listening sockets of fake servers must not leak into the server.
        if ((pipeFd > 3 && ::syscall(SYS_close_range, 3, pipeFd - 1, 0) != 0) ||
            ::syscall(SYS_close_range, pipeFd + 1, ~0U, 0) != 0) {
            for (int fd = 3; fd < 65536; ++fd)
                if (fd != pipeFd)
                    ::close(fd);
        }
        ::signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (dir && ::chdir(dir) != 0) {
            int e = errno;
            [[maybe_unused]] ssize_t n = ::write(pipeFd, &e, sizeof e);
            ::_exit(127);
        }
        ::execve(argv[0], argv.data(), envp.data());
        int e = errno;
        [[maybe_unused]] ssize_t n = ::write(pipeFd, &e, sizeof e);
        ::_exit(127);
    }
    ::setpgid(pid, pid);
    pid_ = pid;
    RegisterGroup(pid);
    if (!plan_.logFile.empty() && plan_.stdoutFile.empty())
        StartReaper(plan_.argv[0]);
    errWrite.reset();
    int childErrno = 0;
    ssize_t n;
    do {
        n = ::read(errRead.get(), &childErrno, sizeof childErrno);
    } while (n < 0 && errno == EINTR);
    if (n == sizeof childErrno) {
        kill();
        throw std::runtime_error("cannot start " + commandLine() + ": " +
                                 std::strerror(childErrno));
    }
}

ChildProcess::~ChildProcess() {
    kill();
}

bool ChildProcess::running() {
    if (exited_)
        return false;
    siginfo_t info{};
    // WNOWAIT keeps the zombie, so the process group id cannot be reused
    // before kill() has signalled the rest of the group.
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        // Reaped behind our back: gone all the same.
        exited_ = true;
        exitText_ = "exited";
        return false;
    }
    if (info.si_pid == 0)
        return true;
    exited_ = true;
    exitText_ = info.si_code == CLD_EXITED ? "exit code " + std::to_string(info.si_status)
                                           : "signal " + std::to_string(info.si_status);
    return false;
}

std::string ChildProcess::log() const {
    std::string text;
    for (const auto& file : {plan_.logFile, plan_.stdoutFile}) {
        if (file.empty())
            continue;
        try {
            text += ReadFile(file);
        } catch (const std::exception&) {
        }
    }
    return text;
}

std::string ChildProcess::commandLine() const {
    std::string line;
    for (const auto& a : plan_.argv)
        line += (line.empty() ? "" : " ") + a;
    return line;
}

std::string ChildProcess::waitForPort(uint16_t port, milliseconds deadline,
                                      const std::string& host) {
    const auto end = Clock::now() + deadline;
    milliseconds pause(5);
    for (;;) {
        if (!running())
            return "exited before accepting connections (" + exitText_ + ")";
        std::string why;
        UniqueFd probe = ConnectTcp(host, port, milliseconds(250), &why);
        // A connect that succeeds while our child has died reached some other
        // program that won the race for the port.
        if (probe && running())
            return "";
        if (Clock::now() >= end)
            return "did not accept connections on " + host + ":" + std::to_string(port) +
                   " within " + std::to_string(deadline.count()) + " ms (last: " + why + ")";
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, milliseconds(100));
    }
}

void ChildProcess::kill() {
    if (pid_ <= 0 || reaped_)
        return;
    // Freeze the family first so nobody forks while we look for descendants;
    // vsftpd sessions leave the process group with setsid, so the group alone
    // is not enough.
    std::set<pid_t> family{pid_};
    ::kill(-pid_, SIGSTOP);
    for (bool grew = true; grew;) {
        grew = false;
        for (const auto& p : ListProcesses()) {
            if (family.count(p.pid))
                continue;
            if (family.count(p.ppid) || p.pgrp == pid_) {
                family.insert(p.pid);
                ::kill(p.pid, SIGSTOP);
                grew = true;
            }
        }
    }
    ::kill(-pid_, SIGKILL);
    for (pid_t p : family)
        ::kill(p, SIGKILL);
    int status;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    if (!exited_) {
        exited_ = true;
        exitText_ = WIFEXITED(status) ? "exit code " + std::to_string(WEXITSTATUS(status))
                                      : "signal " + std::to_string(WTERMSIG(status));
    }
    reaped_ = true;
    UnregisterGroup(pid_);
    // Descendants come to us once their parents are gone (we are a subreaper).
    family.erase(pid_);
    const auto end = Clock::now() + milliseconds(3000);
    while (!family.empty() && Clock::now() < end) {
        for (auto it = family.begin(); it != family.end();) {
            pid_t r = ::waitpid(*it, &status, WNOHANG);
            bool gone = r == *it || (r < 0 && errno == ECHILD &&
                                     ::access(("/proc/" + std::to_string(*it)).c_str(), F_OK) != 0);
            it = gone ? family.erase(it) : std::next(it);
        }
        if (!family.empty())
            std::this_thread::sleep_for(milliseconds(2));
    }
}

StartedServer StartServer(const std::string& name,
                          const std::function<LaunchPlan(uint16_t port)>& build,
                          milliseconds deadline, int attempts, const std::string& host) {
    std::string report;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        uint16_t port = PickFreePort();
        auto process = std::make_unique<ChildProcess>(build(port));
        std::string why = process->waitForPort(port, deadline, host);
        if (why.empty())
            return StartedServer{std::move(process), port};
        bool lateFailure = process->running();
        process->kill();
        report += "\n--- attempt " + std::to_string(attempt) + ": " + process->commandLine() +
                  "\n" + why + "\n--- its output:\n" + Tail(process->log(), 6000);
        if (lateFailure)
            break; // it ran but never listened: another port will not help
    }
    throw std::runtime_error(name + " did not start:" + report);
}

ProcessResult RunProcess(const std::vector<std::string>& argv, milliseconds timeout,
                         const std::string* input) {
    TempDir dir("quorvan-run");
    LaunchPlan plan;
    plan.argv = argv;
    plan.logFile = dir / "stderr";
    plan.stdoutFile = dir / "stdout";
    if (input)
        plan.stdinFile = dir.write("stdin", *input);
    ProcessResult result;
    {
        ChildProcess child(plan);
        const auto end = Clock::now() + timeout;
        milliseconds pause(1);
        while (child.running()) {
            if (Clock::now() >= end) {
                result.timedOut = true;
                break;
            }
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, milliseconds(20));
        }
        child.kill();
        const std::string text = child.exitDescription();
        if (!result.timedOut && text.rfind("exit code ", 0) == 0)
            result.exitCode = std::stoi(text.substr(10));
    }
    result.out = ReadFile(dir / "stdout");
    result.err = ReadFile(dir / "stderr");
    return result;
}

} // namespace qtest
