// Files between the launched Host and a test Viewer through real loopback
// sockets: a Viewer's managed copy into a folder it names, files it asks
// the Host for, a Viewer that leaves mid-file, and a folder on another file
// system where the move becomes a copy.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <mutex>
#include <random>

#include "HostApp/Shell/HostShellTestFixture.h"
#include "Platform/AppKit/AppKitApplication.h"
#include "Platform/Files/FileIO.h"
#include "Platform/Files/FileMoves.h"
#include "Platform/Files/Folders.h"
#include "HostApp/FileDelivery/ViewerPathConfinement.h"
#include "Platform/Runtime/WorkLedger.h"
#include "Support/FileTransferTestViewer.h"
#include "Support/LongListingFolder.h"
#include "Support/TestSupport.h"
#include "VelantrixProfiles/FileTransfer/FileTransferCenter.h"
#include "VelantrixProfiles/FileTransferWindow/FileTransferConflictResolver.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

class InboundDeliveryE2E : public HostShellTest {
protected:
    void SetUp() override {
        launch();
        FileTransferCenter::shared().resetForTesting();
        fs::create_directories(Folders::home());
        viewer = FileTransferTestViewer::connect(runtime, delegate->audioServer(), *log, consoleUser, password, "Viewer");
    }
    ~InboundDeliveryE2E() override {
        FileMoves::setCopyFailureForTesting(nullptr);
        FileMoves::setMoveFailureForTesting(nullptr);
        ViewerPathConfinement::setAccountLookupForTesting(nullptr);
        FileTransferCenter::shared().resetForTesting();
        for (const auto& f : cleanup) fs::remove_all(f);
    }

    void writeTree(const fs::path& tree) {
        fs::create_directories(tree / "nested" / "deeper");
        std::ofstream(tree / "empty");
        std::ofstream(tree / "caf\xC3\xA9") << "composed";
        std::ofstream(tree / "cafe\xCC\x81") << "decomposed";
        std::ofstream(tree / "\xE6\x97\xA5\xE6\x9C\xAC") << "kanji";
        std::string bulk(700000, '\0');
        for (size_t i = 0; i < bulk.size(); ++i) bulk[i] = static_cast<char>(i % 251);
        std::ofstream(tree / "nested" / "deeper" / "bulk.bin", std::ios::binary) << bulk;
    }
    bool stagingEmpty() { return fs::is_empty(delegate->components.fileTransferService->stagingRoot()); }
    // The first question the Host's user is asked, once it is up; none
    // within the bound.
    std::shared_ptr<Alert> firstQuestion() {
        std::shared_ptr<Alert> question;
        runUntil([&] {
            auto shown = Application::shared().shownAlerts();
            if (!shown.empty()) question = shown.front();
            return question != nullptr;
        });
        return question;
    }
    std::optional<std::string> rowText(const UUID& batch) {
        auto& rows = FileTransferCenter::shared().rows;
        if (!rows.contains(batch)) return std::nullopt;
        return rows.at(batch)->statusLbl->text;
    }
    // A folder on another file system, when the machine has a tmpfs.
    std::optional<fs::path> otherFileSystem() {
        struct stat here{}, there{};
        if (::stat(dataRoot->path().c_str(), &here) != 0 || ::stat("/dev/shm", &there) != 0) return std::nullopt;
        if (here.st_dev == there.st_dev) return std::nullopt;
        auto folder = fs::path("/dev/shm") / ("delivery-" + UUID::random().uuidString());
        fs::create_directories(folder);
        cleanup.push_back(folder);
        return folder;
    }

    std::unique_ptr<FileTransferTestViewer> viewer;
    fs::path source = dataRoot->path() / "viewer";
    std::vector<fs::path> cleanup;
};

TEST_F(InboundDeliveryE2E, ManagedCopyOfATreeArrivesWholeAndLeavesNoStaging) {
    const fs::path tree = source / "tree";
    writeTree(tree);
    bool withLargeFile = true;
#ifdef NORVESSAL_SANITIZED_BUILD
    withLargeFile = false;  // 4 GiB through the instrumented build outlasts the time limit
#endif
    struct statvfs vfs {};
    ASSERT_EQ(::statvfs(dataRoot->path().c_str(), &vfs), 0);
    if (static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize < (6ull << 30)) withLargeFile = false;
    if (withLargeFile) {
        std::ofstream out(tree / "sparse.bin", std::ios::binary);
        for (uint64_t at : {0ull, (4ull << 30) - 3, 4ull << 30, (4ull << 30) + (1u << 20) - 8}) {
            out.seekp(static_cast<std::streamoff>(at));
            out << "MARKER!!";
        }
    }
    auto batch = viewer->service->sendURLs({tree}, FileTransferIntent::managedCopy, "~/In", {}, std::nullopt);
    ASSERT_TRUE(batch);
    ASSERT_TRUE(runUntil([&] { return !viewer->responses.empty(); }, 600));
    EXPECT_EQ(viewer->responses[0].first, *batch);
    EXPECT_TRUE(viewer->responses[0].second.accepted);
    EXPECT_EQ(digestsBelow(Folders::home() / "In" / "tree"), digestsBelow(tree));
    if (withLargeFile) {
        EXPECT_EQ(fs::file_size(Folders::home() / "In" / "tree" / "sparse.bin"), (4ull << 30) + (1u << 20));
    }
    EXPECT_TRUE(stagingEmpty());
    EXPECT_EQ(rowText(*batch), "Saved 1 item(s) to In");
}

TEST_F(InboundDeliveryE2E, PeerSendBringsHostFilesToTheViewer) {
    const fs::path out = Folders::home() / "Out";
    writeTree(out);
    auto request = viewer->service->requestPeerSend({"~/Out"}, "Inbox", {});
    ASSERT_TRUE(request);
    ASSERT_TRUE(runUntil([&] { return !viewer->responses.empty() && !viewer->completed.empty(); }, 60));
    EXPECT_EQ(viewer->responses[0].first, *request);
    EXPECT_TRUE(viewer->responses[0].second.accepted);
    EXPECT_EQ(viewer->completed[0].first, *request) << "the batch carries the request's ID";
    ASSERT_EQ(viewer->completed[0].second.size(), 1u);
    EXPECT_EQ(digestsBelow(viewer->completed[0].second[0]), digestsBelow(out));
}

