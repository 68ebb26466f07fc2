// A Viewer's clipboard transfers through the real server over loopback into
// the clipboard bridge, wired as the Host wires them: files of every name
// length arrive, and a burst of transfers leaves the latest on the
// pasteboard and the inbox within its bounds.

#include <gtest/gtest.h>

#include <algorithm>

#include "AuxServerTestFixture.h"
#include "Platform/Pasteboard.h"
#include "VelantrixProfiles/Clipboard/ClipboardSyncBridge.h"

namespace fs = std::filesystem;
using platform::Pasteboard;

namespace {

class ClipboardInbox : public AuxServerTest {
protected:
    void SetUp() override {
        AuxServerTest::SetUp();
        bridge = std::make_shared<ClipboardSyncBridge>("Viewer", Pasteboard::general(), 33554432, 50331648);
        bridge->onStatus = [this](const std::string& s) { statuses.push_back(s); };
        bridge->start();
        server->onClipboardTransfer = [weak = std::weak_ptr<ClipboardSyncBridge>(bridge)](const ClipboardTransfer& t) {
            if (auto b = weak.lock()) b->receiveRemoteTransfer(t);
        };
    }
    void TearDown() override {
        if (server) server->onClipboardTransfer = nullptr;
        bridge.reset();
        AuxServerTest::TearDown();
    }
    size_t appliedCount() const {
        return static_cast<size_t>(std::count_if(statuses.begin(), statuses.end(), [](const std::string& s) {
            return s.starts_with("clipboard applied ");
        }));
    }
    static ClipboardTransfer filesTransfer(uint64_t sequence, std::vector<ClipboardTransferFile> files) {
        return {"E2E", sequence, 0, {{ClipboardTransferItemKind::files, {}, {}, {}, std::move(files)}}};
    }

    std::shared_ptr<ClipboardSyncBridge> bridge;
    std::vector<std::string> statuses;
};

TEST_F(ClipboardInbox, FilesOfEveryNameLengthEachSentTwiceAllArrive) {
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
    auto client = audioClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Viewer"));
    client->send(AuxPacketType::clipboardTransfer, *filesTransfer(1, files).encodedData());
    client->flush();
    ASSERT_TRUE(runUntil([&] { return appliedCount() == 1; }));
    EXPECT_EQ(statuses.back(), "clipboard applied 24 file(s) from Viewer");
    const auto urls = Pasteboard::general().readFileURLs();
    ASSERT_EQ(urls.size(), files.size());
    for (size_t i = 0; i < urls.size(); ++i) {
        EXPECT_LE(urls[i].filename().string().size(), 255u);
        EXPECT_TRUE(urls[i].filename().string().ends_with(".txt"));
        EXPECT_EQ(fs::file_size(urls[i]), files[i].data.size()) << urls[i];
    }
}

TEST_F(ClipboardInbox, ABurstFromOneViewerLeavesTheLatestAndTheInboxWithinItsBounds) {
    auto client = audioClient();
    ASSERT_TRUE(client->logIn(consoleUser, password, "Viewer"));
    constexpr uint64_t burst = ClipboardSyncBridge::maxInboxBatches * 3;
    for (uint64_t n = 1; n <= burst; ++n)
        client->send(AuxPacketType::clipboardTransfer,
                     *filesTransfer(n, {{"copy " + std::to_string(n) + ".txt", "public.data", {1}}}).encodedData());
    client->flush();
    const fs::path latest = "copy " + std::to_string(burst) + ".txt";
    ASSERT_TRUE(runUntil([&] {
        const auto urls = Pasteboard::general().readFileURLs();
        return urls.size() == 1 && urls[0].filename() == latest;
    }));
    runUntilIdle();
    // Transfers that arrive while one waits for the main queue supersede
    // it: far fewer are applied than sent (one each without coalescing).
    EXPECT_LT(appliedCount(), burst / 4);
    size_t batches = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(bridge->inboxFolder())) ++batches;
    EXPECT_LE(batches, ClipboardSyncBridge::maxInboxBatches);
    EXPECT_TRUE(fs::exists(Pasteboard::general().readFileURLs().at(0)));
    EXPECT_FALSE(client->isClosed());
}

}  // namespace
