// A Viewer's managed copy from its start to its receipt, fed to the Host's
// packet hook by a second engine standing in for the Viewer.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>

#include <fcntl.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "HostApp/FileDelivery/ViewerPathConfinement.h"
#include "HostApp/Shell/HostShellTestFixture.h"
#include "Platform/AppKit/AppKitAlert.h"
#include "Platform/SimulatedMac/AppleScript.h"
#include "Platform/Files/FileMoves.h"
#include "Platform/Files/Folders.h"
#include "Platform/Runtime/WorkLedger.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Platform/AppKit/WorkspaceFileViewer.h"
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
            if (rewrite) rewrite(p);
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
    // Changes what the Viewer sends, as a Viewer of its own making would.
    std::function<void(FileTransferPacket&)> rewrite;
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

TEST_F(StagedDelivery, TheNumberedVariantOfTheLongestNameIsShortenedAndKeepsItsExtension) {
    // "<251 t>.txt" is as long as a name may be, and taken: its variant is
    // cut at the end of the stem to fit, so the second such file arrives.
    const fs::path folder = Folders::home() / "Long";
    fs::create_directories(folder);
    const std::string name = std::string(251, 't') + ".txt";
    std::ofstream(folder / name) << "old";
    const fs::path longSource = source.parent_path() / name;
    std::ofstream(longSource) << "new";
    auto batch = viewer->sendURLs({longSource, source}, FileTransferIntent::managedCopy, "~/Long", {}, std::nullopt);
    ASSERT_TRUE(batch);
    runUntilIdle();
    EXPECT_TRUE(fs::exists(folder / "a.txt"));
    std::string old, fresh;
    std::ifstream(folder / name) >> old;
    std::ifstream(folder / (std::string(249, 't') + " 1.txt")) >> fresh;
    EXPECT_EQ(old, "old");
    EXPECT_EQ(fresh, "new");
    EXPECT_EQ(FileTransferCenter::shared().rows.at(*batch)->statusLbl->text, "Saved 2 item(s) to Long");
}

