#include "Platform/Runtime/ProcessUser.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>
#include <sstream>
#include <system_error>
#include <utility>
#include <vector>

extern char** environ;

namespace platform {
namespace {

Status failed(const std::string& what) { return Status::failure(what + ": " + std::strerror(errno)); }

std::vector<gid_t> groupsOf(const std::string& name, gid_t gid) {
    int count = 32;
    std::vector<gid_t> groups;
    for (int attempt = 0; attempt < 8; ++attempt) {
        groups.resize(static_cast<size_t>(count));
        int found = count;
        if (::getgrouplist(name.c_str(), gid, groups.data(), &found) >= 0) {
            groups.resize(static_cast<size_t>(found));
            return groups;
        }
        count = found > count ? found : count * 2;
    }
    return {gid};
}

// Every descriptor from `first` up is closed.
void closeFrom(int first) {
    if (::close_range(static_cast<unsigned>(first), ~0U, 0) == 0) return;
    const long limit = ::sysconf(_SC_OPEN_MAX);
    for (long fd = first; fd < (limit > 0 ? limit : 65536); ++fd) ::close(static_cast<int>(fd));
}

// ThreadSanitizer's runtime starts a thread of its own once the process
// has made one; it runs none of the Host's code.
#if defined(__SANITIZE_THREAD__)
#define NORVESSAL_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define NORVESSAL_THREAD_SANITIZER 1
#endif
#endif
#ifdef NORVESSAL_THREAD_SANITIZER
constexpr size_t kRuntimeThreads = 1;
#else
constexpr size_t kRuntimeThreads = 0;
#endif

size_t threadCount() {
    std::error_code error;
    size_t count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/task", error), end; !error && it != end; it.increment(error))
        ++count;
    // Without /proc the count is unknown; the Host makes none before this.
    return error || count <= kRuntimeThreads ? 1 : count - kRuntimeThreads;
}

// Every descriptor from 3 up is closed but those in `keep`.
void closeAllBut(std::vector<int> keep) {
    std::sort(keep.begin(), keep.end());
    int from = 3;
    for (int fd : keep) {
        if (fd < from) continue;
        if (fd > from) ::close_range(static_cast<unsigned>(from), static_cast<unsigned>(fd - 1), 0);
        from = fd + 1;
    }
    closeFrom(from);
}

// The terminal descriptors of standard output and error that the Host
// writes through a pipe: the Host, once the user, holds nothing of root's
// terminal, which the user's own processes could otherwise take from it
// to read what root types there.
struct Relay {
    int from = -1;  // the pipe's end the guard reads
    int to = -1;    // the terminal descriptor it writes to
};

// Bit `fd` set: that descriptor goes through the guard.
std::atomic<unsigned> outputsThroughGuard{0};

// The guard left in the session the process was started in: it holds the
// terminal (as standard input, output and error) and nothing else, runs
// no code of the Host's, copies the Host's output to the terminal and
// lives exactly as long as the child.
[[noreturn]] void guard(pid_t child, const sigset_t& handedOn, std::vector<Relay> relays) {
    std::vector<int> keep;
    for (const auto& relay : relays) keep.push_back(relay.from);
    closeAllBut(keep);
    const int signals = ::signalfd(-1, &handedOn, SFD_CLOEXEC);
    if (signals < 0) {
        ::kill(child, SIGTERM);
        ::_exit(1);
    }
    char buffer[16384];
    for (;;) {
        std::vector<pollfd> watched{{signals, POLLIN, 0}};
        for (const auto& relay : relays) watched.push_back({relay.from, POLLIN, 0});
        if (::poll(watched.data(), watched.size(), -1) < 0) continue;
        for (size_t i = 1; i < watched.size(); ++i) {
            if (!(watched[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            Relay& relay = relays[i - 1];
            const ssize_t got = ::read(relay.from, buffer, sizeof buffer);
            if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
                ::close(relay.from);
                relay.from = -1;
                continue;
            }
            // A terminal that went away takes nothing more; the Host's
            // output still drains, so the Host never waits on it.
            for (ssize_t written = 0; got > 0 && written < got && relay.to >= 0;) {
                const ssize_t put = ::write(relay.to, buffer + written, static_cast<size_t>(got - written));
                if (put < 0 && errno == EINTR) continue;
                if (put <= 0) {
                    relay.to = -1;
                    break;
                }
                written += put;
            }
        }
        std::erase_if(relays, [](const Relay& relay) { return relay.from < 0; });
        if (!(watched[0].revents & POLLIN)) continue;
        signalfd_siginfo info{};
        if (::read(signals, &info, sizeof info) != sizeof info) continue;
        const int signal = static_cast<int>(info.ssi_signo);
        if (signal != SIGCHLD) {
            ::kill(child, signal);
            continue;
        }
        int status = 0;
        const pid_t ended = ::waitpid(child, &status, WNOHANG);
        if (ended < 0 && errno == ECHILD) ::_exit(1);
        if (ended != child) continue;
        // What the Host wrote last still reaches the terminal: what its
        // pipe holds now, and no more. A process it left behind may hold
        // the pipe open still, and write on; waiting for its end, or for a
        // pipe it keeps filling to empty, would keep the terminal from root.
        for (const auto& relay : relays) ProcessUser::relayWhatIsHeld(relay.from, relay.to);
        if (WIFEXITED(status)) ::_exit(WEXITSTATUS(status));
        const int fatal = WTERMSIG(status);
        // Ended as the child did, so the shell reports what happened to the
        // Host; without a core of root's guard.
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        ::signal(fatal, SIG_DFL);
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, fatal);
        ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
        ::kill(::getpid(), fatal);
        ::_exit(128 + fatal);
    }
}

// Forks; the parent becomes the guard and never returns, the child returns
// in a session of its own with nothing of the terminal's but its output,
// and learns the guard's pid.
Status leaveSession(pid_t& guardPid) {
    if (threadCount() > 1) return Status::failure("the process already runs more than one thread");
    sigset_t handedOn, previous;
    sigemptyset(&handedOn);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD}) sigaddset(&handedOn, signal);
    // Blocked before the fork: one that arrives in between waits for the
    // guard, which hands it on.
    if (::sigprocmask(SIG_BLOCK, &handedOn, &previous) != 0) return failed("block the termination signals");
    // Children ignored would be reaped by the kernel, and the guard would
    // never learn how the Host ended.
    ::signal(SIGCHLD, SIG_DFL);
    std::fflush(nullptr);
    // Standard output and error that are a terminal reach it through the
    // guard.
    std::vector<Relay> relays;
    std::vector<std::pair<int, int>> pipeInto;  // the write end, and the descriptor it becomes
    for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        if (!::isatty(fd)) continue;
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            const int error = errno;
            ::sigprocmask(SIG_SETMASK, &previous, nullptr);
            errno = error;
            return failed("make a pipe for the terminal's output");
        }
        relays.push_back({ends[0], fd});
        pipeInto.emplace_back(ends[1], fd);
    }
    guardPid = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) {
        const int error = errno;
        ::sigprocmask(SIG_SETMASK, &previous, nullptr);
        for (const auto& relay : relays) ::close(relay.from);
        for (const auto& [end, fd] : pipeInto) ::close(end);
        errno = error;
        return failed("start a process of its own");
    }
    if (child > 0) {
        for (const auto& [end, fd] : pipeInto) ::close(end);
        guard(child, handedOn, std::move(relays));
    }
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    for (const auto& [end, fd] : pipeInto)
        if (::dup2(end, fd) < 0) return failed("write the output through the guard");
    // A pipe is fully buffered by default; lines still go out as they are
    // written, as they did to the terminal.
    for (const auto& [end, fd] : pipeInto) outputsThroughGuard.fetch_or(1u << fd);
    if (!pipeInto.empty()) {
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        std::setvbuf(stderr, nullptr, _IONBF, 0);
    }
    // A new session has no controlling terminal: /dev/tty cannot be
    // opened, and the process holds no terminal descriptor of root's.
    if (::setsid() < 0) return failed("leave the terminal's session");
    const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (nothing < 0) return failed("open /dev/null");
    if (::dup2(nothing, STDIN_FILENO) < 0) return failed("read standard input from /dev/null");
    closeFrom(3);
    return success();
}