// Host files a Viewer asked for that go away after the request was
// accepted: one that cannot be opened any more is a failed item at both
// ends, and a batch left with nothing fails at once with a cancelBatch.
TEST_F(InboundDeliveryE2E, HostFilesThatCannotBeSentAreReportedFailed) {
    struct Case {
        const char* name;
        std::vector<std::string> files;
        // Removed when the Host sends a packet of this op and path.
        FileTransferOp trigger;
        std::string triggerPath;
        std::string removed;
        std::vector<FileTransferOp> removedOps;  // what the Viewer hears of it
        bool viewerGetsABatch;
    };
    const Case cases[] = {
        {"vanished while the batch is sent", {"a.txt", "b.txt"}, FileTransferOp::fileStart, "a.txt", "b.txt",
         {FileTransferOp::fileStart}, true},
        {"vanished before the walk", {"c.txt"}, FileTransferOp::peerSendResponse, "", "c.txt", {}, false},
    };
    auto& service = *delegate->components.fileTransferService;
    const auto wired = service.routedSendPacket.get();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path out = Folders::home() / "Out";
        std::vector<std::string> asked;
        for (const auto& name : c.files) {
            fs::create_directories(out);
            std::ofstream(out / name) << name;
            asked.push_back("~/Out/" + name);
        }
        service.routedSendPacket = [&, wired](FileTransferPacket p, const std::optional<std::string>& token) {
            if (p.op == c.trigger && p.path == c.triggerPath) fs::remove(out / c.removed);
            return wired(std::move(p), token);
        };
        viewer->received.clear();
        viewer->completed.clear();
        auto request = viewer->service->requestPeerSend(asked, "Inbox", {});
        ASSERT_TRUE(request);
        ASSERT_TRUE(runUntil([&] { return rowText(*request) == "1 item(s) could not be sent"; }));
        if (c.viewerGetsABatch) {
            ASSERT_TRUE(runUntil([&] { return !viewer->completed.empty(); }));
            ASSERT_EQ(viewer->completed[0].second.size(), 1u);
            EXPECT_EQ(viewer->completed[0].second[0].filename(), "a.txt");
        } else {
            ASSERT_TRUE(runUntil([&] {
                return std::any_of(viewer->received.begin(), viewer->received.end(), [&](const auto& p) {
                    return p.op == FileTransferOp::cancelBatch && p.batchID == *request;
                });
            }));
        }
        std::vector<FileTransferOp> ofRemoved;
        for (const auto& p : viewer->received)
            if (p.path == c.removed) ofRemoved.push_back(p.op);
        EXPECT_EQ(ofRemoved, c.removedOps);
        fs::remove_all(out);
    }
    service.routedSendPacket = wired;
}

TEST_F(InboundDeliveryE2E, AViewerLeavingMidFileLeavesNothingBehind) {
    fs::create_directories(source);
    {
        std::ofstream big(source / "big.bin", std::ios::binary);
        big.seekp((64 << 20) - 1);
        big.put('x');
    }
    bool left = false;
    viewer->service->onOutgoingBatchProgress = [&](const UUID&, uint64_t sent, uint64_t) {
        if (sent == 0 || left) return;
        left = true;
        viewer->disconnect();
    };
    auto batch = viewer->service->sendURLs({source / "big.bin"}, FileTransferIntent::managedCopy, "~/In", {},
                                           std::nullopt);
    ASSERT_TRUE(batch);
    ASSERT_TRUE(runUntil([&] { return left; }));
    const double start = Clock::uptimeSeconds();
    ASSERT_TRUE(runUntil([&] { return rowText(*batch) == "Cancelled" && stagingEmpty(); }));
    EXPECT_LT(Clock::uptimeSeconds() - start, 1.0);
    EXPECT_FALSE(fs::exists(Folders::home() / "In" / "big.bin"));
    EXPECT_EQ(FileTransferCenter::shared().rows.at(*batch)->statusLbl->textColor, Color::systemRed);
}

// A cancel of the row, or the Viewer leaving, while a batch's items are
// being saved: delivery stops before the next item moves (here, while the
// second item's name clash is asked about: the question ends with it), what
// was saved stays, and the receipt and the row say how many were saved
// instead of "Cancelled".
TEST_F(InboundDeliveryE2E, ACancelDuringDeliveryStopsBeforeTheNextItemAndKeepsWhatWasSaved) {
    for (const bool viewerLeaves : {false, true}) {
        SCOPED_TRACE(viewerLeaves ? "the Viewer leaves" : "the row is cancelled");
        if (viewerLeaves) {
            viewer = FileTransferTestViewer::connect(runtime, delegate->audioServer(), *log, consoleUser, password,
                                                     "Viewer");
        }
        const fs::path in = Folders::home() / (viewerLeaves ? "InLeft" : "InCancelled");
        fs::create_directories(in);
        std::ofstream(in / "b.txt") << "already there";
        const fs::path from = source / (viewerLeaves ? "left" : "cancelled");
        fs::create_directories(from);
        for (const char* name : {"a.txt", "b.txt", "c.txt"}) std::ofstream(from / name) << name;

        auto batch = viewer->service->sendURLs({from / "a.txt", from / "b.txt", from / "c.txt"},
                                               FileTransferIntent::managedCopy, in.string(),
                                               FileTransferDeliveryOptions::promptForConflicts, std::nullopt);
        ASSERT_TRUE(batch);
        const std::shared_ptr<Alert> question = firstQuestion();
        ASSERT_TRUE(question);
        EXPECT_TRUE(fs::exists(in / "a.txt"));

        if (viewerLeaves) {
            viewer->disconnect();
            ASSERT_TRUE(runUntil([&] { return diagnosticsContain("files: stopped delivery of batch " + batch->id8()); }));
        } else {
            onMain([&] { FileTransferCenter::shared().rows.at(*batch)->didCancel(); });
        }
        // Nobody is left to answer for it: the question goes with the delivery.
        EXPECT_FALSE(question->isShown());
        onMain([&] { question->pressButton(0); });  // Keep Both, too late
        ASSERT_TRUE(runUntil([&] { return rowText(*batch) == "Stopped after saving 1 item(s)"; }))
            << rowText(*batch).value_or("no row") << " alert: " << question->messageText;
        ASSERT_TRUE(runUntil([&] { return stagingEmpty(); }));
        EXPECT_EQ(*FileIO::readAll(in / "a.txt"), std::vector<uint8_t>({'a', '.', 't', 'x', 't'}));
        EXPECT_FALSE(fs::exists(in / "b copy.txt"));
        EXPECT_FALSE(fs::exists(in / "c.txt"));
        if (!viewerLeaves) {
            ASSERT_TRUE(runUntil([&] { return !viewer->responses.empty(); }));
            ASSERT_EQ(viewer->responses.size(), 1u);
            EXPECT_EQ(viewer->responses[0].first, *batch);
            EXPECT_FALSE(viewer->responses[0].second.accepted);
            EXPECT_EQ(viewer->responses[0].second.message, "Stopped after saving 1 item(s).");
        }
    }
}

TEST_F(InboundDeliveryE2E, ARowsCancelWhileTheServerQueueIsBusyLeavesTheMainThreadFreeAndStillReachesTheViewer) {
    fs::create_directories(source);
    std::ofstream(source / "a.txt") << "hello";
    // No folder named: the row waits for the user to pick one.
    auto batch = viewer->service->sendURLs({source / "a.txt"}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt);
    ASSERT_TRUE(batch);
    ASSERT_TRUE(runUntil([&] { return FileTransferCenter::shared().rows.contains(*batch); }));
    auto toldToStop = [&] {
        return std::any_of(viewer->received.begin(), viewer->received.end(), [&](const FileTransferPacket& p) {
            return p.op == FileTransferOp::cancelBatch && p.batchID == *batch;
        });
    };

    // Busy for 3 s, as a display mode switch can keep it.
    auto server = delegate->audioServer();
    DispatchQueue releaser("test.releaser");
    server->queue.suspend();
    releaser.asyncAfter(3.0, [server] { server->queue.resume(); });
    DispatchQueue::main().resetLongestWorkItemForTesting();
    onMain([&] { FileTransferCenter::shared().rows.at(*batch)->cancelBtn->performClick(); });
    advance(2.0);
    EXPECT_FALSE(toldToStop());
    ASSERT_TRUE(runUntil(toldToStop));
    EXPECT_LE(DispatchQueue::main().longestWorkItemSecondsForTesting(), 0.05);
}

