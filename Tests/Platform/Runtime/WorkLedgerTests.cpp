// A peer's ledger: the work its packets start on any queue is charged to
// it, hops included, given back when done, bounded, and dropped where the
// queue serves only Viewers once the peer is gone.

#include <gtest/gtest.h>

#include "Platform/Runtime/Dispatch.h"
#include "Platform/Runtime/WorkLedger.h"
#include "Support/TestSupport.h"

using namespace platform;

namespace {

using WorkLedgerTest = VirtualTimeTest;

TEST_F(WorkLedgerTest, WorkPostedForAPeerIsChargedWithItsHopsAndGivenBackWhenDone) {
    auto ledger = std::make_shared<WorkLedger>("192.0.2.1", 1000, 4);
    DispatchQueue first("test.first");
    DispatchQueue second("test.second");
    std::shared_ptr<WorkLedger> seenOnHop;
    size_t jobsSeenOnHop = 0;
    {
        const WorkLedger::Charged charged(ledger);
        first.async(
            [&] {
                // The hop is the same peer's work, charged while it waits.
                second.async([&] {
                    seenOnHop = WorkLedger::current();
                    jobsSeenOnHop = ledger->jobsInUse();
                });
            },
            300);
    }
    // Posted outside any peer's work: nobody's.
    first.async([] {});
    EXPECT_EQ(ledger->jobsInUse(), 1u);
    EXPECT_EQ(ledger->bytesInUse(), 300u);
    EXPECT_EQ(WorkLedger::current(), nullptr);
    runUntilIdle();
    EXPECT_EQ(seenOnHop, ledger);
    EXPECT_EQ(jobsSeenOnHop, 1u) << "the hop holds a job while it runs; its poster gave its own back";
    EXPECT_EQ(ledger->jobsInUse(), 0u);
    EXPECT_EQ(ledger->bytesInUse(), 0u);
}

TEST_F(WorkLedgerTest, APeerPastEitherBoundWaitsUntilItsWorkReturns) {
    struct Case {
        const char* name;
        size_t jobs;
        size_t bytesEach;
    };
    const Case cases[] = {{"jobs", 4, 0}, {"bytes", 2, 600}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto ledger = std::make_shared<WorkLedger>("peer", 1000, 4);
        DispatchQueue held("test.held");
        held.suspend();
        int resumed = 0;
        {
            const WorkLedger::Charged charged(ledger);
            for (size_t i = 0; i < c.jobs; ++i) {
                EXPECT_FALSE(ledger->overBudget());
                held.async([] {}, c.bytesEach);
            }
        }
        EXPECT_TRUE(ledger->overBudget());
        ledger->whenUnderBudget([&] { ++resumed; });
        EXPECT_EQ(resumed, 0);
        held.resume();
        runUntilIdle();
        EXPECT_FALSE(ledger->overBudget());
        EXPECT_EQ(resumed, 1);
        ledger->whenUnderBudget([&] { ++resumed; });
        EXPECT_EQ(resumed, 2) << "under budget: at once";
    }
}

TEST_F(WorkLedgerTest, AGonePeersWaitingWorkIsDroppedWhereTheQueueServesOnlyViewers) {
    auto ledger = std::make_shared<WorkLedger>("peer", 1 << 20);
    DispatchQueue viewersOnly("test.viewers");
    viewersOnly.setDropsWorkOfGonePeers(true);
    DispatchQueue shared("test.shared");
    int ranViewersOnly = 0;
    int ranShared = 0;
    {
        const WorkLedger::Charged charged(ledger);
        for (int i = 0; i < 10; ++i) {
            viewersOnly.async([&] { ++ranViewersOnly; }, 1000);
            shared.async([&] { ++ranShared; });
        }
    }
    int resumed = 0;
    ledger->cancel();
    ledger->whenUnderBudget([&] { ++resumed; });
    runUntilIdle();
    EXPECT_EQ(ranViewersOnly, 0);
    EXPECT_EQ(ranShared, 10) << "work that may keep shared state right still runs";
    EXPECT_EQ(ledger->jobsInUse(), 0u);
    EXPECT_EQ(ledger->bytesInUse(), 0u);
    EXPECT_EQ(resumed, 0) << "a gone peer is never resumed";
}

}  // namespace
