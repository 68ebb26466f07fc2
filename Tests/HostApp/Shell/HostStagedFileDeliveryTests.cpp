// A Viewer's managed copy from its start to its receipt, fed to the Host's
// packet hook by a second engine standing in for the Viewer.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>

#include <pwd.h>
#include <unistd.h>

#include "HostShellTestFixture.h"
#include "Platform/Folders.h"
#include "Platform/SimulatedMachine.h"
#include "Platform/WorkspaceFileViewer.h"
#include "VelantrixProfiles/FileTransfer/FileTransferCenter.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

class StagedDelivery : public HostShellTest {
protected:
    void SetUp() override {
        launch();
        FileTransferCenter::shared().resetForTesting();
        fs::create_directories(Folders::home());
        delegate->components.fileTransferService->routedSendPacket =
            [this](FileTransferPacket p, const std::optional<std::string>& token) {
                std::lock_guard lock(sentLock);
                sent.push_back({std::move(p), token});
                return true;
            };
        viewer->routedSendPacket = [this](FileTransferPacket p, const std::optional<std::string>&) {
            delegate->handleIncomingFileTransferPacket(std::move(p), session);
            return true;
        };
        source = dataRoot->path() / "viewer" / "a.txt";
        fs::create_directories(source.parent_path());
        std::ofstream(source) << "hello";
    }
    ~StagedDelivery() override { FileTransferCenter::shared().resetForTesting(); }

    std::optional<FileTransferPacket> receipt() {
        std::lock_guard lock(sentLock);
        for (const auto& [packet, token] : sent)
            if (packet.op == FileTransferOp::peerSendResponse) {
                EXPECT_EQ(token, session.uuidString()) << "the receipt goes to the asking session only";
                return packet;
            }
        return std::nullopt;
    }
    bool stagingEmpty() {
        auto root = delegate->components.fileTransferService->stagingRoot();
        return fs::is_empty(root);
    }

    std::shared_ptr<FileTransferService> viewer = std::make_shared<FileTransferService>("Host", 262144);
    UUID session = UUID::random();
    fs::path source;
    std::mutex sentLock;
    std::vector<std::pair<FileTransferPacket, std::optional<std::string>>> sent;
};

TEST_F(StagedDelivery, ManagedCopyLandsInTheNamedFolderAndAnswersItsSession) {
    auto batch = viewer->sendURLs({source}, FileTransferIntent::managedCopy, "~/X", {}, std::nullopt);
    ASSERT_TRUE(batch);
    runUntilIdle();
    std::ifstream landed(Folders::home() / "X" / "a.txt");
    std::string text;
    landed >> text;
    EXPECT_EQ(text, "hello");
    auto answer = receipt();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->batchID, *batch);
    EXPECT_TRUE(FileTransferService::peerSendResponse(*answer)->accepted);
    auto& center = FileTransferCenter::shared();
    ASSERT_TRUE(center.rows.contains(*batch));
    EXPECT_EQ(center.rows.at(*batch)->statusLbl->text, "Saved 1 item(s) to X");
    EXPECT_TRUE(stagingEmpty());
    EXPECT_EQ(WorkspaceFileViewer::requestsForTesting().back(),
              std::vector<fs::path>{Folders::home() / "X" / "a.txt"});
    advance(1.5);
    EXPECT_FALSE(center.rows.contains(*batch));
}

TEST_F(StagedDelivery, ManagedCopyWithoutAFolderIsRefusedWithoutAReceipt) {
    auto batch = viewer->sendURLs({source}, FileTransferIntent::managedCopy, std::nullopt, {}, std::nullopt);
    ASSERT_TRUE(batch);
    runUntilIdle();
    EXPECT_FALSE(receipt()) << "no session named a folder, so none is owed an answer";
    auto& center = FileTransferCenter::shared();
    ASSERT_TRUE(center.rows.contains(*batch));
    EXPECT_EQ(center.rows.at(*batch)->statusLbl->text, "The destination folder is not available on this device.");
    EXPECT_TRUE(stagingEmpty());
    std::lock_guard lock(sentLock);
    EXPECT_TRUE(std::any_of(sent.begin(), sent.end(), [&](const auto& s) {
        return s.first.op == FileTransferOp::cancelBatch && s.first.batchID == *batch;
    }));
}

TEST_F(StagedDelivery, ClashesGetNumberedNamesAndNothingInTheFolderChanges) {
    const fs::path folder = Folders::home() / "Y";
    fs::create_directories(folder);
    std::ofstream(folder / "a.txt") << "old";
    fs::create_symlink(folder / "nowhere", folder / "a 1.txt");  // dangling, still taken
    auto batch = viewer->sendURLs({source}, FileTransferIntent::managedCopy, "~/Y", {}, std::nullopt);
    ASSERT_TRUE(batch);
    runUntilIdle();
    std::string old, fresh;
    std::ifstream(folder / "a.txt") >> old;
    std::ifstream(folder / "a 2.txt") >> fresh;
    EXPECT_EQ(old, "old");
    EXPECT_EQ(fresh, "hello");
    EXPECT_TRUE(fs::is_symlink(folder / "a 1.txt"));
}

TEST_F(StagedDelivery, ANameWithNoUsableVariantIsSkippedNotLoopedOn) {
    // "<250 t>.txt" is taken; every numbered variant is longer than a name
    // may be, so the item fails and the delivery ends.
    const fs::path folder = Folders::home() / "Long";
    fs::create_directories(folder);
    const std::string name = std::string(250, 't') + ".txt";
    std::ofstream(folder / name) << "old";
    const fs::path longSource = source.parent_path() / name;
    std::ofstream(longSource) << "new";
    auto batch = viewer->sendURLs({longSource, source}, FileTransferIntent::managedCopy, "~/Long", {}, std::nullopt);
    ASSERT_TRUE(batch);
    runUntilIdle();
    EXPECT_TRUE(fs::exists(folder / "a.txt"));
    EXPECT_EQ(FileTransferCenter::shared().rows.at(*batch)->statusLbl->text, "Saved 1 item(s); 1 could not be saved");
    EXPECT_TRUE(diagnosticsContain("files: skipped " + name + ": no usable name in " + folder.string()));
}

