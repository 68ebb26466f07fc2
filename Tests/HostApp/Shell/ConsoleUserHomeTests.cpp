// A Host run as root for another console user keeps its own files (settings,
// identity key, lock, login item, staging) in that user's home, whose
// folders the user owns and may swap for links: the Host then writes
// nothing where a link leads, and what it makes there is the user's.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>

#include "HostApp/AuxServer/HostIdentity.h"
#include "HostApp/FileDelivery/ViewerPathConfinement.h"
#include "HostApp/HostProbeDelegate.h"
#include "HostApp/Shell/ConsoleUserHome.h"
#include "Platform/Files/Folders.h"
#include "Platform/Files/HomeFiles.h"
#include "Platform/Files/InstanceLock.h"
#include "Platform/SimulatedMac/ServiceManagement.h"
#include "Platform/Foundation/UserDefaults.h"
#include "Support/TestSupport.h"
#include "VelantrixProfiles/FileTransfer/FileTransferService.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

// A user the machine has no name for.
constexpr FileOwner kUser{54321, 54321};
constexpr const char* kUserName = "viewertest";

// Sets or clears an environment variable for the life of the object.
class EnvironmentValue {
public:
    EnvironmentValue(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) ::setenv(name, value, 1);
        else ::unsetenv(name);
    }
    ~EnvironmentValue() {
        if (old_) ::setenv(name_, old_->c_str(), 1);
        else ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// The Host's folders in the user's own home, no data root: $HOME's. The
// data root the test had is back afterwards.
class OwnHome {
public:
    OwnHome(const fs::path& home, fs::path dataRoot) : dataRoot_(std::move(dataRoot)), home_("HOME", home.c_str()) {
        Folders::setOverrideRoot(std::nullopt);
    }
    ~OwnHome() { Folders::setOverrideRoot(dataRoot_); }

private:
    fs::path dataRoot_;
    EnvironmentValue root_{"NORVESSAL_DATA_ROOT", nullptr};
    EnvironmentValue config_{"XDG_CONFIG_HOME", nullptr};
    EnvironmentValue data_{"XDG_DATA_HOME", nullptr};
    EnvironmentValue cache_{"XDG_CACHE_HOME", nullptr};
    EnvironmentValue home_;
};

uid_t ownerOf(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_uid : static_cast<uid_t>(-1);
}

size_t entriesIn(const fs::path& folder) {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++count;
    return count;
}

class ConsoleUserHomeTest : public VirtualTimeTest {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "running for another user needs root";
    }
    ~ConsoleUserHomeTest() override {
        HomeFiles::setOwner(std::nullopt);
        ViewerPathConfinement::setAccountLookupForTesting(nullptr);
    }

    // `home` made as the user's, and the Host, run as root, set up for it.
    void runAsRootFor(const fs::path& home) {
        fs::remove_all(home);
        fs::create_directories(home);
        ASSERT_EQ(::chown(home.c_str(), kUser.uid, kUser.gid), 0);
        ViewerPathConfinement::setAccountLookupForTesting(
            [home](const std::string& name) -> std::optional<ViewerPathConfinement::Account> {
                if (name != kUserName) return std::nullopt;
                return ViewerPathConfinement::Account{home, kUser};
            });
        const auto adopted = ConsoleUserHome::adopt(kUserName);
        ASSERT_TRUE(adopted.ok()) << adopted.error();
    }

    // The folders above `folder` in `home`, made by the user.
    static void userMakesFoldersAbove(const fs::path& home, const fs::path& folder) {
        fs::path reached = home;
        for (const auto& part : folder.parent_path().lexically_relative(home)) {
            reached /= part;
            fs::create_directories(reached);
            ASSERT_EQ(::chown(reached.c_str(), kUser.uid, kUser.gid), 0);
        }
    }
};

// One way the Host writes a file of its own: the folder it keeps it in, the
// item it writes there, and the write, true when it reports it done.
struct Road {
    const char* name;
    std::function<fs::path()> folder;
    const char* item;
    std::function<bool(LogCapture&)> write;
    // Whether what it writes is the user's (staging is the Host's own).
    bool itemIsTheUsers = true;
};

std::vector<Road> roads() {
    return {
        {"settings", [] { return Folders::preferences(); }, "com.norvessal.ownfiles.plist",
         [](LogCapture& log) {
             log.clear();
             UserDefaults::suite("com.norvessal.ownfiles").set("saved", PlistValue(true));
             return !log.contains("defaults: cannot save");
         }},
        {"identity key", [] { return Folders::applicationSupport(); }, HostIdentity::fileName,
         [](LogCapture&) {
             bool saved = true;
             HostIdentity::loadOrCreate(HostIdentity::defaultPath(), [&](const std::string& line) {
                 if (line.find("cannot save") != std::string::npos) saved = false;
             });
             return saved;
         }},
        {"lock", [] { return Folders::applicationSupport(); }, "host.lock",
         [](LogCapture&) { return InstanceLock::acquire(HostProbeDelegate::hostLockFileURL()).ok(); }},
        {"login item", [] { return Folders::autostart(); }, "norvessal-host.desktop",
         [](LogCapture&) { return AppService::mainApp().registerService().ok(); }},
        {"staging", [] { return Folders::caches(); }, "VelantrixFileInbox",
         [](LogCapture&) { return std::make_shared<FileTransferService>("Viewer", 65536)->openStagingRoot().ok(); },
         false},
    };
}

