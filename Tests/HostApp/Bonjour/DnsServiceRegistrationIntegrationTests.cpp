// The advertisement through the real DNS-SD daemon: dbus and avahi-daemon are
// started here when they are not running (the daemon confined to the
// loopback interface, so nothing leaves the machine), and what the Host
// publishes is read back with avahi-browse.
//
// Everything that needs the daemon sits in one test: ctest runs test
// programs in parallel, and a second test stopping "its" daemon would pull
// it from under the first.

#include <gtest/gtest.h>

#include "Platform/Network/NetworkBrowser.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "HostApp/AuxServer/BonjourAdvertiser.h"
#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Network/Network.h"
#include "Support/TestSupport.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr const char* kSystemBusSocket = "/run/dbus/system_bus_socket";
constexpr const char* kAvahiPidFile = "/run/avahi-daemon/pid";

bool haveCommand(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

bool systemBusAnswers() {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", kSystemBusSocket);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

bool avahiRunning() { return std::system("avahi-daemon --check >/dev/null 2>&1") == 0; }

// Processes this program started, stopped when it ends. The system bus is
// left running: other programs may have connected to it meanwhile.
struct StartedDaemons : ::testing::Environment {
    static inline pid_t avahi = 0;
    static inline fs::path configDir;
    void TearDown() override {
        if (avahi > 0) kill(avahi, SIGTERM);
        avahi = 0;
        if (!configDir.empty()) {
            std::error_code ec;
            fs::remove_all(configDir, ec);
        }
    }
};
[[maybe_unused]] auto* const startedDaemons = ::testing::AddGlobalTestEnvironment(new StartedDaemons);

using RealWait = std::function<bool(const std::function<bool()>& condition, double seconds)>;

// Empty when the system bus answers, else why it cannot.
std::string ensureSystemBus(const RealWait& waitFor) {
    if (systemBusAnswers()) return {};
    if (!haveCommand("dbus-daemon")) return "dbus-daemon is not installed";
    if (geteuid() != 0) return "the system bus is not running and only root can start it";
    std::error_code ec;
    fs::create_directories("/run/dbus", ec);
    // A bus that died leaves its pid file behind, and a new one refuses to
    // start over it; nothing answers on the socket, so it is stale.
    fs::remove("/run/dbus/pid", ec);
    if (std::system("dbus-daemon --system --fork >/dev/null 2>&1") != 0) return "dbus-daemon --system failed to start";
    return waitFor(systemBusAnswers, 5) ? "" : "the system bus started but does not answer";
}

// Empty when this program's daemon runs, else why it cannot.
std::string startAvahiOnLoopback() {
    if (!haveCommand("avahi-daemon")) return "avahi-daemon is not installed";
    if (geteuid() != 0) return "only root can start avahi-daemon";
    StartedDaemons::configDir = fs::temp_directory_path() / ("norvessal-avahi-" + std::to_string(getpid()));
    fs::create_directories(StartedDaemons::configDir);
    auto config = StartedDaemons::configDir / "avahi-daemon.conf";
    std::ofstream(config) << "[server]\nallow-interfaces=lo\nuse-ipv4=yes\nuse-ipv6=no\nenable-dbus=yes\n"
                             "[wide-area]\nenable-wide-area=no\n[publish]\n[reflector]\n[rlimits]\n";
    std::string command = "avahi-daemon --daemonize --no-chroot -f " + config.string() + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return "avahi-daemon --daemonize failed";
    std::ifstream pidFile(kAvahiPidFile);
    pid_t pid = 0;
    pidFile >> pid;
    if (pid <= 0) return "avahi-daemon started but wrote no pid file";
    StartedDaemons::avahi = pid;
    return {};
}

// A background process, stopped when the object goes.
class Child {
public:
    explicit Child(std::vector<std::string> args) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    bool running() const { return pid_ > 0; }

private:
    pid_t pid_ = 0;
};

struct BrowsedService {
    std::string name;
    int port = 0;
    std::map<std::string, std::string> txt;
};

// avahi-browse's parsable output escapes names: "\032" is a blank, "\." a dot.
std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && isdigit(static_cast<unsigned char>(s[i + 1])) &&
            isdigit(static_cast<unsigned char>(s[i + 2])) && isdigit(static_cast<unsigned char>(s[i + 3]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 3)));
            i += 3;
        } else if (s[i] == '\\' && i + 1 < s.size()) {
            out += s[++i];
        } else {
            out += s[i];
        }
    }
    return out;
}

