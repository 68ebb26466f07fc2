// The built norvessal-host as a child process: it serves on the ports it
// reports, proves its identity, answers a login, ends cleanly on SIGTERM
// and SIGINT, is the only Host of its data root, and, started as root from
// a terminal for another user, leaves root's terminal, environment and
// working folder behind.

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

#include "Support/AuxTestClient.h"
#include "Support/TestSupport.h"

extern char** environ;

namespace {

// One running Host; a test that fails on the way still kills it.
class HostProcess {
public:
    // `extra` after the data root; without `ports`, any free ones. With a
    // `wrapper`, that command runs first and execs the Host (same pid).
    // `onATerminal`: started as from a terminal, in a session of its own
    // whose controlling terminal is a pseudo-terminal of the test's, its
    // standard input, output and error; what it writes there is then its
    // stderrText().
    HostProcess(const std::filesystem::path& root, const std::vector<std::string>& extra,
                const std::string& stderrName = "stderr.log",
                const std::vector<std::string>& ports = {"--audio-port=0", "--video-port=0", "--file-port=0"},
                const std::vector<std::string>& wrapper = {}, const std::filesystem::path& stderrFolder = {},
                bool onATerminal = false)
        : stderrPath_((stderrFolder.empty() ? root : stderrFolder) / stderrName) {
        std::vector<std::string> args = wrapper;
        args.push_back(std::string(NORVESSAL_BINARY_DIR) + "/norvessal-host");
        args.insert(args.end(), ports.begin(), ports.end());
        args.push_back("--data-root=" + root.string());
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (onATerminal && !openTerminal()) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        if (onATerminal) {
            // A session leader with no controlling terminal that opens a
            // terminal gets it as its controlling one, its own group in the
            // foreground: what a shell gives a command.
            posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
            posix_spawn_file_actions_addopen(&actions, 0, terminalName_.c_str(), O_RDWR, 0);
            posix_spawn_file_actions_adddup2(&actions, 0, 1);
            posix_spawn_file_actions_adddup2(&actions, 0, 2);
        } else {
            posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
            posix_spawn_file_actions_addopen(&actions, 2, stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        }
        if (posix_spawnp(&pid_, argv[0], &actions, &attributes, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    ~HostProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (terminal_ >= 0) ::close(terminal_);
    }
    bool started() const { return pid_ > 0; }
    std::string stderrText() const {
        if (terminal_ >= 0) {
            char buffer[4096];
            for (ssize_t n; (n = ::read(terminal_, buffer, sizeof buffer)) > 0;)
                terminalText_.append(buffer, static_cast<size_t>(n));
            return terminalText_;
        }
        std::ifstream in(stderrPath_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // What a user types at the terminal; false without one.
    bool type(const std::string& keys) const {
        return terminal_ >= 0 && ::write(terminal_, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
    }
    // The terminal's foreground process group; -1 without a terminal.
    pid_t terminalForeground() const { return terminal_ >= 0 ? ::tcgetpgrp(terminal_) : -1; }
    // The terminal is hung up, as when its window is closed.
    void hangUpTerminal() {
        stderrText();
        if (terminal_ >= 0) ::close(terminal_);
        terminal_ = -1;
    }
    // The exit status once the process has ended (128 + the signal that
    // ended it); none while it runs.
    std::optional<int> exitStatus() {
        if (status_ || pid_ <= 0) return status_;
        int raw = 0;
        if (waitpid(pid_, &raw, WNOHANG) == pid_) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            endedBySignal_ = WIFSIGNALED(raw);
            pid_ = -1;
        }
        return status_;
    }
    // Ended by a signal, not by exiting with 128 + its number.
    bool endedBySignal() const { return endedBySignal_; }
    // Never with no process (none spawned, or already reaped): kill(-1)
    // would signal every process this one may, all of them when root.
    void signal(int sig) const {
        if (pid_ > 0) kill(pid_, sig);
    }
    pid_t pid() const { return pid_; }

private:
    bool openTerminal() {
        terminal_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (terminal_ < 0 || ::grantpt(terminal_) != 0 || ::unlockpt(terminal_) != 0 ||
            ::ptsname_r(terminal_, name, sizeof name) != 0)
            return false;
        terminalName_ = name;
        // Lines end as the Host writes them, so the text reads as a file.
        termios modes{};
        if (::tcgetattr(terminal_, &modes) != 0) return false;
        modes.c_oflag &= ~static_cast<tcflag_t>(ONLCR);
        return ::tcsetattr(terminal_, TCSANOW, &modes) == 0 &&
               ::fcntl(terminal_, F_SETFL, ::fcntl(terminal_, F_GETFL) | O_NONBLOCK) == 0;
    }

    std::filesystem::path stderrPath_;
    pid_t pid_ = -1;
    std::optional<int> status_;
    bool endedBySignal_ = false;
    // The terminal's master side, and what has been read from it so far.
    int terminal_ = -1;
    std::string terminalName_;
    mutable std::string terminalText_;
};

// The fields of /proc/PID/stat a test asks about.
struct ProcessStat {
    pid_t parent = 0;
    pid_t session = 0;
    // The controlling terminal's device; 0 for none.
    long terminal = 0;
};

std::optional<ProcessStat> processStat(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const size_t nameEnd = text.rfind(')');
    if (nameEnd == std::string::npos) return std::nullopt;
    std::istringstream fields(text.substr(nameEnd + 1));
    char state = 0;
    pid_t group = 0;
    ProcessStat stat;
    if (!(fields >> state >> stat.parent >> group >> stat.session >> stat.terminal)) return std::nullopt;
    return stat;
}

// The process `pid` started (the first one found), or `pid` itself while
// it has none.
pid_t childOrSelf(pid_t pid) {
    std::error_code error;
    for (std::filesystem::directory_iterator it("/proc", error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        const pid_t other = static_cast<pid_t>(std::stol(name));
        if (auto stat = processStat(other); stat && stat->parent == pid) return other;
    }
    return pid;
}

// Sets a variable of this process's environment, which the Hosts it starts
// inherit, for the life of the object.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedVariable() {
        if (old_) ::setenv(name_, old_->c_str(), 1);
        else ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// The NAME=value entries of a process's environment.
std::vector<std::string> environmentOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/environ");
    std::vector<std::string> entries;
    for (std::string entry; std::getline(in, entry, '\0');) entries.push_back(entry);
    return entries;
}

class HostProcessTest : public VirtualTimeTest {
protected:
    // Starts the Host (through `wrapper`, when given) and reads its ports
    // from "aux: server started".
    std::unique_ptr<HostProcess> start(const std::vector<std::string>& extra = {},
                                       const std::vector<std::string>& wrapper = {}) {
        auto host = std::make_unique<HostProcess>(
            dataRoot->path(), extra, "stderr.log",
            std::vector<std::string>{"--audio-port=0", "--video-port=0", "--file-port=0"}, wrapper);
        EXPECT_TRUE(host->started());
        const std::regex started("aux: server started audio=(\\d+) video=(\\d+) file=(\\d+)");
        std::smatch match;
        std::string text;
        EXPECT_TRUE(runUntil(
            [&] {
                text = host->stderrText();
                return std::regex_search(text, match, started) || host->exitStatus().has_value();
            },
            30))
            << text;
        if (match.size() == 4) {
            audioPort = static_cast<uint16_t>(std::stoi(match[1].str()));
            videoPort = static_cast<uint16_t>(std::stoi(match[2].str()));
            filePort = static_cast<uint16_t>(std::stoi(match[3].str()));
        }
        EXPECT_NE(audioPort, 0) << text;
        return host;
    }

    void expectServesAViewer() {
        AuxTestClient client(runtime, audioPort, 0x01);
        ASSERT_TRUE(client.waitConnected());
        ASSERT_TRUE(client.requestIdentity()) << "the identity proof verifies";
        ViewerLoginCredentials credentials{"nobody-" + std::to_string(getpid()), "wrong", "Viewer", std::nullopt};
        client.send(AuxPacketType::viewerLogin, client.sealedLogin(credentials));
        client.settle();
        std::optional<ReceivedAuxPacket> answer;
        ASSERT_TRUE(runUntil(
            [&] {
                for (const auto& p : client.packets()) {
                    const auto type = p.header.type;
                    if (type == AuxPacketType::hostSessionInfo ||
                        (type == AuxPacketType::hostStatus && p.text().find("code=") != std::string::npos)) {
                        answer = p;
                        return true;
                    }
                }
                return client.isClosed();
            },
            30));
        EXPECT_TRUE(answer) << "a login is answered with session info or a code word";
    }

    void expectEndsCleanlyOn(HostProcess& host, int sig) {
        host.signal(sig);
        EXPECT_TRUE(runUntil([&] { return host.exitStatus().has_value(); }, 5)) << "ended within 5 s";
        EXPECT_EQ(host.exitStatus(), 0);
        EXPECT_NE(host.stderrText().find("aux: server stopped"), std::string::npos) << host.stderrText();
    }

    uint16_t audioPort = 0;
    uint16_t videoPort = 0;
    uint16_t filePort = 0;
};

TEST_F(HostProcessTest, ServesAViewerAndEndsCleanlyOnEachTerminationSignal) {
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        auto host = start();
        expectServesAViewer();
        expectEndsCleanlyOn(*host, sig);
    }
}

// One Host per data root: a second one, on the first one's ports or on
// others, ends at once without touching what the first one keeps there.
TEST_F(HostProcessTest, ASecondHostOnTheSameDataRootExitsAndLeavesTheFirstServing) {
    auto first = start();
    const auto staged = dataRoot->path() / "home" / ".cache" / "VelantrixFileInbox" / "Viewer" /
                        "1796464807-ABCDEF12" / "waiting.txt";
    std::filesystem::create_directories(staged.parent_path());
    std::ofstream(staged) << "a batch waiting for its save location";
    struct SecondHostCase {
        const char* name;
        std::vector<std::string> ports;
    };
    const SecondHostCase cases[] = {
        {"on the first one's ports",
         {"--audio-port=" + std::to_string(audioPort), "--video-port=" + std::to_string(videoPort),
          "--file-port=" + std::to_string(filePort)}},
        {"on other ports", {"--audio-port=0", "--video-port=0", "--file-port=0"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HostProcess second(dataRoot->path(), {}, "second-stderr.log", c.ports);
        ASSERT_TRUE(second.started());
        EXPECT_TRUE(runUntil([&] { return second.exitStatus().has_value(); }, 5)) << "ended within 5 s";
        EXPECT_EQ(second.exitStatus(), 1);
        EXPECT_EQ(second.stderrText(),
                  "another Host is already running for this user (pid " + std::to_string(first->pid()) + ")\n");
        EXPECT_TRUE(std::filesystem::exists(staged)) << "the first Host's staging is untouched";
        expectServesAViewer();
    }
    expectEndsCleanlyOn(*first, SIGTERM);
}

// Run as root for another console user, the Host becomes that user before
// it touches anything: the kernel shows the user's IDs and groups within a
// second, everything it makes is the user's with the user's umask, and a
// name no account has, or a data root the user cannot use, ends it with
// status 1 and a line that says why. Started from root's terminal, it
// keeps nothing that reaches it (no controlling terminal, another
// session), has a login's environment and the home as its working folder,
// and still writes there and ends on Ctrl-C there with its own status, or
// with the terminal, as the Host would. The account is one of the test's
// own: the Host runs in a mount namespace where the account files are the
// test's, so the machine's accounts are neither read nor changed.
TEST_F(HostProcessTest, RunAsRootForAnotherUserTheHostBecomesThatUser) {
    // CI runs as root on a machine with mount namespaces: there, a skip
    // would pass a run in which the drop was never tried.
    const char* ci = std::getenv("CI");
    const bool mustRun = ci && std::string(ci) == "true";
    if (::geteuid() != 0) {
        if (mustRun) FAIL() << "CI runs as root, and this test needs root";
        GTEST_SKIP() << "running for another user needs root";
    }
    namespace fs = std::filesystem;
    const fs::path top = dataRoot->path();
    ASSERT_EQ(::chmod(top.c_str(), 0755), 0);
    auto copyWith = [&](const char* system, const fs::path& to, const std::string& extra) {
        std::ifstream in(system);
        std::ofstream out(to);
        out << in.rdbuf() << extra;
    };
    copyWith("/etc/passwd", top / "passwd", "norvessaltest:x:54321:54322::" + (top / "user").string() + ":/bin/sh\n");
    copyWith("/etc/group", top / "group", "norvessaltest:x:54322:\nnorvessalextra:x:54323:norvessaltest\n");
    const fs::path userHome = top / "user";
    fs::create_directories(userHome);
    ASSERT_EQ(::chown(userHome.c_str(), 54321, 54322), 0);
    const std::vector<std::string> wrapper = {
        "unshare", "--mount", "--propagation", "private", "sh", "-c",
        "mount --bind \"$NORVESSAL_TEST_ACCOUNTS/passwd\" /etc/passwd && "
        "mount --bind \"$NORVESSAL_TEST_ACCOUNTS/group\" /etc/group && umask 027 && exec \"$0\" \"$@\""};
    ::setenv("NORVESSAL_TEST_ACCOUNTS", top.c_str(), 1);
    if (std::system("unshare --mount --propagation private true 2>/dev/null") != 0) {
        ::unsetenv("NORVESSAL_TEST_ACCOUNTS");
        if (mustRun) FAIL() << "no mount namespaces here, which CI has";
        GTEST_SKIP() << "no mount namespaces here";
    }
    auto statusOf = [](pid_t pid, const std::string& key) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(in, line))
            if (line.rfind(key + ":", 0) == 0) return line.substr(key.size() + 1);
        return std::string();
    };
    // Until the Host has said, once started, whose password a Viewer
    // needs, or has ended.
    auto saysWhoLogsIn = [&](HostProcess& host) {
        return runUntil(
            [&] {
                return host.stderrText().find("aux: Viewers log in as") != std::string::npos ||
                       host.exitStatus().has_value();
            },
            30);
    };
    auto squeezed = [](std::string text) {
        std::istringstream words(text);
        std::string word, out;
        while (words >> word) out += (out.empty() ? "" : " ") + word;
        return out;
    };
    // The Host as the user: the process the started one made, once it has
    // the user's IDs (none is made by a Host that stays one process).
    auto dropped = [&](HostProcess& host) {
        pid_t found = host.pid();
        runUntil(
            [&] {
                found = childOrSelf(host.pid());
                return squeezed(statusOf(found, "Uid")) == "54321 54321 54321 54321";
            },
            1);
        return found;
    };
    {
        // Laid out as a machine is: the data root and its machine part are
        // root's, the home is the user's, and a Host that ran as root
        // before left its staging there as root's.
        SCOPED_TRACE("a machine-like data root");
        const fs::path root = top / "fresh";
        const fs::path staging = root / "home" / ".cache" / "VelantrixFileInbox";
        fs::create_directories(staging / "Viewer" / "old-batch");
        fs::create_directories(root / "machine");
        for (const fs::path& users : {root / "home", root / "home" / ".cache"})
            ASSERT_EQ(::chown(users.c_str(), 54321, 54322), 0);
        // What root's shell had, which a login of the user does not give.
        const ScopedVariable rootsTemporaryFolder("TMPDIR", (top / "roots-tmp").string());
        const ScopedVariable rootsSudo("SUDO_USER", "root");
        HostProcess host(root, {"--console-user=norvessaltest"}, "stderr.log",
                         {"--audio-port=0", "--video-port=0", "--file-port=0"}, wrapper, top, true);
        ASSERT_TRUE(host.started());
        const pid_t user = dropped(host);
        EXPECT_EQ(squeezed(statusOf(user, "Uid")), "54321 54321 54321 54321") << host.stderrText();
        EXPECT_EQ(squeezed(statusOf(user, "Gid")), "54322 54322 54322 54322");
        EXPECT_EQ(squeezed(statusOf(user, "Groups")), "54322 54323");
        EXPECT_EQ(squeezed(statusOf(user, "CapEff")), "0000000000000000");
        ASSERT_TRUE(saysWhoLogsIn(host)) << host.stderrText();
        EXPECT_NE(host.stderrText().find("aux: Viewers log in as norvessaltest\n"), std::string::npos)
            << "who started it learns, on its terminal, whose password a Viewer needs";
        EXPECT_FALSE(host.exitStatus().has_value()) << host.stderrText();
        // With no controlling terminal and no capability, TIOCSTI is refused
        // on every descriptor and /dev/tty cannot be opened.
        const auto asUser = processStat(user);
        ASSERT_TRUE(asUser);
        std::error_code error;
        EXPECT_EQ(asUser->terminal, 0) << "the Host as the user has no controlling terminal";
        EXPECT_NE(asUser->session, host.pid()) << "nor is it in the terminal's session";
        EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(user) + "/fd/0", error), "/dev/null")
            << "it reads nothing from the terminal";
        // Nor does it hold the terminal at all: its output goes through the
        // guard, so no process of the user's can take a descriptor of
        // root's terminal from it.
        for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(user) + "/fd", error)) {
            const auto target = fs::read_symlink(entry.path(), error).string();
            EXPECT_FALSE(target.starts_with("/dev/pts/") || target == "/dev/tty" || target.starts_with("/dev/tty"))
                << entry.path() << " -> " << target;
        }
        const auto environment = environmentOf(user);
        auto has = [&](const std::string& entry) {
            return std::find(environment.begin(), environment.end(), entry) != environment.end();
        };
        auto named = [&](const std::string& name) {
            return std::any_of(environment.begin(), environment.end(),
                               [&](const std::string& entry) { return entry.starts_with(name + "="); });
        };
        EXPECT_TRUE(has("HOME=" + userHome.string()) && has("USER=norvessaltest") && has("LOGNAME=norvessaltest") &&
                    has("SHELL=/bin/sh") && named("PATH"))
            << "a login's environment";
        EXPECT_FALSE(named("TMPDIR") || named("SUDO_USER")) << "nothing of root's";
        EXPECT_TRUE(named("NORVESSAL_TEST_ACCOUNTS")) << "the Host's own settings stay";
        EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(user) + "/cwd", error), userHome)
            << "the working folder is the home";
        // Root's staging is set aside whole, and staging is the user's anew.
        std::vector<fs::path> aside;
        for (const auto& item : fs::directory_iterator(staging.parent_path()))
            if (item.path().filename().string().starts_with("VelantrixFileInbox.unusable-")) aside.push_back(item.path());
        ASSERT_EQ(aside.size(), 1u) << host.stderrText();
        EXPECT_TRUE(fs::is_directory(aside[0] / "Viewer" / "old-batch")) << "nothing of it is lost";
        EXPECT_NE(host.stderrText().find("set aside as VelantrixFileInbox.unusable-"), std::string::npos);
        fs::remove_all(aside[0]);
        // Nothing below the home is root's, and folders have the umask.
        size_t seen = 0;
        for (const auto& item : fs::recursive_directory_iterator(root / "home")) {
            struct stat info{};
            ASSERT_EQ(::lstat(item.path().c_str(), &info), 0);
            EXPECT_EQ(info.st_uid, 54321u) << item.path();
            if (S_ISDIR(info.st_mode) && item.path() != root / "home" / ".cache") {
                EXPECT_EQ(info.st_mode & 027, 0u) << item.path();
            }
            ++seen;
        }
        EXPECT_GT(seen, 2u) << "the Host made its files";
        // Ctrl-C reaches the terminal's foreground group, which the Host as
        // the user is not in: the Host still ends, as on SIGINT, and what it
        // writes on the way shows on the terminal.
        // A process that still holds the Host's output once it has ended
        // (one it started, say) keeps neither the guard nor the terminal.
        const int heldOutput = ::open(("/proc/" + std::to_string(user) + "/fd/1").c_str(), O_WRONLY | O_CLOEXEC);
        EXPECT_GE(heldOutput, 0) << std::strerror(errno);
        EXPECT_EQ(host.terminalForeground(), host.pid());
        ASSERT_TRUE(host.type("\x03"));
        EXPECT_TRUE(runUntil([&] { return host.exitStatus().has_value(); }, 5)) << "ended within 5 s";
        if (heldOutput >= 0) ::close(heldOutput);
        EXPECT_EQ(host.exitStatus(), 0);
        EXPECT_NE(host.stderrText().find("aux: server stopped"), std::string::npos) << host.stderrText();
        EXPECT_FALSE(fs::exists("/proc/" + std::to_string(user))) << "the Host as the user ended too";
    }
    {
        // A closed terminal ends the Host as the hang-up does: by the
        // signal, which whoever waits for it learns.
        SCOPED_TRACE("a terminal closed under it");
        HostProcess host(top / "fresh", {"--console-user=norvessaltest"}, "stderr.log",
                         {"--audio-port=0", "--video-port=0", "--file-port=0"}, wrapper, top, true);
        ASSERT_TRUE(host.started());
        const pid_t user = dropped(host);
        ASSERT_TRUE(saysWhoLogsIn(host)) << host.stderrText();
        host.hangUpTerminal();
        EXPECT_TRUE(runUntil([&] { return host.exitStatus().has_value(); }, 5)) << "ended within 5 s";
        EXPECT_EQ(host.exitStatus(), 128 + SIGHUP);
        EXPECT_TRUE(host.endedBySignal());
        EXPECT_TRUE(runUntil([&] { return !fs::exists("/proc/" + std::to_string(user)); }, 5))
            << "the Host as the user ended too";
    }
    struct Refusal {
        const char* what;
        std::string user;
        fs::path root;
        std::string says;
        std::vector<std::string> wrapper;
    };
    // The test's account starts the Host for another one: only root can.
    auto asTheTestAccount = wrapper;
    asTheTestAccount.back() = "mount --bind \"$NORVESSAL_TEST_ACCOUNTS/passwd\" /etc/passwd && "
                              "mount --bind \"$NORVESSAL_TEST_ACCOUNTS/group\" /etc/group && "
                              "exec setpriv --reuid=54321 --regid=54322 --clear-groups \"$0\" \"$@\"";
    fs::create_directories(top / "roots");
    ASSERT_EQ(::chmod((top / "roots").c_str(), 0700), 0);
    for (const auto& c : {Refusal{"a data root whose home the user cannot make", "norvessaltest", top / "roots" / "data",
                                  "cannot use the data root " + (top / "roots" / "data").string() + ": cannot make",
                                  wrapper},
                          Refusal{"a name no account has", "norvessal-no-such-user", top / "fresh", "no account is named",
                                  wrapper},
                          Refusal{"another account, asked of an account that is not root", "root", top / "fresh",
                                  "only root can run the Host for another account", asTheTestAccount}}) {
        SCOPED_TRACE(c.what);
        HostProcess host(c.root, {"--console-user=" + c.user}, "stderr-refused.log",
                         {"--audio-port=0", "--video-port=0", "--file-port=0"}, c.wrapper, top);
        ASSERT_TRUE(host.started());
        ASSERT_TRUE(runUntil([&] { return host.exitStatus().has_value(); }, 10)) << host.stderrText();
        EXPECT_EQ(*host.exitStatus(), 1);
        EXPECT_NE(host.stderrText().find(c.says), std::string::npos) << host.stderrText();
    }
    EXPECT_FALSE(fs::exists(top / "roots" / "data")) << "nothing made as root for it";
    {
        SCOPED_TRACE("an account that is not root, started for itself");
        const fs::path own = top / "own";
        fs::create_directories(own);
        ASSERT_EQ(::chown(own.c_str(), 54321, 54322), 0);
        HostProcess host(own, {"--console-user=norvessaltest"}, "stderr-own.log",
                         {"--audio-port=0", "--video-port=0", "--file-port=0"}, asTheTestAccount, top);
        ASSERT_TRUE(host.started());
        EXPECT_TRUE(saysWhoLogsIn(host)) << host.stderrText();
        EXPECT_NE(host.stderrText().find("aux: Viewers log in as norvessaltest\n"), std::string::npos);
        EXPECT_FALSE(host.exitStatus().has_value()) << host.stderrText();
        host.signal(SIGTERM);
        EXPECT_TRUE(runUntil([&] { return host.exitStatus().has_value(); }, 5)) << "ended within 5 s";
    }
    ::unsetenv("NORVESSAL_TEST_ACCOUNTS");
}