// For each way the Host writes a file of its own, in the home below a data
// root and in the user's own home: a folder the user swapped for a link to
// a folder of root's outside the home gets nothing written through it, and
// the write fails as any other; a normal run makes the folder and the file
// as the user's.
TEST_F(ConsoleUserHomeTest, TheHostsOwnFilesInTheUsersHomeGoNowhereALinkLeads) {
    for (const bool belowDataRoot : {true, false}) {
        for (const auto& road : roads()) {
            SCOPED_TRACE(std::string(road.name) + (belowDataRoot ? " below a data root" : " in the user's own home"));
            const fs::path home = belowDataRoot ? dataRoot->path() / "home" : dataRoot->path() / "users" / "ann";
            std::optional<OwnHome> ownHome;
            if (!belowDataRoot) ownHome.emplace(home, dataRoot->path());
            runAsRootFor(home);
            if (HasFatalFailure()) return;
            const fs::path folder = road.folder();
            ASSERT_TRUE(Folders::contains(home, folder)) << folder;

            const fs::path outside = dataRoot->path() / "outside";
            fs::remove_all(outside);
            fs::create_directories(outside);
            userMakesFoldersAbove(home, folder);
            fs::create_directory_symlink(outside, folder);
            EXPECT_FALSE(road.write(*log)) << "the write is reported failed";
            EXPECT_EQ(entriesIn(outside), 0u) << "nothing lands where the link leads";

            fs::remove(folder);
            EXPECT_TRUE(road.write(*log)) << "a normal run writes";
            EXPECT_EQ(ownerOf(folder), kUser.uid) << "the folder the Host made is the user's";
            EXPECT_TRUE(fs::exists(fs::symlink_status(folder / road.item)));
            if (road.itemIsTheUsers) {
                EXPECT_EQ(ownerOf(folder / road.item), kUser.uid);
            }
            HomeFiles::setOwner(std::nullopt);
        }
    }
}

// Taking the login item away removes the entry in the Host's folder, never
// the file a link in its place leads to.
TEST_F(ConsoleUserHomeTest, RemovingTheLoginItemLeavesWhatALinkLeadsTo) {
    const fs::path home = dataRoot->path() / "home";
    runAsRootFor(home);
    if (HasFatalFailure()) return;
    const fs::path outside = dataRoot->path() / "outside";
    fs::create_directories(outside);
    std::ofstream(outside / "norvessal-host.desktop") << "[Desktop Entry]\n";
    userMakesFoldersAbove(home, Folders::autostart());
    fs::create_directory_symlink(outside, Folders::autostart());
    EXPECT_FALSE(AppService::mainApp().unregisterService().ok());
    EXPECT_TRUE(fs::exists(outside / "norvessal-host.desktop"));

    fs::remove(Folders::autostart());
    ASSERT_TRUE(AppService::mainApp().registerService().ok());
    ASSERT_TRUE(AppService::mainApp().unregisterService().ok());
    EXPECT_FALSE(fs::exists(fs::symlink_status(AppService::entryPath())));
}

// A lock file the user made a second name of a file of root's is not
// written: the Host's identifier would land in that file.
TEST_F(ConsoleUserHomeTest, ALockFileWithASecondNameIsRefusedUntouched) {
    const fs::path home = dataRoot->path() / "home";
    runAsRootFor(home);
    if (HasFatalFailure()) return;
    const fs::path lock = HostProbeDelegate::hostLockFileURL();
    userMakesFoldersAbove(home, lock);
    fs::create_directories(lock.parent_path());
    ASSERT_EQ(::chown(lock.parent_path().c_str(), kUser.uid, kUser.gid), 0);
    const fs::path rootsFile = dataRoot->path() / "roots-file";
    std::ofstream(rootsFile) << "keep";
    fs::create_hard_link(rootsFile, lock);
    EXPECT_FALSE(InstanceLock::acquire(lock).ok());
    std::ifstream in(rootsFile);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "keep");
}

// What the Host reads of its own in the user's home is not read through a
// link the user put there: a file of root's it leads to says nothing.
TEST_F(ConsoleUserHomeTest, WhatTheHostReadsInTheUsersHomeIsNotReadThroughALink) {
    const fs::path home = dataRoot->path() / "home";
    runAsRootFor(home);
    if (HasFatalFailure()) return;
    const fs::path outside = dataRoot->path() / "outside";
    fs::create_directories(outside);
    struct Case {
        const char* what;
        fs::path file;
        std::string rootsText;
        std::function<bool()> readThrough;
    };
    const Case cases[] = {
        {"the login item's status", AppService::entryPath(), "[Desktop Entry]\nType=Application\n",
         [] { return AppService::mainApp().status() == AppServiceStatus::enabled; }},
        {"the user's folders", home / ".config" / "user-dirs.dirs", "XDG_DESKTOP_DIR=\"/etc\"\n",
         [] { return Folders::desktop() == "/etc"; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::ofstream(outside / c.file.filename()) << c.rootsText;
        userMakesFoldersAbove(home, c.file);
        fs::create_directories(c.file.parent_path());
        ASSERT_EQ(::chown(c.file.parent_path().c_str(), kUser.uid, kUser.gid), 0);
        fs::create_symlink(outside / c.file.filename(), c.file);
        EXPECT_FALSE(c.readThrough());
    }
}

}  // namespace