TEST_F(StagedDelivery, AFolderMadeOnlyByAFilesPathIsDeliveredAndLeavesNoStaging) {
    // No mkdir comes for "a" or "a/b": the file's path alone makes them.
    const UUID batch = UUID::random();
    auto feed = [&](FileTransferOp op, uint64_t value1, uint64_t value2, std::string path, std::vector<uint8_t> data) {
        delegate->handleIncomingFileTransferPacket({op, batch, value1, value2, std::move(path), std::move(data)}, session);
    };
    feed(FileTransferOp::directSave, 0, 0, "~/Implicit", {});
    feed(FileTransferOp::batchStart, 2, packBatchStartValue2(FileTransferIntent::copy, 1), "", {});
    feed(FileTransferOp::fileStart, 2, 0, "a/b/c.txt", {});
    feed(FileTransferOp::fileChunk, 0, 0, "a/b/c.txt", {'h', 'i'});
    feed(FileTransferOp::fileEnd, 2, 0, "a/b/c.txt", {});
    feed(FileTransferOp::batchEnd, 0, 0, "", {});
    runUntilIdle();
    std::string text;
    std::ifstream(Folders::home() / "Implicit" / "a" / "b" / "c.txt") >> text;
    EXPECT_EQ(text, "hi");
    EXPECT_TRUE(stagingEmpty());
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

// A Viewer that leaves right behind its copies: its end reaches the Host
// behind everything it sent, so a copy it started before leaving, whole or
// not, gets no save panel and keeps nothing (no row left running, no
// place, no staging) for a Viewer that is gone.
TEST_F(StagedDelivery, ASessionsEndReachesTheBatchesItSentBeforeIt) {
    auto& center = FileTransferCenter::shared();
    for (const bool whole : {true, false}) {
        SCOPED_TRACE(whole ? "sent whole" : "its end never sent");
        std::vector<FileTransferPacket> sentByViewer;
        viewer->routedSendPacket = [&](FileTransferPacket p, const std::optional<std::string>&) {
            if (whole || p.op != FileTransferOp::batchEnd) sentByViewer.push_back(std::move(p));
            return true;
        };
        const UUID leaving = UUID::random();
        std::vector<UUID> batches;
        for (int i = 0; i < 3; ++i)
            batches.push_back(viewer->sendURLs({source}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt)
                                  .value_or(UUID()));
        runUntilIdle();
        auto server = delegate->audioServer();
        server->queue.sync([&] {
            for (auto& p : sentByViewer) delegate->handleIncomingFileTransferPacket(std::move(p), leaving);
            server->onFileTransferSessionEnded(leaving);
        });
        runUntilIdle();
        EXPECT_TRUE(center.savePanels.empty());
        EXPECT_TRUE(delegate->fileDelivery.inboundBatches.empty());
        for (const UUID& batch : batches) {
            const auto row = center.rows.find(batch);
            EXPECT_TRUE(row == center.rows.end() || row->second->finished);
        }
        EXPECT_TRUE(runUntil([&] {
            delegate->components.fileTransferService->syncRemovalQueueForTesting();
            return stagingEmpty();
        }));
    }
}

// A copy its Viewer gives up at any stage, by cancelling, by leaving or by
// falling silent, or that the Host's user cancels, lets go of everything
// it held: the Host's descriptors and staging are back where they were,
// its row has ended and nothing of it is saved. Each road for many copies
// at once, so that what one cancel kept would show as many descriptors.
// Meanwhile its peer's account holds what is really held for it (its
// batches, the bytes in staging, the descriptors opened), and nothing
// once they are given up.
TEST_F(StagedDelivery, ACopyGivenUpAtAnyStageLetsGoOfAllItHeld) {
    enum class Stage {
        beforeTheStart,          // its folder named, no batchStart yet
        folderBeingOpened,       // started; its folder opened off the main queue
        filesArriving,           // in the middle of a file
        folderOpenedAfterTheEnd, // complete; its folder still being opened
        beingDelivered,          // complete; its moves waiting for their turn
        askedAboutATakenName,    // complete; its first item's name taken, the Host's user asked
        waitingForASaveLocation, // a copy without a folder, its panel up
    };
    enum class Cause { viewerCancels, viewerLeaves, viewerFallsSilent, rowCancelled };
    struct Case {
        const char* name;
        Stage stage;
        std::vector<Cause> causes;
    };
    const Cause all[] = {Cause::viewerCancels, Cause::viewerLeaves, Cause::viewerFallsSilent, Cause::rowCancelled};
    const std::vector<Cause> open(std::begin(all), std::end(all));
    const std::vector<Cause> ended = {Cause::viewerCancels, Cause::viewerLeaves, Cause::rowCancelled};
    // Only a started batch falls idle, and only one the Host heard start has a row.
    const Case cases[] = {
        {"before the start", Stage::beforeTheStart, {Cause::viewerCancels, Cause::viewerLeaves}},
        {"while its folder is opened", Stage::folderBeingOpened, open},
        {"while its files arrive", Stage::filesArriving, open},
        {"after its end, while its folder is opened", Stage::folderOpenedAfterTheEnd, ended},
        {"after its end, while it is delivered", Stage::beingDelivered, ended},
        {"after its end, while the Host's user is asked about a taken name", Stage::askedAboutATakenName, ended},
        {"after its end, while it waits for a save location", Stage::waitingForASaveLocation, ended},
    };
    const char* causeNames[] = {"its Viewer cancels", "its Viewer leaves", "its Viewer falls silent",
                                "the row is cancelled"};
    // Fifty a road (a hundred and more a stage), in rounds within what the
    // Host keeps open at once.
    constexpr size_t kRounds = 2, kCopies = 25;
    // Two chunks, so that a batch can be caught between them.
    std::ofstream(source, std::ios::binary) << std::string(300000, 'x');
    auto& center = FileTransferCenter::shared();
    const fs::path into = Folders::home() / "In";
    const fs::path staging = delegate->components.fileTransferService->stagingRoot();
    const DispatchQueue utility = DispatchQueue::global(QualityOfService::utility);
    auto stagedItems = [&] {
        std::error_code error;
        return std::distance(fs::recursive_directory_iterator(staging, error), {});
    };
    auto stagedBytes = [&] {
        uint64_t bytes = 0;
        std::error_code error;
        for (const auto& entry : fs::recursive_directory_iterator(staging, error))
            if (entry.is_regular_file()) bytes += entry.file_size();
        return bytes;
    };
    // The Viewers' peers, whose accounts their packets are charged to: two,
    // as the copies of one road are more than one peer may hold at once.
    const std::shared_ptr<WorkLedger> peers[] = {std::make_shared<WorkLedger>("192.0.2.1", size_t{1} << 30, 100000),
                                                 std::make_shared<WorkLedger>("192.0.2.2", size_t{1} << 30, 100000)};
    auto held = [&](WorkLedger::Held kind) { return peers[0]->held(kind) + peers[1]->held(kind); };
    // Each copy from a session of its own; its packets from the first its
    // stage holds back on wait until they are let in or dropped.
    struct Copy {
        UUID session = UUID::random();
        std::shared_ptr<WorkLedger> peer;
        UUID batch;
        std::vector<FileTransferPacket> held;
        void asPeer(const std::function<void()>& work) const {
            const WorkLedger::Charged charged(peer);
            work();
        }
    };
    Copy* sending = nullptr;
    std::function<bool(const FileTransferPacket&)> holdFrom;
    viewer->routedSendPacket = [&](FileTransferPacket p, const std::optional<std::string>&) {
        if (!sending->held.empty() || (holdFrom && holdFrom(p))) {
            sending->held.push_back(std::move(p));
        } else {
            sending->asPeer([&] { delegate->handleIncomingFileTransferPacket(std::move(p), sending->session); });
        }
        return true;
    };
    auto opIs = [](FileTransferOp op) { return [op](const FileTransferPacket& p) { return p.op == op; }; };

    // `count` copies brought to the stage together and given up; what of
    // them had a row, how many rows ended, and what was saved.
    struct Outcome {
        size_t rows = 0, rowsEnded = 0, saved = 0;
    };
    auto giveUp = [&](Stage stage, Cause cause, size_t count) {
        const bool copy = stage == Stage::waitingForASaveLocation;
        switch (stage) {
            case Stage::beforeTheStart:
            case Stage::folderBeingOpened:
            case Stage::folderOpenedAfterTheEnd: holdFrom = opIs(FileTransferOp::batchStart); break;
            case Stage::filesArriving:
                holdFrom = [](const FileTransferPacket& p) { return p.op == FileTransferOp::fileChunk && p.value1 > 0; };
                break;
            case Stage::beingDelivered: holdFrom = opIs(FileTransferOp::batchEnd); break;
            case Stage::askedAboutATakenName:
                holdFrom = nullptr;
                fs::create_directories(into);
                std::ofstream(into / "a.txt") << "taken";
                break;
            case Stage::waitingForASaveLocation: holdFrom = nullptr; break;
        }
        const auto options = stage == Stage::askedAboutATakenName ? FileTransferDeliveryOptions::promptForConflicts
                                                                  : FileTransferDeliveryOptions();
        const size_t descriptorsBefore = openDescriptors();
        std::vector<Copy> copies(count);
        for (auto& c : copies) {
            c.peer = peers[static_cast<size_t>(&c - copies.data()) % 2];
            sending = &c;
            c.batch = viewer->sendURLs({source}, copy ? FileTransferIntent::copy : FileTransferIntent::managedCopy,
                                       copy ? std::nullopt : std::optional<std::string>("~/In"), options, std::nullopt)
                          .value_or(UUID());
            runUntilIdle();
        }
        // What these stages wait for stays on the utility queue meanwhile.
        const bool suspended = stage == Stage::folderBeingOpened || stage == Stage::folderOpenedAfterTheEnd ||
                               stage == Stage::beingDelivered;
        if (suspended) {
            utility.suspend();
            for (auto& c : copies) {
                const size_t letIn = stage == Stage::folderBeingOpened ? 1 : c.held.size();
                for (size_t i = 0; i < letIn; ++i)
                    c.asPeer([&] { delegate->handleIncomingFileTransferPacket(std::move(c.held[i]), c.session); });
                c.held.erase(c.held.begin(), c.held.begin() + static_cast<std::ptrdiff_t>(letIn));
            }
            runUntilIdle();
        }
        // At its stage, each copy is on the account as it is on the Host.
        // A copy that arrived and waits for the Host's user holds a place
        // among the copies waiting for a save location instead.
        EXPECT_EQ(held(WorkLedger::Held::batches), stage == Stage::beforeTheStart || copy ? 0 : count);
        EXPECT_EQ(held(WorkLedger::Held::saveLocations), copy ? count : 0);
        EXPECT_EQ(held(WorkLedger::Held::stagedBytes), stagedBytes());
        // Room taken for moves that have not opened it yet is on the
        // account too, and said apart.
        const size_t reservedIdle = peers[0]->descriptorsReservedIdle() + peers[1]->descriptorsReservedIdle();
        EXPECT_EQ(held(WorkLedger::Held::descriptors), openDescriptors() - descriptorsBefore + reservedIdle);
        // A copy waiting on a person holds no room for moves it has not
        // begun: many such copies would fill the Host's total with it.
        if (stage == Stage::askedAboutATakenName) {
            EXPECT_EQ(reservedIdle, 0u);
        }
        for (auto& c : copies) {
            switch (cause) {
                case Cause::viewerCancels:
                    DispatchQueue("test.server").sync([&] {
                        c.asPeer([&] {
                            delegate->handleIncomingFileTransferPacket(
                                {FileTransferOp::cancelBatch, c.batch, 0, 0, "", {}}, c.session);
                        });
                    });
                    break;
                case Cause::viewerLeaves: delegate->audioServer()->onFileTransferSessionEnded(c.session); break;
                case Cause::viewerFallsSilent: break;
                case Cause::rowCancelled: onMain([&] { center.rows.at(c.batch)->cancelBtn->performClick(); }); break;
            }
        }
        if (cause == Cause::viewerFallsSilent) advance(FileTransferService::inboundBatchIdleSeconds + 1);
        runUntilIdle();
        if (suspended) utility.resume();
        runUntilIdle();
        Outcome outcome;
        for (const auto& c : copies) {
            if (auto row = center.rows.find(c.batch); row != center.rows.end()) {
                outcome.rows += 1;
                outcome.rowsEnded += row->second->finished;
            }
        }
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(into, error))
            outcome.saved += entry.path().filename() != "a.txt" || fs::file_size(entry.path()) != 5;
        fs::remove_all(into);
        return outcome;
    };

    for (const auto& c : cases) {
        for (const Cause cause : c.causes) {
            SCOPED_TRACE(std::string(c.name) + ", " + causeNames[static_cast<int>(cause)]);
            giveUp(c.stage, cause, 1);
            delegate->components.fileTransferService->syncRemovalQueueForTesting();
            runUntilIdle();
            const size_t descriptors = openDescriptors();
            const auto staged = stagedItems();
            Outcome outcome;
            for (size_t round = 0; round < kRounds; ++round) {
                const Outcome next = giveUp(c.stage, cause, kCopies);
                outcome = {outcome.rows + next.rows, outcome.rowsEnded + next.rowsEnded, outcome.saved + next.saved};
            }
            EXPECT_EQ(outcome.rows, c.stage == Stage::beforeTheStart ? 0 : kRounds * kCopies);
            EXPECT_EQ(outcome.rowsEnded, outcome.rows);
            EXPECT_EQ(outcome.saved, 0u) << "nothing of a copy given up is saved";
            EXPECT_TRUE(runUntil([&] {
                delegate->components.fileTransferService->syncRemovalQueueForTesting();
                return openDescriptors() <= descriptors && stagedItems() <= staged;
            })) << openDescriptors() << " descriptors against " << descriptors << ", " << stagedItems()
                << " staged items against " << staged;
            for (const auto kind : {WorkLedger::Held::batches, WorkLedger::Held::stagedBytes, WorkLedger::Held::descriptors})
                EXPECT_EQ(held(kind), 0u) << WorkLedger::heldName(kind) << " left on the peers' accounts";
            EXPECT_EQ(delegate->components.fileTransferService->openInboundBatchCountForTesting(), 0u);
            EXPECT_EQ(delegate->components.fileTransferService->pendingDestinationCountForTesting(), 0u);
            EXPECT_TRUE(delegate->fileDelivery.inboundBatches.empty());
            EXPECT_TRUE(center.savePanels.empty() && app().shownAlerts().empty())
                << "nobody is left asked for a copy given up";
            center.resetForTesting();
        }
    }
}

