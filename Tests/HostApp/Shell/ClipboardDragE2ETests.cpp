// The clipboard and the drag pull end to end: two Viewers over real
// sockets, the server and the bridge wired by the Host's delegate.

#include <gtest/gtest.h>

#include "HostShellTestFixture.h"
#include "Platform/AppKit/Pasteboard.h"

namespace fs = std::filesystem;
using platform::Pasteboard;

namespace {

class ClipboardAndDrag : public HostShellTest {
protected:
    void SetUp() override {
        launch();
        server = delegate->audioServer();
        bridge = delegate->components.clipboardBridge;
        a = loggedInViewer();
        aID = server->queue.syncValue([&] { return *server->authorizedAudioSessions.begin(); });
        b = loggedInViewer();
    }
    static size_t clipboardPackets(AuxTestClient& client) {
        client.settle();
        size_t n = 0;
        for (const auto& p : client.packets()) n += p.header.type == AuxPacketType::clipboardTransfer;
        return n;
    }
    static ClipboardTransfer text(const std::string& s) {
        return {"VIEWER-A", 1, 0, {{ClipboardTransferItemKind::text, s, {}, {}, {}}}};
    }

    std::shared_ptr<V230HostAudioAuxServer> server;
    std::shared_ptr<ClipboardSyncBridge> bridge;
    std::unique_ptr<AuxTestClient> a, b;
    platform::UUID aID;
};

TEST_F(ClipboardAndDrag, ViewerTextLandsOnThePasteboardAndIsNotEchoed) {
    a->send(AuxPacketType::clipboardTransfer, *text("from A").encodedData());
    a->settle();
    ASSERT_TRUE(runUntil([] { return Pasteboard::general().stringForType(platform::kPasteboardTypeString) == "from A"; }));
    runUntilIdle();
    EXPECT_TRUE(diagnosticsContain("clipboard applied text from Viewer"));
    advance(1.8);
    EXPECT_EQ(clipboardPackets(*a), 0u);
    EXPECT_EQ(clipboardPackets(*b), 0u);
}

TEST_F(ClipboardAndDrag, HostCopyReachesEveryViewerOnce) {
    Pasteboard pb = Pasteboard::general();
    pb.clearContents();
    pb.setString("copied on the Host", platform::kPasteboardTypeString);
    advance(0.6);
    for (auto* viewer : {a.get(), b.get()}) {
        auto packet = viewer->waitForPacket(AuxPacketType::clipboardTransfer);
        ASSERT_TRUE(packet);
        auto transfer = ClipboardTransfer::decode(packet->payload);
        ASSERT_TRUE(transfer.ok());
        EXPECT_EQ(transfer->items.at(0).text, "copied on the Host");
        EXPECT_EQ(transfer->sourceID, bridge->sourceID());
    }
    advance(1.8);
    EXPECT_EQ(clipboardPackets(*a), 1u);
    EXPECT_EQ(clipboardPackets(*b), 1u);
    EXPECT_TRUE(diagnosticsContain("clipboard sent seq=1 kind=text"));
}

TEST_F(ClipboardAndDrag, AHostCopyWhileTheServerQueueIsBusyLeavesTheMainThreadFreeAndArrivesAfter) {
    // Busy for 3 s, as a display mode switch can keep it.
    platform::DispatchQueue releaser("test.releaser");
    server->queue.suspend();
    releaser.asyncAfter(3.0, [server = server] { server->queue.resume(); });
    platform::DispatchQueue::main().resetLongestWorkItemForTesting();
    Pasteboard pb = Pasteboard::general();
    pb.clearContents();
    pb.setString("copied while busy", platform::kPasteboardTypeString);
    advance(2.0);
    for (auto* viewer : {a.get(), b.get()}) {
        auto packet = viewer->waitForPacket(AuxPacketType::clipboardTransfer);
        ASSERT_TRUE(packet);
        auto transfer = ClipboardTransfer::decode(packet->payload);
        ASSERT_TRUE(transfer.ok());
        EXPECT_EQ(transfer->items.at(0).text, "copied while busy");
    }
    EXPECT_LE(platform::DispatchQueue::main().longestWorkItemSecondsForTesting(), 0.05);
    advance(1.8);
    EXPECT_EQ(clipboardPackets(*a), 1u) << "offered once while it was out";
    EXPECT_TRUE(diagnosticsContain("clipboard sent seq=1 kind=text"));
}

TEST_F(ClipboardAndDrag, ViewerFilesLandInTheInbox) {
    ClipboardTransfer files{"VIEWER-A", 4, 0, {{ClipboardTransferItemKind::files, {}, {}, {}, {{"n.txt", "public.plain-text", {'h', 'i'}}}}}};
    a->send(AuxPacketType::clipboardTransfer, *files.encodedData());
    a->settle();
    // The batch folder's name is the Host's own, not the sender's.
    ASSERT_TRUE(runUntil([&] { return Pasteboard::general().readFileURLs().size() == 1; }));
    const fs::path landed = Pasteboard::general().readFileURLs().front();
    EXPECT_EQ(landed.filename(), "n.txt");
    EXPECT_EQ(landed.parent_path().parent_path(), bridge->inboxFolder());
    EXPECT_NE(landed.parent_path().filename(), "VIEWER-A-4");
    EXPECT_TRUE(fs::exists(landed));
}

TEST_F(ClipboardAndDrag, DragReachesTheViewerAndItsPullNamesItsSession) {
    std::optional<platform::UUID> puller;
    auto wired = server->onDragPullRequest;
    server->onDragPullRequest = [&, wired](uint32_t snapshot, uint32_t index, const platform::UUID& id) {
        puller = id;
        wired(snapshot, index, id);
    };
    const fs::path dragged = dataRoot->path() / "a.txt";
    Pasteboard drag = Pasteboard::drag();
    drag.clearContents();
    drag.writeFileURLs({dragged});
    advance(0.6);
    ASSERT_TRUE(a->waitForPacket(AuxPacketType::dragSnapshot));

    a->send(AuxPacketType::dragPull, DragPullRequestPayload{1, 0}.encode());
    a->settle();
    EXPECT_EQ(puller, aID);
    EXPECT_TRUE(diagnosticsContain("drag pull: serving a.txt snapshot=1 index=0"));
    a->send(AuxPacketType::dragPull, DragPullRequestPayload{9, 0}.encode());
    a->settle();
    EXPECT_TRUE(diagnosticsContain("drag pull: stale snapshot=9 index=0"));

    drag.clearContents();
    advance(0.6);
    auto end = a->waitForPacket(AuxPacketType::dragSnapshotEnd);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->payload, (std::vector<uint8_t>{1, 0, 0, 0}));
}

}  // namespace

