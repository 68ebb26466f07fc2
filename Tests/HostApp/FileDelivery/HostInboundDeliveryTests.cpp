// What the Host does with the file-transfer packets a Viewer session sends
// before the engine sees them: peer-send requests, destination tokens,
// listing replies, and what an ended session leaves behind.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>

#include "HostApp/FileDelivery/ViewerPathConfinement.h"
#include "HostApp/Shell/HostShellTestFixture.h"
#include "Platform/Files/Folders.h"
#include "Platform/Runtime/WorkLedger.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "VelantrixProfiles/FileTransfer/FileTransferCenter.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

struct SentPacket {
    FileTransferPacket packet;
    std::optional<std::string> token;
};

class InboundDelivery : public HostShellTest {
protected:
    void SetUp() override {
        // The console user some tests name ("viewertest") is looked up in
        // a directory that knows no account, never among the machine's.
        ViewerPathConfinement::setAccountLookupForTesting(
            [](const std::string&) -> std::optional<ViewerPathConfinement::Account> { return std::nullopt; });
        launch();
        home = Folders::home();
        fs::create_directories(home);
        auto& service = *delegate->components.fileTransferService;
        service.routedSendPacket = [this](FileTransferPacket p, const std::optional<std::string>& token) {
            std::lock_guard lock(sentLock);
            sent.push_back({std::move(p), token});
            return true;
        };
        service.sendPacket = [this](FileTransferPacket p) {
            std::lock_guard lock(sentLock);
            sent.push_back({std::move(p), std::nullopt});
            return true;
        };
    }
    ~InboundDelivery() override { ViewerPathConfinement::setAccountLookupForTesting(nullptr); }

    // The packet as the server hands it over: on a queue of its own.
    void deliver(FileTransferPacket packet) {
        DispatchQueue server("test.server");
        server.sync([&] {
            // As the Host's server does: the packet is its peer's work.
            const WorkLedger::Charged charged(peer);
            delegate->handleIncomingFileTransferPacket(std::move(packet), session);
        });
        runUntilIdle();
    }
    FileTransferPacket peerSend(std::vector<std::string> paths) {
        FileTransferPeerSendRequest request(std::move(paths), "~/In", FileTransferDeliveryOptions(1));
        return {FileTransferOp::peerSendRequest, requestID, 0, 0, "", request.encode()};
    }
    std::optional<FileTransferPeerSendResponse> response() {
        std::lock_guard lock(sentLock);
        for (const auto& s : sent)
            if (s.packet.op == FileTransferOp::peerSendResponse) {
                EXPECT_EQ(s.packet.batchID, requestID);
                EXPECT_EQ(s.token, session.uuidString()) << "only the asking session hears the answer";
                return FileTransferService::peerSendResponse(s.packet);
            }
        return std::nullopt;
    }
    void touch(const fs::path& path) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "x";
    }

    fs::path home;
    UUID session = UUID::random();
    // The peer the session belongs to.
    std::shared_ptr<WorkLedger> peer = std::make_shared<WorkLedger>("192.0.2.9", size_t{1} << 30, 100000);
    UUID requestID = UUID::random();
    std::mutex sentLock;
    std::vector<SentPacket> sent;
};