// --- The save-location panel of a batch without a folder --------------------

// Sends `viewer`'s copy batch; until `release` runs the batch's last two
// packets are held back (the batch has not completed).
struct HeldBatch {
    std::vector<FileTransferPacket> held;
    bool holding = true;
};

TEST_F(StagedDelivery, CopyBatchIsSavedWhereTheUserPicksOnceWhicheverComesFirst) {
    const fs::path folder = Folders::home() / "Picked";
    fs::create_directories(folder);
    std::ofstream(folder / "a.txt") << "old";
    for (bool pickFirst : {false, true}) {
        SCOPED_TRACE(pickFirst ? "picked before the batch completed" : "picked after");
        auto& center = FileTransferCenter::shared();
        HeldBatch hold;
        hold.holding = pickFirst;
        viewer->routedSendPacket = [&](FileTransferPacket p, const std::optional<std::string>&) {
            if (hold.holding && (p.op == FileTransferOp::fileEnd || p.op == FileTransferOp::batchEnd)) {
                hold.held.push_back(std::move(p));
                return true;
            }
            delegate->handleIncomingFileTransferPacket(std::move(p), session);
            return true;
        };
        auto batch = viewer->sendURLs({source}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt);
        ASSERT_TRUE(batch);
        runUntilIdle();
        ASSERT_EQ(center.savePanels.size(), 1u);
        EXPECT_EQ(center.window->attachedSheet(), center.savePanels.front()->window());
        onMain([&] { center.savePanels.front()->answerOK(folder); });
        runUntilIdle();
        if (pickFirst) {
            EXPECT_EQ(center.rows.at(*batch)->statusLbl->text, "Saving to Picked\u2026");
            EXPECT_FALSE(fs::exists(folder / "a 1.txt"));
            hold.holding = false;
            for (auto& p : hold.held) delegate->handleIncomingFileTransferPacket(std::move(p), session);
            hold.held.clear();
            runUntilIdle();
        }
        EXPECT_EQ(center.rows.at(*batch)->statusLbl->text, "Saved 1 item(s) to Picked");
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 2) << "delivered once";
        EXPECT_TRUE(fs::exists(folder / "a 1.txt"));
        fs::remove(folder / "a 1.txt");
        EXPECT_FALSE(receipt()) << "only a managed copy gets a receipt";
        EXPECT_FALSE(delegate->fileDelivery.inboundBatches.contains(*batch));
        EXPECT_TRUE(stagingEmpty());
    }
}

TEST_F(StagedDelivery, CancellingThePanelCancelsEverywhereAndUnstagesTheCompletedBatch) {
    auto batch = viewer->sendURLs({source}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt);
    ASSERT_TRUE(batch);
    runUntilIdle();
    ASSERT_FALSE(stagingEmpty()) << "the batch has completed and waits, staged";
    auto& center = FileTransferCenter::shared();
    ASSERT_EQ(center.savePanels.size(), 1u);
    onMain([&] { center.savePanels.front()->answerCancel(); });
    runUntilIdle();
    EXPECT_EQ(center.rows.at(*batch)->statusLbl->text, "Cancelled \u2014 no save location chosen");
    EXPECT_EQ(center.rows.at(*batch)->statusLbl->textColor, platform::Color::secondaryLabel);
    EXPECT_TRUE(stagingEmpty());
    {
        std::lock_guard lock(sentLock);
        EXPECT_TRUE(std::any_of(sent.begin(), sent.end(), [&](const auto& s) {
            return s.first.op == FileTransferOp::cancelBatch && s.first.batchID == *batch && !s.second;
        })) << "every Viewer is told";
    }
    advance(0.9);
    EXPECT_TRUE(center.rows.contains(*batch));
    advance(0.2);
    EXPECT_FALSE(center.rows.contains(*batch));
    EXPECT_FALSE(delegate->fileDelivery.latestInboundFileBatchID);
}