// One line of avahi-browse's parsable output, when it is a resolved service.
std::optional<BrowsedService> resolvedService(const std::string& line) {
    if (line.rfind("=;", 0) != 0) return std::nullopt;
    std::vector<std::string> fields;
    size_t from = 0;
    for (int i = 0; i < 9; ++i) {
        size_t semi = line.find(';', from);
        if (semi == std::string::npos) break;
        fields.push_back(line.substr(from, semi - from));
        from = semi + 1;
    }
    if (fields.size() != 9) return std::nullopt;
    BrowsedService service{unescape(fields[3]), std::atoi(fields[8].c_str()), {}};
    std::string txt = line.substr(from);
    for (size_t q = txt.find('"'); q != std::string::npos; q = txt.find('"', q)) {
        size_t close = txt.find('"', q + 1);
        if (close == std::string::npos) break;
        std::string entry = txt.substr(q + 1, close - q - 1);
        size_t eq = entry.find('=');
        if (eq != std::string::npos) service.txt[entry.substr(0, eq)] = entry.substr(eq + 1);
        q = close + 1;
    }
    return service;
}

// One browse through the daemon: each resolved service goes to `take` as
// avahi-browse reports it, until `take` has what it wants (the browse is
// stopped there) or the daemon has answered with all it knows, which it
// does only after a second without news.
void browseOnce(const std::function<bool(BrowsedService)>& take) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::string args[] = {"timeout", "10", "avahi-browse", "-rpt", "_velantrix-host._tcp"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const bool spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    FILE* in = fdopen(out[0], "r");
    if (!in) ::close(out[0]);
    bool done = false;
    char* line = nullptr;
    size_t capacity = 0;
    for (ssize_t n; !done && in && spawned && (n = getline(&line, &capacity, in)) > 0;) {
        std::string text(line, static_cast<size_t>(n));
        if (text.back() == '\n') text.pop_back();
        if (auto service = resolvedService(text)) done = take(std::move(*service));
    }
    std::free(line);
    // timeout hands the signal on to avahi-browse.
    if (done) ::kill(pid, SIGTERM);
    if (in) std::fclose(in);
    if (spawned) ::waitpid(pid, nullptr, 0);
}

// What the daemon advertises, once it has told all it knows.
std::vector<BrowsedService> browse() {
    std::vector<BrowsedService> services;
    browseOnce([&](BrowsedService s) {
        services.push_back(std::move(s));
        return false;
    });
    return services;
}

// Browses until a service satisfies the predicate, taking it as soon as
// the daemon reports it; a browse that ends without it is tried again, so
// a few tries cover the daemon's probing.
std::optional<BrowsedService> browseWhere(const std::function<bool(const BrowsedService&)>& accept, int tries = 10) {
    std::optional<BrowsedService> found;
    for (int i = 0; i < tries && !found; ++i)
        browseOnce([&](BrowsedService s) {
            if (accept(s)) found = std::move(s);
            return found.has_value();
        });
    return found;
}

std::optional<BrowsedService> browseFor(const std::string& name,
                                        const std::function<bool(const BrowsedService&)>& accept = nullptr,
                                        int tries = 10) {
    return browseWhere([&](const BrowsedService& s) { return s.name == name && (!accept || accept(s)); }, tries);
}