// Where the environment the process started with lies: what
// /proc/PID/environ, and so ps, shows of the process's environment.
std::optional<std::span<char>> startingEnvironmentArea() {
    std::ifstream in("/proc/self/stat");
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    const size_t nameEnd = text.rfind(')');
    if (nameEnd == std::string::npos) return std::nullopt;
    std::istringstream fields(text.substr(nameEnd + 1));
    // Fields 3 to 51 follow the name; the last two are the area's bounds.
    std::string field;
    for (int skipped = 3; skipped < 50 && (fields >> field); ++skipped) {
    }
    uintptr_t start = 0, end = 0;
    if (!(fields >> start >> end) || start == 0 || end <= start) return std::nullopt;
    return std::span<char>(reinterpret_cast<char*>(start), end - start);
}

// Makes `entries` the whole environment, also for whoever looks from
// outside: they are written where the starting one lay when they fit (as a
// process that sets its title in ps does), and the starting one is erased
// either way.
void replaceEnvironment(const std::vector<std::string>& entries) {
    size_t needed = 0;
    for (const auto& entry : entries) needed += entry.size() + 1;
    const auto area = startingEnvironmentArea();
    const bool fits = area && needed <= area->size();
    // Both live as long as the process, as the starting environment did.
    char* storage = fits ? area->data() : new char[needed];
    static auto* pointers = new std::vector<char*>();
    pointers->clear();
    if (area) std::memset(area->data(), 0, area->size());
    for (const auto& entry : entries) {
        std::memcpy(storage, entry.c_str(), entry.size() + 1);
        pointers->push_back(storage);
        storage += entry.size() + 1;
    }
    pointers->push_back(nullptr);
    environ = pointers->data();
}