TEST_F(InboundDelivery, PeerSendKeepsOnlyReadableDistinctPathsInsideHome) {
    struct Case {
        const char* name;
        std::vector<std::string> paths;
        size_t kept;  // 0: refused
    };
    const fs::path outside = home.parent_path() / "outside";
    touch(outside / "secret.txt");
    touch(home / "a.txt");
    touch(fs::path(home.string() + "2") / "b.txt");
    fs::create_directory_symlink(outside, home / "leak");
    fs::create_symlink(home / "a.txt", home / "alias.txt");
    const std::vector<Case> cases = {
        {"home itself", {"~"}, 1},
        {"nothing asked", {}, 0},
        {"link leaving home", {"~/leak/secret.txt"}, 0},
        {"link staying home, with its target", {"~/alias.txt", "~/a.txt", "~/./a.txt"}, 1},
        {"sibling sharing the prefix", {home.string() + "2/b.txt"}, 0},
        {"dot-dot out of home", {"~/../outside/secret.txt"}, 0},
        {"missing file beside a real one", {"~/missing", "~/a.txt"}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard lock(sentLock);
            sent.clear();
        }
        requestID = UUID::random();
        const size_t before = diagnosticsCount("files: requested send of");
        deliver(peerSend(c.paths));
        auto answer = response();
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->accepted, c.kept > 0);
        if (c.kept == 0) {
            EXPECT_EQ(answer->message, "The requested files are no longer available on the Host.");
            EXPECT_EQ(diagnosticsCount("files: requested send of"), before);
        } else {
            EXPECT_FALSE(answer->message);
            EXPECT_TRUE(diagnosticsContain("files: requested send of " + std::to_string(c.kept) +
                                           " item(s) to Viewer session " + session.uuidString().substr(0, 8)));
            std::lock_guard lock(sentLock);
            auto start = std::find_if(sent.begin(), sent.end(),
                                      [](const auto& s) { return s.packet.op == FileTransferOp::batchStart; });
            ASSERT_NE(start, sent.end());
            EXPECT_EQ(start->packet.batchID, requestID) << "the batch carries the request's ID";
            EXPECT_EQ(start->token, session.uuidString());
        }
    }
}

// For a console user other than the Host's, the paths are taken beneath
// that user's home without following any link, even one that stays home.
TEST_F(InboundDelivery, UnderConfinementPeerSendFollowsNoLink) {
    auto console = SimulatedMachine::current().consoleSession();
    console.userName = "viewertest";
    SimulatedMachine::current().setConsoleSession(console);
    const fs::path outside = home.parent_path() / "outside";
    touch(outside / "secret.txt");
    touch(home / "a.txt");
    touch(home / "Docs" / "b.txt");
    fs::create_directory_symlink(outside, home / "leak");
    fs::create_directory_symlink(home / "Docs", home / "DocsAlias");
    fs::create_symlink(home / "a.txt", home / "alias.txt");
    struct Case {
        const char* name;
        std::vector<std::string> paths;
        size_t kept;  // 0: refused
    };
    const std::vector<Case> cases = {
        {"plain items", {"~/a.txt", "~/Docs/b.txt", "~/Docs"}, 3},
        {"link leaving home", {"~/leak/secret.txt"}, 0},
        {"link to an item at home", {"~/alias.txt"}, 0},
        {"link on the way to an item at home", {"~/DocsAlias/b.txt"}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard lock(sentLock);
            sent.clear();
        }
        requestID = UUID::random();
        deliver(peerSend(c.paths));
        auto answer = response();
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->accepted, c.kept > 0);
        if (c.kept > 0) {
            EXPECT_TRUE(diagnosticsContain("files: requested send of " + std::to_string(c.kept) + " item(s)"));
        }
    }
}

