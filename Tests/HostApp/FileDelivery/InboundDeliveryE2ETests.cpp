// Files between the launched Host and a test Viewer through real loopback
// sockets: a Viewer's managed copy into a folder it names, files it asks
// the Host for, a Viewer that leaves mid-file, and a folder on another file
// system where the move becomes a copy.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <fstream>

#include "HostApp/Shell/HostShellTestFixture.h"
#include "Platform/AppKit/AppKitApplication.h"
#include "Platform/Files/FileIO.h"
#include "Platform/Files/FileMoves.h"
#include "Platform/Files/Folders.h"
#include "HostApp/FileDelivery/ViewerPathConfinement.h"
#include "Support/FileTransferTestViewer.h"
#include "Support/TestSupport.h"
#include "VelantrixProfiles/FileTransfer/FileTransferCenter.h"

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
    withLargeFile = false;  // 5 GiB through the instrumented build outlasts the time limit
#endif
    struct statvfs vfs {};
    ASSERT_EQ(::statvfs(dataRoot->path().c_str(), &vfs), 0);
    if (static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize < (6ull << 30)) withLargeFile = false;
    if (withLargeFile) {
        std::ofstream out(tree / "sparse.bin", std::ios::binary);
        for (uint64_t at : {0ull, (4ull << 30) - 3, 4ull << 30, (5ull << 30) - 8}) {
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
        EXPECT_EQ(fs::file_size(Folders::home() / "In" / "tree" / "sparse.bin"), 5ull << 30);
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
        std::shared_ptr<Alert> question;
        ASSERT_TRUE(runUntil([&] {
            auto shown = Application::shared().shownAlerts();
            if (!shown.empty()) question = shown.front();
            return question != nullptr;
        }));
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
    EXPECT_TRUE(runUntil([&] { return delegate->fileDelivery.peerSends->heldForTesting("127.0.0.1") == 0; }, 120));
    service.routedSendPacket = wired;
}

}  // namespace
