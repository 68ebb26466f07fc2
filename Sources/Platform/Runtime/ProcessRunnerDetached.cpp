// Detached launches: two forks, so that the program is nobody's child once
// the caller is gone, with a new session in between. Everything the
// children need is built before the first fork; after it they make only
// async-signal-safe calls (raw system calls, poll, write, execve, _exit),
// since the caller's other threads may have held any lock at that moment.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Platform/Runtime/Log.h"
#include "Platform/Runtime/ProcessRunner.h"
#include "Platform/Runtime/ProcessUser.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"

extern char** environ;

namespace platform {

namespace {

int64_t monotonicMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Closes every descriptor from `first` on: the caller's sockets must not
// live on in the program (a relaunched Host binds the same ports).
void closeFrom(int first, int highest) {
    if (::syscall(SYS_close_range, first, ~0U, 0) == 0) return;
    for (int fd = first; fd <= highest; ++fd) ::close(fd);
}

// The grandchild: waits for the process (its descriptor on fd 3), then
// becomes the program. Never returns.
[[noreturn]] void becomeProgram(char* const* argv, bool waits, int timeoutMs, int highestFd) {
    closeFrom(waits ? 4 : 3, highestFd);
    if (waits) {
        const int64_t deadline = monotonicMs() + timeoutMs;
        for (;;) {
            const int64_t left = deadline - monotonicMs();
            if (left <= 0) ::_exit(0);
            pollfd p{3, POLLIN, 0};
            const int r = ::poll(&p, 1, static_cast<int>(left));
            if (r > 0) break;
            if (r == 0) ::_exit(0);  // still running: nothing starts
            if (errno != EINTR) ::_exit(1);
        }
        ::close(3);
    }
    // The caller's threads may block signals the program expects.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaultAction{};
    defaultAction.sa_handler = SIG_DFL;
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) ::sigaction(sig, &defaultAction, nullptr);
    ::execve(argv[0], argv, environ);
    ::_exit(127);
}

Result<int32_t> launchForReal(const ProcessRunner::DetachedLaunch& launch) {
    if (launch.argv.empty() || launch.argv[0].empty()) return Failure{"no program to launch"};
    std::vector<std::string> strings = launch.argv;
    std::vector<char*> argv;
    for (auto& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);

    int pidfd = -1;
    if (launch.waitForProcess) {
        pidfd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(*launch.waitForProcess), 0));
        // Already gone: the program starts at once.
        if (pidfd < 0 && errno != ESRCH)
            return Failure{std::string("cannot watch process ") + std::to_string(*launch.waitForProcess) + " (" +
                           std::strerror(errno) + ")"};
    }
    const int timeoutMs = static_cast<int>(std::max(0.0, launch.waitLimitSeconds) * 1000);
    rlimit files{};
    const int highestFd =
        ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY && files.rlim_cur < 65536
            ? static_cast<int>(files.rlim_cur) - 1
            : 65535;
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        const int error = errno;
        if (pidfd >= 0) ::close(pidfd);
        return Failure{std::string("cannot launch ") + launch.argv[0] + " (" + std::strerror(error) + ")"};
    }

    const bool outputToNowhere = ProcessUser::outputEndsWithThisProcess(STDOUT_FILENO);
    const bool errorsToNowhere = ProcessUser::outputEndsWithThisProcess(STDERR_FILENO);
    const pid_t intermediate = ::fork();
    if (intermediate == 0) {
        ::close(report[0]);
        ::setsid();
        const pid_t program = ::fork();
        if (program != 0) {
            const int32_t reported = program > 0 ? program : -1;
            ssize_t ignored = ::write(report[1], &reported, sizeof reported);
            (void)ignored;
            ::_exit(0);
        }
        ::close(report[1]);
        if (pidfd >= 0 && pidfd != 3) {
            if (::dup2(pidfd, 3) < 0) ::_exit(1);
        }
        // Output that goes through a guard ending with this process would
        // reach nobody once it has gone, and a write to it kill the program.
        if (outputToNowhere || errorsToNowhere) {
            const int nowhere = ::open("/dev/null", O_WRONLY);
            if (nowhere < 0 || (outputToNowhere && ::dup2(nowhere, STDOUT_FILENO) < 0) ||
                (errorsToNowhere && ::dup2(nowhere, STDERR_FILENO) < 0))
                ::_exit(1);
            if (nowhere > STDERR_FILENO && nowhere != 3) ::close(nowhere);
        }
        becomeProgram(argv.data(), pidfd >= 0, timeoutMs, highestFd);
    }
    const int forkError = errno;
    ::close(report[1]);
    if (pidfd >= 0) ::close(pidfd);
    if (intermediate < 0) {
        ::close(report[0]);
        return Failure{std::string("cannot launch ") + launch.argv[0] + " (" + std::strerror(forkError) + ")"};
    }
    int32_t program = -1;
    ssize_t n;
    do {
        n = ::read(report[0], &program, sizeof program);
    } while (n < 0 && errno == EINTR);
    ::close(report[0]);
    int status = 0;
    while (::waitpid(intermediate, &status, 0) < 0 && errno == EINTR) {
    }
    if (n != static_cast<ssize_t>(sizeof program) || program <= 0)
        return Failure{std::string("cannot launch ") + launch.argv[0] + " (fork failed)"};
    return program;
}

}  // namespace

Result<int32_t> ProcessRunner::launchDetached(const DetachedLaunch& launch) {
    auto& launches = SimulatedMachine::current().component<SimulatedProcessLaunches>();
    if (launches.recordsInsteadOfLaunching()) {
        launches.record(launch);
        Log::line("process: recorded detached launch of " + (launch.argv.empty() ? std::string() : launch.argv[0]));
        return int32_t{0};
    }
    return launchForReal(launch);
}

void SimulatedProcessLaunches::setRecordsInsteadOfLaunching(bool records) {
    std::lock_guard<std::mutex> g(lock_);
    records_ = records;
}

bool SimulatedProcessLaunches::recordsInsteadOfLaunching() const {
    std::lock_guard<std::mutex> g(lock_);
    return records_;
}

void SimulatedProcessLaunches::record(const ProcessRunner::DetachedLaunch& launch) {
    std::lock_guard<std::mutex> g(lock_);
    launches_.push_back(launch);
}

std::vector<ProcessRunner::DetachedLaunch> SimulatedProcessLaunches::detachedLaunches() const {
    std::lock_guard<std::mutex> g(lock_);
    return launches_;
}

}  // namespace platform
