#include "Platform/Runtime/ProcessRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Runtime/Runtime.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"

extern char** environ;

namespace platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

std::string lastComponent(const std::string& path) { return std::filesystem::path(path).filename().string(); }

std::string launchErrorText(const std::string& path, int error) {
    const std::string name = "\u201C" + lastComponent(path) + "\u201D";
    switch (error) {
        case ENOENT: return "The file " + name + " doesn\u2019t exist.";
        case EACCES: return "You don\u2019t have permission to execute " + name + ".";
        default: return "The tool " + name + " could not be launched (" + std::strerror(error) + ").";
    }
}

// Whether the process has ended, without reaping it (so its identifier
// stays reserved while we may still signal its group).
bool hasExited(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// Reads what the pipe holds now into `output` (up to the cap, the rest
// dropped); false once the pipe is closed or broken.
bool drainPipe(int fd, std::string& output) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            const size_t cap = ProcessRunner::maxCapturedOutputBytes;
            const size_t room = cap - std::min(output.size(), cap);
            output.append(buffer, std::min(static_cast<size_t>(n), room));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

// Waits up to `seconds` of real time for the process to end; true when it
// has. With an output pipe, reads it meanwhile.
bool waitForExitInRealTime(pid_t pid, int pidfd, double seconds, int outputFd = -1, std::string* output = nullptr) {
    const auto deadline = SteadyClock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (outputFd >= 0 && !drainPipe(outputFd, *output)) outputFd = -1;
        if (hasExited(pid)) {
            if (outputFd >= 0) drainPipe(outputFd, *output);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
        if (left.count() <= 0) return hasExited(pid);
        if (pidfd >= 0) {
            pollfd p[2] = {{pidfd, POLLIN, 0}, {outputFd, POLLIN, 0}};
            const int timeoutMs = static_cast<int>(std::min<int64_t>(left.count() + 1, 60'000));
            const int r = ::poll(p, outputFd >= 0 ? 2 : 1, timeoutMs);
            if (r < 0 && errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        } else {
            std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(2)));
        }
    }
}

// Under the test runtime a tool's time limit passes in virtual time, as
// every other wait there does, so a hung tool costs a test little and the
// queues' work meanwhile runs in order. The tool first gets a real moment
// to start and answer; then virtual time moves on in small steps, each
// followed by a short real look at the tool.
constexpr double kVirtualWaitRealStartSeconds = 0.2;
constexpr double kVirtualWaitStepSeconds = 0.05;
constexpr double kVirtualWaitRealLookSeconds = 0.002;

bool waitForExit(pid_t pid, int pidfd, double seconds, int outputFd = -1, std::string* output = nullptr) {
    if (!Runtime::current().waitsInVirtualTime()) return waitForExitInRealTime(pid, pidfd, seconds, outputFd, output);
    if (waitForExitInRealTime(pid, pidfd, std::min(seconds, kVirtualWaitRealStartSeconds), outputFd, output))
        return true;
    const uint64_t deadline = Clock::uptimeNs() + static_cast<uint64_t>(std::max(0.0, seconds) * 1e9);
    for (uint64_t now = Clock::uptimeNs(); now < deadline; now = Clock::uptimeNs()) {
        sleepFor(std::min(kVirtualWaitStepSeconds, static_cast<double>(deadline - now) / 1e9));
        if (waitForExitInRealTime(pid, pidfd, kVirtualWaitRealLookSeconds, outputFd, output)) return true;
    }
    return hasExited(pid);
}

int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

}  // namespace

namespace {

Result<ProcessTermination> runTool(const std::string& executablePath, const std::vector<std::string>& arguments,
                                   double timeLimitSeconds, std::string* output) {
    const auto program = SimulatedMachine::current().component<SimulatedTools>().standIn(executablePath);
    if (!program) return Result<ProcessTermination>::failure(launchErrorText(executablePath, ENOENT));

    std::vector<std::string> argvStrings{*program};
    argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : argvStrings) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    int pipeFds[2] = {-1, -1};
    if (output) {
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
            const int error = errno;
            posix_spawn_file_actions_destroy(&actions);
            return Result<ProcessTermination>::failure(launchErrorText(executablePath, error));
        }
        ::fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own process group, so a time-out reaches everything it started;
    // no blocked or ignored signals inherited from the Host's threads.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigfillset(&defaults);
    sigdelset(&defaults, SIGKILL);
    sigdelset(&defaults, SIGSTOP);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int spawnError = ::posix_spawn(&pid, program->c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    // Only the tool writes into the pipe: its end closing is the tool's end.
    if (pipeFds[1] >= 0) ::close(pipeFds[1]);
    if (spawnError != 0) {
        if (pipeFds[0] >= 0) ::close(pipeFds[0]);
        return Result<ProcessTermination>::failure(launchErrorText(executablePath, spawnError));
    }

    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    ProcessTermination termination;
    termination.processIdentifier = pid;
    if (waitForExit(pid, pidfd, timeLimitSeconds, pipeFds[0], output)) {
        const int status = reap(pid);
        if (WIFEXITED(status)) {
            termination.status = WEXITSTATUS(status);
        } else {
            termination.reason = ProcessTermination::Reason::uncaughtSignal;
            termination.status = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        }
    } else {
        ::kill(-pid, SIGTERM);
        waitForExit(pid, pidfd, ProcessRunner::killGraceSeconds);
        // The leader is not reaped yet, so the group's identifier is still
        // ours: whatever ignored SIGTERM goes now.
        ::kill(-pid, SIGKILL);
        reap(pid);
        termination.reason = ProcessTermination::Reason::timedOut;
    }
    if (pidfd >= 0) ::close(pidfd);
    if (pipeFds[0] >= 0) ::close(pipeFds[0]);
    return termination;
}

}  // namespace

Result<ProcessTermination> ProcessRunner::run(const std::string& executablePath,
                                              const std::vector<std::string>& arguments, double timeLimitSeconds) {
    return runTool(executablePath, arguments, timeLimitSeconds, nullptr);
}

Result<ProcessOutput> ProcessRunner::runCapturingOutput(const std::string& executablePath,
                                                        const std::vector<std::string>& arguments,
                                                        double timeLimitSeconds) {
    ProcessOutput out;
    auto termination = runTool(executablePath, arguments, timeLimitSeconds, &out.standardOutput);
    if (!termination) return Result<ProcessOutput>::failure(termination.error());
    out.termination = *termination;
    return out;
}

void SimulatedTools::setTool(const std::string& path, const std::string& standIn) {
    std::lock_guard<std::mutex> g(lock_);
    tools_[path] = standIn;
}

void SimulatedTools::removeTool(const std::string& path) {
    std::lock_guard<std::mutex> g(lock_);
    tools_.erase(path);
}

std::optional<std::string> SimulatedTools::standIn(const std::string& path) const {
    std::lock_guard<std::mutex> g(lock_);
    auto it = tools_.find(path);
    if (it == tools_.end()) return std::nullopt;
    return it->second;
}

}  // namespace platform