// A folder nobody may make items in, the superuser included: immutable
// where the tests run as root (root honours that), read-only otherwise.
class UnwritableFolder {
public:
    explicit UnwritableFolder(fs::path path) : path_(std::move(path)) {
        fs::create_directories(path_);
        if (::geteuid() == 0) {
            const int fd = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            int flags = 0;
            immutable_ = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                         (flags |= FS_IMMUTABLE_FL, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
            if (fd >= 0) ::close(fd);
        } else {
            ::chmod(path_.c_str(), 0555);
        }
    }
    ~UnwritableFolder() {
        if (immutable_) {
            const int fd = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            int flags = 0;
            if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
                flags &= ~FS_IMMUTABLE_FL;
                ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
            }
            if (fd >= 0) ::close(fd);
        }
        ::chmod(path_.c_str(), 0755);
    }
    // Whether the kernel refuses a new item there.
    bool refusesWrites() const {
        const int fd = ::open((path_ / "probe").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) return true;
        ::close(fd);
        fs::remove(path_ / "probe");
        return false;
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
    bool immutable_ = false;
};

// A folder a Viewer names that the user may not write is decided when its
// batch starts, before a byte is staged: a managed copy is refused with the
// reason, a plain copy goes to the Host's user at once; and a folder that
// user picks which they may not write is refused too.
TEST_F(StagedDelivery, AFolderTheUserMayNotWriteIsDecidedWhenItsBatchStarts) {
    UnwritableFolder closed(Folders::home() / "Closed");
    ASSERT_TRUE(closed.refusesWrites());
    // Only the batch's start reaches the Host: the rest is held back.
    std::vector<FileTransferPacket> held;
    viewer->routedSendPacket = [&](FileTransferPacket p, const std::optional<std::string>&) {
        if (p.op == FileTransferOp::directSave || p.op == FileTransferOp::batchStart)
            delegate->handleIncomingFileTransferPacket(std::move(p), session);
        else
            held.push_back(std::move(p));
        return true;
    };
    const std::string unavailable = "The destination folder is not available on this device.";
    auto& center = FileTransferCenter::shared();
    auto managed = viewer->sendURLs({source}, FileTransferIntent::managedCopy, closed.path().string(), {}, std::nullopt);
    ASSERT_TRUE(managed);
    runUntilIdle();
    auto answer = receipt();
    ASSERT_TRUE(answer) << "answered at the batch's start";
    EXPECT_EQ(answer->batchID, *managed);
    EXPECT_FALSE(FileTransferService::peerSendResponse(*answer)->accepted);
    EXPECT_EQ(FileTransferService::peerSendResponse(*answer)->message, unavailable);
    EXPECT_EQ(center.rows.at(*managed)->statusLbl->text, unavailable);
    EXPECT_TRUE(diagnosticsContain("files: destination of batch " + managed->id8() + " is not available: "));
    EXPECT_TRUE(stagingEmpty());

    {
        std::lock_guard lock(sentLock);
        sent.clear();
    }
    auto copy = viewer->sendURLs({source}, FileTransferIntent::copy, closed.path().string(), {}, std::nullopt);
    ASSERT_TRUE(copy);
    runUntilIdle();
    ASSERT_EQ(center.savePanels.size(), 1u) << "the Host's user is asked at the batch's start";
    onMain([&] { center.savePanels.front()->answerOK(closed.path()); });
    runUntilIdle();
    answer = receipt();
    ASSERT_TRUE(answer) << "a picked folder the user may not write is refused to the sending session";
    EXPECT_EQ(answer->batchID, *copy);
    EXPECT_EQ(FileTransferService::peerSendResponse(*answer)->message, unavailable);
    EXPECT_EQ(center.rows.at(*copy)->statusLbl->text, unavailable);
    EXPECT_TRUE(diagnosticsContain("files: refused save location " + closed.path().string()));
    EXPECT_FALSE(delegate->fileDelivery.inboundBatches.contains(*copy));
    EXPECT_TRUE(fs::is_empty(closed.path()));
    EXPECT_TRUE(stagingEmpty());
}

// A batch that began as a Finder drop and was then made a copy is decided
// at its end from the copy intent: it gets its panel and is delivered.
TEST_F(StagedDelivery, ADropTurnedIntoACopyIsDecidedFromTheIntentAtItsEnd) {
    viewer->routedSendPacket = [this](FileTransferPacket p, const std::optional<std::string>&) {
        if (p.op == FileTransferOp::batchEnd) {
            FileTransferPacket intent{FileTransferOp::batchIntent, p.batchID,
                                      static_cast<uint64_t>(FileTransferIntent::copy), 0, "", {}};
            delegate->handleIncomingFileTransferPacket(std::move(intent), session);
        }
        delegate->handleIncomingFileTransferPacket(std::move(p), session);
        return true;
    };
    auto batch = viewer->sendURLs({source}, FileTransferIntent::dropToFinder, std::nullopt, {}, std::nullopt);
    ASSERT_TRUE(batch);
    runUntilIdle();
    auto& center = FileTransferCenter::shared();
    ASSERT_EQ(center.savePanels.size(), 1u);
    const fs::path folder = Folders::home() / "Chosen";
    fs::create_directories(folder);
    onMain([&] { center.savePanels.front()->answerOK(folder); });
    runUntilIdle();
    EXPECT_TRUE(fs::exists(folder / "a.txt"));
    EXPECT_FALSE(fs::exists(Folders::home() / "Desktop" / "a.txt"));
    EXPECT_EQ(center.rows.at(*batch)->statusLbl->text, "Saved 1 item(s) to Chosen");
    EXPECT_TRUE(stagingEmpty());
}

// A copy waiting for the Host's user to pick its folder holds no place
// among its peer's batches once it has arrived: while a peer's copies fill
// their own bound of waiting panels (over all its sessions; a Viewer that
// reconnects gets no more), its managed copies are all saved. Past that
// bound the next copy that would wait for a panel is refused with its own
// message, to the session that sent it, and nothing of it is kept; the log
// never says batches are open when none is. An answered panel makes room.
TEST_F(StagedDelivery, CopiesWaitingForASaveLocationHoldNoBatchPlaceAndHaveTheirOwnBound) {
    auto& center = FileTransferCenter::shared();
    const size_t bound = WorkLedger::heldBound(WorkLedger::Held::saveLocations);
    const size_t batchPlaces = WorkLedger::heldBound(WorkLedger::Held::batches);
    const auto peer = std::make_shared<WorkLedger>("192.0.2.1", size_t{1} << 30, 100000);
    const UUID sessionsOfPeer[] = {UUID::random(), UUID::random(), UUID::random()};
    // Whose packets the Viewer's engine sends now: a session, charged to
    // its peer as the Host's server charges a Viewer's packets.
    std::shared_ptr<WorkLedger> ledger = peer;
    UUID sender = sessionsOfPeer[0];
    viewer->routedSendPacket = [&](FileTransferPacket p, const std::optional<std::string>&) {
        const WorkLedger::Charged charged(ledger);
        delegate->handleIncomingFileTransferPacket(std::move(p), sender);
        return true;
    };
    auto copy = [&](FileTransferIntent intent, std::optional<std::string> into = std::nullopt) {
        auto batch = viewer->sendURLs({source}, intent, into, {}, std::nullopt);
        runUntilIdle();
        return batch.value_or(UUID());
    };
    std::vector<UUID> waiting;
    for (size_t i = 0; i < bound; ++i) {
        sender = sessionsOfPeer[i % 3];
        waiting.push_back(copy(FileTransferIntent::copy));
    }
    EXPECT_EQ(center.savePanels.size(), bound);
    EXPECT_EQ(peer->held(WorkLedger::Held::saveLocations), bound);
    EXPECT_EQ(peer->held(WorkLedger::Held::batches), 0u) << "they wait on a person, not on the Host";
    EXPECT_EQ(peer->held(WorkLedger::Held::stagedBytes), bound * fs::file_size(source));

    // More managed copies than the peer has batch places are all saved.
    for (size_t i = 0; i < batchPlaces + 4; ++i) {
        sender = sessionsOfPeer[i % 3];
        const UUID managed = copy(FileTransferIntent::managedCopy, "~/Managed" + std::to_string(i));
        EXPECT_TRUE(fs::exists(Folders::home() / ("Managed" + std::to_string(i)) / "a.txt")) << i;
        ASSERT_TRUE(center.rows.contains(managed));
    }
    EXPECT_FALSE(diagnosticsContain("too many open batches"));

    const std::string refusal = "Too many received batches from this Viewer are waiting for a save location.";
    sender = sessionsOfPeer[1];
    const UUID pastTheBound = copy(FileTransferIntent::copy);
    EXPECT_EQ(center.savePanels.size(), bound);
    ASSERT_TRUE(center.rows.contains(pastTheBound));
    EXPECT_EQ(center.rows.at(pastTheBound)->statusLbl->text, refusal);
    EXPECT_TRUE(diagnosticsContain("files: refused batch " + pastTheBound.id8() +
                                   ": too many batches of its Viewer wait for a save location"));
    {
        std::lock_guard lock(sentLock);
        EXPECT_TRUE(std::any_of(sent.begin(), sent.end(), [&](const auto& s) {
            return s.first.op == FileTransferOp::peerSendResponse && s.first.batchID == pastTheBound &&
                   s.second == sender.uuidString() &&
                   FileTransferService::peerSendResponse(s.first).value_or(FileTransferPeerSendResponse()).message ==
                       refusal;
        })) << "the session that sent it hears why";
    }
    EXPECT_FALSE(delegate->fileDelivery.inboundBatches.contains(pastTheBound));
    const auto stagingRoot = delegate->components.fileTransferService->stagingRoot();
    ASSERT_TRUE(runUntil([&] {
        delegate->components.fileTransferService->syncRemovalQueueForTesting();
        return std::distance(fs::directory_iterator(stagingRoot), {}) == static_cast<std::ptrdiff_t>(bound);
    }));

    // Another peer's copy waits for its own folder.
    ledger = std::make_shared<WorkLedger>("192.0.2.2", size_t{1} << 30, 100000);
    sender = UUID::random();
    copy(FileTransferIntent::copy);
    EXPECT_EQ(center.savePanels.size(), bound + 1);

    // An answered panel makes room again.
    const fs::path folder = Folders::home() / "Room";
    fs::create_directories(folder);
    onMain([&] { center.savePanels.front()->answerOK(folder); });
    runUntilIdle();
    EXPECT_TRUE(runUntil([&] { return peer->held(WorkLedger::Held::saveLocations) == bound - 1; }));
    ledger = peer;
    sender = sessionsOfPeer[0];
    copy(FileTransferIntent::copy);
    EXPECT_EQ(peer->held(WorkLedger::Held::saveLocations), bound);
}

// The panel goes with its batch, and a pick that comes all the same
// delivers nothing.
TEST_F(StagedDelivery, APickAfterTheRowWasCancelledDeliversNothing) {
    auto batch = viewer->sendURLs({source}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt);
    ASSERT_TRUE(batch);
    runUntilIdle();
    auto& center = FileTransferCenter::shared();
    ASSERT_EQ(center.savePanels.size(), 1u);
    const auto panel = center.savePanels.front();
    onMain([&] { center.rows.at(*batch)->cancelBtn->performClick(); });
    runUntilIdle();
    EXPECT_TRUE(stagingEmpty());
    EXPECT_TRUE(center.savePanels.empty()) << "nobody is asked for a batch that is gone";
    const fs::path folder = Folders::home() / "Late";
    fs::create_directories(folder);
    onMain([&] { panel->answerOK(folder); });
    runUntilIdle();
    EXPECT_TRUE(fs::is_empty(folder));
    EXPECT_FALSE(delegate->fileDelivery.inboundBatches.contains(*batch)) << "nothing waits for it";
    EXPECT_EQ(center.rows.at(*batch)->statusLbl->text, "Cancelled");
}

// --- Finder drops ----------------------------------------------------------------

TEST_F(StagedDelivery, DropsLandInFindersFrontFolderElseDesktopElseDownloads) {
    const fs::path home = Folders::home();
    const fs::path shown = home / "Shown";
    struct Case {
        const char* name;
        SimulatedFinder::FrontWindow front;
        bool desktopInICloud;
        // Where the item lands; nowhere when the folder cannot take it.
        std::optional<fs::path> expected;
        std::optional<std::string> logLine;
        bool desktopIsAFile = false;
    };
    const std::vector<Case> cases = {
        {"Finder shows a folder", SimulatedFinder::FolderWindow{shown.string() + "/"}, false, shown / "a.txt", {}},
        {"no Finder window", SimulatedFinder::NoWindow{}, false, home / "Desktop" / "a.txt", {}},
        {"script error", SimulatedFinder::ScriptError{"Finder got an error."}, false, home / "Desktop" / "a 1.txt",
         "files: AppleScript Finder front window failed: Finder got an error."},
        {"error without a message", SimulatedFinder::ScriptError{}, false, home / "Desktop" / "a 2.txt",
         "files: AppleScript Finder front window failed: ?"},
        {"the Desktop cannot be written", SimulatedFinder::NoWindow{}, false, std::nullopt, {}, true},
        {"Desktop in iCloud", SimulatedFinder::NoWindow{}, true, home / "Downloads" / "a.txt", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimulatedFinder::current().setFrontWindow(c.front);
        if (c.desktopInICloud) {
            const fs::path cloud = home / "Library" / "Mobile Documents" / "com~apple~CloudDocs" / "Desktop";
            fs::create_directories(cloud);
            fs::rename(home / "Desktop", cloud / "local");
            fs::create_directory_symlink(cloud, home / "Desktop");
        }
        if (c.desktopIsAFile) {
            fs::remove_all(home / "Desktop");
            std::ofstream(home / "Desktop") << "not a folder";
        }
        const size_t viewerRequests = WorkspaceFileViewer::requestsForTesting().size();
        const size_t scripts = SimulatedFinder::current().scriptsRun().size();
        auto batch = viewer->sendURLs({source}, FileTransferIntent::dropToFinder, "~/Ignored", {}, std::nullopt);
        ASSERT_TRUE(batch);
        runUntilIdle();
        if (c.expected) {
            EXPECT_TRUE(fs::exists(*c.expected));
            EXPECT_EQ(WorkspaceFileViewer::requestsForTesting().back(), std::vector<fs::path>{*c.expected});
        } else {
            EXPECT_EQ(WorkspaceFileViewer::requestsForTesting().size(), viewerRequests) << "nothing to show";
        }
        const int dropped = c.expected ? 1 : 0;
        EXPECT_FALSE(fs::exists(Folders::home() / "Ignored" / "a.txt")) << "a drop ignores any hint";
        EXPECT_TRUE(FileTransferCenter::shared().savePanels.empty());
        EXPECT_EQ(FileTransferCenter::shared().rows.at(*batch)->statusLbl->text,
                  "Dropped " + std::to_string(dropped) + " item(s) into Finder");
        EXPECT_TRUE(diagnosticsContain("files: dropped " + std::to_string(dropped) + "/1 item(s) into "));
        if (c.logLine) {
            EXPECT_TRUE(diagnosticsContain(*c.logLine));
        }
        EXPECT_EQ(SimulatedFinder::current().scriptsRun().size(), scripts + 1);
        EXPECT_FALSE(receipt());
        EXPECT_TRUE(stagingEmpty()) << "what could not be dropped leaves staging too";
        if (c.desktopIsAFile) {
            fs::remove(home / "Desktop");
            fs::create_directory(home / "Desktop");
        }
    }
    EXPECT_EQ(SimulatedFinder::current().scriptsRun().front(),
              "tell application \"Finder\"\n"
              "    if (count of windows) > 0 then\n"
              "        try\n"
              "            set theTarget to target of front window\n"
              "            return POSIX path of (theTarget as alias)\n"
              "        end try\n"
              "    end if\n"
              "    return \"\"\n"
              "end tell");
}

// --- Managed copies that ask on conflicts --------------------------------------------

TEST_F(StagedDelivery, PromptingManagedCopyReplacesWithABackupOrStops) {
    const fs::path docs = Folders::home() / "Documents";
    const auto options = FileTransferDeliveryOptions(FileTransferDeliveryOptions::promptForConflicts.rawValue |
                                                     FileTransferDeliveryOptions::backupBeforeOverwrite.rawValue);
    struct Case {
        const char* name;
        size_t button;  // 1 Stop, 2 Replace
        std::string row;
        bool accepted;
        std::optional<std::string> detail;
        std::string contentAfter;
    };
    const std::vector<Case> cases = {
        {"Replace", 2, "Saved 1 item(s) to Documents", true, std::nullopt, "hello"},
        {"Stop", 1, "Stopped after saving 0 item(s)", false, "Stopped after saving 0 item(s).", "old"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard lock(sentLock);
            sent.clear();
        }
        fs::create_directories(docs);
        std::ofstream(docs / "a.txt") << "old";
        auto batch = viewer->sendURLs({source}, FileTransferIntent::managedCopy, "~/Documents", options, std::nullopt);
        ASSERT_TRUE(batch);
        runUntilIdle();
        auto alerts = app().shownAlerts();
        ASSERT_EQ(alerts.size(), 1u);
        EXPECT_EQ(alerts[0]->window()->sheetParent(), FileTransferCenter::shared().window)
            << "asked on the progress window";
        onMain([&] { alerts[0]->pressButton(c.button); });
        runUntilIdle();
        EXPECT_EQ(FileTransferCenter::shared().rows.at(*batch)->statusLbl->text, c.row);
        std::string text;
        std::ifstream(docs / "a.txt") >> text;
        EXPECT_EQ(text, c.contentAfter);
        auto answer = receipt();
        ASSERT_TRUE(answer);
        auto verdict = FileTransferService::peerSendResponse(*answer);
        EXPECT_EQ(verdict->accepted, c.accepted);
        EXPECT_EQ(verdict->message, c.detail);
        EXPECT_TRUE(stagingEmpty());
    }
    const fs::path transfer = Folders::home() / "Norvessal Backups" / "transfer";
    std::vector<fs::path> stamps(fs::directory_iterator(transfer), {});
    ASSERT_EQ(stamps.size(), 1u);
    std::string backedUp;
    std::ifstream(stamps[0] / "Documents" / "a.txt") >> backedUp;
    EXPECT_EQ(backedUp, "old");
}

// What could not be saved goes with its batch, and the receipt names it:
// refused when its packet came, or not delivered. A failed move that could
// not be undone says what it left in the folder rather than that nothing
// arrived, also one the user chose to keep beside an item of its name.
TEST_F(StagedDelivery, WhatCouldNotBeDeliveredIsNamedInTheReceiptAndLeavesStaging) {
    const fs::path second = source.parent_path() / "b.txt";
    std::ofstream(second) << "bee";
    const fs::path folder = source.parent_path() / "F";
    fs::create_directories(folder / "a");
    std::ofstream(folder / "a" / "f.txt") << "f";
    std::ofstream(folder / "b.txt") << "b";
    // A folder whose subfolder the Viewer names past what the Host takes.
    const fs::path renamed = source.parent_path() / "G";
    fs::create_directories(renamed / "sub");
    std::string deep = "G";
    for (int i = 1; i < 130; ++i) deep += "/d";
    const std::string longName = "G/" + std::string(256, 'n');
    auto renaming = [this](std::string to) {
        return [this, to] {
            rewrite = [to](FileTransferPacket& p) {
                if (p.op == FileTransferOp::mkdir && p.path == "G/sub") p.path = to;
            };
        };
    };
    using Step = FileMoves::FallbackStep;
    struct Case {
        const char* name;
        std::vector<fs::path> sent;
        std::function<void()> fault;
        std::string row;
        std::string receipt;
        // "F" is there already; the clash is asked about and kept both.
        bool keptBoth = false;
    };
    int placed = 0;
    const fs::path keptBeside = Folders::home() / "Two4";
    const Case cases[] = {
        {"a move that fails", {source, second},
         [] { FileMoves::setMoveFailureForTesting([](const fs::path& p) { return p.filename() == "b.txt"; }); },
         "Saved 1 item(s); 1 could not be saved", "Saved 1 item(s); 1 could not be saved: b.txt."},
        {"a folder whose failed move could not be undone", {folder},
         [&] {
             // Without the no-replace flag, the third item placed fails, and
             // so does every undo.
             FileMoves::setNoReplaceRefusedForTesting(true);
             FileMoves::setFallbackFailureForTesting([&](Step step, const std::string& relative) {
                 return step == Step::undo || (step == Step::place && !relative.empty() && ++placed == 3);
             });
         },
         "Saved 0 item(s); 1 could not be saved; 3 item(s) of them remain in the folder",
         "Saved 0 item(s); 1 could not be saved: F. 3 item(s) of what could not be saved remain in the folder."},
        {"a folder past the depth bound", {renamed}, renaming(deep), "Saved 1 item(s); 1 could not be saved",
         "Saved 1 item(s); 1 could not be saved: " + deep + "."},
        {"a folder name past the system's length", {renamed}, renaming(longName),
         "Saved 1 item(s); 1 could not be saved", "Saved 1 item(s); 1 could not be saved: " + longName + "."},
        {"a folder kept both whose failed move could not be undone", {folder},
         [&] {
             // As above, but the third item's name is found taken in the
             // new folder: a failure for want of a name that left items
             // there is not one to try again under the next name.
             placed = 0;
             FileMoves::setNoReplaceRefusedForTesting(true);
             FileMoves::setFallbackFailureForTesting([&](Step step, const std::string& relative) {
                 if (step == Step::place && !relative.empty() && ++placed == 3)
                     std::ofstream(keptBeside / "F copy" / relative) << "theirs";
                 return step == Step::undo;
             });
         },
         "Saved 0 item(s); 1 could not be saved; 3 item(s) of them remain in the folder",
         "Saved 0 item(s); 1 could not be saved: F. 3 item(s) of what could not be saved remain in the folder.", true},
    };
    int i = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard lock(sentLock);
            sent.clear();
        }
        c.fault();
        const std::string into = "~/Two" + std::to_string(i++);
        if (c.keptBoth) {
            fs::create_directories(keptBeside);
            std::ofstream(keptBeside / "F") << "old";
        }
        const auto options = c.keptBoth ? FileTransferDeliveryOptions::promptForConflicts : FileTransferDeliveryOptions();
        auto batch = viewer->sendURLs(c.sent, FileTransferIntent::managedCopy, into, options, std::nullopt);
        ASSERT_TRUE(batch);
        runUntilIdle();
        if (c.keptBoth) {
            auto alerts = app().shownAlerts();
            ASSERT_EQ(alerts.size(), 1u) << "the clash is asked about";
            onMain([&] { alerts[0]->pressButton(0); });  // Keep Both
            runUntilIdle();
        }
        FileMoves::setMoveFailureForTesting(nullptr);
        FileMoves::setFallbackFailureForTesting(nullptr);
        FileMoves::setNoReplaceRefusedForTesting(false);
        rewrite = nullptr;
        EXPECT_EQ(FileTransferCenter::shared().rows.at(*batch)->statusLbl->text, c.row);
        auto answer = receipt();
        ASSERT_TRUE(answer);
        EXPECT_FALSE(FileTransferService::peerSendResponse(*answer)->accepted);
        EXPECT_EQ(FileTransferService::peerSendResponse(*answer)->message, c.receipt);
        EXPECT_TRUE(stagingEmpty()) << "what failed goes with its batch";
    }
    EXPECT_TRUE(fs::exists(Folders::home() / "Two0" / "a.txt"));
    EXPECT_FALSE(fs::exists(Folders::home() / "Two0" / "b.txt"));
    EXPECT_TRUE(diagnosticsContain("files: failed to deliver b.txt -> "));
    EXPECT_TRUE(fs::is_directory(Folders::home() / "Two2" / "G"));
    EXPECT_TRUE(fs::is_empty(Folders::home() / "Two2" / "G")) << "nothing was made for the refused folder";
    std::string kept;
    std::ifstream(keptBeside / "F") >> kept;
    EXPECT_EQ(kept, "old");
    EXPECT_TRUE(fs::is_directory(keptBeside / "F copy")) << "what the failed move left keeps the name it was given";
    EXPECT_EQ(std::distance(fs::directory_iterator(keptBeside), {}), 2) << "nothing came in under another name";
}

