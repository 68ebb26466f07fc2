// Files between the launched Host and a test Viewer through real loopback
// sockets: a Viewer's managed copy into a folder it names, files it asks
// the Host for, a Viewer that leaves mid-file, and a folder on another file
// system where the move becomes a copy.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <fstream>

#include "HostShellTestFixture.h"
#include "Platform/FileMoves.h"
#include "Platform/Folders.h"
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
    EXPECT_EQ(viewer->responses[1].second.message, "Saved 0 item(s); 1 could not be saved.");
    EXPECT_EQ(digestsBelow(folder), before) << "the folder is as it was";
    EXPECT_TRUE(diagnosticsContain("files: failed to deliver late.bin -> " + (folder / "late.bin").string()));
}

}  // namespace