TEST_F(StagedDelivery, EndedSessionFailsItsUnfinishedRowAndDropsItsStaging) {
    // The batch starts but its last packets never come.
    std::vector<FileTransferPacket> held;
    viewer->routedSendPacket = [&](FileTransferPacket p, const std::optional<std::string>&) {
        if (p.op == FileTransferOp::fileEnd || p.op == FileTransferOp::batchEnd) return true;
        delegate->handleIncomingFileTransferPacket(std::move(p), session);
        return true;
    };
    auto batch = viewer->sendURLs({source}, FileTransferIntent::managedCopy, "~/Z", {}, std::nullopt);
    ASSERT_TRUE(batch);
    runUntilIdle();
    onMain([&] { delegate->handleFileTransferSessionEnded(session); });
    runUntilIdle();
    EXPECT_EQ(FileTransferCenter::shared().rows.at(*batch)->statusLbl->text, "Cancelled");
    EXPECT_FALSE(fs::exists(Folders::home() / "Z" / "a.txt"));
    EXPECT_TRUE(stagingEmpty());
    EXPECT_FALSE(receipt());
}

}  // namespace

namespace {

// A Viewer logs in as the console user; when the Host runs as another user
// (here: the console user is "viewertest", the Host runs as this process's
// user), everything a Viewer names must lie inside the console user's home
// (the data root's), links resolved.
std::string processUserName() {
    const passwd* entry = ::getpwuid(::geteuid());
    return entry ? entry->pw_name : "";
}

class ConfinedToConsoleHome : public StagedDelivery {
protected:
    void SetUp() override {
        StagedDelivery::SetUp();
        outside = dataRoot->path() / "outside";
        fs::create_directories(outside);
        fs::create_symlink(outside, Folders::home() / "link-out");
        setConsoleUser("viewertest");
    }
    static void setConsoleUser(const std::string& name) {
        auto session = SimulatedMachine::current().consoleSession();
        session.userName = name;
        SimulatedMachine::current().setConsoleSession(session);
    }
    std::string refusalText(const UUID& batch) {
        return FileTransferCenter::shared().rows.at(batch)->statusLbl->text;
    }
    std::vector<RemoteDirectoryEntry> listing(const std::string& path) {
        const UUID id = viewer->requestDirectoryListing(path);
        runUntilIdle();
        std::lock_guard lock(sentLock);
        for (const auto& [packet, token] : sent)
            if (packet.op == FileTransferOp::listDirReply && packet.batchID == id)
                return RemoteDirectoryEntry::decodeListing(packet.data);
        ADD_FAILURE() << "no reply for " << path;
        return {};
    }
    fs::path outside;
};

TEST_F(ConfinedToConsoleHome, DestinationsOutsideTheConsoleUsersHomeAreRefusedAndNothingIsMade) {
    const std::string unique = "norvessal-confinement-" + UUID::random().id8();
    struct Case {
        std::string destination;
        fs::path mustNotExist;
    };
    const Case cases[] = {
        {(outside / "x").string(), outside / "x"},
        {"~root/" + unique, fs::path("/root") / unique},
        {"~/../../" + unique, (Folders::home() / ".." / ".." / unique).lexically_normal()},
        {"~/link-out/x", outside / "x"},
    };
    for (const auto& c : cases) {
        auto batch = viewer->sendURLs({source}, FileTransferIntent::managedCopy, c.destination, {}, std::nullopt);
        ASSERT_TRUE(batch);
        runUntilIdle();
        EXPECT_EQ(refusalText(*batch), "The destination folder is not available on this device.") << c.destination;
        EXPECT_FALSE(fs::exists(c.mustNotExist)) << c.destination;
        EXPECT_TRUE(diagnosticsContain("files: refused destination outside the console user's home for batch " +
                                batch->id8()))
            << c.destination;
    }
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_TRUE(stagingEmpty());

    // Inside the home, a Viewer's destination is still served.
    auto inside = viewer->sendURLs({source}, FileTransferIntent::managedCopy, "~/In", {}, std::nullopt);
    ASSERT_TRUE(inside);
    runUntilIdle();
    EXPECT_TRUE(fs::exists(Folders::home() / "In" / "a.txt"));
}

TEST_F(ConfinedToConsoleHome, ListingsThroughALinkOutOfHomeAreEmpty) {
    std::ofstream(outside / "secret.txt") << "s";
    std::ofstream(Folders::home() / "mine.txt") << "m";
    EXPECT_TRUE(listing("~/link-out").empty());
    EXPECT_TRUE(listing(outside.string()).empty());
    EXPECT_FALSE(listing("~").empty());
    // Run as the console user, links are still resolved before the check.
    setConsoleUser(processUserName());
    EXPECT_TRUE(listing("~/link-out").empty());
}

TEST_F(ConfinedToConsoleHome, RunAsTheConsoleUserAFolderOutsideHomeTheUserOwnsIsServed) {
    setConsoleUser(processUserName());
    auto batch = viewer->sendURLs({source}, FileTransferIntent::managedCopy, (outside / "Out").string(), {},
                                  std::nullopt);
    ASSERT_TRUE(batch);
    runUntilIdle();
    EXPECT_TRUE(fs::exists(outside / "Out" / "a.txt"));
}

}  // namespace
