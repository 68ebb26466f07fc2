// Becoming another account: in a child process (the test runner keeps its
// own rights), with IDs no account on the machine has, the process leaves
// its session, takes the account's groups, gid and uid for good, its
// environment and working folder are a login's, and the kernel then
// decides every file right as for that user.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>

#include "Platform/Runtime/ProcessUser.h"

namespace fs = std::filesystem;
using platform::ProcessUser;

namespace {

constexpr uid_t kUid = 54321;
constexpr gid_t kGid = 54322;
constexpr gid_t kExtraGroup = 54323;

std::string statusLine(const std::string& key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key + ":", 0) == 0) return line.substr(key.size() + 1);
    return {};
}

// The child's findings, one line each, "ok" when it holds.
std::string checksAsTheUser(const fs::path& home, const fs::path& rootsOwn) {
    std::ostringstream out;
    auto check = [&](const char* what, bool holds) { out << what << ": " << (holds ? "ok" : "FAILED") << "\n"; };
    ::umask(027);
    // What the starter had, which a login of the account does not give.
    ::setenv("TMPDIR", "/root-tmp", 1);
    ::setenv("SUDO_USER", "root", 1);
    // Root's own folders, as a root shell may have them set.
    const char* const xdgFolders[] = {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME",
                                      "XDG_RUNTIME_DIR"};
    for (const char* variable : xdgFolders) ::setenv(variable, "/root/.xdg-of-root", 1);
    const auto became = ProcessUser::become({"norvessaltest", kUid, kGid, {kGid, kExtraGroup}, home});
    check("become", became.ok());
    if (!became) {
        out << became.error() << "\n";
        return out.str();
    }
    // The kernel's own account of the process, all four IDs of each kind.
    std::istringstream uids(statusLine("Uid")), gids(statusLine("Gid")), groups(statusLine("Groups"));
    bool allUid = true, allGid = true;
    for (int i = 0; i < 4; ++i) {
        unsigned long u = 0, g = 0;
        allUid = allUid && (uids >> u) && u == kUid;
        allGid = allGid && (gids >> g) && g == kGid;
    }
    check("uids", allUid);
    check("gids", allGid);
    std::string listed((std::istreambuf_iterator<char>(groups)), {});
    check("groups", listed.find(std::to_string(kGid)) != std::string::npos &&
                        listed.find(std::to_string(kExtraGroup)) != std::string::npos && listed.find(" 0") == std::string::npos);
    check("no way back to root", ::setuid(0) != 0 && ::seteuid(0) != 0 && ::setgid(0) != 0 && ::setgroups(0, nullptr) != 0);
    const char* envHome = std::getenv("HOME");
    const char* envUser = std::getenv("USER");
    const char* envLogname = std::getenv("LOGNAME");
    check("environment", envHome && home == envHome && envUser && std::string(envUser) == "norvessaltest" &&
                             envLogname && std::string(envLogname) == "norvessaltest" &&
                             !std::getenv("TMPDIR") && !std::getenv("SUDO_USER"));
    bool noneOfRoots = true;
    for (const char* variable : xdgFolders) {
        const char* value = std::getenv(variable);
        noneOfRoots = noneOfRoots && (!value || std::string(value) == "/run/user/" + std::to_string(kUid));
    }
    check("none of root's folders", noneOfRoots);
    check("working folder", fs::current_path() == home);
    check("a session of its own", ::getsid(0) == ::getpid() && ::open("/dev/tty", O_RDONLY | O_CLOEXEC) < 0);
    // Made with the user's IDs and umask; root's private file refused.
    struct stat info{};
    const fs::path made = home / "made";
    check("folder made", ::mkdir(made.c_str(), 0777) == 0 && ::stat(made.c_str(), &info) == 0 && info.st_uid == kUid &&
                             info.st_gid == kGid && (info.st_mode & 07777) == 0750);
    const int file = ::open((made / "file").c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    check("file made", file >= 0 && ::fstat(file, &info) == 0 && info.st_uid == kUid && (info.st_mode & 07777) == 0640);
    if (file >= 0) ::close(file);
    const int rootFile = ::open(rootsOwn.c_str(), O_RDONLY | O_CLOEXEC);
    check("root's file refused", rootFile < 0 && errno == EACCES);
    return out.str();
}

TEST(ProcessUser, AChildBecomesTheAccountForGoodAndTheKernelDecidesItsRights) {
    if (::geteuid() != 0) GTEST_SKIP() << "becoming another account needs root";
    char pattern[] = "/tmp/norvessal-process-user-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const fs::path top = pattern;
    const fs::path home = top / "home";
    fs::create_directories(home);
    ASSERT_EQ(::chmod(top.c_str(), 0755), 0);
    ASSERT_EQ(::chown(home.c_str(), kUid, kGid), 0);
    const fs::path rootsOwn = top / "roots-own";
    std::ofstream(rootsOwn) << "root's";
    ASSERT_EQ(::chmod(rootsOwn.c_str(), 0600), 0);

    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeFds[0]);
        // Standard output is what a process that becomes another account
        // keeps of its descriptors.
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::close(pipeFds[1]);
        // A child that hangs ends, so the read below ends too.
        ::alarm(20);
        const std::string found = checksAsTheUser(home, rootsOwn);
        const ssize_t written = ::write(STDOUT_FILENO, found.data(), found.size());
        ::_exit(written == static_cast<ssize_t>(found.size()) ? 0 : 1);
    }
    ::close(pipeFds[1]);
    std::string found;
    char buffer[512];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) found.append(buffer, static_cast<size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (const char* check : {"become", "uids", "gids", "groups", "no way back to root", "environment",
                              "none of root's folders", "working folder", "a session of its own", "folder made",
                              "file made", "root's file refused"})
        EXPECT_NE(found.find(std::string(check) + ": ok"), std::string::npos) << check << "\n" << found;
    fs::remove_all(top);
}

TEST(ProcessUser, AnUnknownNameIsNoAccount) {
    EXPECT_FALSE(ProcessUser::named("norvessal-no-such-account-" + std::to_string(::getpid())));
    EXPECT_FALSE(ProcessUser::named(""));
}

}  // namespace

// What the guard relays once the Host has ended is what the pipe held
// then: a writer that keeps the pipe full (here the relay itself, writing
// back into it) cannot keep the guard, and root's terminal, from ending.
TEST(ProcessUser, TheLastRelayCopiesWhatThePipeHeldAndNoMore) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const std::string held(40000, 'h');
    ASSERT_EQ(::write(ends[1], held.data(), held.size()), static_cast<ssize_t>(held.size()));
    auto relay = std::async(std::launch::async, [&] { ProcessUser::relayWhatIsHeld(ends[0], ends[1]); });
    const bool ended = relay.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    // Unstuck either way: a relay that never ends fails on a closed pipe.
    if (!ended) ::close(ends[0]);
    relay.wait();
    EXPECT_TRUE(ended) << "the relay went on as long as the pipe was written to";
    if (ended) {
        int left = 0;
        EXPECT_EQ(::ioctl(ends[0], FIONREAD, &left), 0);
        EXPECT_EQ(left, static_cast<int>(held.size())) << "each byte held was copied once";
        ::close(ends[0]);
    }
    ::close(ends[1]);
}