class RealDaemon : public platform::testing::VirtualTimeTest {
protected:
    // The machine has one daemon, which this test starts and stops: a run
    // of it from another build tree at the same time takes its turn.
    void SetUp() override {
        VirtualTimeTest::SetUp();
        daemonTurn = ::open("/tmp/norvessal-real-daemon.lock", O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        ASSERT_GE(daemonTurn, 0) << std::strerror(errno);
        const bool taken = waitFor([&] { return ::flock(daemonTurn, LOCK_EX | LOCK_NB) == 0; }, 300);
        ASSERT_TRUE(taken) << "another run kept the machine's DNS-SD daemon for 300 s";
    }
    void TearDown() override {
        if (HasFailure())
            for (const auto& line : lines) std::fprintf(stderr, "  log: %s\n", line.c_str());
        VirtualTimeTest::TearDown();
        if (daemonTurn >= 0) ::close(daemonTurn);
    }
    int daemonTurn = -1;
    size_t linesContaining(const std::string& text) const {
        size_t n = 0;
        for (const auto& l : lines) n += l.find(text) != std::string::npos;
        return n;
    }
    // Waits in real time for something outside the process (a daemon),
    // running the queues meanwhile.
    bool waitFor(const std::function<bool()>& condition, double seconds) {
        return runtime->runUntil(condition, seconds);
    }
    bool waitForLine(const std::string& text) {
        return runtime->runUntil([&] { return linesContaining(text) > 0; }, 10);
    }
    // The name the daemon confirmed at each registration of the service on
    // `port`, in order: after a rename, the name it really carries.
    std::vector<std::string> confirmedNames(uint16_t port) const {
        const std::string head = "discovery: advertising \"";
        const std::string tail = "\" as _velantrix-host._tcp in local on port " + std::to_string(port);
        std::vector<std::string> names;
        for (const auto& l : lines)
            if (l.size() > head.size() + tail.size() && l.starts_with(head) && l.ends_with(tail))
                names.push_back(l.substr(head.size(), l.size() - head.size() - tail.size()));
        return names;
    }
    std::vector<std::string> lines;
};

}  // namespace

