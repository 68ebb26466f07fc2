// The clipboard and the drag pull end to end: two Viewers over real
// sockets, the server and the bridge wired by the Host's delegate.

#include <gtest/gtest.h>

#include "HostShellTestFixture.h"
#include "Platform/Pasteboard.h"

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

// File names the file system refuses (too long) cost a line each and never
// hold the Host: the other files of each transfer land at once, and the
// Host still ends promptly on a termination signal.
TEST_F(ClipboardAndDrag, OverlongFileNamesAreSkippedAndTheHostStaysResponsive) {
    struct Case {
        uint64_t sequence;
        size_t nameBytes;
    };
    fs::path previousBatch;
    for (const auto& c : {Case{7, 300}, Case{8, 100'000}}) {
        ClipboardTransfer files{"VIEWER-A", c.sequence, 0,
                                {{ClipboardTransferItemKind::files, {}, {}, {},
                                  {{std::string(c.nameBytes, 'n'), "public.data", {'x'}},
                                   {"kept.txt", "public.plain-text", {'o', 'k'}}}}}};
        const double sent = platform::Clock::uptimeSeconds();
        a->send(AuxPacketType::clipboardTransfer, *files.encodedData());
        a->settle();
        // Landed once the clipboard offers it from a batch folder of its own.
        auto landed = [&]() -> std::optional<fs::path> {
            const auto urls = Pasteboard::general().readFileURLs();
            if (urls.size() != 1 || urls[0].parent_path() == previousBatch) return std::nullopt;
            return urls[0];
        };
        ASSERT_TRUE(runUntil([&] { return landed().has_value(); })) << c.nameBytes;
        const fs::path kept = *landed();
        previousBatch = kept.parent_path();
        EXPECT_EQ(kept.filename(), "kept.txt");
        EXPECT_TRUE(fs::exists(kept));
        EXPECT_LT(platform::Clock::uptimeSeconds() - sent, 1.0) << c.nameBytes;
        EXPECT_TRUE(diagnosticsContain("clipboard file skipped: its name cannot be used (" +
                                       std::to_string(c.nameBytes) + " bytes)"));
        EXPECT_EQ(Pasteboard::general().readFileURLs(), std::vector<fs::path>{kept});
    }
    const double signalled = platform::Clock::uptimeSeconds();
    onMain([&] { delegate->handleTerminationSignal(15); });
    ASSERT_TRUE(runUntil([&] { return app().isTerminated(); }));
    EXPECT_LT(platform::Clock::uptimeSeconds() - signalled, 3.0);
}

}  // namespace