// --- Staged items that go, with a link planted on their way ---------------------------

// Staging lies in the console user's home when the Host runs for another
// user, who may put a link in place of the inbox folder or of the Viewer's
// folder in it once items are staged. Whatever then has the staged items
// go (a Stop, a cancelled save, a Viewer leaving) removes nothing in the
// folder the link leads to, though it holds items of the staged names.
TEST_F(StagedDelivery, ALinkPlantedBeforeStagedItemsGoLeadsTheirRemovalNowhere) {
    const fs::path second = source.parent_path() / "b.txt";
    std::ofstream(second) << "bee";
    const fs::path stagingRoot = delegate->components.fileTransferService->stagingRoot();
    const fs::path outside = dataRoot->path() / "outside";
    auto forward = [this](FileTransferPacket p, const std::optional<std::string>&) {
        delegate->handleIncomingFileTransferPacket(std::move(p), session);
        return true;
    };
    // The path the link is planted at, and the copies of the staged items
    // where it leads.
    fs::path linked;
    std::vector<fs::path> precious;
    auto plant = [&] {
        std::vector<fs::path> batches(fs::directory_iterator(stagingRoot), {});
        ASSERT_EQ(batches.size(), 1u);
        for (const char* name : {"a.txt", "b.txt"}) {
            precious.push_back(outside / (batches[0] / name).lexically_relative(linked));
            fs::create_directories(precious.back().parent_path());
            std::ofstream(precious.back()) << "precious";
        }
        fs::rename(linked, linked.string() + ".aside");
        fs::create_directory_symlink(outside, linked);
    };
    // Stops the delivery and plants the link while "a.txt" moves, which fails.
    auto stopWhileTheFirstMoves = [&](const std::optional<UUID>& batch) {
        FileMoves::setMoveFailureForTesting([&](const fs::path& from) {
            if (from.filename() != "a.txt") return false;
            delegate->fileDelivery.inboundBatches.at(*batch).deliveryStop->store(true);
            plant();
            return true;
        });
    };

    enum class Road { deliveryStopped, stoppedBeforeTheRest, conflictStopped, saveCancelled, viewerLeftMidBatch };
    const std::vector<std::pair<const char*, Road>> roads = {
        {"a numbered delivery stopped", Road::deliveryStopped},
        {"a prompting delivery stopped before the rest", Road::stoppedBeforeTheRest},
        {"a clash answered Stop", Road::conflictStopped},
        {"the save location cancelled", Road::saveCancelled},
        {"the Viewer left mid-batch", Road::viewerLeftMidBatch},
    };
    int index = 0;
    for (const fs::path& place : {stagingRoot.parent_path(), stagingRoot}) {
        for (const auto& [name, road] : roads) {
            SCOPED_TRACE(std::string(name) + ", link in place of " + place.filename().string());
            linked = place;
            precious.clear();
            const std::string folder = "Linked" + std::to_string(index++);
            std::optional<UUID> batch;
            switch (road) {
                case Road::deliveryStopped:
                case Road::stoppedBeforeTheRest: {
                    stopWhileTheFirstMoves(batch);
                    const auto options = road == Road::deliveryStopped ? FileTransferDeliveryOptions()
                                                                       : FileTransferDeliveryOptions::promptForConflicts;
                    batch = viewer->sendURLs({source, second}, FileTransferIntent::managedCopy, "~/" + folder, options,
                                             std::nullopt);
                    runUntilIdle();
                    break;
                }
                case Road::conflictStopped: {
                    fs::create_directories(Folders::home() / folder);
                    std::ofstream(Folders::home() / folder / "a.txt") << "old";
                    const size_t asked = app().shownAlerts().size();
                    batch = viewer->sendURLs({source}, FileTransferIntent::managedCopy, "~/" + folder,
                                             FileTransferDeliveryOptions::promptForConflicts, std::nullopt);
                    runUntilIdle();
                    auto alerts = app().shownAlerts();
                    ASSERT_EQ(alerts.size(), asked + 1) ;
                    plant();
                    onMain([&] { alerts.back()->pressButton(1); });  // Stop
                    runUntilIdle();
                    break;
                }
                case Road::saveCancelled:
                    batch =
                        viewer->sendURLs({source, second}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt);
                    runUntilIdle();
                    ASSERT_FALSE(FileTransferCenter::shared().savePanels.empty());
                    plant();
                    onMain([&] { FileTransferCenter::shared().savePanels.back()->answerCancel(); });
                    runUntilIdle();
                    break;
                case Road::viewerLeftMidBatch:
                    viewer->routedSendPacket = [&](FileTransferPacket p, const std::optional<std::string>& token) {
                        if (p.op == FileTransferOp::fileEnd || p.op == FileTransferOp::batchEnd) return true;
                        return forward(std::move(p), token);
                    };
                    batch = viewer->sendURLs({source, second}, FileTransferIntent::managedCopy, "~/" + folder, {},
                                             std::nullopt);
                    runUntilIdle();
                    plant();
                    onMain([&] { delegate->handleFileTransferSessionEnded(session); });
                    runUntilIdle();
                    delegate->components.fileTransferService->syncRemovalQueueForTesting();
                    viewer->routedSendPacket = forward;
                    break;
            }
            FileMoves::setMoveFailureForTesting(nullptr);
            ASSERT_TRUE(batch);
            ASSERT_EQ(precious.size(), 2u) << "the link was planted";
            for (const auto& item : precious) {
                std::string text;
                std::ifstream(item) >> text;
                EXPECT_EQ(text, "precious") << item;
            }
            // As the user would put it back; what stayed staged goes, as
            // the next start would have it.
            fs::remove(linked);
            fs::rename(linked.string() + ".aside", linked);
            fs::remove_all(outside);
            for (const auto& entry : fs::directory_iterator(stagingRoot)) fs::remove_all(entry.path());
        }
    }
}