TEST_F(RealDaemon, AdvertisementAppearsWhenTheDaemonDoesAndFollowsChanges) {
    if (!haveCommand("avahi-browse")) GTEST_SKIP() << "avahi-browse (avahi-utils) is not installed";
    if (auto why = ensureSystemBus([this](const auto& c, double s) { return waitFor(c, s); }); !why.empty()) GTEST_SKIP() << "no DNS-SD daemon can run: " << why;
    const bool daemonWasRunning = avahiRunning();

    // Real, bound ports, as the server hands over.
    std::vector<std::shared_ptr<platform::TcpListener>> listeners;
    for (int i = 0; i < 3; ++i) {
        auto listener = platform::TcpListener::listen(0, {false, "127.0.0.1"});
        ASSERT_TRUE(listener.ok()) << listener.error();
        listeners.push_back(*listener);
    }
    platform::DispatchQueue serverQueue("v230.host.audio.aux");
    auto log = [this](const std::string& text) { lines.push_back(text); };
    BonjourAdvertiser::Identity identity;
    identity.hostIdentifier = "0F3C9A1E-5B7D-4C2A-8E6F-1A2B3C4D5E6F";
    identity.publicKey = std::vector<uint8_t>(32, 0x5a);
    identity.audioPort = listeners[0]->port();
    identity.videoPort = listeners[1]->port();
    identity.filesPort = listeners[2]->port();
    identity.serviceName = "norvessal-test-" + std::to_string(getpid());
    BonjourAdvertiser::Routes routes;
    routes.records = {{"lan", "eth0", "192.0.2.10"}, {"wifi", "wlan0", "198.51.100.7"}};
    routes.wakeOnLanAddresses = {"02:00:5e:00:53:01"};
    auto advertiser = std::make_shared<BonjourAdvertiser>(
        identity, serverQueue, log, platform::DnsServiceRegistration::makeAvahi(serverQueue, log),
        [&] { return routes; });
    serverQueue.sync([&] { advertiser->start(); });
    // The registration's own work runs on the Avahi client queue.
    runUntilIdle();

    // Other Hosts may publish on the same daemon, and one of them may hold
    // the name asked for: the service is ours by the name the daemon
    // confirmed, the port bound here and its id.
    auto established = [&] { return confirmedNames(identity.audioPort).size(); };
    auto ours = [&](const BrowsedService& s) {
        const auto names = confirmedNames(identity.audioPort);
        return !names.empty() && s.name == names.back() && s.port == identity.audioPort && s.txt.count("id") &&
               s.txt.at("id") == identity.hostIdentifier;
    };
    auto waitForEstablished = [&](size_t count) {
        return runtime->runUntil([&] { return established() >= count; }, 10);
    };
    if (!daemonWasRunning) {
        SCOPED_TRACE("no daemon yet: one log line, a retry every 30 s, publishing once it is there");
        EXPECT_EQ(linesContaining("discovery: no DNS-SD daemon answers"), 1u);
        advance(30);
        advance(30);
        EXPECT_EQ(linesContaining("discovery: no DNS-SD daemon answers"), 1u) << "one line per outage, not per retry";
        if (auto why = startAvahiOnLoopback(); !why.empty()) GTEST_SKIP() << "no DNS-SD daemon can run: " << why;
        EXPECT_EQ(established(), 0u) << "nothing is tried between retries";
        for (int i = 0; i < 5 && established() == 0; ++i) {
            advance(30);
            waitForEstablished(1);
        }
    }
    ASSERT_TRUE(waitForEstablished(1)) << "the daemon never confirmed the service";

    {
        SCOPED_TRACE("browsing finds the port and every TXT key");
        EXPECT_TRUE(confirmedNames(identity.audioPort).back().starts_with(identity.serviceName));
        auto found = browseWhere(ours);
        ASSERT_TRUE(found) << "avahi-browse did not find " << confirmedNames(identity.audioPort).back();
        EXPECT_EQ(found->txt, (std::map<std::string, std::string>{
                                  {"v", "1"},
                                  {"id", identity.hostIdentifier},
                                  {"pk", "WlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlo"},
                                  {"audio", std::to_string(identity.audioPort)},
                                  {"video", std::to_string(identity.videoPort)},
                                  {"files", std::to_string(identity.filesPort)},
                                  {"r0", "lan,eth0,192.0.2.10"},
                                  {"r1", "wifi,wlan0,198.51.100.7"},
                                  {"wol", "02:00:5e:00:53:01"},
                              }));
    }
    {
        SCOPED_TRACE("a new address changes the TXT record in place");
        const size_t renames = linesContaining("is taken");
        routes.records[0].address = "192.0.2.11";
        serverQueue.sync([&] { EXPECT_TRUE(advertiser->update("timer")); });
        runUntilIdle();
        auto found = browseWhere([&](const BrowsedService& s) {
            return ours(s) && s.txt.count("r0") && s.txt.at("r0") == "lan,eth0,192.0.2.11";
        });
        EXPECT_TRUE(found) << "the updated TXT record never showed";
        runtime->runUntil([] { return false; }, 0.5);
        EXPECT_EQ(linesContaining("is taken"), renames);
        EXPECT_EQ(established(), 1u) << "a TXT change must not register the service again";
    }
    {
        SCOPED_TRACE("a taken name is replaced by the daemon's alternative");
        const std::string taken = "norvessal-taken-" + std::to_string(getpid());
        Child other({"avahi-publish", "-s", taken, "_velantrix-host._tcp", "9"});
        ASSERT_TRUE(other.running());
        ASSERT_TRUE(browseFor(taken)) << "the competing service never appeared";
        // On a port of its own: the first service's port names only it.
        auto second = platform::DnsServiceRegistration::makeAvahi(serverQueue, log);
        serverQueue.sync([&] {
            second->publish({taken, "_velantrix-host._tcp", "local", identity.videoPort, {{"v", "1"}}});
        });
        EXPECT_TRUE(waitForLine("discovery: service name \"" + taken + "\" is taken, advertising as \"" + taken + " #2\""));
        auto renamed = browseFor(taken + " #2");
        ASSERT_TRUE(renamed) << "the renamed service was not found";
        EXPECT_EQ(renamed->port, identity.videoPort);
    }
    if (StartedDaemons::avahi > 0) {
        SCOPED_TRACE("a daemon that goes away and comes back gets the service again");
        kill(StartedDaemons::avahi, SIGTERM);
        StartedDaemons::avahi = 0;
        EXPECT_TRUE(waitForLine("discovery: no DNS-SD daemon answers (lost the daemon"));
        ASSERT_TRUE(waitFor([] { return !avahiRunning(); }, 10)) << "the daemon did not stop";
        ASSERT_EQ(startAvahiOnLoopback(), "");
        for (int i = 0; i < 5 && established() < 2; ++i) {
            advance(30);
            waitForEstablished(2);
        }
        EXPECT_EQ(established(), 2u);
        auto found = browseWhere([&](const BrowsedService& s) {
            return ours(s) && s.txt.count("r0") && s.txt.at("r0") == "lan,eth0,192.0.2.11";
        });
        EXPECT_TRUE(found) << "the service with its latest TXT record did not come back";
    }
    {
        SCOPED_TRACE("a browse through the daemon is ready, finds the service and ends cancelled");
        auto browser = platform::NetworkBrowser::make({"_velantrix-host._tcp", "local"}, true);
        std::vector<platform::NetworkBrowserState> states;
        std::vector<platform::NetworkBrowseResult> results;
        browser->stateUpdateHandler = [&](const platform::NetworkBrowserState& state) { states.push_back(state); };
        browser->browseResultsChangedHandler = [&](const std::vector<platform::NetworkBrowseResult>& r) {
            results = r;
        };
        platform::DispatchQueue browseQueue("test.browse");
        browser->start(browseQueue);
        ASSERT_TRUE(runtime->runUntil([&] { return !states.empty(); }, 10));
        EXPECT_EQ(states.front().description(), "ready");
        EXPECT_TRUE(runtime->runUntil(
            [&] {
                for (const auto& r : results)
                    if (r.name == confirmedNames(identity.audioPort).back() && r.type == "_velantrix-host._tcp")
                        return true;
                return false;
            },
            10))
            << "the browse never listed " << confirmedNames(identity.audioPort).back();
        browser->cancel();
        ASSERT_TRUE(runtime->runUntil([&] { return states.back().kind == platform::NetworkBrowserState::Kind::cancelled; }, 10));
    }
    {
        SCOPED_TRACE("the Host itself, on loopback ports, advertises its ports and identity");
        V230HostAudioAuxServerConfiguration configuration;
        configuration.audioPort = configuration.videoPort = configuration.filePort = 0;
        configuration.bindAddress = "127.0.0.1";
        configuration.routeRecordSource = [] {
            return BonjourAdvertiser::Routes{{{"lan", "lo", "127.0.0.1"}}, {"02:00:5e:00:53:02"}};
        };
        auto host = std::make_shared<V230HostAudioAuxServer>(configuration);
        host->start();
        ASSERT_NE(host->boundAudioPort(), 0);
        const std::string hostId = host->hostIdentityForTesting().hostIdentifier.uuidString();
        EXPECT_TRUE(runtime->runUntil(
            [&] { return logContains("in local on port " + std::to_string(host->boundAudioPort())); }, 10))
            << "the daemon never confirmed the Host's service";
        auto found = browseWhere([&](const BrowsedService& s) { return s.txt.count("id") && s.txt.at("id") == hostId; });
        ASSERT_TRUE(found) << "avahi-browse did not find the Host " << hostId;
        EXPECT_EQ(found->port, host->boundAudioPort());
        EXPECT_EQ(found->txt["audio"], std::to_string(host->boundAudioPort()));
        EXPECT_EQ(found->txt["video"], std::to_string(host->boundVideoPort()));
        EXPECT_EQ(found->txt["files"], std::to_string(host->boundFilePort()));
        EXPECT_EQ(found->txt["v"], "1");
        EXPECT_EQ(found->txt["pk"].size(), 43u);
        EXPECT_EQ(found->txt["r0"], "lan,lo,127.0.0.1");
        EXPECT_EQ(found->txt["wol"], "02:00:5e:00:53:02");
        host->stopForTermination();
    }
    {
        SCOPED_TRACE("stopping takes the service off the network");
        serverQueue.sync([&] { advertiser->stop(); });
        runUntilIdle();
        // Until the daemon no longer answers with it: each browse is the
        // daemon's own answer, a few cover its way to avahi-browse.
        bool gone = false;
        for (int i = 0; i < 10 && !gone; ++i) {
            const auto services = browse();
            gone = std::none_of(services.begin(), services.end(), ours);
        }
        EXPECT_TRUE(gone) << confirmedNames(identity.audioPort).back() << " is still advertised on port "
                          << identity.audioPort;
    }
}