namespace {

// File names too long for the file system are shortened to fit, one line
// a second, and never hold the Host: every file of each transfer lands at once,
// and the Host still ends promptly on a termination signal. (Such names
// were skipped before: the file now arrives under a shortened name.)
TEST_F(ClipboardAndDrag, OverlongFileNamesAreShortenedAndTheHostStaysResponsive) {
    struct Case {
        uint64_t sequence;
        size_t nameBytes;
    };
    fs::path previousBatch;
    for (const auto& c : {Case{7, 300}, Case{8, 100'000}}) {
        // Those lines come once a second at most.
        advance(1.5);
        ClipboardTransfer files{"VIEWER-A", c.sequence, 0,
                                {{ClipboardTransferItemKind::files, {}, {}, {},
                                  {{std::string(c.nameBytes, 'n'), "public.data", {'x'}},
                                   {"kept.txt", "public.plain-text", {'o', 'k'}}}}}};
        const double sent = platform::Clock::uptimeSeconds();
        a->send(AuxPacketType::clipboardTransfer, *files.encodedData());
        a->settle();
        // Landed once the clipboard offers it from a batch folder of its own.
        auto landed = [&]() -> std::vector<fs::path> {
            const auto urls = Pasteboard::general().readFileURLs();
            if (urls.size() != 2 || urls[0].parent_path() == previousBatch) return {};
            return urls;
        };
        ASSERT_TRUE(runUntil([&] { return !landed().empty(); })) << c.nameBytes;
        const auto urls = landed();
        previousBatch = urls[0].parent_path();
        EXPECT_EQ(urls[0].filename(), std::string(255, 'n'));
        EXPECT_EQ(fs::file_size(urls[0]), 1u);
        EXPECT_EQ(urls[1].filename(), "kept.txt");
        EXPECT_TRUE(fs::exists(urls[1]));
        EXPECT_LT(platform::Clock::uptimeSeconds() - sent, 1.0) << c.nameBytes;
        EXPECT_TRUE(diagnosticsContain("clipboard file name shortened to fit: " + std::to_string(c.nameBytes) +
                                       " bytes, saved under 255"));
    }
    const double signalled = platform::Clock::uptimeSeconds();
    onMain([&] { delegate->handleTerminationSignal(15); });
    ASSERT_TRUE(runUntil([&] { return app().isTerminated(); }));
    EXPECT_LT(platform::Clock::uptimeSeconds() - signalled, 3.0);
}

// A Viewer's name holds up to 765 UTF-8 bytes: names of each length, in
// ASCII and in three-byte characters, each twice in one transfer, all land
// under names the file system takes.
TEST_F(ClipboardAndDrag, FilesOfEveryNameLengthEachSentTwiceAllLand) {
    const std::string wide = "\xE8\xAA\x9E";
    std::vector<ClipboardTransferFile> files;
    for (const size_t bytes : {238u, 254u, 255u, 256u, 400u, 765u}) {
        for (const bool multibyte : {false, true}) {
            const size_t stemBytes = bytes - 4;
            std::string stem = multibyte ? std::string(stemBytes % 3, 'm') : std::string(stemBytes, 'a');
            if (multibyte)
                for (size_t k = 0; k < stemBytes / 3; ++k) stem += wide;
            for (int copy = 0; copy < 2; ++copy)
                files.push_back({stem + ".txt", "public.plain-text", std::vector<uint8_t>(files.size() + 1, 'x')});
        }
    }
    const ClipboardTransfer transfer{"VIEWER-A", 9, 0, {{ClipboardTransferItemKind::files, {}, {}, {}, files}}};
    a->send(AuxPacketType::clipboardTransfer, *transfer.encodedData());
    a->settle();
    ASSERT_TRUE(runUntil([&] { return Pasteboard::general().readFileURLs().size() == files.size(); }));
    EXPECT_TRUE(diagnosticsContain("clipboard applied 24 file(s) from Viewer"));
    const auto urls = Pasteboard::general().readFileURLs();
    for (size_t i = 0; i < urls.size(); ++i) {
        EXPECT_LE(urls[i].filename().string().size(), 255u);
        EXPECT_TRUE(urls[i].filename().string().ends_with(".txt")) << urls[i];
        EXPECT_EQ(fs::file_size(urls[i]), files[i].data.size()) << urls[i];
    }
}

// A Viewer sending clipboard transfers as fast as it can: each one that
// arrives while another waits for the main queue supersedes it, so the
// main queue applies a few, the latest lands, the inbox keeps within its
// bounds and the Host still ends promptly.
TEST_F(ClipboardAndDrag, ABurstOfViewerTransfersIsCoalescedToTheLatest) {
    auto transfer = [](uint64_t n) {
        return ClipboardTransfer{"VIEWER-A", n, 0,
                                 {{ClipboardTransferItemKind::files, {}, {}, {},
                                   {{"copy " + std::to_string(n) + ".txt", "public.data", {'x'}}}}}};
    };
    auto landed = [](uint64_t n) {
        const auto urls = Pasteboard::general().readFileURLs();
        return urls.size() == 1 && urls[0].filename() == "copy " + std::to_string(n) + ".txt";
    };
    // What one applied transfer of each kind does to the pasteboard's
    // change count.
    auto changesOfOne = [this](AuxPacketType type, const std::vector<uint8_t>& payload,
                               const std::function<bool()>& applied) {
        const int before = Pasteboard::general().changeCount();
        a->send(type, payload);
        a->flush();
        EXPECT_TRUE(runUntil(applied));
        runUntilIdle();
        return Pasteboard::general().changeCount() - before;
    };
    auto textIs = [](const std::string& s) {
        return [s] { return Pasteboard::general().stringForType(platform::kPasteboardTypeString) == s; };
    };
    const int perFiles =
        changesOfOne(AuxPacketType::clipboardTransfer, *transfer(1).encodedData(), [&] { return landed(1); });
    const int perText = changesOfOne(AuxPacketType::clipboardTransfer, *text("first").encodedData(), textIs("first"));
    ASSERT_GT(perFiles, 0);
    ASSERT_GT(perText, 0);

    // While the main queue is busy, texts arrive one after another, each
    // decoded and handed to the bridge before the next is sent. A text is
    // applied as it is, so each one the main queue took up would change the
    // pasteboard: only the latest does.
    constexpr int kWhileBusy = 8;
    const int beforeBusy = Pasteboard::general().changeCount();
    platform::DispatchQueue::main().suspend();
    for (int n = 1; n <= kWhileBusy; ++n) {
        a->send(AuxPacketType::clipboardTransfer, *text("while busy " + std::to_string(n)).encodedData());
        a->settle();
        runUntilIdle();
    }
    EXPECT_EQ(Pasteboard::general().changeCount(), beforeBusy) << "the main queue took nothing up yet";
    platform::DispatchQueue::main().resume();
    runUntilIdle();
    EXPECT_TRUE(textIs("while busy " + std::to_string(kWhileBusy))()) << "the latest lands";
    EXPECT_EQ((Pasteboard::general().changeCount() - beforeBusy) / perText, 1)
        << "transfers applied of " << kWhileBusy << " that waited for the main queue";

    // Files as fast as the Viewer sends them: a few are applied, the latest
    // lands, the inbox keeps within its bounds.
    constexpr uint64_t burst = ClipboardSyncBridge::maxInboxBatches * 3;
    const int beforeBurst = Pasteboard::general().changeCount();
    for (uint64_t n = 2; n <= burst + 1; ++n) a->send(AuxPacketType::clipboardTransfer, *transfer(n).encodedData());
    a->flush();
    ASSERT_TRUE(runUntil([&] { return landed(burst + 1); }));
    runUntilIdle();
    // Counted on the pasteboard itself: every transfer applied changes it.
    const int applied = (Pasteboard::general().changeCount() - beforeBurst) / perFiles;
    EXPECT_GE(applied, 1);
    EXPECT_LT(applied, int(burst / 4)) << "superseded transfers are not applied";
    size_t batches = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(bridge->inboxFolder())) ++batches;
    EXPECT_LE(batches, ClipboardSyncBridge::maxInboxBatches);
    const double signalled = platform::Clock::uptimeSeconds();
    onMain([&] { delegate->handleTerminationSignal(15); });
    ASSERT_TRUE(runUntil([&] { return app().isTerminated(); }));
    EXPECT_LT(platform::Clock::uptimeSeconds() - signalled, 3.0);
}

}  // namespace
