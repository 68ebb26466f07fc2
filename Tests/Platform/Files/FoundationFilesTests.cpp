#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>

#include "Platform/Files/FileIO.h"
#include "Platform/Files/Folders.h"
#include "Platform/Foundation/UserDefaults.h"
#include "Support/TestSupport.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> entriesOf(const fs::path& folder) {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    return names;
}

// Sets or clears an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) ::setenv(name, value, 1);
        else ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_) ::setenv(name_, old_->c_str(), 1);
        else ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

class FoundationFiles : public platform::testing::VirtualTimeTest {};

}  // namespace

TEST_F(FoundationFiles, OverrideRootHoldsEveryFolder) {
    const fs::path r = dataRoot->path();
    EXPECT_EQ(Folders::overrideRoot(), r);
    EXPECT_EQ(Folders::home(), r / "home");
    EXPECT_EQ(Folders::caches(), r / "home/.cache");
    EXPECT_EQ(Folders::movies(), r / "home/Videos");
    EXPECT_EQ(Folders::applicationSupport(), r / "home/.local/share/NorvessalHost");
    EXPECT_EQ(Folders::machineApplicationSupport(), r / "machine/NorvessalHost");
    EXPECT_EQ(Folders::machineLaunchDaemons(), r / "machine/LaunchDaemons");
    EXPECT_EQ(Folders::machineApplications(), r / "machine/Applications");
    EXPECT_EQ(Folders::preferences(), r / "home/.config/NorvessalHost");
}

TEST_F(FoundationFiles, WritesThroughEveryFolderStayInsideTheRoot) {
    // XDG variables that would otherwise send files elsewhere are ignored.
    fs::path outside = dataRoot->path().parent_path() / (dataRoot->path().filename().string() + "-outside");
    ScopedEnv cache("XDG_CACHE_HOME", outside.c_str());
    ScopedEnv config("XDG_CONFIG_HOME", outside.c_str());
    ScopedEnv data("XDG_DATA_HOME", outside.c_str());
    ScopedEnv home("HOME", outside.c_str());

    const fs::path folders[] = {Folders::home(), Folders::caches(), Folders::movies(),
                                Folders::applicationSupport(), Folders::machineApplicationSupport(),
                                Folders::preferences()};
    for (const auto& f : folders) {
        ASSERT_TRUE(FileIO::writeAtomically(f / "probe" / "file.bin", bytesOf("x")).ok()) << f;
        Folders::ensure(f / "made");
    }
    UserDefaults::standard().set("host.autoUpdate.enabled", true);
    UserDefaults::suite("com.qarvex.velantrix.shared").set("app.languageOverride", "fr");
    EXPECT_FALSE(fs::exists(outside));
    size_t files = 0;
    for (auto& e : fs::recursive_directory_iterator(dataRoot->path())) {
        if (e.is_regular_file()) ++files;
    }
    EXPECT_EQ(files, std::size(folders) + 2);
    for (const auto& f : folders) EXPECT_TRUE(fs::is_directory(f / "made")) << f;
}

TEST(FoundationFolders, EnvironmentRootAppliesWhenNoneIsSet) {
    Folders::setOverrideRoot(std::nullopt);
    {
        ScopedEnv root("NORVESSAL_DATA_ROOT", "/tmp/norvessal-env-root");
        EXPECT_EQ(Folders::caches(), fs::path("/tmp/norvessal-env-root/home/.cache"));
        Folders::setOverrideRoot(fs::path("/tmp/explicit"));
        EXPECT_EQ(Folders::home(), fs::path("/tmp/explicit/home"));
        Folders::setOverrideRoot(std::nullopt);
    }
    ScopedEnv root("NORVESSAL_DATA_ROOT", nullptr);
    ScopedEnv home("HOME", "/home/tester");
    ScopedEnv cache("XDG_CACHE_HOME", "relative/is/ignored");
    ScopedEnv data("XDG_DATA_HOME", "/xdg/data");
    ScopedEnv config("XDG_CONFIG_HOME", "/nonexistent-config");
    EXPECT_EQ(Folders::home(), fs::path("/home/tester"));
    EXPECT_EQ(Folders::caches(), fs::path("/home/tester/.cache"));
    EXPECT_EQ(Folders::applicationSupport(), fs::path("/xdg/data/NorvessalHost"));
    EXPECT_EQ(Folders::preferences(), fs::path("/nonexistent-config/NorvessalHost"));
    EXPECT_EQ(Folders::machineApplicationSupport(), fs::path("/var/lib/norvessal-host"));
    EXPECT_EQ(Folders::movies(), fs::path("/home/tester/Videos"));
}