TEST_F(InboundDeliveryE2E, OnAnotherFileSystemTheCopyArrivesWholeOrNotAtAll) {
    auto other = otherFileSystem();
    if (!other) GTEST_SKIP() << "no tmpfs on another device than the data root";
    const fs::path folder = *other / "In";
    writeTree(source / "tree");
    auto batch = viewer->service->sendURLs({source / "tree"}, FileTransferIntent::managedCopy, folder.string(), {},
                                           std::nullopt);
    ASSERT_TRUE(batch);
    ASSERT_TRUE(runUntil([&] { return viewer->responses.size() == 1; }, 60));
    EXPECT_TRUE(viewer->responses[0].second.accepted);
    EXPECT_EQ(digestsBelow(folder / "tree"), digestsBelow(source / "tree"));
    EXPECT_TRUE(stagingEmpty());

    // The copy of the second batch fails after its bytes are written.
    const auto before = digestsBelow(folder);
    std::ofstream(source / "late.bin") << std::string(300000, 'l');
    FileMoves::setCopyFailureForTesting([](const fs::path& p) { return p.filename() == "late.bin"; });
    auto failing = viewer->service->sendURLs({source / "late.bin"}, FileTransferIntent::managedCopy, folder.string(), {},
                                             std::nullopt);
    ASSERT_TRUE(failing);
    ASSERT_TRUE(runUntil([&] { return viewer->responses.size() == 2; }, 60));
    EXPECT_EQ(viewer->responses[1].first, *failing);
    EXPECT_FALSE(viewer->responses[1].second.accepted);
    EXPECT_EQ(viewer->responses[1].second.message, "Saved 0 item(s); 1 could not be saved: late.bin.");
    EXPECT_EQ(digestsBelow(folder), before) << "the folder is as it was";
    EXPECT_TRUE(diagnosticsContain("files: failed to deliver late.bin -> " + (folder / "late.bin").string()));
}

// A saved copy's moves are its peer's work whoever answered for it: when the
// Host's user picks its folder, or answers a question about a taken name,
// what the moves open (here, copies across file systems) is still on the
// peer's account, not on nobody's.
TEST_F(InboundDeliveryE2E, WhatASavesMovesOpenIsOnItsPeersAccountWhoeverAnsweredForIt) {
    auto server = delegate->audioServer();
    const auto peer = server->queue.syncValue([&] { return server->ledgerOfSession(viewer->session); });
    ASSERT_TRUE(peer);
    std::mutex lock;
    std::vector<std::shared_ptr<WorkLedger>> movedOn;
    FileMoves::setAcrossFileSystemsForTesting([](const fs::path&) { return true; });
    FileMoves::setSettleStepForTesting([&] {
        std::lock_guard guard(lock);
        movedOn.push_back(WorkLedger::current());
    });
    struct Reset {
        ~Reset() {
            FileMoves::setAcrossFileSystemsForTesting(nullptr);
            FileMoves::setSettleStepForTesting(nullptr);
        }
    } reset;
    auto& center = FileTransferCenter::shared();
    fs::create_directories(source);
    std::ofstream(source / "picked.txt") << "picked";
    ASSERT_TRUE(viewer->service->sendURLs({source / "picked.txt"}, FileTransferIntent::copy, std::nullopt, {},
                                          std::nullopt));
    ASSERT_TRUE(runUntil([&] { return !center.savePanels.empty(); }));
    onMain([&] { center.savePanels.back()->answerOK(Folders::home() / "Picked"); });
    ASSERT_TRUE(runUntil([&] { return fs::exists(Folders::home() / "Picked" / "picked.txt"); }));

    const fs::path asked = Folders::home() / "Asked";
    fs::create_directories(asked);
    std::ofstream(asked / "b.txt") << "already there";
    std::ofstream(source / "b.txt") << "b";
    ASSERT_TRUE(viewer->service->sendURLs({source / "b.txt"}, FileTransferIntent::managedCopy, asked.string(),
                                          FileTransferDeliveryOptions::promptForConflicts, std::nullopt));
    const std::shared_ptr<Alert> question = firstQuestion();
    ASSERT_TRUE(question);
    onMain([&] { question->pressButton(0); });  // Keep Both
    ASSERT_TRUE(runUntil([&] { return fs::exists(asked / "b copy.txt"); }));

    std::lock_guard guard(lock);
    ASSERT_GE(movedOn.size(), 2u);
    for (const auto& ledger : movedOn)
        EXPECT_EQ(ledger, peer) << "an item was moved on " << (ledger ? ledger->owner() : std::string("nobody")) << "'s account";
}