bool keptAsItIs(const std::string& name) {
    for (const char* exact : {"TERM", "COLORTERM", "LANG", "LANGUAGE", "TZ", "DBUS_SYSTEM_BUS_ADDRESS"})
        if (name == exact) return true;
    for (const char* prefix : {"LC_", "NORVESSAL_", "VELANTRIX_"})
        if (name.starts_with(prefix)) return true;
    return false;
}

// The environment a login of `account` gives, from the one the process
// has: HOME, USER, LOGNAME, SHELL and PATH from the account; the terminal's
// type, the language and the time zone as they are; the Host's own
// settings (NORVESSAL_*, VELANTRIX_*) and the machine's system bus; nothing
// else of the one who started it (TMPDIR, MAIL, PWD, SUDO_*, the session
// bus, XDG_* folders of its own). Each entry is NAME=value.
std::vector<std::string> loginEnvironment(const ProcessUser::Account& account, const char* const* current) {
    std::vector<std::string> out;
    for (const char* const* entry = current; entry && *entry; ++entry) {
        const std::string pair = *entry;
        const size_t equals = pair.find('=');
        if (equals != std::string::npos && keptAsItIs(pair.substr(0, equals))) out.push_back(pair);
    }
    out.push_back("HOME=" + account.home.string());
    out.push_back("USER=" + account.name);
    out.push_back("LOGNAME=" + account.name);
    out.push_back("SHELL=" + (account.shell.empty() ? std::string("/bin/sh") : account.shell));
    out.push_back("PATH=/usr/local/bin:/usr/bin:/bin");
    // The XDG folders follow the home above; only the runtime folder a
    // login of the account has is named.
    const std::string runtime = "/run/user/" + std::to_string(account.uid);
    if (::access(runtime.c_str(), W_OK | X_OK) == 0) out.push_back("XDG_RUNTIME_DIR=" + runtime);
    return out;
}

}  // namespace

