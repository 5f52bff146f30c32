// Child processes on Linux: fork and exec of /proc/self/exe, signals taken synchronously
// (blocked, then waited for) so that none slips in between two checks.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "ChildProcesses.h"
#include "CommandLine.h"
#include "OSThread.h"

namespace {

// This program's own file, as the system found it.
std::string ProgramPath() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    return length > 0 ? std::string(path, size_t(length)) : std::string();
}

// In the child between fork and exec: what the parent blocked and changed is undone, and
// the child is stopped when the parent dies, so that none outlives a killed parent.
[[noreturn]] void ExecChild(const std::string& path, const std::vector<std::string>& arguments,
                            pid_t parent) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);  // the parent died before the line above
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    const char text[] = "cannot run the program for a child process\n";
    [[maybe_unused]] const ssize_t written = write(2, text, sizeof(text) - 1);
    _exit(127);
}

void SignalAll(const std::vector<pid_t>& children, int signal) {
    for (const pid_t child : children)
        kill(child, signal);
}

}  // namespace

ChildProcesses::~ChildProcesses() {
    if (fHeldSocket >= 0) close(fHeldSocket);
}

bool ChildProcesses::HoldPort(const NetAddress& address, uint16_t* port, std::string* error) {
    const int held = socket(address.IsIPv6() ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Held as the children listen: on :: for IPv4 clients too, on other IPv6 ones not.
    const int32_t v6Only = ServesIPv4Too(address) ? 0 : 1;
    Platform::SocketAddressStorage local;
    AtPort(address, *port).ToSocketAddress(&local);
    if (held < 0 || Platform::SharePort(held) != 0 ||
        (address.IsIPv6() && Platform::SetSocketOption(held, Platform::SocketOption::kIPv6Only,
                                                       &v6Only, sizeof(v6Only)) != 0) ||
        Platform::BindSocket(held, &local) != 0 || Platform::GetSocketName(held, &local) != 0) {
        *error = "cannot hold tcp port " + std::to_string(*port) + " on " +
                 AddressText(address, 0) +
                 " for the processes: " + DescribeSocketError(OSThread::LastErrorCode());
        if (held >= 0) close(held);
        return false;
    }
    fHeldSocket = held;
    *port = NetAddress::FromSocketAddress(local).GetPort();
    return true;
}

bool ChildProcesses::Run(uint32_t count,
                         const std::function<std::vector<std::string>(uint32_t)>& arguments,
                         std::string* error) {
    const std::string path = ProgramPath();
    if (path.empty()) {
        *error = "cannot find this program's own file to start the processes";
        return false;
    }
    // Blocked before the first fork, so a stop request is never lost; waited for below.
    sigset_t watched, before;
    sigemptyset(&watched);
    sigaddset(&watched, SIGINT);
    sigaddset(&watched, SIGTERM);
    sigaddset(&watched, SIGCHLD);
    sigprocmask(SIG_BLOCK, &watched, &before);

    std::fflush(nullptr);  // nothing buffered is written twice
    std::vector<pid_t> running;
    bool started = true;
    const pid_t self = getpid();
    for (uint32_t i = 0; i < count; ++i) {
        const std::vector<std::string> childArguments = arguments(i);
        const pid_t child = fork();
        if (child == 0) ExecChild(path, childArguments, self);
        if (child < 0) {
            *error = "cannot start process " + std::to_string(i + 1) + " of " +
                     std::to_string(count) + ": " + std::strerror(errno);
            started = false;
            SignalAll(running, SIGTERM);
            break;
        }
        running.push_back(child);
    }
    if (started) {
        std::string pids;
        for (const pid_t child : running)
            pids += " " + std::to_string(child);
        std::printf("%s: started %u processes:%s (Ctrl-C stops them all)\n", fName, count,
                    pids.c_str());
        std::fflush(stdout);
    }

    bool allClean = true;
    while (!running.empty()) {
        siginfo_t info;
        const timespec second{1, 0};  // a lost SIGCHLD costs at most this
        const int signal = sigtimedwait(&watched, &info, &second);
        if (signal == SIGINT || signal == SIGTERM) SignalAll(running, signal);
        int status = 0;
        pid_t ended;
        while ((ended = waitpid(-1, &status, WNOHANG)) > 0) {
            std::erase(running, ended);
            if (WIFEXITED(status)) {
                std::printf("%s: process %d exited with status %d\n", fName, int(ended),
                            WEXITSTATUS(status));
                allClean = allClean && WEXITSTATUS(status) == 0;
            } else {
                std::printf("%s: process %d ended by signal %d\n", fName, int(ended),
                            WTERMSIG(status));
                allClean = false;
            }
            std::fflush(stdout);
        }
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    return allClean && started;
}