// What was checked is what is read: a folder swapped for a link to one
// outside the home after the check leads the send nowhere outside.
TEST_F(InboundDelivery, UnderConfinementPeerSendReadsNothingThroughALinkSwappedInAfterTheCheck) {
    auto console = SimulatedMachine::current().consoleSession();
    console.userName = "viewertest";
    SimulatedMachine::current().setConsoleSession(console);
    const fs::path outside = home.parent_path() / "outside";
    struct Case {
        const char* name;
        std::string asked;
        fs::path swapped;  // below the home
    };
    const std::vector<Case> cases = {
        {"the sent item's folder", "~/Out/x", "Out"},
        {"a folder inside the sent tree", "~/Out", "Out/sub"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(home / "Out");
        fs::remove_all(home / "Moved");
        fs::remove_all(outside);
        for (const auto& file : {fs::path("x"), fs::path("sub/x")}) {
            fs::create_directories((home / "Out" / file).parent_path());
            std::ofstream(home / "Out" / file) << "inside";
            fs::create_directories((outside / file).parent_path());
            std::ofstream(outside / file) << "secret";
        }
        {
            std::lock_guard lock(sentLock);
            sent.clear();
        }
        requestID = UUID::random();
        auto& service = *delegate->components.fileTransferService;
        // The batch's first packet goes out after the items were checked
        // and walked and before any of them is read.
        service.routedSendPacket = [&](FileTransferPacket p, const std::optional<std::string>& token) {
            if (p.op == FileTransferOp::batchStart) {
                fs::rename(home / c.swapped, home / "Moved");
                fs::create_directory_symlink(outside / c.swapped.lexically_relative("Out"), home / c.swapped);
            }
            std::lock_guard lock(sentLock);
            sent.push_back({std::move(p), token});
            return true;
        };
        deliver(peerSend({c.asked}));
        ASSERT_TRUE(response() && response()->accepted);
        std::lock_guard lock(sentLock);
        ASSERT_TRUE(std::any_of(sent.begin(), sent.end(),
                                [](const auto& s) { return s.packet.op == FileTransferOp::batchEnd; }));
        size_t chunks = 0;
        for (const auto& s : sent) {
            if (s.packet.op != FileTransferOp::fileChunk) continue;
            chunks += 1;
            EXPECT_EQ(std::string(s.packet.data.begin(), s.packet.data.end()), "inside") << s.packet.path;
        }
        EXPECT_GT(chunks, 0u) << "what was checked is still sent";
    }
}

// Items in more folders than a peer send keeps open all go, those past the
// kept folders reached from the home again when walked, still never
// through a link: one of those swapped for a link after the check fails
// alone and reads nothing outside.
TEST_F(InboundDelivery, UnderConfinementItemsInManyFoldersAllGoAndNoneThroughALinkSwappedIn) {
    auto console = SimulatedMachine::current().consoleSession();
    console.userName = "viewertest";
    SimulatedMachine::current().setConsoleSession(console);
    const fs::path outside = home.parent_path() / "outside";
    const size_t folders = HostFileDeliveryState::maxFoldersHeldPerPeerSend + 4;
    const std::string swapped = "f" + std::to_string(folders - 2);  // past the kept ones
    std::vector<std::string> asked;
    for (size_t i = 0; i < folders; i++) {
        const std::string name = "f" + std::to_string(i);
        fs::create_directories(home / "Many" / name);
        std::ofstream(home / "Many" / name / "x") << "inside " << name;
        asked.push_back("~/Many/" + name + "/x");
    }
    fs::create_directories(outside / swapped);
    std::ofstream(outside / swapped / "x") << "secret";
    auto& service = *delegate->components.fileTransferService;
    size_t descriptorsAtStart = 0;
    service.routedSendPacket = [&](FileTransferPacket p, const std::optional<std::string>& token) {
        if (p.op == FileTransferOp::batchStart) {
            descriptorsAtStart = peer->held(WorkLedger::Held::descriptors);
            fs::rename(home / "Many" / swapped, home / "Moved");
            fs::create_directory_symlink(outside / swapped, home / "Many" / swapped);
        }
        std::lock_guard lock(sentLock);
        sent.push_back({std::move(p), token});
        return true;
    };
    deliver(peerSend(asked));
    ASSERT_TRUE(response() && response()->accepted);
    EXPECT_TRUE(diagnosticsContain("files: requested send of " + std::to_string(folders) + " item(s)"));
    std::lock_guard lock(sentLock);
    // Every item travels as "x": told apart by content.
    std::multiset<std::string> contents;
    size_t ended = 0;
    for (const auto& s : sent) {
        if (s.packet.op == FileTransferOp::fileChunk) contents.insert(std::string(s.packet.data.begin(), s.packet.data.end()));
        if (s.packet.op == FileTransferOp::fileEnd) ended += 1;
    }
    std::multiset<std::string> expected;
    for (size_t i = 0; i < folders; i++)
        if ("f" + std::to_string(i) != swapped) expected.insert("inside f" + std::to_string(i));
    EXPECT_EQ(contents, expected);
    EXPECT_EQ(descriptorsAtStart, 1 + HostFileDeliveryState::maxFoldersHeldPerPeerSend) << "the home and its folders";
    EXPECT_EQ(peer->held(WorkLedger::Held::sends), 0u) << "its place given back";
    EXPECT_EQ(peer->held(WorkLedger::Held::descriptors), 0u) << "its folders closed";
    EXPECT_EQ(ended, folders - 1) << "the swapped item alone fails";
}

// A hung directory service or file system holds neither the queue a
// Viewer's packets arrive on nor the main queue: the paths a Viewer names
// are looked at on a utility queue.
TEST_F(InboundDelivery, ViewerNamedPathsAreResolvedOffTheServerAndMainQueues) {
    auto console = SimulatedMachine::current().consoleSession();
    console.userName = "viewertest";
    SimulatedMachine::current().setConsoleSession(console);
    touch(home / "a.txt");
    DispatchQueue server("test.server");
    std::mutex lookupLock;
    std::vector<std::string> heldQueues;
    ViewerPathConfinement::setAccountLookupForTesting([&](const std::string&) -> std::optional<ViewerPathConfinement::Account> {
        std::lock_guard lock(lookupLock);
        if (server.isCurrent()) heldQueues.push_back("server");
        if (DispatchQueue::main().isCurrent()) heldQueues.push_back("main");
        if (auto audio = delegate->audioServer(); audio && audio->queue.isCurrent()) heldQueues.push_back("server");
        return ViewerPathConfinement::Account{home};
    });
    struct Case {
        const char* name;
        std::function<void()> ask;
    };
    const std::vector<Case> cases = {
        {"peer-send sources",
         [&] {
             server.sync([&] { delegate->handleIncomingFileTransferPacket(peerSend({"~/a.txt"}), session); });
         }},
        {"a destination",
         [&] {
             FileTransferBatchStartInfo start;
             start.intent = FileTransferIntent::managedCopy;
             start.destinationHint = "~/In";
             onMain([&] { delegate->handleInboundBatchStarted(UUID::random(), 1, 1, {"a.txt"}, start); });
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.ask();
        runUntilIdle();
    }
    ViewerPathConfinement::setAccountLookupForTesting(nullptr);
    EXPECT_TRUE(fs::is_directory(home / "In")) << "the destination was made";
    ASSERT_TRUE(response());
    EXPECT_TRUE(response()->accepted);
    std::lock_guard lock(lookupLock);
    EXPECT_TRUE(heldQueues.empty()) << heldQueues.front();
}

TEST_F(InboundDelivery, PeerSendExaminesAtMostTheFirst256Paths) {
    std::vector<std::string> paths;
    for (int i = 0; i < 300; i++) {
        touch(home / "many" / (std::to_string(i) + ".txt"));
        paths.push_back("~/many/" + std::to_string(i) + ".txt");
    }
    deliver(peerSend(paths));
    ASSERT_TRUE(response() && response()->accepted);
    EXPECT_TRUE(diagnosticsContain("files: requested send of 256 item(s)"));
}

TEST_F(InboundDelivery, MalformedPeerSendIsRefusedAndNeverReachesTheEngine) {
    deliver({FileTransferOp::peerSendRequest, requestID, 0, 0, "", {'{'}});
    auto answer = response();
    ASSERT_TRUE(answer);
    EXPECT_FALSE(answer->accepted);
    EXPECT_EQ(answer->message, "The Host could not read the requested transfer.");
    EXPECT_TRUE(diagnosticsContain("files: rejected malformed peer send request"));
}

// The Host keeps nothing for a directSave of its own: the batch takes the
// session from its start, and only that session's cancel takes its
// receipt away.
TEST_F(InboundDelivery, ABatchAnswersToTheSessionOfItsDirectSaveUntilThatSessionCancels) {
    const UUID batch = UUID::random();
    auto& batches = delegate->fileDelivery.inboundBatches;
    deliver({FileTransferOp::directSave, batch, 0, 0, "~/In", {}});
    EXPECT_FALSE(batches.contains(batch));
    deliver({FileTransferOp::batchStart, batch, 0, 0, "", {}});
    ASSERT_TRUE(batches.contains(batch));
    EXPECT_EQ(batches.at(batch).session, session.uuidString());
    EXPECT_TRUE(batches.at(batch).destinationFolder) << "its folder is open";
    DispatchQueue("test.server").sync([&] {
        delegate->handleIncomingFileTransferPacket({FileTransferOp::cancelBatch, batch, 0, 0, "", {}}, UUID::random());
    });
    runUntilIdle();
    EXPECT_TRUE(batches.contains(batch)) << "another session's cancel";
    deliver({FileTransferOp::cancelBatch, batch, 0, 0, "", {}});
    EXPECT_FALSE(batches.contains(batch));
}

// A session that ends takes its batches with it, complete or not: what they
// staged goes, and a delivery under way stops before its next item. Another
// session's batch stays.
TEST_F(InboundDelivery, EndedSessionLosesItsBatchesAndStopsItsDeliveries) {
    const UUID running = UUID::random(), completed = UUID::random(), delivering = UUID::random(),
               other = UUID::random();
    auto& d = delegate->fileDelivery;
    auto& center = FileTransferCenter::shared();
    center.resetForTesting();
    const fs::path staged = delegate->components.fileTransferService->stagingRoot() / "1-batch" / "a.txt";
    touch(staged);
    auto of = [](const UUID& owner) {
        InboundBatchDelivery batch;
        batch.session = owner.uuidString();
        return batch;
    };
    auto stop = std::make_shared<std::atomic<bool>>(false);
    onMain([&] {
        for (const UUID& batch : {running, completed, delivering})
            center.addTask({batch, FileTransferDirection::incoming, "Viewer", 1, 0, {}}, {});
        d.inboundBatches[running] = of(session);
        d.inboundBatches[running].destination = home;
        d.inboundBatches[completed] = of(session);
        d.inboundBatches[completed].staged.emplace(std::vector<fs::path>{staged});
        d.inboundBatches[delivering] = of(session);
        d.inboundBatches[delivering].deliveryStop = stop;
        d.inboundBatches[other] = of(UUID::random());
        d.latestInboundFileBatchID = running;
        delegate->handleFileTransferSessionEnded(session);
    });
    // The end reaches the Host's entries behind the engine's news of the
    // session.
    runUntilIdle();
    EXPECT_FALSE(d.inboundBatches.contains(running));
    EXPECT_FALSE(d.inboundBatches.contains(completed));
    EXPECT_FALSE(d.latestInboundFileBatchID);
    EXPECT_TRUE(d.inboundBatches.contains(delivering)) << "its delivery ends on its own";
    EXPECT_TRUE(stop->load());
    EXPECT_TRUE(d.inboundBatches.contains(other));
    EXPECT_FALSE(fs::exists(staged.parent_path())) << "what it staged goes";
    for (const UUID& batch : {running, completed}) {
        ASSERT_TRUE(center.rows.contains(batch));
        EXPECT_EQ(center.rows.at(batch)->statusLbl->text, "Cancelled");
        EXPECT_EQ(center.rows.at(batch)->statusLbl->textColor, platform::Color::systemRed);
    }
    EXPECT_FALSE(center.rows.at(delivering)->finished);
    center.resetForTesting();
}

TEST_F(InboundDelivery, DestinationHintsAreStandardisedAndMadeWhenMissing) {
    touch(home / "file.txt");
    fs::create_directories(home / "Docs");
    const fs::path root = home.parent_path();
    struct Case {
        std::string hint;
        std::optional<fs::path> folder;
    };
    auto text = [](const std::optional<fs::path>& p) { return p ? std::optional(p->string()) : std::nullopt; };
    const std::vector<Case> cases = {
        {"  ~/Docs \n", home / "Docs"},
        {"~/New/Deeper", home / "New" / "Deeper"},
        {"~/Docs/../Other/", home / "Other"},
        {"~/file.txt", std::nullopt},
        {"~/file.txt/below", std::nullopt},
        {" \t", std::nullopt},
        {(root / "elsewhere").string(), root / "elsewhere"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hint);
        EXPECT_EQ(text(HostProbeDelegate::resolveDestinationHint(c.hint)), text(c.folder));
        if (c.folder) {
            EXPECT_TRUE(fs::is_directory(*c.folder));
        }
    }
}

TEST_F(InboundDelivery, OutgoingRowsOnlyForSendsAViewerAwaitsAndCancelledOnesSayCancelled) {
    auto& service = *delegate->components.fileTransferService;
    auto& center = FileTransferCenter::shared();
    center.resetForTesting();
    const UUID services = UUID::random(), requested = UUID::random();
    onMain([&] {
        auto started = service.onOutgoingBatchStarted.get();
        started(services, 1, 10, FileTransferIntent::copy, {"a.txt"});
        started(requested, 1, 10, FileTransferIntent::managedCopy, {"a.txt"});
    });
    runUntilIdle();
    EXPECT_FALSE(center.rows.contains(services));
    ASSERT_TRUE(center.rows.contains(requested));
    EXPECT_EQ(center.rows.at(requested)->titleLbl->text, "Sending a.txt to Viewer");
    service.onOutgoingBatchCompleted.get()(requested, true, 0);
    runUntilIdle();
    EXPECT_EQ(center.rows.at(requested)->statusLbl->text, "Cancelled");
    center.resetForTesting();
}

// A copy to a named folder that turns into a drop before it ends leaves
// neither the folder open nor its entries behind, whether the drop comes
// after the folder was opened or while it is still looked for.
TEST_F(InboundDelivery, CopiesToANamedFolderThatBecomeDropsLeaveNothingOpen) {
    struct Case {
        const char* name;
        bool folderOpenedFirst;
    };
    const Case cases[] = {{"the drop comes after the folder was opened", true},
                          {"the drop comes while the folder is looked for", false}};
    auto& d = delegate->fileDelivery;
    auto& center = FileTransferCenter::shared();
    FileTransferBatchStartInfo start;
    start.intent = FileTransferIntent::copy;
    start.destinationHint = "~/In";
    start.session = session.uuidString();
    auto batchTurningIntoADrop = [&](bool folderOpenedFirst) {
        const UUID batch = UUID::random();
        onMain([&] { delegate->handleInboundBatchStarted(batch, 0, 0, {}, start); });
        if (folderOpenedFirst) runUntilIdle();
        onMain([&] {
            ReceivedBatchHoldings held;
            delegate->handleInboundBatchCompleted(batch, {}, FileTransferIntent::dropToFinder, {}, held);
        });
        runUntilIdle();
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        center.resetForTesting();
        batchTurningIntoADrop(c.folderOpenedFirst);
        const size_t idle = openDescriptors();
        for (int i = 0; i < 1000; i++) batchTurningIntoADrop(c.folderOpenedFirst);
        EXPECT_LE(openDescriptors(), idle + 2);
        EXPECT_TRUE(d.inboundBatches.empty());
    }
    center.resetForTesting();
}

// Through the real server: the listing a Viewer asks for reaches it alone.
class InboundDeliveryWithViewers : public HostShellTest {
protected:
    void SetUp() override { launch(); }
};

TEST_F(InboundDeliveryWithViewers, ListingReplyGoesOnlyToTheViewerThatAsked) {
    fs::create_directories(Folders::home());
    auto asking = loggedInViewer();
    auto bystander = loggedInViewer();
    const FileTransferPacket request{FileTransferOp::listDir, UUID::random(), 0, 0, "~", {}};
    asking->send(AuxPacketType::fileTransferPacket, request.encode());
    auto reply = asking->waitForPacket(AuxPacketType::fileTransferPacket);
    ASSERT_TRUE(reply);
    auto packet = FileTransferPacket::decode(reply->payload);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->op, FileTransferOp::listDirReply);
    EXPECT_EQ(packet->batchID, request.batchID);
    bystander->settle();
    for (const auto& p : bystander->packets()) EXPECT_NE(p.header.type, AuxPacketType::fileTransferPacket);
}

}  // namespace
