#include "Platform/ProcessRunner.h"

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

#include "Platform/SimulatedMachine.h"

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

// Waits up to `seconds` for the process to end; true when it has.
bool waitForExit(pid_t pid, int pidfd, double seconds) {
    const auto deadline = SteadyClock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (hasExited(pid)) return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
        if (left.count() <= 0) return hasExited(pid);
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            const int r = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count() + 1, 60'000)));
            if (r < 0 && errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        } else {
            std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(2)));
        }
    }
}

int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

}  // namespace

Result<ProcessTermination> ProcessRunner::run(const std::string& executablePath,
                                              const std::vector<std::string>& arguments, double timeLimitSeconds) {
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
    if (spawnError != 0) return Result<ProcessTermination>::failure(launchErrorText(executablePath, spawnError));

    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    ProcessTermination termination;
    termination.processIdentifier = pid;
    if (waitForExit(pid, pidfd, timeLimitSeconds)) {
        const int status = reap(pid);
        if (WIFEXITED(status)) {
            termination.status = WEXITSTATUS(status);
        } else {
            termination.reason = ProcessTermination::Reason::uncaughtSignal;
            termination.status = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        }
    } else {
        ::kill(-pid, SIGTERM);
        waitForExit(pid, pidfd, killGraceSeconds);
        // The leader is not reaped yet, so the group's identifier is still
        // ours: whatever ignored SIGTERM goes now.
        ::kill(-pid, SIGKILL);
        reap(pid);
        termination.reason = ProcessTermination::Reason::timedOut;
    }
    if (pidfd >= 0) ::close(pidfd);
    return termination;
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
