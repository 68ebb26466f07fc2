// A Host run as root for another console user lists and saves on a
// Viewer's behalf with that user's rights, as the kernel decides them:
// through a real Host and a test Viewer over loopback, with `nobody`'s
// account standing for the console user's and a home of its own.

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "HostApp/FileDelivery/ViewerPathConfinement.h"
#include "HostApp/Shell/HostShellTestFixture.h"
#include "Platform/SimulatedMac/AppleScript.h"
#include "Platform/Files/Folders.h"
#include "Support/FileTransferTestViewer.h"
#include "Support/TestSupport.h"
#include "VelantrixProfiles/FileTransfer/FileTransferCenter.h"
#include "VelantrixProfiles/FileTransfer/RemoteDirectoryEntry.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

class ActingForTheConsoleUserE2E : public HostShellTest {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "taking another user's rights needs root";
        const passwd* nobody = ::getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        owner = {nobody->pw_uid, nobody->pw_gid};
        auto session = SimulatedMachine::current().consoleSession();
        session.userName = "viewertest";
        SimulatedMachine::current().setConsoleSession(session);
        consoleUser = session.userName;
        directory->setUser(consoleUser, password);
        fs::create_directories(userHome);
        ASSERT_EQ(::chown(userHome.c_str(), owner.uid, owner.gid), 0);
        ViewerPathConfinement::setAccountLookupForTesting(
            [home = userHome, owner = owner, user = consoleUser](
                const std::string& name) -> std::optional<ViewerPathConfinement::Account> {
                if (name != user) return std::nullopt;
                return ViewerPathConfinement::Account{home, owner};
            });
        launch();
        FileTransferCenter::shared().resetForTesting();
        viewer = FileTransferTestViewer::connect(runtime, delegate->audioServer(), *log, consoleUser, password, "Viewer");
    }
    ~ActingForTheConsoleUserE2E() override {
        ViewerPathConfinement::setAccountLookupForTesting(nullptr);
        FileTransferCenter::shared().resetForTesting();
    }
    // A folder of the user's (`mine`) or of root's, with `mode`.
    void folder(const fs::path& path, bool mine, mode_t mode) {
        fs::create_directories(path);
        if (mine) {
            ASSERT_EQ(::chown(path.c_str(), owner.uid, owner.gid), 0);
        }
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    }
    std::set<std::string> listed(const std::string& path) {
        const UUID asked = viewer->service->requestDirectoryListing(path);
        const FileTransferPacket* reply = nullptr;
        EXPECT_TRUE(runUntil(
            [&] {
                for (const auto& p : viewer->received)
                    if (p.op == FileTransferOp::listDirReply && p.batchID == asked) reply = &p;
                return reply != nullptr;
            },
            60));
        std::set<std::string> names;
        if (reply)
            for (const auto& entry : RemoteDirectoryEntry::decodeListing(reply->data)) names.insert(entry.name);
        return names;
    }

    platform::FileOwner owner{};
    fs::path userHome = dataRoot->path() / "users" / "other";
    fs::path source = dataRoot->path() / "viewer";
    std::unique_ptr<FileTransferTestViewer> viewer;
};