// The same link, planted while a staged batch waits for its save location,
// above the batch folder: the items it leads to, named as the staged ones,
// are not moved into the chosen folder, whichever way the batch is moved.
// The staged items count as failed and stay where they were staged.
TEST_F(StagedDelivery, ALinkPlantedAboveAStagedBatchBringsInNothingItLeadsTo) {
    const fs::path second = source.parent_path() / "b.txt";
    std::ofstream(second) << "bee";
    const fs::path stagingRoot = delegate->components.fileTransferService->stagingRoot();
    const fs::path outside = dataRoot->path() / "outside";
    const std::vector<std::pair<const char*, FileTransferDeliveryOptions>> roads = {
        {"numbered names", FileTransferDeliveryOptions()},
        {"asking on a clash", FileTransferDeliveryOptions::promptForConflicts},
    };
    int index = 0;
    for (const auto& [name, options] : roads) {
        SCOPED_TRACE(name);
        const fs::path folder = Folders::home() / ("Below" + std::to_string(index++));
        auto batch = viewer->sendURLs({source, second}, FileTransferIntent::copy, std::nullopt, options, std::nullopt);
        ASSERT_TRUE(batch);
        runUntilIdle();
        auto& center = FileTransferCenter::shared();
        ASSERT_FALSE(center.savePanels.empty());
        std::vector<fs::path> batches(fs::directory_iterator(stagingRoot), {});
        ASSERT_EQ(batches.size(), 1u);
        const fs::path planted = outside / batches[0].filename();
        fs::create_directories(planted);
        for (const char* item : {"a.txt", "b.txt"}) std::ofstream(planted / item) << "precious";
        fs::rename(stagingRoot, stagingRoot.string() + ".aside");
        fs::create_directory_symlink(outside, stagingRoot);

        onMain([&] { center.savePanels.back()->answerOK(folder); });
        runUntilIdle();
        EXPECT_EQ(center.rows.at(*batch)->statusLbl->text, "Saved 0 item(s); 2 could not be saved");
        const fs::path aside = stagingRoot.string() + ".aside";
        for (const char* item : {"a.txt", "b.txt"}) {
            SCOPED_TRACE(item);
            EXPECT_FALSE(fs::exists(folder / item));
            std::string text;
            std::ifstream(planted / item) >> text;
            EXPECT_EQ(text, "precious");
            EXPECT_TRUE(fs::exists(aside / batches[0].filename() / item)) << "the staged item stays staged";
        }
        fs::remove(stagingRoot);
        fs::rename(aside, stagingRoot);
        fs::remove_all(outside);
        for (const auto& entry : fs::directory_iterator(stagingRoot)) fs::remove_all(entry.path());
    }
}