// A folder copied across file systems whose name is taken while it is
// being copied (by the user, or another delivery) takes the next free name,
// as a moved one does, rather than failing.
// A copy that arrived whole while its peer had no room left for what its
// move across file systems holds open waits for the room, staged, and is
// saved once the peer's other work gives some back: it is never failed,
// nor its items thrown away, for want of descriptors. Nor does a copy woken
// with it take the room it woke for: here a copy that may ask about taken
// names (it holds its staging folder open from its start) is woken by the
// same room as a folder's copy that needs all of it.
TEST_F(InboundDeliveryE2E, ACopyWhosePeerHasNoRoomForItsMoveWaitsForItAndIsSaved) {
    auto server = delegate->audioServer();
    const auto peer = server->queue.syncValue([&] { return server->ledgerOfSession(viewer->session); });
    ASSERT_TRUE(peer);
    FileMoves::setAcrossFileSystemsForTesting([](const fs::path&) { return true; });
    struct Reset {
        ~Reset() { FileMoves::setAcrossFileSystemsForTesting(nullptr); }
    } reset;
    const fs::path in = Folders::home() / "Full";
    fs::create_directories(in);
    fs::create_directories(source / "x");
    std::ofstream(source / "x" / "inside.txt") << "x";
    std::ofstream(source / "y.txt") << "y";
    constexpr auto descriptors = WorkLedger::Held::descriptors;
    const size_t bound = WorkLedger::heldBound(descriptors);
    // Room for a batch's folder and file while it arrives, its named
    // folder and the staging folder, not for the copy.
    auto othersWork = WorkLedger::Holding::take(peer, descriptors, bound - peer->held(descriptors) - 4);
    ASSERT_TRUE(othersWork);
    const std::pair<const char*, FileTransferDeliveryOptions> copies[] = {
        {"x", {}}, {"y.txt", FileTransferDeliveryOptions::promptForConflicts}};
    for (const auto& [name, options] : copies) {
        ASSERT_TRUE(viewer->service->sendURLs({source / name}, FileTransferIntent::managedCopy, in.string(), options,
                                              std::nullopt));
        const size_t waits = WorkLedger::descriptorWaitersForTesting() + 1;
        ASSERT_TRUE(runUntil([&] { return WorkLedger::descriptorWaitersForTesting() == waits || !viewer->responses.empty(); }));
    }
    advance(30);
    ASSERT_TRUE(viewer->responses.empty()) << "the copies wait for room, unanswered, not: "
                                           << viewer->responses[0].second.message.value_or("");
    EXPECT_FALSE(fs::exists(in / "x"));
    EXPECT_FALSE(stagingEmpty()) << "their items stay staged meanwhile";
    // Room comes back for what one copy's moves hold at most (its staging
    // folder and an item's move, a backup's folders included: as much as
    // the copy that asks needs to begin, more than the folder's copy with
    // the walk of its tree): both copies are saved, one after the other.
    othersWork->shrink(1 + FileTransferConflictResolver::kMoveDescriptors - (bound - peer->held(descriptors)));
    ASSERT_TRUE(runUntil([&] { return viewer->responses.size() == 2; }, 60));
    for (const auto& [id, answer] : viewer->responses) EXPECT_TRUE(answer.accepted) << answer.message.value_or("");
    EXPECT_TRUE(fs::exists(in / "x" / "inside.txt"));
    EXPECT_TRUE(fs::exists(in / "y.txt"));
    EXPECT_TRUE(runUntil([&] { return stagingEmpty(); }));
    EXPECT_EQ(peer->descriptorsReservedIdle(), 0u);

    // A copy asked about a taken name holds only its staging folder while
    // the question is open; the peer's other work takes every descriptor
    // meanwhile. Answered, the copy waits for room to move, and is saved
    // once there is some, not failed.
    othersWork.reset();
    ASSERT_TRUE(viewer->service->sendURLs({source / "y.txt"}, FileTransferIntent::managedCopy, in.string(),
                                          FileTransferDeliveryOptions::promptForConflicts, std::nullopt));
    const std::shared_ptr<Alert> question = firstQuestion();
    ASSERT_TRUE(question);
    EXPECT_EQ(peer->descriptorsReservedIdle(), 0u) << "no room is kept for a move while a person is asked";
    othersWork = WorkLedger::Holding::take(peer, descriptors, bound - peer->held(descriptors));
    ASSERT_TRUE(othersWork);
    onMain([&] { question->pressButton(0); });  // Keep Both
    advance(30);
    EXPECT_EQ(viewer->responses.size(), 2u) << "answered, it waits for room: "
                                            << viewer->responses.back().second.message.value_or("");
    othersWork.reset();
    ASSERT_TRUE(runUntil([&] { return viewer->responses.size() == 3; }, 60));
    EXPECT_TRUE(viewer->responses[2].second.accepted) << viewer->responses[2].second.message.value_or("");
    EXPECT_TRUE(fs::exists(in / "y copy.txt"));
    EXPECT_TRUE(runUntil([&] { return stagingEmpty(); }));
    EXPECT_EQ(peer->mostFilesOpenPastItsHoldings(), 0u);
}

// Copies that ask about taken names, answered while the Host's total of
// descriptors is nearly full of what waits (their own staging and folders
// among it), are saved one after another on the part of the total kept
// for moves: none waits for another for good. One stopped while it waits
// for room answers "Stopped" and keeps nothing open past its account.
TEST_F(InboundDeliveryE2E, CopiesAnsweredWhileTheHostsTotalIsFullAreSavedInTurn) {
    auto server = delegate->audioServer();
    const auto peer = server->queue.syncValue([&] { return server->ledgerOfSession(viewer->session); });
    ASSERT_TRUE(peer);
    struct TotalRestored {
        ~TotalRestored() { WorkLedger::setHostDescriptorTotal(SIZE_MAX, 0); }
    } restored;
    const fs::path in = Folders::home() / "Answered";
    fs::create_directories(in);
    std::ofstream(in / "y.txt") << "taken";
    fs::create_directories(source);
    std::ofstream(source / "y.txt") << "y";
    // Room for three copies to arrive and wait at their questions, not for
    // two copies' moves besides.
    constexpr size_t kept = WorkLedger::kDescriptorsKeptForMoves;
    WorkLedger::setHostDescriptorTotal(WorkLedger::hostDescriptorsHeld() + 15 + kept, 0, kept);
    auto answerEveryQuestion = [&] {
        for (auto& question : Application::shared().shownAlerts())
            if (question->isShown()) onMain([&] { question->pressButton(0); });  // Keep Both
        advance(5);
    };
    std::vector<UUID> batches;
    for (int i = 0; i < 3; ++i) {
        batches.push_back(viewer->service
                              ->sendURLs({source / "y.txt"}, FileTransferIntent::managedCopy, in.string(),
                                         FileTransferDeliveryOptions::promptForConflicts, std::nullopt)
                              .value_or(UUID()));
        advance(5);
    }
    for (int turn = 0; turn < 24 && viewer->responses.size() < 3; ++turn) answerEveryQuestion();
    ASSERT_EQ(viewer->responses.size(), 3u) << "answered copies wait for each other";
    for (const auto& [id, answer] : viewer->responses) EXPECT_TRUE(answer.accepted) << answer.message.value_or("");
    EXPECT_TRUE(fs::exists(in / "y copy 3.txt"));

    // At its question, the room for moves is taken by other work: the copy,
    // answered, waits for it, and its row stops it.
    const auto stopped = viewer->service->sendURLs({source / "y.txt"}, FileTransferIntent::managedCopy, in.string(),
                                                   FileTransferDeliveryOptions::promptForConflicts, std::nullopt);
    ASSERT_TRUE(stopped);
    const std::shared_ptr<Alert> question = firstQuestion();
    ASSERT_TRUE(question);
    // Another peer's, so that this peer's account holds only its own.
    const auto other = std::make_shared<WorkLedger>("192.0.2.9", size_t{1} << 20);
    std::vector<WorkLedger::Holding> othersWork;
    while (auto more = WorkLedger::Holding::take(other, WorkLedger::Held::descriptors, 1))
        othersWork.push_back(std::move(*more));
    auto othersMoves = WorkLedger::Reserve::take(other, kept);
    ASSERT_TRUE(othersMoves);
    const size_t waits = WorkLedger::descriptorWaitersForTesting();
    onMain([&] { question->pressButton(0); });
    ASSERT_TRUE(runUntil([&] { return WorkLedger::descriptorWaitersForTesting() > waits; }));
    onMain([&] { FileTransferCenter::shared().rows.at(*stopped)->didCancel(); });
    ASSERT_TRUE(runUntil([&] { return viewer->responses.size() == 4; }, 60));
    EXPECT_FALSE(viewer->responses[3].second.accepted);
    EXPECT_EQ(viewer->responses[3].second.message.value_or(""), "Stopped after saving 0 item(s).");
    othersMoves.reset();
    othersWork.clear();
    EXPECT_TRUE(runUntil([&] { return stagingEmpty(); }));
    EXPECT_EQ(peer->mostFilesOpenPastItsHoldings(), 0u);
}