TEST(FoundationFolders, MoviesFollowsTheUserDirsFile) {
    Folders::setOverrideRoot(std::nullopt);
    platform::testing::TemporaryDataRoot scratch;  // a private place for the config file
    Folders::setOverrideRoot(std::nullopt);
    fs::path config = scratch.path() / "config";
    fs::create_directories(config);
    ScopedEnv root("NORVESSAL_DATA_ROOT", nullptr);
    ScopedEnv home("HOME", "/home/tester");
    ScopedEnv xdg("XDG_CONFIG_HOME", config.c_str());
    std::ofstream(config / "user-dirs.dirs") << "# written by xdg-user-dirs-update\n"
                                                 "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                                                 "XDG_VIDEOS_DIR=\"$HOME/Filme\"\n";
    EXPECT_EQ(Folders::movies(), fs::path("/home/tester/Filme"));
    std::ofstream(config / "user-dirs.dirs") << "XDG_VIDEOS_DIR=\"/media/clips\"\n";
    EXPECT_EQ(Folders::movies(), fs::path("/media/clips"));
    std::ofstream(config / "user-dirs.dirs") << "XDG_VIDEOS_DIR=\"$HOME/\"\n";
    EXPECT_EQ(Folders::movies(), fs::path("/home/tester/Videos"));
}

TEST_F(FoundationFiles, AtomicWriteReplacesWholeAndLeavesNoTemporaryFiles) {
    fs::path file = Folders::applicationSupport() / "state.bin";
    ASSERT_TRUE(FileIO::writeAtomically(file, bytesOf("first version")).ok());
    ASSERT_TRUE(FileIO::writeAtomically(file, bytesOf("v2")).ok());
    auto back = FileIO::readAll(file);
    ASSERT_TRUE(back.ok()) << back.error();
    EXPECT_EQ(*back, bytesOf("v2"));
    EXPECT_EQ(entriesOf(file.parent_path()), std::vector<std::string>{"state.bin"});
}

TEST_F(FoundationFiles, AtomicWriteSetsOrKeepsPermissions) {
    fs::path file = Folders::preferences() / "secret.key";
    ASSERT_TRUE(FileIO::writeAtomically(file, bytesOf("k"), fs::perms::owner_read | fs::perms::owner_write).ok());
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    // Without a mode, a replacement keeps the mode the file had.
    ASSERT_TRUE(FileIO::writeAtomically(file, bytesOf("k2")).ok());
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    // A new file follows the umask.
    mode_t old = ::umask(022);
    fs::path fresh = Folders::caches() / "fresh";
    bool ok = FileIO::writeAtomically(fresh, bytesOf("x")).ok();
    ::umask(old);
    ASSERT_TRUE(ok);
    EXPECT_EQ(fs::status(fresh).permissions() & fs::perms::all, static_cast<fs::perms>(0644));
}