// --- Start-up -----------------------------------------------------------------------------

class StartUp : public HostShellTest {};

TEST_F(StartUp, InboxFoldersOfEarlierRunsAreRemoved) {
    const fs::path inbox = Folders::caches() / "VelantrixFileInbox" / "Viewer";
    fs::create_directories(inbox / "1796464807-ABCDEF12" / "tree");
    std::ofstream(inbox / "1796464807-ABCDEF12" / "tree" / "left.txt") << "left";
    // Deeper than any walk goes: removed all the same.
    fs::path deep = inbox / "1796464808-ABCDEF13";
    for (int i = 0; i < 200; i++) deep /= "d";
    fs::create_directories(deep);
    std::ofstream(deep / "left.txt") << "left";
    launch();
    runUntilIdle();
    EXPECT_TRUE(fs::exists(inbox));
    EXPECT_TRUE(fs::is_empty(inbox));
}

// The staging root lies in the console user's home: a link put in place of
// it, or of the folder above it, leads the start-up's removal nowhere.
class StartUpWithALinkOnTheWay : public HostShellTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(StartUpWithALinkOnTheWay, RemovesNothingOutside) {
    const fs::path outside = dataRoot->path() / "outside";
    const fs::path precious = outside / "Viewer" / "1796464807-ABCDEF12" / "precious.txt";
    fs::create_directories(precious.parent_path());
    std::ofstream(precious) << "precious";
    const fs::path linked = Folders::caches() / GetParam();
    fs::create_directories(linked.parent_path());
    fs::create_directory_symlink(std::string(GetParam()) == "VelantrixFileInbox" ? outside : outside / "Viewer", linked);
    launch();
    runUntilIdle();
    EXPECT_TRUE(fs::exists(precious));
}

INSTANTIATE_TEST_SUITE_P(Places, StartUpWithALinkOnTheWay,
                         ::testing::Values("VelantrixFileInbox", "VelantrixFileInbox/Viewer"));

}  // namespace

namespace {

// A Viewer logs in as the console user; when the Host runs as another user
// (here: the console user is "viewertest", the Host runs as this process's
// user), everything a Viewer names must lie inside the console user's home
// (the data root's), links resolved. The name is looked up in a directory
// that knows no account, so a machine with a "viewertest" of its own runs
// the same test.
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
        ViewerPathConfinement::setAccountLookupForTesting(
            [](const std::string&) -> std::optional<ViewerPathConfinement::Account> { return std::nullopt; });
        setConsoleUser("viewertest");
    }
    ~ConfinedToConsoleHome() override { ViewerPathConfinement::setAccountLookupForTesting(nullptr); }
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