TEST_F(InboundDeliveryE2E, AFolderCopiedAcrossFileSystemsWhoseNameIsTakenMeanwhileTakesTheNextOne) {
    const fs::path in = Folders::home() / "Raced";
    fs::create_directories(source / "tree");
    std::ofstream(source / "tree" / "inside.txt") << "inside";
    FileMoves::setAcrossFileSystemsForTesting([](const fs::path&) { return true; });
    bool taken = false;
    FileMoves::setSettleStepForTesting([&] {
        if (!taken && fs::exists(in)) taken = fs::create_directory(in / "tree");
    });
    struct Reset {
        ~Reset() {
            FileMoves::setAcrossFileSystemsForTesting(nullptr);
            FileMoves::setSettleStepForTesting(nullptr);
        }
    } reset;
    auto batch = viewer->service->sendURLs({source / "tree"}, FileTransferIntent::managedCopy, in.string(), {},
                                           std::nullopt);
    ASSERT_TRUE(batch);
    ASSERT_TRUE(runUntil([&] { return viewer->responses.size() == 1; }, 60));
    EXPECT_TRUE(taken);
    EXPECT_TRUE(viewer->responses[0].second.accepted) << viewer->responses[0].second.message.value_or("");
    EXPECT_EQ(*FileIO::readAll(in / "tree 1" / "inside.txt"), std::vector<uint8_t>({'i', 'n', 's', 'i', 'd', 'e'}));
    EXPECT_TRUE(stagingEmpty());
}

// Managed copies and drops sent back to back while the Host delivers them
// slower than they arrive: past its peer's batch places a batch waits, its
// Viewer held by its own socket, until a place frees. None is refused and
// every one is saved, also while copies of the same Viewer wait for the
// Host's user to pick a folder.
TEST_F(InboundDeliveryE2E, BatchesPastTheirPeersPlacesWaitAndAreAllSaved) {
    const DispatchQueue utility = DispatchQueue::global(QualityOfService::utility);
    auto& center = FileTransferCenter::shared();
    constexpr size_t kEach = 40;
    const size_t panels = WorkLedger::heldBound(WorkLedger::Held::saveLocations);
    fs::create_directories(source);
    for (const bool panelsWait : {false, true}) {
        SCOPED_TRACE(panelsWait ? "while copies wait for a save location" : "alone");
        const std::string round = panelsWait ? "p" : "n";
        if (panelsWait) {
            std::ofstream(source / "waits.txt") << "w";
            for (size_t i = 0; i < panels; ++i)
                viewer->service->sendURLs({source / "waits.txt"}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt);
            ASSERT_TRUE(runUntil([&] { return center.savePanels.size() == panels; }, 60));
        }
        // Delivery is held back until every batch was sent.
        utility.suspend();
        std::vector<UUID> managed;
        for (size_t i = 0; i < kEach; ++i) {
            for (const char* kind : {"c", "d"}) {
                std::vector<fs::path> items;
                for (int j = 0; j < 3; ++j) {
                    items.push_back(source / (std::string(kind) + round + std::to_string(i) + "-" + std::to_string(j)));
                    std::ofstream(items.back()) << items.back().filename().string();
                }
                auto batch = kind[0] == 'c'
                                 ? viewer->service->sendURLs(items, FileTransferIntent::managedCopy, "~/In", {}, std::nullopt)
                                 : viewer->service->sendURLs(items, FileTransferIntent::dropToFinder, std::nullopt, {},
                                                             std::nullopt);
                ASSERT_TRUE(batch);
                if (kind[0] == 'c') managed.push_back(*batch);
            }
        }
        advance(5);
        utility.resume();
        auto saved = [&] {
            size_t n = 0;
            std::error_code error;
            for (auto it = fs::recursive_directory_iterator(Folders::home(), error);
                 it != fs::recursive_directory_iterator(); it.increment(error)) {
                if (it->path().string().starts_with(source.string())) continue;
                const std::string name = it->path().filename().string();
                n += name.size() > 1 && (name[0] == 'c' || name[0] == 'd') && name[1] == round[0];
            }
            return n;
        };
        ASSERT_TRUE(runUntil([&] { return saved() == 2 * kEach * 3; }, 120)) << saved() << " saved";
        ASSERT_TRUE(runUntil([&] { return viewer->responses.size() >= managed.size(); }, 60));
        for (const auto& [batch, response] : viewer->responses) EXPECT_TRUE(response.accepted) << batch.id8();
        viewer->responses.clear();
        EXPECT_FALSE(diagnosticsContain("refused batch"));
    }
}

// A Viewer that logs in as a console user other than the Host process's.
// Its name is looked up in a directory that knows no account unless a test
// gives it one, never among the machine's own.
class InboundDeliveryForAnotherUserE2E : public InboundDeliveryE2E {
protected:
    void SetUp() override {
        ViewerPathConfinement::setAccountLookupForTesting(
            [](const std::string&) -> std::optional<ViewerPathConfinement::Account> { return std::nullopt; });
        auto session = SimulatedMachine::current().consoleSession();
        session.userName = "viewertest";
        SimulatedMachine::current().setConsoleSession(session);
        consoleUser = session.userName;
        directory->setUser(consoleUser, password);
        InboundDeliveryE2E::SetUp();
    }
    fs::path userHome = dataRoot->path() / "users" / "other";
};

// The destination is checked when the batch starts and its folder opened
// then; a folder swapped for a link part-way through the upload or before
// the move changes nothing outside the home, and the Viewer hears where
// the copy went.
TEST_F(InboundDeliveryForAnotherUserE2E, AFolderSwappedForALinkBeforeTheMoveLeadsNothingOutside) {
    struct Case {
        const char* name;
        const char* folder;
        bool duringUpload;  // else as the first move begins
    };
    const Case cases[] = {
        {"at three quarters of the upload", "InDuringUpload", true},
        {"before the first move", "InBeforeMove", false},
    };
    const fs::path outside = dataRoot->path() / "outside";
    fs::create_directories(outside);
    fs::create_directories(source);
    const size_t size = size_t{4} << 20;
    std::ofstream(source / "a.bin", std::ios::binary) << std::string(size, 'a');
    auto& host = *delegate->components.fileTransferService;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        viewer->responses.clear();
        const fs::path in = Folders::home() / c.folder;
        const fs::path checked = Folders::home() / (std::string(c.folder) + "Checked");
        bool swapped = false;
        std::optional<UUID> batch;
        auto swap = [&] {
            swapped = true;
            fs::rename(in, checked);
            fs::create_directory_symlink(outside, in);
        };
        size_t written = 0;
        bool waited = false;
        // Every queue runs on this thread: at three quarters of the bytes
        // the hook lets the other queues run until the Host has the folder
        // open (it may still be looking for it), then swaps it. It waits
        // once: a folder that never opens fails the test, not every write.
        host.setWriteHookForTesting([&](size_t bytes) {
            written += bytes;
            if (!c.duringUpload || swapped || waited || written < size * 3 / 4) return;
            waited = true;
            if (!runUntil(
                    [&] {
                        auto* opened = delegate->fileDelivery.inboundBatch(*batch);
                        return opened && opened->destinationFolder;
                    },
                    10)) {
                ADD_FAILURE() << "the Host never had the destination folder open";
                return;
            }
            swap();
        });
        // Runs as each move begins: the batch's folder was checked long before.
        FileMoves::setMoveFailureForTesting([&](const fs::path&) {
            if (!c.duringUpload && !swapped && fs::is_directory(in)) swap();
            return false;
        });
        batch = viewer->service->sendURLs({source / "a.bin"}, FileTransferIntent::managedCopy,
                                          std::string("~/") + c.folder, {}, std::nullopt);
        ASSERT_TRUE(batch);
        ASSERT_TRUE(runUntil([&] { return !viewer->responses.empty(); }, 60));
        host.setWriteHookForTesting(nullptr);
        FileMoves::setMoveFailureForTesting(nullptr);
        EXPECT_TRUE(swapped);
        EXPECT_TRUE(fs::is_empty(outside)) << "nothing written through the link";
        EXPECT_TRUE(viewer->responses[0].second.accepted);
        std::error_code missing;
        EXPECT_EQ(fs::file_size(checked / "a.bin", missing), size) << "delivered into the folder that was checked";
    }
}

