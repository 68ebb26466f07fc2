// A termination signal's handler runs ahead of whatever the main queue
// holds, in both runtimes, and work put first elsewhere keeps its order.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Runtime/Runtime.h"
#include "Platform/Runtime/Signals.h"
#include "Support/TestSupport.h"

using namespace platform;

namespace {

class StopSignalVirtual : public VirtualTimeTest {};

// A backlog of 100,000 items of 10 ms each (over a quarter of an hour) waits
// on the main queue; the stop still begins at once.
TEST_F(StopSignalVirtual, TheHandlerRunsBeforeAMainQueueBacklogOfAQuarterHour) {
    constexpr int backlog = 100000;
    // Items left once the stop ran stand down (the run loop ends there in
    // the real process).
    auto ran = std::make_shared<int>(0);
    auto stopped = std::make_shared<bool>(false);
    for (int i = 0; i < backlog; ++i)
        DispatchQueue::main().async([ran, stopped] {
            ++*ran;
            if (!*stopped) sleepFor(0.01);
        });
    const uint64_t signalled = Clock::uptimeNs();
    std::optional<uint64_t> handled;
    std::optional<int> ranBefore;
    int seenSignal = 0;
    deliverTerminationSignal(
        [&, stopped](int sig) {
            *stopped = true;
            handled = Clock::uptimeNs();
            ranBefore = *ran;
            seenSignal = sig;
        },
        15);
    ASSERT_TRUE(runUntil([&] { return handled.has_value(); }, 120));
    EXPECT_EQ(seenSignal, 15);
    EXPECT_EQ(*ranBefore, 0) << "nothing queued earlier runs before the stop";
    EXPECT_LE(*handled - signalled, 1'000'000'000u);
}

TEST_F(StopSignalVirtual, WorkPutFirstRunsInPostingOrderAheadOfOtherWorkAndAfterTheRunningItem) {
    DispatchQueue queue("test.first");
    std::vector<int> order;
    queue.async([&] {
        order.push_back(1);
        // Put first while this item runs: it does not cut into it.
        queue.asyncFirst([&] { order.push_back(10); });
        queue.asyncFirst([&] { order.push_back(11); });
        order.push_back(2);
    });
    queue.async([&] { order.push_back(3); });
    queue.asyncAfter(0.5, [&] { order.push_back(4); });
    runUntilIdle();
    advance(1);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 10, 11, 3, 4}));
}

// The real main queue, run on this thread as the application's run loop
// runs it: a backlog of 100,000 items of half a millisecond each (50 s)
// is being worked through when the signal comes from another thread.
TEST(StopSignalReal, TheHandlerRunsWithinASecondWhateverTheMainQueueHolds) {
    constexpr int backlog = 100000;
    struct Shared {
        std::atomic<int> ran{0};
        std::atomic<bool> skip{false};
        std::atomic<uint64_t> signalledNs{0};
        std::atomic<uint64_t> handledNs{0};
        std::atomic<int> ranBefore{-1};
    };
    auto shared = std::make_shared<Shared>();
    for (int i = 0; i < backlog; ++i)
        DispatchQueue::main().async([shared] {
            shared->ran++;
            if (!shared->skip) sleepFor(0.0005);
        });
    DispatchQueue watcher("test.signal-watcher");
    watcher.asyncAfter(0.2, [shared] {
        shared->signalledNs = Clock::uptimeNs();
        deliverTerminationSignal(
            [shared](int) {
                shared->ranBefore = shared->ran.load();
                shared->handledNs = Clock::uptimeNs();
            },
            15);
    });
    Runtime::current().runMainQueue(20, [&] { return shared->handledNs.load() != 0; });
    // Whatever the outcome, the backlog leaves this process's main queue.
    shared->skip = true;
    Runtime::current().runMainQueue(60, [&] { return shared->ran.load() == backlog; });
    ASSERT_NE(shared->handledNs.load(), 0u);
    EXPECT_LT(shared->ranBefore.load(), backlog / 2) << "the backlog was still being worked through";
    EXPECT_LE(shared->handledNs.load() - shared->signalledNs.load(), 1'000'000'000u);
}

}  // namespace