// A listing is read with the user's rights: a folder only root may read
// lists nothing, nor does one below it, while the user's own lists whole.
TEST_F(ActingForTheConsoleUserE2E, AListingShowsOnlyWhatTheUserMayRead) {
    folder(userHome / "Open", true, 0755);
    std::ofstream(userHome / "Open" / "a.txt") << "a";
    folder(userHome / "Private", false, 0700);
    std::ofstream(userHome / "Private" / "inner.txt") << "root's";
    folder(userHome / "Private" / "Sub", false, 0755);
    std::ofstream(userHome / "Private" / "Sub" / "deeper.txt") << "root's";
    struct Case {
        const char* asked;
        std::set<std::string> names;
    };
    const Case cases[] = {
        {"~/Open", {"a.txt"}},
        {"~/Private", {}},
        {"~/Private/Sub", {}},
        {"~", {"Open", "Private"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.asked);
        EXPECT_EQ(listed(c.asked), c.names);
    }
}

// A destination the Viewer names is one the user could save into: a folder
// of root's the user may only look into is refused, and nothing is made or
// saved in it; below the user's own, the folders made are the user's.
TEST_F(ActingForTheConsoleUserE2E, ADestinationTheUserMayNotWriteIsRefusedAndNothingIsSavedThere) {
    folder(userHome / "Shut", false, 0755);
    folder(userHome / "Mine", true, 0755);
    fs::create_directories(source);
    std::ofstream(source / "a.txt") << "a";
    struct Case {
        const char* asked;
        bool accepted;
        fs::path arrives;
    };
    const Case cases[] = {
        {"~/Shut", false, userHome / "Shut" / "a.txt"},
        {"~/Shut/New", false, userHome / "Shut" / "New"},
        {"~/Mine/New", true, userHome / "Mine" / "New" / "a.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.asked);
        viewer->responses.clear();
        auto batch = viewer->service->sendURLs({source / "a.txt"}, FileTransferIntent::managedCopy, std::string(c.asked),
                                               {}, std::nullopt);
        ASSERT_TRUE(batch);
        ASSERT_TRUE(runUntil([&] { return !viewer->responses.empty(); }, 60));
        EXPECT_EQ(viewer->responses[0].second.accepted, c.accepted)
            << viewer->responses[0].second.message.value_or("");
        if (!c.accepted) {
            EXPECT_EQ(viewer->responses[0].second.message.value_or(""),
                      "The destination folder is not available on this device.");
        }
        struct stat info{};
        const bool there = ::lstat(c.arrives.c_str(), &info) == 0;
        EXPECT_EQ(there, c.accepted);
        if (there) {
            EXPECT_EQ(info.st_uid, owner.uid);
            struct stat made{};
            ASSERT_EQ(::lstat(c.arrives.parent_path().c_str(), &made), 0);
            EXPECT_EQ(made.st_uid, owner.uid);
        }
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(userHome / "Shut"), fs::directory_iterator()), 0);
}

// A drop into the folder Finder shows goes where the user could put it: a
// folder of root's the user may only look into gets nothing, the user's
// own gets the item as theirs.
TEST_F(ActingForTheConsoleUserE2E, ADropGoesOnlyIntoAFolderTheUserMayWriteAndArrivesAsTheirs) {
    folder(userHome / "Shut", false, 0755);
    folder(userHome / "Mine", true, 0755);
    fs::create_directories(source);
    std::ofstream(source / "a.txt") << "a";
    struct Case {
        const char* shown;
        bool arrives;
    };
    const Case cases[] = {{"Shut", false}, {"Mine", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        SimulatedFinder::current().setFrontWindow(SimulatedFinder::FolderWindow{(userHome / c.shown).string() + "/"});
        auto batch = viewer->service->sendURLs({source / "a.txt"}, FileTransferIntent::dropToFinder, std::nullopt, {},
                                               std::nullopt);
        ASSERT_TRUE(batch);
        const std::string line = std::string("files: dropped ") + (c.arrives ? "1" : "0") + "/1 item(s) into " +
                                 (userHome / c.shown).string();
        ASSERT_TRUE(runUntil([&] { return diagnosticsContain(line); }, 60)) << line;
        const fs::path dropped = userHome / c.shown / "a.txt";
        struct stat info{};
        ASSERT_EQ(::lstat(dropped.c_str(), &info) == 0, c.arrives);
        if (c.arrives) {
            EXPECT_EQ(info.st_uid, owner.uid);
        }
    }
}

// A folder picked in the save panel is opened with the user's rights: one
// of root's the user may only look into gets nothing and the row and the
// Viewer hear it; the user's own gets the item as theirs.
TEST_F(ActingForTheConsoleUserE2E, APickedFolderTheUserMayNotWriteGetsNothingAndTheirOwnGetsItemsAsTheirs) {
    folder(userHome / "Shut", false, 0755);
    folder(userHome / "Mine", true, 0755);
    fs::create_directories(source);
    std::ofstream(source / "a.txt") << "a";
    struct Case {
        const char* picked;
        bool arrives;
        const char* row;
    };
    const Case cases[] = {
        {"Shut", false, "The destination folder is not available on this device."},
        {"Mine", true, "Saved 1 item(s) to Mine"},
    };
    auto& center = FileTransferCenter::shared();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.picked);
        viewer->responses.clear();
        auto batch = viewer->service->sendURLs({source / "a.txt"}, FileTransferIntent::copy, std::nullopt, {},
                                               std::nullopt);
        ASSERT_TRUE(batch);
        std::shared_ptr<OpenPanel> panel;
        ASSERT_TRUE(runUntil(
            [&] {
                for (const auto& p : center.savePanels)
                    if (p->isRunning()) panel = p;
                return panel != nullptr;
            },
            60));
        onMain([&] { panel->answerOK((userHome / c.picked).string()); });
        ASSERT_TRUE(runUntil(
            [&] {
                auto row = center.rows.find(*batch);
                return row != center.rows.end() && row->second->statusLbl->text == c.row;
            },
            60))
            << center.rows.at(*batch)->statusLbl->text;
        const fs::path saved = userHome / c.picked / "a.txt";
        struct stat info{};
        ASSERT_EQ(::lstat(saved.c_str(), &info) == 0, c.arrives);
        if (c.arrives) {
            EXPECT_EQ(info.st_uid, owner.uid);
            EXPECT_TRUE(viewer->responses.empty()) << "only a managed copy gets a receipt";
        } else {
            ASSERT_TRUE(runUntil([&] { return !viewer->responses.empty(); }, 60));
            EXPECT_FALSE(viewer->responses[0].second.accepted);
            EXPECT_EQ(viewer->responses[0].second.message.value_or(""), c.row);
        }
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(userHome / "Shut"), fs::directory_iterator()), 0);
}