std::optional<ProcessUser::Account> ProcessUser::named(const std::string& name) {
    if (name.empty()) return std::nullopt;
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return std::nullopt;
    Account account;
    account.name = name;
    account.uid = entry.pw_uid;
    account.gid = entry.pw_gid;
    account.home = entry.pw_dir ? entry.pw_dir : "";
    account.shell = entry.pw_shell ? entry.pw_shell : "";
    account.groups = groupsOf(name, entry.pw_gid);
    return account;
}

Status ProcessUser::become(const Account& account) {
    pid_t guardPid = 0;
    if (auto left = leaveSession(guardPid); !left) return left;
    // Groups first and uid last: once the uid is the user's, nothing else
    // may be changed any more. The C library's calls apply to every thread.
    if (::setgroups(account.groups.size(), account.groups.data()) != 0) return failed("set the groups of " + account.name);
    if (::setresgid(account.gid, account.gid, account.gid) != 0) return failed("set the group ID of " + account.name);
    if (::setresuid(account.uid, account.uid, account.uid) != 0) return failed("set the user ID of " + account.name);
    // A kernel or filter that let the calls succeed without effect, or a
    // saved ID left behind, would leave the way back to root open.
    uid_t ruid = 0, euid = 0, suid = 0;
    gid_t rgid = 0, egid = 0, sgid = 0;
    if (::getresuid(&ruid, &euid, &suid) != 0 || ::getresgid(&rgid, &egid, &sgid) != 0)
        return failed("read back the IDs");
    if (ruid != account.uid || euid != account.uid || suid != account.uid || rgid != account.gid ||
        egid != account.gid || sgid != account.gid)
        return Status::failure("the IDs of " + account.name + " did not take");
    if (account.uid != 0 && (::setuid(0) == 0 || ::seteuid(0) == 0))
        return Status::failure("root could be taken back after becoming " + account.name);
    if (account.gid != 0 && account.uid != 0 && (::setgid(0) == 0 || ::setegid(0) == 0))
        return Status::failure("root's group could be taken back after becoming " + account.name);

    // Nothing the guard does could be had back by a process of the user's
    // (different IDs); if the guard is killed, the Host ends too. Set only
    // now: a change of IDs clears it.
    if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) return failed("follow the guard's end");
    if (::getppid() != guardPid) return Status::failure("the process that started it has ended");

    replaceEnvironment(loginEnvironment(account, environ));
    // As a login does: the home, or the root folder when it cannot be
    // entered; never the starter's folder, which the user may not enter.
    if (::chdir(account.home.c_str()) != 0 && ::chdir("/") != 0) return failed("enter a working folder");
    return success();
}

void ProcessUser::relayWhatIsHeld(int from, int to) {
    ::fcntl(from, F_SETFL, ::fcntl(from, F_GETFL) | O_NONBLOCK);
    int held = 0;
    if (::ioctl(from, FIONREAD, &held) != 0) return;
    char buffer[16384];
    for (size_t left = static_cast<size_t>(std::max(held, 0)); left > 0;) {
        const ssize_t got = ::read(from, buffer, std::min(left, sizeof buffer));
        if (got <= 0) return;
        left -= static_cast<size_t>(got);
        if (to >= 0 && ::write(to, buffer, static_cast<size_t>(got)) < 0) return;
    }
}

bool ProcessUser::outputEndsWithThisProcess(int fd) {
    return fd >= 0 && fd < 32 && (outputsThroughGuard.load() & (1u << fd)) != 0;
}

void ProcessUser::setOutputEndsWithThisProcessForTesting(int fd, bool ends) {
    if (ends) outputsThroughGuard.fetch_or(1u << fd);
    else outputsThroughGuard.fetch_and(~(1u << fd));
}

}  // namespace platform
