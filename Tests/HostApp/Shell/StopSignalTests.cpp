// A stop signal begins the Host's stop within a second however much work
// waits on the main queue, and the server's tear-down then keeps its bound.

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "HostApp/Shell/HostShellTestFixture.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/Signals.h"

using namespace platform;

namespace {

class StopSignal : public HostShellTest {};

TEST_F(StopSignal, SigtermBeginsTheStopWithinASecondBehindAQuarterHourOfMainQueueWork) {
    launch();
    // What a flood leaves waiting: 100,000 items of 10 ms each.
    constexpr int backlog = 100000;
    // In the Host's process nothing queued runs once the run loop ended;
    // here the test drives the queue on, so the backlog stands down itself.
    auto ran = std::make_shared<int>(0);
    auto stopped = std::make_shared<bool>(false);
    for (int i = 0; i < backlog; ++i)
        DispatchQueue::main().async([ran, stopped] {
            if (*stopped) return;
            ++*ran;
            sleepFor(0.01);
        });
    const uint64_t signalled = Clock::uptimeNs();
    std::optional<uint64_t> began;
    std::optional<int> ranBefore;
    // As main() hands the signal to the delegate.
    std::weak_ptr<HostProbeDelegate> weak = delegate;
    deliverTerminationSignal(
        [weak, &began, &ranBefore, ran, stopped](int sig) {
            *stopped = true;
            began = Clock::uptimeNs();
            ranBefore = *ran;
            if (auto self = weak.lock()) self->handleTerminationSignal(sig);
        },
        15);
    ASSERT_TRUE(runUntil([&] { return app().isTerminated(); }, 120));
    EXPECT_EQ(*ranBefore, 0);
    EXPECT_LE(*began - signalled, 1'000'000'000u) << "the stop began within a second of the signal";
    EXPECT_TRUE(logContains("host: received SIGTERM, shutting down"));
    EXPECT_TRUE(delegate->waitForServerStopAfterRunLoop(HostProbeDelegate::serverStopWaitLimitSeconds))
        << "the server stops within its bound";
}

}  // namespace
