// A drag on the Host as logged-in Viewers see it: snapshots and their end
// on the wire, and pulls resolved against the current snapshot.

#include <gtest/gtest.h>

#include "AuxServerTestFixture.h"
#include "HostApp/Protocol/DragPayloads.h"
#include "Platform/Files/FileIO.h"
#include "Platform/AppKit/Pasteboard.h"

namespace fs = std::filesystem;
using platform::Pasteboard;

namespace {

class RemoteDrag : public AuxServerTest {
protected:
    void SetUp() override {
        AuxServerTest::SetUp();
        audio = audioClient();
        ASSERT_TRUE(audio->logIn(consoleUser, password, "Viewer"));
    }
    fs::path file(const std::string& name, size_t size = 0) {
        const fs::path p = dataRoot->path() / "drag" / name;
        EXPECT_TRUE(platform::FileIO::writeAtomically(p, std::vector<uint8_t>(size, 'd')));
        return p;
    }
    // Puts the files on the drag pasteboard and lets the poll see them.
    void drag(const std::vector<fs::path>& paths) {
        Pasteboard pb = Pasteboard::drag();
        pb.clearContents();
        pb.writeFileURLs(paths);
        advance(0.6);
    }
    void dragText() {
        Pasteboard pb = Pasteboard::drag();
        pb.clearContents();
        pb.setString("words", platform::kPasteboardTypeString);
        advance(0.6);
    }
    static std::vector<ReceivedAuxPacket> received(AuxTestClient& client, AuxPacketType type) {
        client.settle();
        std::vector<ReceivedAuxPacket> out;
        for (auto& p : client.packets())
            if (p.header.type == type) out.push_back(p);
        return out;
    }
    std::unique_ptr<AuxTestClient> audio;
};

TEST_F(RemoteDrag, FirstDragIsSnapshotOneByteForByte) {
    drag({file("a.txt", 5), file("b.txt", 300)});
    auto snapshots = received(*audio, AuxPacketType::dragSnapshot);
    ASSERT_EQ(snapshots.size(), 1u);
    const std::vector<uint8_t> expected = {1, 0, 0, 0, 2,                                            //
                                           5, 0, 0, 0, 0, 0, 0, 0, 5, 0, 'a', '.', 't', 'x', 't',   //
                                           44, 1, 0, 0, 0, 0, 0, 0, 5, 0, 'b', '.', 't', 'x', 't'};
    EXPECT_EQ(snapshots[0].payload, expected);
    EXPECT_TRUE(logContains("remote drag: snapshot=1 items=2 [a.txt, b.txt]"));
}

TEST_F(RemoteDrag, LongDragsAreShortenedInTheLogAndThePacketButNotForPulls) {
    std::vector<fs::path> five;
    for (int i = 0; i < 4; ++i) five.push_back(file("f" + std::to_string(i)));
    fs::create_directories(dataRoot->path() / "folder");
    five.push_back(dataRoot->path() / "folder");
    drag(five);
    EXPECT_TRUE(logContains("remote drag: snapshot=1 items=5 [f0, f1, f2, …]"));

    std::vector<fs::path> many;  // need not exist: unreadable items are still described
    // GCC 12 at -O3 warns of an overlapping copy inside the std::string
    // inlines of "literal" + string: its -Wrestrict false positive (GCC bug 105651).
#pragma GCC diagnostic push
#if !defined(__clang__)  // a warning only GCC has
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
    for (int i = 0; i < 300; ++i) many.push_back(dataRoot->path() / ("m" + std::to_string(i)));
#pragma GCC diagnostic pop
    drag(many);
    auto snapshots = received(*audio, AuxPacketType::dragSnapshot);
    ASSERT_EQ(snapshots.size(), 2u);
    auto first = DragSnapshotPayload::decode(snapshots[0].payload);
    auto second = DragSnapshotPayload::decode(snapshots[1].payload);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->items.size(), 5u);
    EXPECT_EQ(first->items[4].size, UINT64_MAX) << "a folder";
    EXPECT_EQ(second->snapshotID, 2u);
    EXPECT_EQ(snapshots[1].payload[4], 255);
    EXPECT_EQ(second->items.size(), 255u);
    EXPECT_EQ(second->items[254].name, "m254");
    EXPECT_EQ(server->dragSourceURL(2, 299), many[299]);
    EXPECT_EQ(server->dragSourceURL(2, 300), std::nullopt);
}