// For another console user, with no data root standing for the home: "~"
// is that user's home, and what arrives lands there.
TEST_F(InboundDeliveryForAnotherUserE2E, ACopyToTildeForAnotherUserLandsInThatUsersHome) {
    fs::create_directories(userHome);
    const std::string user = consoleUser;
    ViewerPathConfinement::setAccountLookupForTesting(
        [&](const std::string& name) -> std::optional<ViewerPathConfinement::Account> {
            if (name != user) return std::nullopt;
            return ViewerPathConfinement::Account{userHome};
        });
    fs::create_directories(source);
    std::ofstream(source / "a.txt") << "a";
    auto batch = viewer->service->sendURLs({source / "a.txt"}, FileTransferIntent::managedCopy, "~/In", {}, std::nullopt);
    ASSERT_TRUE(batch);
    ASSERT_TRUE(runUntil([&] { return !viewer->responses.empty(); }, 60));
    EXPECT_TRUE(viewer->responses[0].second.accepted) << viewer->responses[0].second.message.value_or("");
    EXPECT_FALSE(fs::exists(Folders::home() / "In")) << "not the Host process's home";
    EXPECT_TRUE(fs::is_directory(userHome / "In"));
    std::ifstream in(userHome / "In" / "a.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "a");
}

// A Viewer that stops reading and asks for files from 256 folders a hundred
// times: the Host keeps at most a few of its requests, answers the rest at
// once, holds few descriptors meanwhile, and serves another Viewer.
TEST_F(InboundDeliveryForAnotherUserE2E, PeerSendsOfAViewerThatStopsReadingStayBoundedAndOthersAreServed) {
    const fs::path many = Folders::home() / "many";
    std::vector<std::string> asked;
    for (int i = 0; i < 256; i++) {
        // Appended rather than "f" + ...: GCC 12 at -O3 warns of an
        // overlapping copy in that form (-Wrestrict, a false positive).
        std::string name = "f";
        name += std::to_string(i);
        const fs::path folder = many / name;
        fs::create_directories(folder);
        std::ofstream(folder / "a.bin", std::ios::binary) << std::string(48 << 10, static_cast<char>('a' + i % 26));
        asked.push_back("~/many/" + name + "/a.bin");
    }
    // Another machine: a peer's requests share one bound over its sessions.
    auto honest =
        FileTransferTestViewer::connect(runtime, delegate->audioServer(), *log, consoleUser, password, "Honest", "127.0.0.2");
    const std::string stalled = viewer->session.uuidString();
    auto& service = *delegate->components.fileTransferService;
    const auto wired = service.routedSendPacket.get();
    size_t answered = 0, refused = 0, peak = 0;
    service.routedSendPacket = [&, wired](FileTransferPacket p, const std::optional<std::string>& token) {
        if (token == stalled && p.op == FileTransferOp::peerSendResponse) {
            answered += 1;
            auto response = FileTransferService::peerSendResponse(p);
            if (response && response->message == "Too many requests from this Viewer are waiting to be sent.")
                refused += 1;
        }
        if (p.op == FileTransferOp::peerSendResponse || p.op == FileTransferOp::batchStart)
            peak = std::max(peak, openDescriptors());
        return wired(std::move(p), token);
    };
    runUntilIdle();
    const auto server = delegate->audioServer();
    const auto stalledPeer = server->queue.syncValue([&] { return server->ledgerOfSession(viewer->session); });
    ASSERT_TRUE(stalledPeer);
    const size_t idle = openDescriptors();
    viewer->channel->pauseReading();
    for (int i = 0; i < 100; i++) ASSERT_TRUE(viewer->service->requestPeerSend(asked, "Inbox", {}));
    ASSERT_TRUE(runUntil([&] { return answered == 100; }, 120)) << answered << " answered";
    EXPECT_GE(refused, 90u);
    EXPECT_LE(peak, idle + 64);
    EXPECT_LE(openDescriptors(), idle + 64);

    auto request = honest->service->requestPeerSend({"~/many/f1/a.bin"}, "Inbox", {});
    ASSERT_TRUE(request);
    ASSERT_TRUE(runUntil([&] { return !honest->completed.empty(); }, 60));
    ASSERT_EQ(honest->responses.size(), 1u);
    EXPECT_TRUE(honest->responses[0].second.accepted);
    EXPECT_EQ(honest->completed[0].first, *request);

    // Reading again, the Viewer gets what it was promised, and its
    // requests' places are given back.
    viewer->channel->resumeReading();
    EXPECT_TRUE(runUntil([&] { return stalledPeer->held(WorkLedger::Held::sends) == 0; }, 120));
    service.routedSendPacket = wired;
}

// Listings and peer sends of two peers, one of them with two sessions,
// asked in seeded random order while their Viewers read or stop reading,
// cancel, and leave (a session, or the whole peer) and come back. Whenever
// the Host sends, and after every step, each peer's account holds exactly
// the sends the Host has not finished, and of the listings it has not
// answered as many as its places allow, the rest waiting their turn charged
// to it; no listing is answered before its folder was read, and every
// descriptor the Host holds in the shared folders is on an account; a
// peer whose descriptors are all taken has its listing wait and its send
// refused. Once all have left, every kind reads zero and
// the process's descriptors are back where they were.
TEST_F(InboundDeliveryForAnotherUserE2E, ListingsAndPeerSendsHoldTheirPlacesAndDescriptorsOnTheirPeersAccount) {
    using Held = WorkLedger::Held;
    constexpr size_t kBound = WorkLedger::heldBound(Held::listings);
    static_assert(WorkLedger::heldBound(Held::sends) == kBound);
    // More folders than a send keeps open: the items of the others are
    // reached from the home again as they are walked.
    constexpr size_t kFolders = HostFileDeliveryState::maxFoldersHeldPerPeerSend + 6;
    const fs::path home = fs::canonical(Folders::home());
    const fs::path shared = home / "Shared";
    std::vector<std::string> files;
    for (size_t f = 0; f < kFolders; f++) {
        const std::string name = "f" + std::to_string(f);
        fs::create_directories(shared / name);
        std::ofstream(shared / name / "a.bin", std::ios::binary) << std::string(size_t{1} << 20, 'a');
        files.push_back("~/Shared/" + name + "/a.bin");
    }
    // About 3 MiB a listing: a Viewer that stops reading soon has no
    // room for more, and its listings wait.
    const fs::path wide = shared / "wide";
    listingfolders::makeLongListingFolder(wide, 2000);
    // What the kernel says the process holds open on the home or below
    // the shared folder: only listings and peer sends open those.
    auto descriptorsInShared = [&] {
        size_t count = 0;
        for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            const fs::path target = fs::read_symlink(fd.path(), error);
            if (!error && (target == home || target == shared || target.string().starts_with(shared.string() + "/")))
                count++;
        }
        return count;
    };
    const auto server = delegate->audioServer();
    auto& service = *delegate->components.fileTransferService;

    // Each session, with its peer's ledger when it logged in, what it asked
    // of the Host and what the Host finished of it, as the packets tell: a
    // listing's reply, a send's refusal or the end of its batch.
    struct Session {
        std::shared_ptr<WorkLedger> ledger;
        size_t listingsAsked = 0, listingsDone = 0, sendsAsked = 0, sendsDone = 0;
        // The Host saw it end: its listings may be dropped unanswered.
        bool ended = false;
    };
    std::recursive_mutex sessionsLock;
    std::map<std::string, Session> sessions;
    std::vector<std::shared_ptr<WorkLedger>> ledgers;
    std::vector<std::string> faults;
    auto check = [&](const std::shared_ptr<WorkLedger>& ledger, const std::string& when) {
        // A gone peer's requests still waiting are dropped unanswered; its
        // account must read zero in the end.
        if (!ledger || ledger->isCancelled()) return;
        std::lock_guard lock(sessionsLock);
        size_t listings = 0, sends = 0;
        bool ended = false;
        for (const auto& [id, session] : sessions) {
            if (session.ledger != ledger) continue;
            listings += session.listingsAsked - session.listingsDone;
            sends += session.sendsAsked - session.sendsDone;
            ended = ended || session.ended;
        }
        const size_t heldListings = ledger->held(Held::listings), heldSends = ledger->held(Held::sends);
        const size_t waitingListings = ledger->waitingFor(Held::listings);
        // A place given back goes to the next listing waiting at once, and
        // what waits is charged like a job.
        const bool ok = heldListings <= kBound && heldSends <= kBound && heldSends == sends &&
                        ledger->jobsInUse() >= waitingListings &&
                        (ended ? heldListings + waitingListings <= listings
                               : heldListings == std::min(listings, kBound) &&
                                     heldListings + waitingListings == listings);
        if (!ok && faults.size() < 4)
            faults.push_back(when + ": " + ledger->owner() + " holds " + std::to_string(heldListings) + " and keeps " +
                             std::to_string(waitingListings) + " waiting of its listings against " +
                             std::to_string(listings) + " unanswered, " + std::to_string(ledger->jobsInUse()) +
                             " jobs, " + std::to_string(heldSends) + " sends against " + std::to_string(sends) +
                             " unfinished");
    };
    auto checkDescriptors = [&](const std::string& when) {
        size_t charged = 0;
        {
            std::lock_guard lock(sessionsLock);
            for (const auto& ledger : ledgers) charged += ledger->held(Held::descriptors);
        }
        const size_t open = descriptorsInShared();
        if (open > charged && faults.size() < 4)
            faults.push_back(when + ": " + std::to_string(open) + " descriptors open in the shared folder, " +
                             std::to_string(charged) + " charged");
    };

    const auto wiredIn = server->queue.syncValue([&] { return server->onFileTransferIncomingPacket; });
    const auto wiredEnded = server->queue.syncValue([&] { return server->onFileTransferSessionEnded; });
    server->queue.sync([&] {
        server->onFileTransferIncomingPacket = [&, wiredIn](FileTransferPacket p, const UUID& id) {
            {
                std::lock_guard lock(sessionsLock);
                auto& session = sessions[id.uuidString()];
                session.listingsAsked += p.op == FileTransferOp::listDir;
                session.sendsAsked += p.op == FileTransferOp::peerSendRequest;
            }
            wiredIn(std::move(p), id);
        };
        server->onFileTransferSessionEnded = [&, wiredEnded](const UUID& id) {
            {
                std::lock_guard lock(sessionsLock);
                sessions[id.uuidString()].ended = true;
            }
            wiredEnded(id);
        };
    });
    const auto wiredOut = service.routedSendPacket.get();
    service.routedSendPacket = [&, wiredOut](FileTransferPacket p, const std::optional<std::string>& token) {
        bool finishes = false;
        if (token) {
            std::lock_guard lock(sessionsLock);
            auto& session = sessions[*token];
            if (p.op == FileTransferOp::listDirReply) {
                // A listing is answered once its folder was read (and is
                // named by its absolute path), and holds its place until
                // its reply is queued.
                if (!p.path.starts_with("/") && faults.size() < 4)
                    faults.push_back("a listing answered for " + p.path + " without reading its folder");
                check(WorkLedger::current(), "queueing a listing's reply");
                session.listingsDone += 1;
                finishes = true;
            }
            if (p.op == FileTransferOp::batchEnd || p.op == FileTransferOp::cancelBatch) {
                session.sendsDone += 1;
                finishes = true;
            }
            if (auto response = FileTransferService::peerSendResponse(p); response && !response->accepted) {
                session.sendsDone += 1;
                finishes = true;
            }
        }
        // Between a finishing packet and its place given back the counts
        // differ by design; anywhere else they agree.
        if (!finishes) {
            check(WorkLedger::current(), "sending op " + std::to_string(static_cast<int>(p.op)));
            // Before the sending walk the send holds its folders; during
            // it, the file being read and the folder walked too.
            if (p.op == FileTransferOp::batchStart) checkDescriptors("starting a batch");
            if (p.op == FileTransferOp::fileChunk) checkDescriptors("sending a chunk");
        }
        return wiredOut(std::move(p), token);
    };

    // The hooks go before what they use, however the test ends.
    struct Restore {
        std::function<void()> restore;
        ~Restore() { restore(); }
    } restore{[&] {
        service.routedSendPacket = wiredOut;
        server->queue.sync([&] {
            server->onFileTransferIncomingPacket = wiredIn;
            server->onFileTransferSessionEnded = wiredEnded;
        });
    }};
    viewer->disconnect();
    viewer.reset();
    auto ledgerOf = [&](const std::string& address) {
        return server->queue.syncValue([&] { return server->ledgerOfPeerForTesting(address); });
    };
    ASSERT_TRUE(runUntil([&] { return !ledgerOf("127.0.0.1"); }));
    const size_t baseline = openDescriptors();

    // Two sessions of one peer, and one of another; the others stop
    // reading and read again.
    const std::string addresses[] = {"127.0.0.1", "127.0.0.1", "127.0.0.2"};
    struct Slot {
        std::unique_ptr<FileTransferTestViewer> viewer;
        bool reading = true;
        std::vector<UUID> sends;
        std::vector<size_t> listed;
    };
    Slot slots[3];
    auto connectSlot = [&](size_t i) {
        auto& slot = slots[i];
        slot = Slot{};
        slot.viewer = FileTransferTestViewer::connect(runtime, server, *log, consoleUser, password,
                                                      "Viewer " + std::to_string(i), addresses[i]);
        slot.viewer->service->onDirectoryListing = [&slot](const UUID&, const std::string&,
                                                           const std::vector<RemoteDirectoryEntry>& entries) {
            slot.listed.push_back(entries.size());
        };
        // The first peer's second session never reads: the replies the
        // peer is sent soon fill its room, and its listings wait.
        if (i == 1) {
            slot.viewer->stopReading();
            slot.reading = false;
        }
        auto ledger = ledgerOf(addresses[i]);
        ASSERT_TRUE(ledger);
        std::lock_guard lock(sessionsLock);
        sessions[slot.viewer->session.uuidString()].ledger = ledger;
        if (std::find(ledgers.begin(), ledgers.end(), ledger) == ledgers.end()) ledgers.push_back(ledger);
    };
    auto leave = [&](size_t i) {
        slots[i].viewer->disconnect();
        slots[i].viewer.reset();
    };
    auto counted = [&](const Slot& slot) {
        std::lock_guard lock(sessionsLock);
        const auto& session = sessions[slot.viewer->session.uuidString()];
        return std::pair(session.listingsAsked, session.sendsAsked);
    };
    for (size_t i = 0; i < 3; i++) connectSlot(i);

    // First the session that never reads asks, one listing at a time,
    // until one waits for room: the seeds' steps start from a peer whose
    // listings wait, however the kernel buffers what it is not read.
    size_t mostListingsHeld = 0, mostListingsWaiting = 0;
    {
        const auto ledger = ledgerOf(addresses[1]);
        ASSERT_TRUE(ledger);
        for (int ask = 0; ask < 64 && ledger->held(Held::listings) == 0; ask++) {
            auto expected = counted(slots[1]);
            expected.first += 1;
            slots[1].viewer->service->requestDirectoryListing("~/Shared/wide");
            // However long making the listings takes.
            ASSERT_TRUE(runUntil([&] { return counted(slots[1]) == expected; }, 60)) << "listing " << ask;
            runUntilIdle();
            check(ledger, "filling the room of a peer that does not read");
            ASSERT_TRUE(faults.empty()) << faults.front();
        }
        mostListingsHeld = ledger->held(Held::listings);
        ASSERT_GT(mostListingsHeld, 0u) << "64 listings unread and none waited for room";
    }
    for (const unsigned seed : {2u, 7u}) {
        std::mt19937 random(seed);
        for (int step = 0; step < 30; step++) {
            // A Viewer the Host let go of (one that read nothing for too
            // long while a chunk waited) has left.
            for (size_t j = 0; j < 3; j++)
                if (slots[j].viewer && slots[j].viewer->channel->didEnd()) leave(j);
            size_t i = random() % 3;
            // A gone Viewer comes back one time in two; else another acts.
            if (!slots[i].viewer && random() % 2) i = slots[(i + 1) % 3].viewer ? (i + 1) % 3 : (i + 2) % 3;
            auto& slot = slots[i];
            const unsigned action = random() % 12;
            std::string did;
            // What the Host is to have seen of the session once the step's
            // packets arrived.
            std::optional<std::pair<size_t, size_t>> expected;
            if (slot.viewer) expected = counted(slot);
            if (!slot.viewer) {
                connectSlot(i);
                did = "came back";
            } else if (action <= 2 || (i == 1 && action <= 7)) {
                const size_t asks = 1 + random() % 12;
                for (size_t k = 0; k < asks; k++) slot.viewer->service->requestDirectoryListing("~/Shared/wide");
                expected->first += asks;
                did = "asked " + std::to_string(asks) + " listings";
            } else if (action <= 5) {
                std::vector<std::string> asked;
                for (const auto& file : files)
                    if (random() % 2) asked.push_back(file);
                if (asked.empty()) asked.push_back(files[0]);
                auto id = slot.viewer->service->requestPeerSend(asked, "Inbox", {});
                ASSERT_TRUE(id);
                slot.sends.push_back(*id);
                expected->second += 1;
                did = "asked a send of " + std::to_string(asked.size());
            } else if (action <= 7 && (slot.reading || action == 7)) {
                // Stopping is twice as likely as reading again.
                if (slot.reading)
                    slot.viewer->stopReading();
                else
                    slot.viewer->readAgain();
                slot.reading = !slot.reading;
                did = slot.reading ? "reads again" : "stopped reading";
            } else if (action <= 9) {
                if (!slot.sends.empty()) slot.viewer->service->notifyPeerCancel(slot.sends[random() % slot.sends.size()]);
                did = "cancelled a send";
            } else if (action == 11 && random() % 2) {
                did = "waited";
            } else if (action == 10) {
                leave(i);
                expected.reset();
                did = "ended its session";
            } else {
                // The whole peer goes.
                for (size_t j = 0; j < 3; j++)
                    if (addresses[j] == addresses[i] && slots[j].viewer) leave(j);
                expected.reset();
                did = "left with its peer";
            }
            const std::string when = "seed " + std::to_string(seed) + " step " + std::to_string(step) + ": Viewer " +
                                     std::to_string(i) + " " + did;
            ASSERT_TRUE(runUntil([&] {
                return !expected || !slot.viewer || slot.viewer->channel->didEnd() || counted(slot) == *expected;
            }, 20)) << when;
            runUntilIdle();
            for (const char* address : {"127.0.0.1", "127.0.0.2"}) {
                auto ledger = ledgerOf(address);
                check(ledger, when);
                if (!ledger) continue;
                mostListingsHeld = std::max(mostListingsHeld, ledger->held(Held::listings));
                mostListingsWaiting = std::max(mostListingsWaiting, ledger->waitingFor(Held::listings));
            }
            checkDescriptors(when);
            ASSERT_TRUE(faults.empty()) << faults.front();
        }
    }
    // That some waited is what gives the checks above their weight.
    EXPECT_GT(mostListingsHeld, 0u) << "listings of a peer that stopped reading waited";
    EXPECT_GT(mostListingsWaiting, 0u) << "listings past their peer's places waited their turn";

    // With every descriptor of its account taken, a peer's send is refused
    // and its listing waits for the two it reads its folder with, never
    // answered as an empty folder; with them back it is answered whole.
    for (size_t j = 0; j < 3; j++)
        if (slots[j].viewer) leave(j);
    connectSlot(2);
    const auto other = ledgerOf("127.0.0.2");
    ASSERT_TRUE(other);
    auto taken = WorkLedger::Holding::take(other, Held::descriptors,
                                           WorkLedger::heldBound(Held::descriptors) - other->held(Held::descriptors));
    ASSERT_TRUE(taken);
    auto& last = slots[2];
    last.viewer->service->requestDirectoryListing("~/Shared");
    ASSERT_TRUE(last.viewer->service->requestPeerSend({files[0]}, "Inbox", {}));
    ASSERT_TRUE(runUntil([&] { return !last.viewer->responses.empty(); }, 20));
    EXPECT_FALSE(last.viewer->responses.back().second.accepted) << "the home could not be held";
    advance(1);
    EXPECT_TRUE(last.listed.empty()) << "a listing without its descriptors is not answered";
    taken->reset();
    ASSERT_TRUE(runUntil([&] { return last.listed.size() == 1; }, 20));
    EXPECT_EQ(last.listed.back(), kFolders + 1);

    leave(2);
    EXPECT_TRUE(runUntil([&] {
        for (const auto& ledger : ledgers)
            for (size_t kind = 0; kind < WorkLedger::kHeldKinds; kind++)
                if (ledger->held(static_cast<Held>(kind)) != 0) return false;
        return descriptorsInShared() == 0 && openDescriptors() <= baseline;
    }, 10)) << openDescriptors() << " descriptors open against " << baseline << " before";
}

}  // namespace