// With no Finder window a drop lands on the user's own Desktop, not the
// process's: made for the user when missing and the item theirs; a
// Desktop of root's the user may not write gets nothing.
TEST_F(ActingForTheConsoleUserE2E, ADropWithNoFinderWindowLandsOnTheUsersOwnDesktop) {
    fs::create_directories(source);
    std::ofstream(source / "a.txt") << "a";
    SimulatedFinder::current().setFrontWindow(SimulatedFinder::NoWindow{});
    const fs::path desktop = userHome / "Desktop";
    struct Case {
        const char* name;
        bool rootsDesktop;
        bool arrives;
    };
    const Case cases[] = {{"a Desktop of root's", true, false}, {"no Desktop yet", false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(desktop);
        if (c.rootsDesktop) folder(desktop, false, 0755);
        auto batch = viewer->service->sendURLs({source / "a.txt"}, FileTransferIntent::dropToFinder, std::nullopt, {},
                                               std::nullopt);
        ASSERT_TRUE(batch);
        const std::string line =
            std::string("files: dropped ") + (c.arrives ? "1" : "0") + "/1 item(s) into " + desktop.string();
        ASSERT_TRUE(runUntil([&] { return diagnosticsContain(line); }, 60)) << line;
        struct stat info{};
        ASSERT_EQ(::lstat((desktop / "a.txt").c_str(), &info) == 0, c.arrives);
        if (c.arrives) {
            EXPECT_EQ(info.st_uid, owner.uid);
            ASSERT_EQ(::lstat(desktop.c_str(), &info), 0);
            EXPECT_EQ(info.st_uid, owner.uid) << "the Desktop made for the user is theirs";
        }
    }
    EXPECT_FALSE(fs::exists(Folders::desktop() / "a.txt")) << "nothing on the process's own Desktop";
}

}  // namespace
