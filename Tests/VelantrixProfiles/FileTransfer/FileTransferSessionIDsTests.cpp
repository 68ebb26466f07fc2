// What one peer session can do with the IDs of another's transfers (nothing:
// each session's batch and destination IDs are its own), and the paths the
// receiving side refuses at the door, before anything is made for them.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "Support/TestSupport.h"
#include "VelantrixProfiles/FileTransfer/FileTransferService.h"
#include "VelantrixProfiles/FileTransfer/FileTransferStagedItems.h"

namespace fs = std::filesystem;
using platform::UUID;
using Op = FileTransferOp;

namespace {

class SessionIDs : public VirtualTimeTest {
protected:
    std::shared_ptr<FileTransferService> receiver = std::make_shared<FileTransferService>("Viewer", 262144);
    std::vector<std::pair<FileTransferPacket, std::optional<std::string>>> replies;
    std::vector<std::string> statuses;
    struct Completed {
        UUID id;
        std::vector<fs::path> entries;
        FileTransferIntent intent;
        size_t failed;
        std::vector<std::string> failedNames;
    };
    std::vector<Completed> completed;
    std::vector<std::pair<UUID, FileTransferBatchStartInfo>> started;

    SessionIDs() {
        receiver->routedSendPacket = [this](FileTransferPacket p, const std::optional<std::string>& token) {
            replies.emplace_back(std::move(p), token);
            return true;
        };
        receiver->onStatus = [this](const std::string& s) { statuses.push_back(s); };
        receiver->onBatchCompleted = [this](const UUID& id, const std::vector<fs::path>& entries,
                                            FileTransferIntent intent, const FileTransferDeliveryResult& unsaved, ReceivedBatchHoldings&) {
            completed.push_back({id, entries, intent, unsaved.failedItemCount, unsaved.failedNames});
        };
        receiver->onBatchStarted = [this](const UUID& id, int64_t, uint64_t, const std::vector<std::string>&,
                                          const FileTransferBatchStartInfo& info) { started.emplace_back(id, info); };
    }

