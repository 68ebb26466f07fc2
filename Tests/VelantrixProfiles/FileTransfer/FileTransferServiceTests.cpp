#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <optional>
#include <set>

#include "Platform/Security/Crypto.h"
#include "Platform/Files/Folders.h"
#include "Platform/Foundation/Locale.h"
#include "Platform/Foundation/UnicodeText.h"
#include "Platform/Files/TreeWalk.h"
#include "Platform/Runtime/WorkLedger.h"
#include "Support/TestSupport.h"
#include "VelantrixProfiles/FileTransfer/FileTransferService.h"

namespace fs = std::filesystem;
using platform::UUID;

namespace {

void writeFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every regular file below `root`, relative path to content.
std::map<std::string, std::string> treeOf(const fs::path& root) {
    std::map<std::string, std::string> out;
    for (auto& e : fs::recursive_directory_iterator(root))
        out[fs::relative(e.path(), root).string()] = e.is_regular_file() ? readFile(e.path()) : "<dir>";
    return out;
}

class FileTransferServiceTest : public VirtualTimeTest {
protected:
    std::shared_ptr<FileTransferService> sender = std::make_shared<FileTransferService>("Host", 262144);
    std::shared_ptr<FileTransferService> receiver = std::make_shared<FileTransferService>("Viewer", 262144);
    std::vector<FileTransferPacket> sent;
    std::vector<std::string> senderStatus, receiverStatus;
    struct Completed {
        UUID id;
        std::vector<fs::path> entries;
        FileTransferIntent intent;
        size_t failed;
        std::vector<std::string> failedNames;
    };
    std::vector<Completed> completed;
    std::vector<FileTransferBatchStartInfo> started;
    std::optional<bool> outgoingCancelled;
    std::optional<size_t> outgoingFailed;
    fs::path source = dataRoot->path() / "source";

    FileTransferServiceTest() {
        sender->sendPacket = [this](FileTransferPacket p) {
            sent.push_back(p);
            receiver->handleIncomingPacket(std::move(p));
            return true;
        };
        sender->onStatus = [this](const std::string& s) { senderStatus.push_back(s); };
        sender->onOutgoingBatchCompleted = [this](const UUID&, bool cancelled, size_t failed) {
            outgoingCancelled = cancelled;
            outgoingFailed = failed;
        };
        receiver->onStatus = [this](const std::string& s) { receiverStatus.push_back(s); };
        receiver->onBatchCompleted = [this](const UUID& id, const std::vector<fs::path>& e, FileTransferIntent i,
                                            const FileTransferDeliveryResult& unsaved, ReceivedBatchHoldings&) {
            completed.push_back({id, e, i, unsaved.failedItemCount, unsaved.failedNames});
        };
        receiver->onBatchStarted = [this](const UUID&, int64_t, uint64_t, const std::vector<std::string>&,
                                          const FileTransferBatchStartInfo& info) { started.push_back(info); };
    }

    std::vector<FileTransferOp> ops() const {
        std::vector<FileTransferOp> out;
        for (const auto& p : sent) out.push_back(p.op);
        return out;
    }
    fs::path stagingRoot() const { return receiver->stagingRoot(); }
    // Feeds packets to the receiver as one batch with the given body.
    void receiveBatch(const UUID& id, const std::vector<FileTransferPacket>& body) {
        FileTransferPacket start{FileTransferOp::batchStart, id, 0, packBatchStartValue2(FileTransferIntent::copy, 1), "", {}};
        receiver->handleIncomingPacket(start);
        for (auto p : body) {
            p.batchID = id;
            receiver->handleIncomingPacket(std::move(p));
        }
        receiver->handleIncomingPacket({FileTransferOp::batchEnd, id, 0, 0, "", {}});
        runUntilIdle();
    }
};

TEST_F(FileTransferServiceTest, SendsAFolderInWalkOrderAndStagesItWhole) {
    writeFile(source / "A" / "b.txt", "0123456789");
    fs::create_directories(source / "A" / "C");
    writeFile(source / "A" / ".hidden", "x");
    writeFile(source / ".top", "hidden but chosen");
    auto id = sender->sendURLs({source / "A", source / ".top"}, FileTransferIntent::copy, "", {}, std::nullopt);
    ASSERT_TRUE(id);
    runUntilIdle();

    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[0].op, FileTransferOp::batchStart);  // no directSave for ""
    EXPECT_EQ(sent[0].value1, 27u);
    EXPECT_EQ(sent[0].value2, 2u);
    EXPECT_EQ(FileTransferService::decodeItemNames(sent[0].data), (std::vector<std::string>{"A", ".top"}));
    EXPECT_EQ(sent[1].op, FileTransferOp::mkdir);
    EXPECT_EQ(sent[1].path, "A");
    EXPECT_EQ(sent.back().op, FileTransferOp::batchEnd);
    for (const auto& p : sent) EXPECT_EQ(p.path.find(".hidden"), std::string::npos);
    EXPECT_EQ(senderStatus.front(), "sending 2 item(s), 0.0 KB to Host");
    EXPECT_EQ(senderStatus.back(), "send completed for batch " + id->id8());
    EXPECT_EQ(outgoingCancelled, false);

    ASSERT_EQ(completed.size(), 1u);
    EXPECT_EQ(completed[0].failed, 0u);
    ASSERT_EQ(completed[0].entries.size(), 2u);
    const auto root = completed[0].entries[0].parent_path();
    EXPECT_EQ(root.parent_path(), stagingRoot());
    // "<seconds>-<first 8 of the ID>-<8 random>": a name nobody can plant ahead.
    const std::string name = root.filename().string();
    const size_t at = name.find("-" + id->id8() + "-");
    ASSERT_NE(at, std::string::npos) << name;
    EXPECT_EQ(name.size(), at + 1 + 8 + 1 + 8) << name;
    EXPECT_EQ(treeOf(root), (std::map<std::string, std::string>{
                                {"A", "<dir>"}, {"A/C", "<dir>"}, {"A/b.txt", "0123456789"}, {".top", "hidden but chosen"}}));
}

