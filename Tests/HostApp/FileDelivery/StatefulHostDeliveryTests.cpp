// The stateful peer-account steps (PeerAccountSteps) against the whole
// launched Host, its server's file packets going where the delegate wires
// them, for a console user other than the Host process's (so every folder
// a peer names is opened beneath the home, and both are on its account):
// besides every other step, managed copies to a named folder, plain
// copies that ask for a folder with a panel, and copies into taken names
// that ask what to do, each cancelled at any stage; folders the Host is
// asked to send, to peers that read them or never do, cancelled or left
// mid-send; and listings asked for unread past the peer's send budget, of
// which only those holding a place are built once it reads. Every cancel lets go of
// what its batch held while its peer is still there; once every peer has
// left, every account reads zero, and the Host's descriptors, staging,
// panels and questions are back as they were.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "HostApp/FileDelivery/ViewerPathConfinement.h"
#include "HostApp/Shell/HostShellTestFixture.h"
#include "Platform/AppKit/AppKitApplication.h"
#include "Platform/Files/Folders.h"
#include "Support/PeerAccountSteps.h"
#include "Support/TestSupport.h"
#include "VelantrixProfiles/FileTransfer/FileTransferCenter.h"

namespace fs = std::filesystem;

namespace {

class StatefulHostDelivery : public HostShellTest {
protected:
    // The console user is not the Host process's: every folder a peer
    // names is opened beneath that user's home, which stays open with it,
    // two descriptors on the peer's account. Its name is known to no
    // directory but the test's.
    void SetUp() override {
        ViewerPathConfinement::setAccountLookupForTesting(
            [](const std::string&) -> std::optional<ViewerPathConfinement::Account> { return std::nullopt; });
        auto session = platform::SimulatedMachine::current().consoleSession();
        session.userName = "viewertest";
        platform::SimulatedMachine::current().setConsoleSession(session);
        consoleUser = session.userName;
        directory->setUser(consoleUser, password);
        launch();
        FileTransferCenter::shared().resetForTesting();
        fs::create_directories(platform::Folders::home());
    }
    ~StatefulHostDelivery() override {
        FileTransferCenter::shared().resetForTesting();
        ViewerPathConfinement::setAccountLookupForTesting(nullptr);
    }

    // The server's hooks as the delegate wired them, and what the Host
    // holds outside the accounts, read on the main queue.
    PeerAccountSteps::FileHooks wholeHost() {
        auto server = delegate->audioServer();
        PeerAccountSteps::FileHooks hooks;
        server->queue.sync([&] {
            hooks.packet = server->onFileTransferPacket;
            hooks.sessionEnded = server->onFileTransferSessionEnded;
        });
        hooks.holdsBatch = [this](const platform::UUID& id) {
            bool held = false;
            onMain([&] { held = delegate->fileDelivery.inboundBatch(id) != nullptr; });
            return held;
        };
        hooks.leftBehind = [this]() -> std::optional<std::string> {
            std::optional<std::string> held;
            onMain([&] {
                const auto& center = FileTransferCenter::shared();
                if (const size_t n = delegate->fileDelivery.inboundBatches.size())
                    held = std::to_string(n) + " inbound batch(es)";
                else if (!center.savePanels.empty())
                    held = std::to_string(center.savePanels.size()) + " save panel(s)";
                else if (const size_t n = app().shownAlerts().size())
                    held = std::to_string(n) + " question(s)";
            });
            const fs::path staging = delegate->components.fileTransferService->stagingRoot();
            std::error_code missing;
            if (!held && fs::exists(staging, missing) && !fs::is_empty(staging))
                held = "staged items in " + staging.string();
            return held;
        };
        hooks.stagingRoot = [service = delegate->components.fileTransferService] { return service->stagingRoot(); };
        hooks.deliveries = true;
        hooks.listingsComputed = [service = delegate->components.fileTransferService] {
            return service->listingsComputedForTesting();
        };
        return hooks;
    }
};

TEST_F(StatefulHostDelivery, CancelledDeliveriesLetGoOfWhatTheyHeldAndEveryAccountDrains) {
    PeerAccountSteps steps(runtime, delegate->audioServer(), wholeHost(), consoleUser, password);
    // Seeds 71-73, run long, find a gone session's batch that kept its
    // place; 29 more run short.
    std::vector<uint32_t> seeds;
    for (uint32_t seed = 11; seeds.size() < 29; ++seed) seeds.push_back(seed);
#ifdef NORVESSAL_SANITIZED_BUILD
    auto failure = steps.runSeeds({71, 72, 73}, 40, false);
    if (!failure) failure = steps.runSeeds(seeds, 12, false);
#else
    auto failure = steps.runSeeds({71, 72, 73}, 80, true);
    if (!failure) failure = steps.runSeeds(seeds, 24, true);
#endif
    ASSERT_FALSE(failure) << *failure << "\nthe Host's last lines:\n" << [&] {
        const auto lines = logLines();
        std::string tail;
        for (size_t i = lines.size() - std::min<size_t>(lines.size(), 40); i < lines.size(); ++i) tail += lines[i] + "\n";
        return tail;
    }();
    // The seeds cancel each kind of delivery, each at more than one stage,
    // and between them at every stage.
    std::map<std::string, size_t> stagesOfKind;
    std::set<std::string> stages;
    for (const auto& [at, n] : steps.cancelledDeliveries()) {
        ++stagesOfKind[at.first];
        stages.insert(at.second);
    }
    EXPECT_EQ(stagesOfKind.size(), 3u);
    for (const auto& [kind, n] : stagesOfKind) EXPECT_GE(n, 2u) << kind;
    EXPECT_EQ(stages.size(), 4u);
    // Sends were asked for, and unread listings spent a send budget.
    EXPECT_GE(steps.peerSendsAsked, 6u);
    EXPECT_GE(steps.copiesRightBeforeVanishing, 3u);
    EXPECT_GE(steps.sendBudgetsReached, 2u);
}

}  // namespace