TEST_F(FoundationFiles, EveryNameTheFileSystemTakesIsWrittenBothWays) {
    // 237 fitted before; from 238 on a temporary named after the target
    // was longer than the file system allows.
    for (size_t length : {1u, 237u, 238u, 255u}) {
        const fs::path folder = Folders::caches() / ("len" + std::to_string(length));
        const fs::path replaced = folder / std::string(length, 'r');
        const fs::path placed = folder / std::string(length, 'p');
        auto atomic = FileIO::writeAtomically(replaced, bytesOf("a"));
        EXPECT_TRUE(atomic.ok()) << length << ": " << atomic.error();
        auto noReplace = FileIO::writeAtomically(placed, bytesOf("b"), std::nullopt, FileIO::noReplace);
        ASSERT_TRUE(noReplace.ok()) << length << ": " << noReplace.error();
        EXPECT_EQ(*noReplace, NoReplaceOutcome::done) << length;
        auto names = entriesOf(folder);
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{placed.filename().string(), replaced.filename().string()}))
            << length;
    }
}

TEST_F(FoundationFiles, FailedWriteReportsAndLeavesNothingBehind) {
    // The target is a folder, so the final rename must fail.
    fs::path target = Folders::caches() / "occupied";
    fs::create_directories(target / "child");
    auto r = FileIO::writeAtomically(target, bytesOf("data"));
    ASSERT_FALSE(r.ok());
    EXPECT_NE(r.error().find("occupied"), std::string::npos) << r.error();
    EXPECT_EQ(entriesOf(Folders::caches()), std::vector<std::string>{"occupied"});
    EXPECT_FALSE(FileIO::writeAtomically(Folders::caches() / "", bytesOf("x")).ok());
}

TEST_F(FoundationFiles, ReadAllRefusesMissingOversizedAndSpecialFiles) {
    fs::path file = Folders::caches() / "blob";
    ASSERT_TRUE(FileIO::writeAtomically(file, std::vector<uint8_t>(1000, 7)).ok());
    EXPECT_TRUE(FileIO::readAll(file, 1000).ok());
    EXPECT_FALSE(FileIO::readAll(file, 999).ok());
    EXPECT_FALSE(FileIO::readAll(Folders::caches() / "missing").ok());
    EXPECT_FALSE(FileIO::readAll(Folders::caches()).ok());
    fs::path fifo = Folders::caches() / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(FileIO::readAll(fifo).ok());  // must not hang
    auto empty = Folders::caches() / "empty";
    ASSERT_TRUE(FileIO::writeAtomically(empty, {}).ok());
    auto e = FileIO::readAll(empty);
    ASSERT_TRUE(e.ok());
    EXPECT_TRUE(e->empty());
}

TEST_F(FoundationFiles, NoReplaceWriteAndRenameLeaveAnyExistingEntryAlone) {
    const fs::path folder = Folders::caches();
    const fs::path file = folder / "request";
    const auto privateMode = fs::perms::owner_read | fs::perms::owner_write;
    mode_t old = ::umask(0);
    auto first = FileIO::writeAtomically(file, bytesOf("one"), privateMode, FileIO::noReplace);
    ::umask(old);
    ASSERT_TRUE(first.ok()) << first.error();
    EXPECT_EQ(*first, NoReplaceOutcome::done);
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, privateMode);

    fs::create_directory(folder / "folder");
    fs::create_symlink(folder / "nowhere", folder / "dangling");
    for (const char* taken : {"request", "folder", "dangling"}) {
        auto again = FileIO::writeAtomically(folder / taken, bytesOf("two"), privateMode, FileIO::noReplace);
        ASSERT_TRUE(again.ok()) << taken;
        EXPECT_EQ(*again, NoReplaceOutcome::targetExists) << taken;
    }
    EXPECT_EQ(*FileIO::readAll(file), bytesOf("one"));
    EXPECT_FALSE(fs::exists(folder / "nowhere"));

    std::ofstream(folder / "staged") << "staged";
    EXPECT_EQ(*FileIO::renameNoReplace(folder / "staged", file), NoReplaceOutcome::targetExists);
    EXPECT_EQ(*FileIO::renameNoReplace(folder / "staged", folder / "delivered"), NoReplaceOutcome::done);
    EXPECT_FALSE(FileIO::renameNoReplace(folder / "staged", folder / "again").ok());
    auto names = entriesOf(folder);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"dangling", "delivered", "folder", "request"}));
}
