// Roads nobody named: several peers take seeded random steps against the
// real server (PeerAccountSteps). After every step each live peer's account
// is within its bounds in every kind; once all have left, every account
// reads zero and the Host's descriptors and memory are back. The same steps
// run as a fuzz target (fuzz_peer_accounts).

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "AuxServerTestFixture.h"
#include "Support/PeerAccountSteps.h"
#include "Support/TestSupport.h"

namespace {

class StatefulPeerAccounts : public AuxServerTest {
protected:
    std::unique_ptr<PeerAccountSteps> steps;

    // A Host total the peers' steps reach: past what its three machines
    // hold apart in reads and replies at once, within what each may at its
    // bounds.
    void startServer(V230HostAudioAuxServerConfiguration configuration = {}) override {
        configuration.hostByteTotalBytes = size_t{24} << 20;
        AuxServerTest::startServer(configuration);
    }

    void SetUp() override {
        AuxServerTest::SetUp();
        steps = std::make_unique<PeerAccountSteps>(runtime, server, PeerAccountSteps::bareFileService(server),
                                                   consoleUser, password);
    }
    void TearDown() override {
        steps.reset();
        AuxServerTest::TearDown();
    }
};

TEST_F(StatefulPeerAccounts, EveryAccountStaysWithinItsBoundsAndDrainsWhenItsPeersLeave) {
    std::vector<uint32_t> seeds;
    for (uint32_t seed = 1; seed <= 32; ++seed) seeds.push_back(seed);
#ifdef NORVESSAL_SANITIZED_BUILD
    const auto failure = steps->runSeeds(seeds, 12, false);
#else
    const auto failure = steps->runSeeds(seeds, 30, true);
#endif
    ASSERT_FALSE(failure) << *failure;
    // The seeds take the road where a peer leaves while its turns wait for
    // its work: it must be seen leaving.
    EXPECT_GT(steps->leavesPastTheJobBudget(), 0u);
}

}  // namespace