    void packet(const std::string& session, Op op, const UUID& id, std::string path = {}, uint64_t value1 = 0,
                std::string data = {}) {
        receiver->handleIncomingPacket({op, id, value1, 0, std::move(path), {data.begin(), data.end()}}, session);
    }
    std::vector<UUID> cancelsSentTo(const std::string& session) const {
        std::vector<UUID> out;
        for (const auto& [p, token] : replies)
            if (p.op == Op::cancelBatch && token == session) out.push_back(p.batchID);
        return out;
    }
    std::vector<fs::path> stagedFolders() {
        receiver->syncRemovalQueueForTesting();
        runUntilIdle();
        const auto root = receiver->stagingRoot();
        return {fs::directory_iterator(root), fs::directory_iterator()};
    }
    // The owner's batch `id` arrived as it sent it: "f.txt" holding "YYYY",
    // bound for "/a-dest", never cancelled; a start of the other session's
    // under its ID was refused.
    void expectAsItsSenderSentIt(const UUID& id, const std::string& owner, const std::string& other,
                                 bool refusedStartOfOther) {
        ASSERT_EQ(started.size(), 1u);
        EXPECT_EQ(started[0].second.session, owner);
        EXPECT_EQ(started[0].second.destinationHint, "/a-dest");
        ASSERT_EQ(completed.size(), 1u);
        EXPECT_EQ(completed[0].id, id);
        EXPECT_EQ(completed[0].failed, 0u);
        EXPECT_EQ(completed[0].intent, FileTransferIntent::copy);
        ASSERT_EQ(completed[0].entries.size(), 1u);
        const fs::path batchFolder = completed[0].entries[0].parent_path();
        EXPECT_EQ(completed[0].entries[0].filename(), "f.txt");
        EXPECT_EQ(contents(completed[0].entries[0]), "YYYY");
        std::error_code error;
        EXPECT_EQ(std::distance(fs::directory_iterator(batchFolder, error), {}), 1) << "nothing else in its batch folder";
        EXPECT_TRUE(cancelsSentTo(owner).empty()) << "the owner's batch was never cancelled";
        if (refusedStartOfOther) {
            EXPECT_EQ(cancelsSentTo(other), std::vector<UUID>{id}) << "the other's start is refused";
        }
        fs::remove_all(batchFolder);
    }
    static std::string contents(const fs::path& file) {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
};

// One session sends a copy of "f.txt" ("YYYY") to "/a-dest"; another sends
// one packet under its batch ID at one point of it. The batch arrives as
// its own session sent it, whatever the other's packet is. Both orders of
// the sessions' names: an entry found by ID alone, whichever session's
// comes first, would pass with one of them.
TEST_F(SessionIDs, AnotherSessionsPacketUnderABatchsIDLeavesThatBatchAsItsSenderSentIt) {
    enum class When { beforeStart, midFile };
    struct Case {
        const char* name;
        When when;
        Op op;
        std::string path;
        uint64_t value1;
        std::string data;
    };
    const Case cases[] = {
        {"chunk", When::midFile, Op::fileChunk, "f.txt", 2, "XX"},
        {"chunk at the start", When::midFile, Op::fileChunk, "f.txt", 0, "XX"},
        {"end", When::midFile, Op::fileEnd, "f.txt", 4, ""},
        {"cancel", When::midFile, Op::cancelBatch, "", 0, ""},
        {"directSave", When::beforeStart, Op::directSave, "/b-dest", 0, ""},
        {"cancel before the start", When::beforeStart, Op::cancelBatch, "", 0, ""},
        {"batchStart", When::midFile, Op::batchStart, "", 0, ""},
        {"batchEnd", When::midFile, Op::batchEnd, "", 0, ""},
        {"batchIntent", When::midFile, Op::batchIntent, "", 1, ""},
        {"mkdir", When::midFile, Op::mkdir, "planted", 0, ""},
        {"fileStart", When::midFile, Op::fileStart, "f.txt", 4, ""},
    };
    for (const auto& order : {std::pair<std::string, std::string>{"A", "B"}, {"B", "A"}}) {
        // Named copies: a lambda cannot capture a structured binding here.
        const std::string owner = order.first, other = order.second;
        for (const auto& c : cases) {
            SCOPED_TRACE(owner + "'s batch, " + other + "'s " + c.name);
            replies.clear();
            completed.clear();
            started.clear();
            const UUID id = UUID::random();
            auto hostile = [&] { packet(other, c.op, id, c.path, c.value1, c.data); };
            packet(owner, Op::directSave, id, "/a-dest");
            if (c.when == When::beforeStart) hostile();
            packet(owner, Op::batchStart, id, "", 4);
            packet(owner, Op::fileStart, id, "f.txt", 4);
            packet(owner, Op::fileChunk, id, "f.txt", 0, "YY");
            if (c.when == When::midFile) hostile();
            packet(owner, Op::fileChunk, id, "f.txt", 2, "YY");
            packet(owner, Op::fileEnd, id, "f.txt", 4);
            packet(owner, Op::batchEnd, id);
            runUntilIdle();
            expectAsItsSenderSentIt(id, owner, other, c.op == Op::batchStart);
        }
        EXPECT_EQ(receiver->pendingDestinationCountForTesting(), 1u) << "the other's directSave is its own";
        receiver->sessionEnded(other);
    }
}

// An ID stays its session's while the owner still saves its batch under
// it, and is free again once nothing of that batch is left: a Viewer that
// reconnects may send a batch again under its own ID.
TEST_F(SessionIDs, ABatchsIDStaysItsSessionsWhileItsBatchIsSavedAndIsFreeOnceNothingOfItIsLeft) {
    struct Case {
        const char* name;
        bool ended;          // A's batch reached its batchEnd
        bool sessionEnded;   // then A's session ended
        bool released;       // then the owner let go of the batch
        bool cancelled;      // A cancelled it instead of ending it
        bool takenByB;
    };
    const Case cases[] = {
        {"ended, A's session lives", true, false, false, false, false},
        {"ended, A's session ended", true, true, false, false, false},
        {"ended and saved by the owner", true, true, true, false, true},
        {"A's session ended before its end", false, true, false, false, true},
        {"cancelled by A", false, false, false, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        replies.clear();
        started.clear();
        completed.clear();
        const UUID id = UUID::random();
        packet("A", Op::batchStart, id);
        packet("A", Op::mkdir, id, "d");
        if (c.ended) packet("A", Op::batchEnd, id);
        if (c.cancelled) packet("A", Op::cancelBatch, id);
        runUntilIdle();
        if (c.sessionEnded) receiver->sessionEnded("A");
        if (c.released) receiver->releaseInboundBatch(id);
        runUntilIdle();
        const size_t startedBefore = started.size();
        // B stands for another Viewer, or for A's Viewer come back.
        packet("B", Op::directSave, id, "/b-dest");
        packet("B", Op::batchStart, id);
        packet("B", Op::mkdir, id, "again");
        packet("B", Op::batchEnd, id);
        runUntilIdle();
        EXPECT_EQ(cancelsSentTo("B"), c.takenByB ? std::vector<UUID>{} : std::vector<UUID>{id});
        EXPECT_EQ(started.size(), startedBefore + (c.takenByB ? 1 : 0));
        if (c.takenByB && started.size() == startedBefore + 1 && !completed.empty()) {
            EXPECT_EQ(started.back().second.session, "B");
            EXPECT_EQ(started.back().second.destinationHint, "/b-dest");
            EXPECT_EQ(completed.back().entries.at(0).filename(), "again");
        }
        EXPECT_EQ(receiver->pendingDestinationCountForTesting(), 0u) << "a refused start takes B's destination too";
        if (c.ended) {
            EXPECT_TRUE(fs::exists(completed.at(0).entries.at(0))) << "A's staged items are untouched";
        }
        receiver->sessionEnded("B");
        for (const auto& batch : completed) fs::remove_all(batch.entries.at(0).parent_path());
        runUntilIdle();
    }
}

TEST_F(SessionIDs, AListingReplyIsTakenOnlyFromTheSessionAskedAndOnlyOnce) {
    std::vector<std::string> listed;
    receiver->onDirectoryListing = [&](const UUID&, const std::string& path, const std::vector<RemoteDirectoryEntry>&) {
        listed.push_back(path);
    };
    const UUID toA = receiver->requestDirectoryListing("~", "A");
    const UUID toAll = receiver->requestDirectoryListing("~", std::nullopt);
    struct Reply {
        std::string from;
        UUID id;
        std::string path;
    };
    const Reply sent[] = {
        {"B", toA, "/planted"}, {"A", toA, "/a"}, {"A", toA, "/again"}, {"B", toAll, "/any"}, {"A", toAll, "/late"},
        {"A", UUID::random(), "/unasked"},
    };
    for (const auto& r : sent) packet(r.from, Op::listDirReply, r.id, r.path, 0, "[]");
    runUntilIdle();
    EXPECT_EQ(listed, (std::vector<std::string>{"/a", "/any"}));
}

// A batch this end sends to one session stops at that session's cancel (or
// this end's), never at another session's under the same ID, even one
// that came before the batch was queued.
TEST_F(SessionIDs, AnotherSessionsCancelDoesNotStopABatchSentToASession) {
    const fs::path file = dataRoot->path() / "out.txt";
    std::ofstream(file) << "bytes";
    struct Case {
        std::string canceller;
        bool stopped;
    };
    for (const Case& c : {Case{"B", false}, Case{"A", true}}) {
        SCOPED_TRACE(c.canceller);
        replies.clear();
        const UUID id = UUID::random();
        packet(c.canceller, Op::cancelBatch, id);
        runUntilIdle();
        ASSERT_EQ(receiver->sendURLs({file}, FileTransferIntent::copy, std::nullopt, {}, "A", id), id);
        runUntilIdle();
        size_t ends = 0;
        for (const auto& [p, token] : replies) {
            EXPECT_EQ(token, "A");
            ends += p.op == Op::fileEnd;
        }
        EXPECT_EQ(ends, c.stopped ? 0u : 1u);
    }
}

// A path deeper than the tree walker goes, or longer than the file system
// takes, is refused when its packet arrives: nothing is made for it, so
// nothing is left that a walk could refuse to remove, and the batch's
// receipt names it among what could not be saved.
TEST_F(SessionIDs, PathsPastTheWalkersDepthOrTheSystemsLengthsAreRefusedBeforeAnythingIsMade) {
    auto deep = [](size_t levels) {
        std::string path = "d";
        for (size_t i = 1; i < levels; ++i) path += "/d";
        return path;
    };
    const std::string longName(FileTransferService::maxReceivedNameBytes + 1, 'n');
    // Short enough names, the whole too long: 20 of 250 bytes.
    std::string longPath = std::string(250, 'p');
    for (int i = 1; i < 20; ++i) longPath += "/" + std::string(250, 'p');
    ASSERT_GT(longPath.size(), FileTransferService::maxReceivedPathBytes);
    struct Case {
        const char* name;
        Op op;
        std::string path;
        bool refused;
    };
    const Case cases[] = {
        {"130-deep mkdir", Op::mkdir, deep(130), true},
        {"one level past the bound, a file", Op::fileStart, deep(FileTransferService::maxReceivedPathDepth + 1), true},
        {"over-long path", Op::mkdir, longPath, true},
        {"over-long path, a file", Op::fileStart, longPath, true},
        {"over-long name below a folder", Op::mkdir, "a/" + longName, true},
        {"over-long file name", Op::fileStart, "a/" + longName, true},
        {"at the depth bound", Op::mkdir, deep(FileTransferService::maxReceivedPathDepth), false},
        {"a name as long as allowed", Op::fileStart, std::string(FileTransferService::maxReceivedNameBytes, 'n'), false},
    };
    ASSERT_TRUE(stagedFolders().empty());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        statuses.clear();
        completed.clear();
        const UUID id = UUID::random();
        packet("A", Op::batchStart, id);
        packet("A", c.op, id, c.path, 0);
        if (c.op == Op::fileStart) packet("A", Op::fileEnd, id, c.path, 0);
        runUntilIdle();
        const auto folders = stagedFolders();
        EXPECT_EQ(folders.size(), 1u);
        if (!folders.empty()) {
            EXPECT_EQ(fs::is_empty(folders[0]), c.refused) << "nothing is made for a refused path";
        }
        bool named = false;
        for (const auto& s : statuses)
            named |= s.find(c.op == Op::mkdir ? "dropped unsafe folder path" : "unsafe path") != std::string::npos;
        EXPECT_EQ(named, c.refused) << "refused as any unsafe name is";
        // Refused, it is an item that could not be saved, named in the
        // receipt; admitted, it can always be removed again.
        packet("A", Op::batchEnd, id);
        runUntilIdle();
        ASSERT_EQ(completed.size(), 1u);
        std::vector<std::string> unsaved;
        if (c.refused) unsaved.push_back(c.path.substr(0, FileTransferDeliveryResult::maxNameBytes));
        EXPECT_EQ(completed[0].failedNames, unsaved);
        FileTransferStagedItems::remove(completed[0].entries);
        FileTransferStagedItems::removeBatchFolderOf(completed[0].entries);
        EXPECT_TRUE(stagedFolders().empty());
        // A case that failed leaves the next one staging of its own.
        for (const auto& folder : stagedFolders()) fs::remove_all(folder);
    }
}

}  // namespace