TEST_F(RemoteDrag, AFolderURLEndingInASlashIsOfferedUnderItsName) {
    fs::create_directories(dataRoot->path() / "Photos");
    drag({fs::path(dataRoot->path() / "Photos").string() + "/"});
    auto snapshots = received(*audio, AuxPacketType::dragSnapshot);
    ASSERT_EQ(snapshots.size(), 1u);
    auto offered = DragSnapshotPayload::decode(snapshots[0].payload);
    ASSERT_TRUE(offered);
    ASSERT_EQ(offered->items.size(), 1u);
    EXPECT_EQ(offered->items[0].name, "Photos");
    EXPECT_TRUE(logContains("remote drag: snapshot=1 items=1 [Photos]"));
}

TEST_F(RemoteDrag, CloudOnlyDragsAndRepeatedDragsSendNothing) {
    drag({dataRoot->path() / "Library/CloudStorage/Drive/x.txt", dataRoot->path() / "Library/Mobile Documents/y"});
    EXPECT_TRUE(received(*audio, AuxPacketType::dragSnapshot).empty());
    const auto a = file("a.txt");
    drag({a});
    drag({a});
    EXPECT_EQ(received(*audio, AuxPacketType::dragSnapshot).size(), 1u);
    EXPECT_EQ(server->dragSourceURL(1, 0), a);
}

TEST_F(RemoteDrag, TextOnTheDragPasteboardEndsTheSnapshotOnce) {
    drag({file("a.txt")});
    dragText();
    dragText();
    auto ends = received(*audio, AuxPacketType::dragSnapshotEnd);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].payload, (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(logCount("remote drag: cleared snapshot=1"), 1u);
    EXPECT_EQ(server->dragSourceURL(1, 0), std::nullopt) << "an ended snapshot resolves nothing";
    drag({file("b.txt")});
    EXPECT_EQ(DragSnapshotPayload::decode(received(*audio, AuxPacketType::dragSnapshot).back().payload)->snapshotID, 2u);
}

TEST_F(RemoteDrag, AudioSessionsTakeDragPacketsAwayFromVideo) {
    auto video = videoClient();
    ASSERT_TRUE(video->logIn(consoleUser, password, "Viewer"));
    drag({file("a.txt")});
    dragText();
    EXPECT_EQ(received(*audio, AuxPacketType::dragSnapshot).size(), 1u);
    EXPECT_EQ(received(*audio, AuxPacketType::dragSnapshotEnd).size(), 1u);
    EXPECT_TRUE(received(*video, AuxPacketType::dragSnapshot).empty());
    EXPECT_TRUE(received(*video, AuxPacketType::dragSnapshotEnd).empty());

    audio->close();
    ASSERT_TRUE(waitForSessions(0, 1));
    drag({file("b.txt")});
    EXPECT_EQ(received(*video, AuxPacketType::dragSnapshot).size(), 1u);
}

TEST_F(RemoteDrag, PullsResolveOnlyTheCurrentSnapshotFromAnyQueue) {
    const auto a = file("a.txt");
    drag({a});
    const std::pair<uint32_t, uint32_t> stale[] = {{0, 0}, {2, 0}, {1, 1}};
    for (auto [snapshot, index] : stale) EXPECT_EQ(server->dragSourceURL(snapshot, index), std::nullopt);

    platform::DispatchQueue other("test.drag.caller");
    std::optional<fs::path> fromOther, fromServer;
    other.sync([&] { fromOther = server->dragSourceURL(1, 0); });
    server->queue.sync([&] { fromServer = server->dragSourceURL(1, 0); });
    EXPECT_EQ(fromOther, a);
    EXPECT_EQ(fromServer, a);
}

}  // namespace