// Started with a soft descriptor limit below its hard one (a service
// manager's 1,024), the Host takes all it may before it serves: its peers'
// total and the reserve for logins come out of the raised limit.
TEST_F(HostProcessTest, StartedWithALowSoftDescriptorLimitTheHostRaisesItToTheHardOne) {
    rlimit own{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
    if (own.rlim_max != RLIM_INFINITY && own.rlim_max <= 256) GTEST_SKIP() << "no hard limit above 256 here";
    const std::string hard = own.rlim_max == RLIM_INFINITY ? "unlimited" : std::to_string(own.rlim_max);
    auto host = start({}, {"prlimit", "--nofile=256:" + hard});
    // The same process: prlimit execs the Host.
    std::ifstream limits("/proc/" + std::to_string(host->pid()) + "/limits");
    std::string soft, max;
    for (std::string line; std::getline(limits, line);) {
        if (line.rfind("Max open files", 0) != 0) continue;
        std::istringstream fields(line.substr(std::string("Max open files").size()));
        fields >> soft >> max;
    }
    EXPECT_EQ(max, hard);
    EXPECT_EQ(soft, max) << "the soft limit is raised to the hard one";
    expectServesAViewer();
    expectEndsCleanlyOn(*host, SIGTERM);
}

TEST_F(HostProcessTest, InitialInstallLaunchServesToo) {
    auto host = start({"--velantrix-initial-install"});
    expectServesAViewer();
    expectEndsCleanlyOn(*host, SIGTERM);
}

}  // namespace