// Items reached by descriptor go through the one tree walker: hidden items
// inside folders stay behind, an item named by a path below the folder is
// reached on its way, and a tree past the walker's depth fails whole, by
// its name, with nothing of it sent. An item whose name is not UTF-8 is
// refused at this end with a line naming it, it and what it holds, and no
// packet names it; the rest goes. The caller hears the batch is done once,
// after it ends.
TEST_F(FileTransferServiceTest, ConfinedItemsAreWalkedWithinTheWalkersBoundsAndThePastBoundsFailWhole) {
    writeFile(source / "A" / "x", "x");
    writeFile(source / "A" / ".hidden", "h");
    writeFile(source / "A" / ".git" / "z", "z");
    writeFile(source / "A" / "sub" / "y", "y");
    fs::path deep = source / "Deep";
    for (int i = 0; i <= platform::TreeWalk::defaultMaxDepth; i++) deep /= "d";
    writeFile(deep / "f", "too deep");
    // Hidden content past every bound is not sent, so it refuses nothing.
    writeFile(source / "H" / "visible.txt", "v");
    fs::path hidden = source / "H" / ".cache";
    for (int i = 0; i <= platform::TreeWalk::defaultMaxDepth; i++) hidden /= "d";
    writeFile(hidden / "f", "hidden");
    writeFile(source / "U" / "good.txt", "g");
    writeFile(source / "U" / "bad\xff.txt", "b");
    writeFile(source / "U" / "dir\xfe" / "inside.txt", "i");
    auto top = platform::ConfinedFolder::openTop(source);
    ASSERT_TRUE(top);
    struct Case {
        const char* name;
        std::string item;
        std::map<std::string, std::string> arrived;  // below the staging folder
        size_t failed;
        // Refused at this end alone, by these lines.
        std::multiset<std::string> refused;
    };
    const Case cases[] = {
        {"a tree within the bounds", "A", {{"A", "<dir>"}, {"A/sub", "<dir>"}, {"A/sub/y", "y"}, {"A/x", "x"}}, 0},
        {"a path below the folder", "A/sub/y", {{"y", "y"}}, 0},
        {"a tree deeper than the walker goes", "Deep", {}, 1},
        {"hidden content deeper than the walker goes", "H", {{"H", "<dir>"}, {"H/visible.txt", "v"}}, 0},
        {"names that are not UTF-8", "U", {{"U", "<dir>"}, {"U/good.txt", "g"}}, 0,
         {"send of U/bad\\xff.txt refused: its name is not valid UTF-8",
          "send of U/dir\\xfe refused: its name is not valid UTF-8"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sent.clear();
        completed.clear();
        senderStatus.clear();
        int done = 0;
        auto id = sender->sendConfinedItems({{*top, c.item}}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt,
                                            std::nullopt, [&] { done += 1; });
        ASSERT_TRUE(id);
        runUntilIdle();
        EXPECT_EQ(done, 1);
        EXPECT_EQ(outgoingFailed, c.failed + c.refused.size());
        ASSERT_EQ(completed.size(), 1u);
        EXPECT_EQ(completed[0].failed, c.failed);
        std::multiset<std::string> refused;
        for (const auto& line : senderStatus)
            if (line.ends_with("not valid UTF-8")) refused.insert(line);
        EXPECT_EQ(refused, c.refused);
        for (const auto& p : sent) EXPECT_TRUE(platform::UnicodeText::isValidUTF8(p.path)) << p.path;
        std::map<std::string, std::string> arrived;
        if (!completed[0].entries.empty()) arrived = treeOf(completed[0].entries[0].parent_path());
        EXPECT_EQ(arrived, c.arrived);
        if (c.failed) {
            EXPECT_EQ(ops(), (std::vector<FileTransferOp>{FileTransferOp::batchStart, FileTransferOp::fileStart,
                                                          FileTransferOp::batchEnd}));
            EXPECT_EQ(sent[1].path, c.item);
        }
    }
    EXPECT_FALSE(sender->sendConfinedItems({{*top, "../escape"}, {*top, "/abs"}}, FileTransferIntent::copy,
                                           std::nullopt, {}, std::nullopt));
}

TEST_F(FileTransferServiceTest, ChunksAtChunkSizeAndStopsWithinAFileWhenCancelled) {
    std::string big(600000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    writeFile(source / "big.bin", big);
    std::vector<uint64_t> progress;
    sender->onOutgoingBatchProgress = [&](const UUID&, uint64_t done, uint64_t) { progress.push_back(done); };
    sender->sendURLs({source / "big.bin"}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt);
    runUntilIdle();
    std::vector<std::pair<uint64_t, size_t>> chunks;
    for (const auto& p : sent)
        if (p.op == FileTransferOp::fileChunk) chunks.emplace_back(p.value1, p.data.size());
    EXPECT_EQ(chunks, (std::vector<std::pair<uint64_t, size_t>>{{0, 262144}, {262144, 262144}, {524288, 75712}}));
    EXPECT_EQ(progress, (std::vector<uint64_t>{262144, 524288, 600000}));
    EXPECT_EQ(readFile(completed.at(0).entries.at(0)), big);

    // Cancelled while the second chunk is handed on.
    sent.clear();
    sender->sendPacket = [this](FileTransferPacket p) {
        if (p.op == FileTransferOp::fileChunk && p.value1 == 262144) sender->cancelOutgoingBatch(p.batchID);
        sent.push_back(std::move(p));
        return true;
    };
    auto id = sender->sendURLs({source / "big.bin", source / "big.bin"}, FileTransferIntent::copy, std::nullopt, {},
                               std::nullopt);
    runUntilIdle();
    EXPECT_EQ(ops(), (std::vector<FileTransferOp>{FileTransferOp::batchStart, FileTransferOp::fileStart,
                                                  FileTransferOp::fileChunk, FileTransferOp::fileChunk,
                                                  FileTransferOp::batchEnd}));
    EXPECT_EQ(senderStatus.back(), "send cancelled for batch " + id->id8());
    EXPECT_EQ(outgoingCancelled, true);

    // Nobody takes the packets any more (the Viewer left): the batch stops.
    sent.clear();
    sender->sendPacket = [this](FileTransferPacket p) {
        sent.push_back(std::move(p));
        return false;
    };
    sender->sendURLs({source / "big.bin"}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt);
    runUntilIdle();
    EXPECT_EQ(ops(), (std::vector<FileTransferOp>{FileTransferOp::batchStart, FileTransferOp::batchEnd}));

    // Everything taken but the batch's end: the send did not complete.
    sent.clear();
    outgoingCancelled.reset();
    sender->sendPacket = [this](FileTransferPacket p) {
        const bool taken = p.op != FileTransferOp::batchEnd;
        sent.push_back(std::move(p));
        return taken;
    };
    id = sender->sendURLs({source / "big.bin"}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt);
    runUntilIdle();
    EXPECT_EQ(ops().back(), FileTransferOp::batchEnd);
    EXPECT_EQ(senderStatus.back(), "send cancelled for batch " + id->id8());
    EXPECT_EQ(outgoingCancelled, true);
}

// A send of a folder of 30,000 files holds a window of its tree, measured
// by the allocator while it sends, never a list of all of it (their names
// alone would be 3 MiB), whether a
// peer asked for it (items reached by descriptor, to a session) or it is
// the Host's own (a path), and it still announces every file. A send
// whose session ends, or whose peer goes, stops before its next entry and
// gives back what it held.
TEST_F(FileTransferServiceTest, AWideFolderIsSentFromAWindowAndLetGoWhenItsTargetGoes) {
    constexpr size_t files = 30000;
    constexpr size_t endAfter = 2000;
    {
        fs::create_directories(source / "wide");
        platform::FileHandle wide(::open((source / "wide").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        for (size_t i = 0; i < files; i++)
            platform::FileHandle(::openat(wide.fd(), (std::string(48, 'n') + std::to_string(i)).c_str(),
                                          O_CREAT | O_WRONLY, 0644));
    }
    auto top = platform::ConfinedFolder::openTop(source);
    ASSERT_TRUE(top);
    enum class End { none, sessionEnds, peerGoes };
    struct Case {
        const char* name;
        bool confined;
        End end;
    };
    const Case cases[] = {
        {"a peer's send, whole", true, End::none},
        {"the Host's own send, whole", false, End::none},
        {"a peer's send whose session ends", true, End::sessionEnds},
        {"a peer's send whose peer goes", true, End::peerGoes},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string session = std::string("session of ") + c.name;
        auto ledger = std::make_shared<platform::WorkLedger>("peer", size_t{4} << 20);
        size_t started = 0, startedAtEnd = 0;
        uint64_t announced = 0;
        returnFreedMemory();
        const size_t baseline = allocatedBytes();
        size_t peak = baseline;
        sender->sendPacket = [&](FileTransferPacket p) {
            if (p.op == FileTransferOp::batchStart) announced = batchStartFileCount(p.value2);
            if (p.op != FileTransferOp::fileStart) return true;
            if (++started % 256 == 0) peak = std::max(peak, allocatedBytes());
            if (started == endAfter && c.end != End::none) {
                startedAtEnd = started;
                if (c.end == End::sessionEnds) sender->sessionEnded(session);
                if (c.end == End::peerGoes) ledger->cancel();
            }
            return true;
        };
        outgoingCancelled.reset();
        int done = 0;
        {
            const platform::WorkLedger::Charged charged(ledger);
            auto id = c.confined ? sender->sendConfinedItems({{*top, "wide"}}, FileTransferIntent::managedCopy,
                                                             "Inbox", {}, session, std::nullopt, [&] { done += 1; })
                                 : sender->sendURLs({source / "wide"}, FileTransferIntent::copy, std::nullopt, {},
                                                    session, std::nullopt, [&] { done += 1; });
            ASSERT_TRUE(id);
        }
        runUntilIdle();
        EXPECT_EQ(done, 1);
        EXPECT_EQ(announced, files);
        if (c.end == End::none) {
            EXPECT_EQ(started, files);
            EXPECT_EQ(outgoingCancelled, false);
        } else {
            EXPECT_EQ(started, startedAtEnd) << "no entry after the end";
            EXPECT_EQ(outgoingCancelled, true);
        }
        EXPECT_LT(peak - baseline, size_t{3} << 19) << "held while sending";
        returnFreedMemory();
        const size_t after = allocatedBytes();
        EXPECT_LT(after - std::min(after, baseline), size_t{1} << 20) << "held after";
    }
}

// An item the sender cannot read is reported failed on both ends: the
// receiver hears its fileStart with no fileEnd and fails that item alone,
// and the sender's completion counts it instead of calling the batch sent.
TEST_F(FileTransferServiceTest, AFileThatCannotBeOpenedIsAFailedItemOnBothEnds) {
    writeFile(source / "ok.txt", "fine");
    writeFile(source / "taken.txt", "gone by the time it is opened");
    // The walk saw both; the second is removed while the first is sent.
    sender->sendPacket = [this](FileTransferPacket p) {
        if (p.op == FileTransferOp::fileStart && p.path == "ok.txt") fs::remove(source / "taken.txt");
        sent.push_back(p);
        receiver->handleIncomingPacket(std::move(p));
        return true;
    };
    auto id = sender->sendURLs({source / "ok.txt", source / "taken.txt"}, FileTransferIntent::copy, std::nullopt, {},
                               std::nullopt);
    ASSERT_TRUE(id);
    runUntilIdle();

    std::vector<FileTransferOp> ofTaken;
    for (const auto& p : sent)
        if (p.path == "taken.txt") ofTaken.push_back(p.op);
    EXPECT_EQ(ofTaken, std::vector<FileTransferOp>{FileTransferOp::fileStart}) << "announced, never ended";
    EXPECT_EQ(outgoingCancelled, false);
    EXPECT_EQ(outgoingFailed, 1u);
    EXPECT_EQ(senderStatus.back(), "send failed for batch " + id->id8() + ": 1 item(s) could not be sent");
    ASSERT_EQ(completed.size(), 1u);
    EXPECT_EQ(completed[0].failed, 1u);
    ASSERT_EQ(completed[0].entries.size(), 1u);
    EXPECT_EQ(completed[0].entries[0].filename(), "ok.txt");
}

// A folder below a sent one that cannot be listed is reported as a failed
// item, by its name, while the rest of the folder is sent.
TEST_F(FileTransferServiceTest, AFolderThatCannotBeListedIsAFailedItem) {
    writeFile(source / "A" / "x", "x");
    writeFile(source / "A" / "closed" / "y", "y");
    sender->sendPacket = [this](FileTransferPacket p) {
        sent.push_back(p);
        return true;
    };
    ASSERT_EQ(::chmod((source / "A" / "closed").c_str(), 0), 0);
    auto sendAndCheck = [&] {
        if (!sender->sendURLs({source / "A"}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt)) return false;
        runUntilIdle();
        std::map<std::string, std::vector<FileTransferOp>> byPath;
        for (const auto& p : sent) byPath[p.path].push_back(p.op);
        using Op = FileTransferOp;
        EXPECT_EQ(byPath["A/x"], (std::vector<Op>{Op::fileStart, Op::fileChunk, Op::fileEnd}));
        EXPECT_FALSE(byPath["A/closed"].empty());
        if (!byPath["A/closed"].empty()) {
            EXPECT_EQ(byPath["A/closed"].back(), Op::fileStart) << "announced, never ended";
        }
        EXPECT_TRUE(byPath["A/closed/y"].empty());
        EXPECT_EQ(outgoingFailed, 1u);
        return !::testing::Test::HasFailure();
    };
    if (::geteuid() != 0) {
        EXPECT_TRUE(sendAndCheck());
    } else {
        // Root lists any folder: the send runs in a child process that has
        // become an ID nobody has, as a Host started for a user becomes them.
        for (fs::path up = source; up != dataRoot->path().parent_path(); up = up.parent_path())
            ASSERT_EQ(::chmod(up.c_str(), 0755), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::alarm(30);
            if (::setgroups(0, nullptr) != 0 || ::setgid(54321) != 0 || ::setuid(54321) != 0) ::_exit(2);
            ::_exit(sendAndCheck() ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's findings are above";
    }
    ::chmod((source / "A" / "closed").c_str(), 0755);
}

// Items gone before the walk, or that no packet may name, still end the
// batch, at once and through the same hooks, so every waiter for it ends;
// the target hears a cancelBatch.
TEST_F(FileTransferServiceTest, ABatchWhoseItemsAllVanishedFailsAtOnce) {
    std::vector<std::string> order;
    sender->onOutgoingBatchStarted = [&](const UUID&, int64_t files, uint64_t bytes, FileTransferIntent,
                                         const std::vector<std::string>& names) {
        order.push_back("started " + std::to_string(files) + " " + std::to_string(bytes) + " " + names.at(0));
    };
    auto done = sender->onOutgoingBatchCompleted.get();
    sender->onOutgoingBatchCompleted = [&, done](const UUID& id, bool cancelled, size_t failed) {
        order.push_back("completed " + std::to_string(failed));
        done(id, cancelled, failed);
    };
    writeFile(source / "bad\xff.txt", "not UTF-8");
    auto id = sender->sendURLs({source / "gone.txt", source / "also-gone", source / "bad\xff.txt"},
                               FileTransferIntent::managedCopy, "~/In", {}, std::nullopt);
    ASSERT_TRUE(id);
    runUntilIdle();
    EXPECT_EQ(order, (std::vector<std::string>{"started 0 0 gone.txt", "completed 3"}));
    EXPECT_EQ(outgoingCancelled, false);
    EXPECT_EQ(ops(), std::vector<FileTransferOp>{FileTransferOp::cancelBatch});
    EXPECT_EQ(sent.at(0).batchID, *id);
}

TEST_F(FileTransferServiceTest, LinksInsideFoldersAreSkippedAndATopLevelLinkIsFollowed) {
    writeFile(source / "real" / "f.txt", "data");
    fs::create_directory_symlink(".", source / "real" / "loop");
    fs::create_symlink("/etc/hostname", source / "real" / "outside");
    fs::create_directory_symlink(source / "real", source / "link");
    sender->sendURLs({source / "link"}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt);
    runUntilIdle();
    ASSERT_EQ(completed.size(), 1u);
    EXPECT_EQ(treeOf(completed[0].entries.at(0).parent_path()),
              (std::map<std::string, std::string>{{"link", "<dir>"}, {"link/f.txt", "data"}}));
}

TEST_F(FileTransferServiceTest, NamesInBothNormalFormsAndEmptyFilesArriveIntact) {
    const std::string nfc = "caf\xC3\xA9", nfd = "cafe\xCC\x81";
    writeFile(source / "t" / nfc, "composed");
    writeFile(source / "t" / nfd, "decomposed");
    writeFile(source / "t" / "deep" / "er" / "empty", "");
    auto id = sender->sendURLs({source / "t"}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt);
    runUntilIdle();
    ASSERT_EQ(completed.size(), 1u);
    const auto staged = completed[0].entries.at(0);
    EXPECT_EQ(treeOf(staged), treeOf(source / "t"));
    EXPECT_EQ(completed[0].id, *id);
}

TEST_F(FileTransferServiceTest, HostileOrFaultyFilesFailAloneAndNothingLeavesTheBatchFolder) {
    using Op = FileTransferOp;
    auto chunk = [](std::string path, uint64_t offset, std::string bytes) {
        return FileTransferPacket{Op::fileChunk, {}, offset, 0, std::move(path), {bytes.begin(), bytes.end()}};
    };
    auto start = [](std::string path, uint64_t size) { return FileTransferPacket{Op::fileStart, {}, size, 0, path, {}}; };
    auto end = [](std::string path, uint64_t size) { return FileTransferPacket{Op::fileEnd, {}, size, 0, path, {}}; };
    receiver->setWriteFailureForTesting([](const std::string& p) { return p == "diskfull"; });
    // Names past 15 bytes live on the heap: a status line that read a
    // file's own path after the file went would read freed memory.
    const std::string own = "the open file's own name.bin", other = "another file's name.bin";
    struct Case {
        const char* name;
        std::vector<FileTransferPacket> body;
        const char* cause;
        // The name the receipt gives the failed file.
        std::string failed;
    };
    const Case cases[] = {
        {"parent", {start("../escape", 1), chunk("../escape", 0, "x"), end("../escape", 1)}, "unsafe path", "../escape"},
        {"absolute", {start("/tmp/escape", 1), chunk("/tmp/escape", 0, "x"), end("/tmp/escape", 1)}, "unsafe path",
         "/tmp/escape"},
        {"dot", {start("a/./b", 1), end("a/./b", 1)}, "unsafe path", "a/./b"},
        {"empty component", {start("a//b", 1), end("a//b", 1)}, "unsafe path", "a//b"},
        {"empty", {start("", 1), end("", 1)}, "unsafe path", ""},
        {"nul", {start(std::string("a\0b", 3), 1), end("a", 1)}, "unsafe path", std::string("a\0b", 3)},
        {"skipped offset", {start(own, 4), chunk(own, 0, "ab"), chunk(own, 3, "d"), end(own, 4)}, "chunk out of order",
         own},
        {"short", {start(own, 5), chunk(own, 0, "abc"), end(own, 5)}, "ended short", own},
        {"excess", {start(own, 2), chunk(own, 0, "abc"), end(own, 2)}, "more bytes than declared", own},
        {"disk full", {start("diskfull", 2), chunk("diskfull", 0, "ab"), end("diskfull", 2)}, "No space left",
         "diskfull"},
        {"huge", {start("huge", 1ull << 62), end("huge", 1ull << 62)}, "exceeds free space", "huge"},
        {"open at end", {start(own, 3), chunk(own, 0, "ab")}, "batch ended while the file was open", own},
        {"next file before the end", {start(own, 3), chunk(own, 0, "ab"), start(other, 0), end(other, 0)},
         "next file began before it ended", own},
        // A chunk or end that names another file, or another size, is no
        // part of the open file.
        {"chunk of another file", {start(own, 2), chunk(other, 0, "ab"), end(own, 2)}, "chunk for another file", own},
        {"end of another file", {start(own, 2), chunk(own, 0, "ab"), end(other, 2)}, "end for another file", own},
        {"end of another size", {start(own, 2), chunk(own, 0, "ab"), end(own, 3)}, "end announces another size", own},
    };
    stagingRoot();
    const auto outside = treeOf(dataRoot->path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        receiverStatus.clear();
        completed.clear();
        auto body = c.body;
        // A good file after the bad one still arrives.
        if (std::string(c.name) != "open at end") {
            body.push_back(start("good", 2));
            body.push_back(chunk("good", 0, "ok"));
            body.push_back(end("good", 2));
        }
        const UUID id = UUID::random();
        receiveBatch(id, body);
        ASSERT_EQ(completed.size(), 1u);
        EXPECT_EQ(completed[0].failed, 1u);
        EXPECT_EQ(completed[0].failedNames, std::vector<std::string>{c.failed}) << "the receipt names it";
        const auto root = stagingRoot() / fs::path(receiverStatus.back().substr(receiverStatus.back().rfind('/') + 1));
        std::map<std::string, std::string> staged{{"good", "ok"}};
        std::vector<fs::path> entries{root / "good"};
        if (std::string(c.name) == "next file before the end") {
            staged[other] = "";
            entries.insert(entries.begin(), root / other);
        }
        if (std::string(c.name) == "open at end") {
            // Nothing staged: the batch's folder leaves with the batch.
            receiver->syncRemovalQueueForTesting();
            EXPECT_FALSE(fs::exists(root));
        } else {
            EXPECT_EQ(treeOf(root), staged);
            EXPECT_EQ(completed[0].entries, entries);
        }
        const std::string line = "receive failed for \"" + c.failed + "\": ";
        EXPECT_TRUE(std::any_of(receiverStatus.begin(), receiverStatus.end(), [&](const std::string& s) {
            return s.starts_with(line) && s.find(c.cause) != std::string::npos;
        })) << "the line names the file it failed";
        fs::remove_all(root);
    }
    EXPECT_FALSE(fs::exists("/tmp/escape"));
    EXPECT_EQ(treeOf(dataRoot->path()), outside);
}

// Each top-level item is noted once, at a cost that does not grow with
// the items its batch holds already, so a batch of many top-level folders
// is received in time linear in them. Measured in processor time of this
// thread, which runs every queue: rounds of the last hundred folders named
// again (so that the disk's share is small), in a batch that holds
// thousands and in one that holds a hundred, in turn, so that the
// machine's moods fall on both alike.
TEST_F(FileTransferServiceTest, ATopLevelFolderCostsTheSameHoweverManyTheBatchHolds) {
    auto cpuSeconds = [] {
        timespec now{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
    };
    constexpr size_t many = 2000, few = 100, rounds = 9;
    const UUID full = UUID::random(), small = UUID::random();
    auto mkdirs = [&](const UUID& id, size_t from, size_t to) {
        for (size_t n = from; n < to; ++n)
            receiver->handleIncomingPacket({FileTransferOp::mkdir, id, 0, 0, "folder " + std::to_string(n), {}});
        const double start = cpuSeconds();
        runUntilIdle();
        return cpuSeconds() - start;
    };
    for (const UUID& id : {full, small}) receiver->handleIncomingPacket({FileTransferOp::batchStart, id, 0, 0, "", {}});
    mkdirs(full, 0, many);
    mkdirs(small, 0, few);
    std::vector<double> amongMany, amongFew;
    for (size_t round = 0; round < rounds; ++round) {
        amongMany.push_back(mkdirs(full, many - few, many));
        amongFew.push_back(mkdirs(small, 0, few));
    }
    // Medians, so that a round the machine interrupted does not decide.
    auto median = [](std::vector<double> v) {
        std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
        return v[v.size() / 2];
    };
    EXPECT_LT(median(amongMany), 4 * median(amongFew)) << "a folder among 2,000 against one among 100";
    receiver->handleIncomingPacket({FileTransferOp::batchEnd, full, 0, 0, "", {}});
    runUntilIdle();
    ASSERT_EQ(completed.size(), 1u);
    EXPECT_EQ(completed[0].entries.size(), many) << "each once";
}

TEST_F(FileTransferServiceTest, BatchStartRecordsDestinationIntentAndReplacesALiveBatch) {
    const UUID id = UUID::random();
    receiver->handleIncomingPacket({FileTransferOp::directSave, id, 2, 0, "/dest", {}});
    receiver->handleIncomingPacket({FileTransferOp::batchStart, id, 0, (5ull << 56) | 1, "", {}});
    receiver->handleIncomingPacket({FileTransferOp::fileStart, id, 3, 0, "first", {}});
    runUntilIdle();
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0], (FileTransferBatchStartInfo{FileTransferIntent::copy, "/dest",
                                                      FileTransferDeliveryOptions::backupBeforeOverwrite}));
    EXPECT_EQ(receiver->destinationHint(id), "/dest");
    receiver->handleIncomingPacket({FileTransferOp::batchIntent, id, 3, 0, "", {}});
    runUntilIdle();
    EXPECT_EQ(receiver->intent(id), FileTransferIntent::managedCopy);
    receiver->handleIncomingPacket({FileTransferOp::batchIntent, id, 7, 0, "", {}});
    runUntilIdle();
    EXPECT_EQ(receiver->intent(id), FileTransferIntent::managedCopy);
    EXPECT_FALSE(receiver->intent(UUID::random()));
    EXPECT_EQ(receiver->deliveryOptions(UUID::random()), FileTransferDeliveryOptions());

    // A second start of the live batch leaves no trace of the first.
    advance(2);
    receiver->handleIncomingPacket({FileTransferOp::batchStart, id, 0, 0, "", {}});
    // Something staged, so the second batch's folder stays to be counted.
    receiver->handleIncomingPacket({FileTransferOp::mkdir, id, 0, 0, "second", {}});
    receiver->handleIncomingPacket({FileTransferOp::batchEnd, id, 0, 0, "", {}});
    runUntilIdle();
    size_t folders = 0;
    for (auto& e : fs::directory_iterator(stagingRoot()))
        folders += e.path().filename().string().find(id.id8()) != std::string::npos;
    EXPECT_EQ(folders, 1u);
    EXPECT_EQ(started.back().destinationHint, std::nullopt);

    // A peer's cancel removes the staged folder.
    const UUID other = UUID::random();
    receiver->handleIncomingPacket({FileTransferOp::batchStart, other, 0, 0, "", {}});
    receiver->handleIncomingPacket({FileTransferOp::mkdir, other, 0, 0, "kept", {}});
    receiver->handleIncomingPacket({FileTransferOp::cancelBatch, other, 0, 0, "", {}});
    runUntilIdle();
    receiver->syncRemovalQueueForTesting();
    for (auto& e : fs::directory_iterator(stagingRoot()))
        EXPECT_EQ(e.path().filename().string().find(other.id8()), std::string::npos);
    EXPECT_EQ(receiverStatus.back(), "cancelled by peer for batch " + other.id8());
}

// A batch's staging goes with it whatever its depth: a tree far deeper
// than the walker's bound, staged below a batch that then ends without
// delivery, leaves nothing in staging however the batch ends.
TEST_F(FileTransferServiceTest, AnEndedBatchLeavesStagingEmptyWhateverTheDepthOfWhatItStaged) {
    struct Case {
        const char* name;
        std::function<void(const UUID&)> end;
    };
    const Case cases[] = {
        {"cancelled by the peer",
         [&](const UUID& id) { receiver->handleIncomingPacket({FileTransferOp::cancelBatch, id, 0, 0, "", {}}, "s"); }},
        {"cancelled here", [&](const UUID& id) { receiver->cancelBatch(id); }},
        {"its session ended", [&](const UUID&) { receiver->sessionEnded("s"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const UUID id = UUID::random();
        receiver->handleIncomingPacket({FileTransferOp::batchStart, id, 0, 0, "", {}}, "s");
        receiver->handleIncomingPacket({FileTransferOp::mkdir, id, 0, 0, "top", {}}, "s");
        runUntilIdle();
        fs::path batch;
        for (auto& e : fs::directory_iterator(stagingRoot()))
            if (e.path().filename().string().find(id.id8()) != std::string::npos) batch = e.path();
        ASSERT_FALSE(batch.empty());
        fs::path deep = batch / "top";
        for (int i = 0; i < 200; i++) deep /= "d";
        writeFile(deep / "f", "deep");
        c.end(id);
        runUntilIdle();
        receiver->syncRemovalQueueForTesting();
        EXPECT_TRUE(fs::is_empty(stagingRoot()));
    }
}

TEST_F(FileTransferServiceTest, ListingsStayInsideHomeAndSortFoldersFirst) {
    const fs::path home = platform::Folders::home();
    for (auto d : {"b", "A", "Desktop/x", "Documents"}) fs::create_directories(home / d);
    writeFile(home / "a.txt", "1");
    writeFile(home / "B.txt", "22");
    writeFile(home / ".secret", "");
    fs::create_directories(home.string() + "2");
    struct Reply {
        std::string path;
        std::vector<RemoteDirectoryEntry> entries;
    };
    std::map<UUID, Reply> replies;
    receiver->onDirectoryListing = [&](const UUID& id, const std::string& path,
                                       const std::vector<RemoteDirectoryEntry>& e) { replies[id] = {path, e}; };
    // The sender answers, the receiver asks.
    receiver->sendPacket = [&](FileTransferPacket p) {
        sender->handleIncomingPacket(std::move(p));
        return true;
    };
    struct Case {
        std::string asked, examined;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {"", home.string(), {"A", "b", "Desktop", "Documents", "a.txt", "B.txt"}},
        {" ~ ", home.string(), {"A", "b", "Desktop", "Documents", "a.txt", "B.txt"}},
        {"~/Documents/../Desktop", (home / "Desktop").string(), {"x"}},
        {"/etc", "/etc", {}},
        {home.string() + "2", home.string() + "2", {}},
        {(home / "a.txt").string(), (home / "a.txt").string(), {}},
        {"etc", "/etc", {}},
    };
    for (const auto& c : cases) {
        auto id = receiver->requestDirectoryListing(c.asked);
        runUntilIdle();
        ASSERT_TRUE(replies.count(id)) << c.asked;
        EXPECT_EQ(replies[id].path, c.examined);
        std::vector<std::string> names;
        for (const auto& e : replies[id].entries) names.push_back(e.name);
        EXPECT_EQ(names, c.names) << c.asked;
    }
    auto id = receiver->requestDirectoryListing("~");
    runUntilIdle();
    EXPECT_EQ(replies[id].entries[4], (RemoteDirectoryEntry{"a.txt", false, 1, replies[id].entries[4].modificationDate}));
    EXPECT_TRUE(replies[id].entries[4].modificationDate);
}

// A listing too large for one frame is cut after sorting, to the head of
// the sorted list that fits: names of control characters, each sent as six
// bytes, make ten thousand entries too large.
TEST_F(FileTransferServiceTest, LargeListingsFitOneFrame) {
    const fs::path folder = platform::Folders::home() / "many";
    fs::create_directories(folder);
    const std::string longName(200, '\x01');
    constexpr size_t kEntries = 10000;
    for (size_t i = 0; i + 3 < kEntries; ++i)
        std::ofstream(folder / (longName + std::to_string(i)));
    for (int i = 0; i < 3; ++i) fs::create_directory(folder / ("dir" + std::to_string(i)));
    size_t replyBytes = 0;
    std::vector<RemoteDirectoryEntry> entries;
    receiver->onDirectoryListing = [&](const UUID&, const std::string&, const std::vector<RemoteDirectoryEntry>& e) {
        entries = e;
    };
    sender->sendPacket = [&](FileTransferPacket p) {
        replyBytes = p.encode().size();
        receiver->handleIncomingPacket(std::move(p));
        return true;
    };
    receiver->sendPacket = [&](FileTransferPacket p) {
        sender->handleIncomingPacket(std::move(p));
        return true;
    };
    receiver->requestDirectoryListing("~/many");
    runUntilIdle();
    EXPECT_LE(replyBytes, 8388608u);
    EXPECT_GT(entries.size(), kEntries / 2);
    EXPECT_LT(entries.size(), kEntries);
    EXPECT_EQ(entries[0].name, "dir0");  // the cut keeps the head of the sorted list

    // A folder whose names alone pass what a frame carries is cut while it
    // is read, in the reply's own order: its one folder, last by bytes,
    // comes first, and names that differ by case only keep their place.
    const fs::path wide = platform::Folders::home() / "wide";
    fs::create_directories(wide);
    const std::string stem(200, 'a');
    const size_t wideEntries = FileTransferService::maxListingReplyBytes / stem.size() + 100;
    // Names of one file: a folder of them is quick to make.
    const fs::path first = wide / (stem + "100000");
    std::ofstream(first).put('x');
    for (size_t i = 1; i < wideEntries; ++i)
        ASSERT_EQ(::link(first.c_str(), (wide / (stem + std::to_string(100000 + i))).c_str()), 0) << i;
    fs::create_directory(wide / "zz-folder");
    std::ofstream(wide / "B");
    std::ofstream(wide / "b");
    receiver->requestDirectoryListing("~/wide");
    runUntilIdle();
    EXPECT_LE(replyBytes, 8388608u);
    ASSERT_GT(entries.size(), 3u);
    EXPECT_EQ(entries[0].name, "zz-folder");
    EXPECT_EQ(entries[1].name, stem + "100000");
    EXPECT_LT(entries.size(), wideEntries);
    for (size_t i = 2; i < entries.size(); ++i) ASSERT_EQ(entries[i].name, stem + std::to_string(100000 + i - 1));
}

// A folder whose listing fits one frame is listed whole, whatever order
// the file system reads it in, the same each time, with no word of a cut:
// twenty thousand entries are far from a frame. The entries a listing keeps
// in memory are more than a frame can carry.
TEST_F(FileTransferServiceTest, AFolderWhoseListingFitsAFrameIsListedWhole) {
    // The least an entry's text takes is what the listing counts per name.
    const auto two = RemoteDirectoryEntry::encodeListing({{"", false, 0, std::nullopt}, {"", false, 0, std::nullopt}});
    EXPECT_EQ(two.size(), 2 + 2 * FileTransferService::minEncodedEntryBytes - 1);
    const fs::path folder = platform::Folders::home() / "crowded";
    fs::create_directories(folder);
    constexpr size_t held = 20000;
    auto name = [](size_t i) { return "f" + std::to_string(100000 + i); };
    for (size_t i = 0; i < held / 2; ++i) std::ofstream(folder / name(held - 1 - i));
    for (size_t i = 0; i < held / 2; ++i) std::ofstream(folder / name(i));
    std::vector<RemoteDirectoryEntry> entries;
    receiver->onDirectoryListing = [&](const UUID&, const std::string&, const std::vector<RemoteDirectoryEntry>& e) {
        entries = e;
    };
    sender->sendPacket = [&](FileTransferPacket p) {
        receiver->handleIncomingPacket(std::move(p));
        return true;
    };
    // A reply is taken only for a listing this end asked for.
    receiver->sendPacket = [&](FileTransferPacket p) {
        sender->handleIncomingPacket(std::move(p));
        return true;
    };
    std::vector<std::string> listed[2];
    for (auto& listing : listed) {
        receiver->requestDirectoryListing("~/crowded");
        runUntilIdle();
        for (const auto& e : entries) listing.push_back(e.name);
    }
    ASSERT_EQ(listed[0].size(), held);
    for (size_t i = 0; i < held; ++i) ASSERT_EQ(listed[0][i], name(i)) << "in sort order";
    EXPECT_EQ(listed[1], listed[0]) << "the same, in the same order";
    for (const auto& line : senderStatus) EXPECT_EQ(line.find("cut to its first"), std::string::npos) << line;
}

TEST_F(FileTransferServiceTest, PeerSendBodiesAreBounded) {
    std::vector<std::string> paths{" ", ""};
    for (int i = 0; i < 300; ++i) paths.push_back("/p" + std::to_string(i));
    sender->sendPacket = [&](FileTransferPacket p) {
        sent.push_back(std::move(p));
        return true;
    };
    EXPECT_FALSE(sender->requestPeerSend({" ", "\n"}, "/d", {}));
    EXPECT_FALSE(sender->requestPeerSend({"/a"}, "  ", {}));
    EXPECT_FALSE(sender->requestPeerSend({std::string(1'000'001, 'x')}, "/d", {}));
    auto id = sender->requestPeerSend(paths, " /dest ", FileTransferDeliveryOptions::promptForConflicts);
    ASSERT_TRUE(id);
    ASSERT_EQ(sent.size(), 1u);
    auto request = FileTransferService::peerSendRequest(sent[0]);
    ASSERT_TRUE(request);
    EXPECT_EQ(sent[0].batchID, *id);
    EXPECT_EQ(request->sourcePaths.size(), 256u);
    EXPECT_EQ(request->sourcePaths.front(), "/p0");
    EXPECT_EQ(request->destination, "/dest");

    std::string emoji;
    for (int i = 0; i < 2000; ++i) emoji += "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";  // thumbs up, skin tone: one character
    for (const auto& [message, expected] : std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>>{
             {"  ", std::nullopt}, {std::nullopt, std::nullopt}, {" done ", "done"}, {emoji, emoji.substr(0, 1024 * 8)}}) {
        sent.clear();
        sender->sendPeerSendResponse(*id, true, message, std::nullopt);
        auto response = FileTransferService::peerSendResponse(sent.at(0));
        ASSERT_TRUE(response);
        EXPECT_EQ(response->message, expected);
    }
}

TEST_F(FileTransferServiceTest, AHookMayReplaceItselfWhileItRuns) {
    // The hook is copied out of its lock before the call: replacing it from
    // inside neither deadlocks nor destroys the closure that is running.
    int calls = 0;
    std::string kept = "alive";
    sender->onStatus = [this, &calls, kept](const std::string&) {
        sender->onStatus = nullptr;
        calls += kept == "alive";
    };
    writeFile(source / "f", "x");
    sender->sendURLs({source / "f"}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt);
    runUntilIdle();
    EXPECT_EQ(calls, 1);
}

TEST(FileTransferServiceText, SizesNamesAndItemLists) {
    const char* saved = setlocale(LC_NUMERIC, nullptr);
    std::string restore = saved ? saved : "C";
    setlocale(LC_NUMERIC, "de_DE.UTF-8");
    struct Case {
        uint64_t bytes;
        const char* text;
    };
    for (const auto& c : {Case{999999, "976.6 KB"}, Case{1500000, "1.5 MB"}, Case{2048, "2.0 KB"}, Case{0, "0.0 KB"}})
        EXPECT_EQ(FileTransferService::byteString(c.bytes), c.text);
    setlocale(LC_NUMERIC, restore.c_str());

    EXPECT_EQ(FileTransferService::transferItemNames({"/x/a", "/y/ a ", "/z/b", "/"}), (std::vector<std::string>{"a", "b"}));
    std::vector<fs::path> many;
    for (int i = 0; i < 70; ++i) many.push_back("/f" + std::to_string(i));
    EXPECT_EQ(FileTransferService::transferItemNames(many).size(), 64u);
    EXPECT_TRUE(FileTransferService::encodeItemNames({}).empty());
    auto bytes = [](std::string_view s) { return std::vector<uint8_t>(s.begin(), s.end()); };
    EXPECT_TRUE(FileTransferService::decodeItemNames(bytes("[]")).empty());
    EXPECT_TRUE(FileTransferService::decodeItemNames(bytes("{}")).empty());
    EXPECT_EQ(FileTransferService::decodeItemNames(bytes(R"(["x","  "," y"])")), (std::vector<std::string>{"x", "y"}));
}

}  // namespace

namespace {

// Each target has its own send queue: a target that takes nothing holds
// only the batches sent to it, while another target's batch goes through.
TEST_F(FileTransferServiceTest, ATargetThatTakesNothingHoldsOnlyItsOwnBatches) {
    writeFile(source / "a.txt", "for the stalled one");
    writeFile(source / "b.txt", "for the reading one");
    platform::DispatchSemaphore never(0);
    std::optional<double> stalledGaveUpAt, otherCompletedAt;
    sender->routedSendPacket = [&](FileTransferPacket p, const std::optional<std::string>& token) {
        if (token == "stalled") {
            // A target that takes nothing: the sender waits for it.
            if (!stalledGaveUpAt) {
                never.wait(10);
                stalledGaveUpAt = platform::Clock::uptimeSeconds();
            }
            return false;
        }
        receiver->handleIncomingPacket(std::move(p));
        return true;
    };
    receiver->onBatchCompleted = [&](const UUID&, const std::vector<fs::path>&, FileTransferIntent,
                                     const FileTransferDeliveryResult&, ReceivedBatchHoldings&) {
        otherCompletedAt = platform::Clock::uptimeSeconds();
    };
    const double start = platform::Clock::uptimeSeconds();
    sender->sendURLs({source / "a.txt"}, FileTransferIntent::copy, std::nullopt, {}, "stalled");
    sender->sendURLs({source / "b.txt"}, FileTransferIntent::copy, std::nullopt, {}, "reading");
    runUntilIdle();
    ASSERT_TRUE(stalledGaveUpAt && otherCompletedAt);
    EXPECT_LT(*otherCompletedAt - start, 1.0) << "the reading target was not held behind the stalled one";
    EXPECT_GE(*stalledGaveUpAt - start, 10.0);
}

}  // namespace
