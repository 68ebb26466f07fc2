// How the server, the clipboard bridge and the shell reach one another.

#include <gtest/gtest.h>

#include "HostShellTestFixture.h"
#include "Platform/Runtime/WorkLedger.h"
#include "VelantrixProfiles/Clipboard/ClipboardTransfer.h"

using namespace platform;

namespace {

ClipboardTransfer textTransfer(const std::string& text, uint64_t sequence) {
    ClipboardTransferItem item;
    item.text = text;
    return ClipboardTransfer{"VIEWER-SOURCE", sequence, 0, {item}};
}

class ComponentWiring : public HostShellTest {
protected:
    void SetUp() override { launch(); }
    // The bridge's hook, called where the bridge calls it: off the main
    // queue. Its outcome lands in the answer once it came.
    std::shared_ptr<std::optional<bool>> offerFromPollQueue(const ClipboardTransfer& transfer) {
        DispatchQueue poll("test.clipboard.poll");
        auto outcome = std::make_shared<std::optional<bool>>();
        poll.sync([&] {
            delegate->components.clipboardBridge->onOutgoingTransfer(
                transfer, [outcome](bool delivered) { *outcome = delivered; });
        });
        return outcome;
    }
};

TEST_F(ComponentWiring, ClipboardChangeWithoutViewersStaysPendingAndLogsNothing) {
    auto outcome = offerFromPollQueue(textTransfer("nobody", 1));
    runUntilIdle();
    EXPECT_EQ(*outcome, false);
    EXPECT_FALSE(diagnosticsContain("clipboard sent"));
}

TEST_F(ComponentWiring, StatusLinesLandInTheLogAndTheLastInTheStatusLabel) {
    delegate->audioServer()->publish("probe from the server");
    delegate->components.clipboardBridge->onStatus("probe from the bridge");
    runUntilIdle();
    EXPECT_TRUE(diagnosticsContain("aux: probe from the server"));
    EXPECT_TRUE(diagnosticsContain("probe from the bridge"));
    EXPECT_FALSE(diagnosticsContain("aux: probe from the bridge"));
    EXPECT_EQ(delegate->presentation.audioStatusLabel->text, "Aux: probe from the bridge");
}

// However long a burst of status lines, it waits for one main-queue task,
// and none of it is a job of the Viewer whose packet provoked it: a Viewer
// at its job bound adds none.
TEST_F(ComponentWiring, ABurstOfStatusLinesTakesOneMainQueueTaskAndNoneOfAViewersJobs) {
    runUntilIdle();
    auto viewer = std::make_shared<platform::WorkLedger>("127.0.0.9", size_t{1} << 20, 4);
    const size_t before = runtime->pendingCount();
    {
        const platform::WorkLedger::Charged charged(viewer);
        for (int i = 0; i < 20000; ++i)
            delegate->components.clipboardBridge->onStatus("burst line " + std::to_string(i) + std::string(200, '.'));
    }
    EXPECT_LE(runtime->pendingCount(), before + 1);
    EXPECT_EQ(viewer->jobsInUse(), 0u);
    runUntilIdle();
    EXPECT_TRUE(diagnosticsContain("burst line 19999"));
    EXPECT_EQ(delegate->presentation.audioStatusLabel->text, "Aux: burst line 19999" + std::string(200, '.'));
}

TEST_F(ComponentWiring, HostClipboardChangeDropsTheReceivedFilesClaimOnTheMainQueue) {
    delegate->fileDelivery.latestInboundFileBatchID = UUID::random();
    offerFromPollQueue(textTransfer("new", 2));
    EXPECT_TRUE(delegate->fileDelivery.latestInboundFileBatchID) << "the claim is main-queue state";
    runUntilIdle();
    EXPECT_FALSE(delegate->fileDelivery.latestInboundFileBatchID);
    EXPECT_TRUE(diagnosticsContain("files: invalidated inbound clipboard claim (host clipboard changed)"));
}

TEST_F(HostShellTest, TheClipboardBridgeStartsOnceEveryFileServiceHookIsSet) {
    delegate = std::make_shared<HostProbeDelegate>(HostLaunchFlags{}, serverConfiguration());
    int starts = 0;
    bool serviceWired = false;
    delegate->components.clipboardBridge->onStartedForTesting = [&] {
        const auto& service = *delegate->components.fileTransferService;
        serviceWired = service.sendPacket.get() && service.routedSendPacket.get() && service.onStatus.get() &&
                       service.onBatchStarted.get() && service.onBatchCompleted.get() &&
                       service.onOutgoingBatchCompleted.get();
        ++starts;
    };
    app().setDelegate(delegate);
    app().setActivationPolicy(ApplicationActivationPolicy::regular);
    app().finishLaunchingForTesting();
    runUntilIdle();
    EXPECT_EQ(starts, 1);
    EXPECT_TRUE(serviceWired);
}

}  // namespace
