#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "Platform/Runtime/AtomicInt.h"
#include "Platform/Media/CadenceProbe.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Runtime/Log.h"
#include "Support/TestSupport.h"

using namespace platform;

class VirtualDispatchTest : public VirtualTimeTest {};

TEST_F(VirtualDispatchTest, TimersAndDelayedWorkFireInTimeOrderAcrossQueues) {
    DispatchQueue a("test.a"), b("test.b"), c("test.c");
    std::vector<std::string> order;
    uint64_t start = Clock::uptimeNs();
    std::vector<uint64_t> firedAt;
    auto note = [&](std::string what) {
        order.push_back(std::move(what));
        firedAt.push_back(Clock::uptimeNs() - start);
    };
    a.asyncAfter(3.0, [&] { note("a3"); });
    b.asyncAfter(1.0, [&] { note("b1"); });
    c.asyncAfter(2.0, [&] { note("c2"); });
    DispatchTimer timer(a, 1.5, [&] { note("t"); });
    timer.resume();

    advance(3.5);
    EXPECT_EQ(order, (std::vector<std::string>{"b1", "t", "c2", "a3", "t"}));
    EXPECT_EQ(firedAt, (std::vector<uint64_t>{1000000000, 1500000000, 2000000000, 3000000000, 3000000000}));

    timer.cancel();
    advance(10);
    EXPECT_EQ(order.size(), 5u);
}

TEST_F(VirtualDispatchTest, EqualDeadlinesRunInPostingOrderAndNothingRunsEarly) {
    DispatchQueue q("test.q");
    std::vector<int> order;
    for (int i = 0; i < 5; ++i) q.asyncAfter(1.0, [&order, i] { order.push_back(i); });
    advance(0.999);
    EXPECT_TRUE(order.empty());
    advance(0.001);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST_F(VirtualDispatchTest, CancelledWorkItemNeverRuns) {
    DispatchQueue q("test.cancel");
    bool ran = false, other = false;
    auto item = makeWorkItem([&] { ran = true; });
    q.asyncAfter(1.0, item);
    q.async([&] { other = true; });
    item->cancel();
    advance(5);
    EXPECT_FALSE(ran);
    EXPECT_TRUE(other);
    EXPECT_TRUE(item->isCancelled());
}

TEST_F(VirtualDispatchTest, SyncOntoCurrentQueueRunsInlineAndSeesIsCurrent) {
    DispatchQueue q("test.sync");
    DispatchQueue other("test.other");
    std::vector<std::string> steps;
    q.async([&] {
        EXPECT_TRUE(q.isCurrent());
        EXPECT_FALSE(other.isCurrent());
        q.sync([&] { steps.push_back("inner"); });
        other.sync([&] {
            EXPECT_TRUE(other.isCurrent());
            // A hop back onto the outer queue must not deadlock either.
            q.sync([&] { steps.push_back("back"); });
        });
        steps.push_back("outer");
    });
    runUntilIdle();
    EXPECT_EQ(steps, (std::vector<std::string>{"inner", "back", "outer"}));
    EXPECT_FALSE(q.isCurrent());
}

TEST_F(VirtualDispatchTest, SyncFromOutsideRunsEarlierWorkOfThatQueueFirst) {
    DispatchQueue q("test.order");
    std::vector<int> order;
    q.async([&] { order.push_back(1); });
    q.sync([&] { order.push_back(2); });
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(q.syncValue([] { return 42; }), 42);
}

TEST_F(VirtualDispatchTest, SemaphoreTimeoutPassesVirtualTimeOnly) {
    DispatchSemaphore sem(0);
    uint64_t before = Clock::uptimeNs();
    EXPECT_FALSE(sem.wait(3.0));
    EXPECT_EQ(Clock::uptimeNs() - before, 3000000000u);
}

TEST_F(VirtualDispatchTest, SemaphoreWaitRunsOtherQueuesUntilSignalled) {
    DispatchQueue worker("test.worker");
    DispatchSemaphore sem(0);
    worker.asyncAfter(1.25, [&] { sem.signal(); });
    uint64_t before = Clock::uptimeNs();
    EXPECT_TRUE(sem.wait(8.0));
    EXPECT_EQ(Clock::uptimeNs() - before, 1250000000u);
}

TEST_F(VirtualDispatchTest, BlockingWaitInsideAQueueDoesNotRunThatQueuesLaterWork) {
    DispatchQueue q("test.serial");
    DispatchQueue helper("test.helper");
    std::vector<std::string> order;
    q.async([&] {
        DispatchSemaphore sem(0);
        q.async([&] { order.push_back("later"); });
        helper.asyncAfter(0.5, [&] {
            order.push_back("helper");
            sem.signal();
        });
        EXPECT_TRUE(sem.wait(2.0));
        order.push_back("first-done");
    });
    runUntilIdle();
    advance(1);
    EXPECT_EQ(order, (std::vector<std::string>{"helper", "first-done", "later"}));
}


// A test's wait made from inside a queue's work (a hook the Host calls)
// whose condition never holds gives up at its bound, even while the work
// due first is that queue's own and cannot run until the wait returns.
TEST_F(VirtualDispatchTest, AWaitInsideAQueueWhoseOwnWorkIsDueFirstEndsAtItsBound) {
    DispatchQueue q("test.serial");
    bool waited = false, held = true;
    q.async([&] {
        q.async([&] { held = false; });
        EXPECT_FALSE(runUntil([&] { return !held; }, 0.05));
        waited = true;
    });
    runUntilIdle();
    EXPECT_TRUE(waited);
    EXPECT_FALSE(held) << "the queue's later work ran once the wait was over";
}
TEST_F(VirtualDispatchTest, PollingSleepAdvancesVirtualClockAndWallDate) {
    Date d0 = Clock::now();
    uint64_t u0 = Clock::uptimeNs();
    sleepFor(0.12);
    EXPECT_EQ(Clock::uptimeNs() - u0, 120000000u);
    EXPECT_NEAR(Clock::now().timeIntervalSince(d0), 0.12, 1e-6);
}

TEST_F(VirtualDispatchTest, HourlyTimerCostsNoRealTime) {
    DispatchQueue q("test.hourly");
    int ticks = 0;
    DispatchTimer timer(q, 3600, [&] { ticks++; });
    timer.resume();
    advance(24 * 3600);
    EXPECT_EQ(ticks, 24);
}

TEST_F(VirtualDispatchTest, ATimerKeepsItsRateWhateverItsHandlerCostsAndNeverCatchesUpInABurst) {
    DispatchQueue q("test.cadence");
    struct Case {
        double handlerSeconds;
        int firingsInOneSecond;
    };
    // A handler that takes 10 ms of a 20 ms interval, and one that takes
    // longer than the interval (it runs back to back).
    for (const auto& c : {Case{0.010, 50}, Case{0.025, 40}}) {
        int firings = 0;
        DispatchTimer timer(q, 0.020, [&] {
            firings++;
            sleepFor(c.handlerSeconds);
        });
        timer.resume();
        advance(1.0 + 1e-6);
        timer.cancel();
        EXPECT_EQ(firings, c.firingsInOneSecond) << c.handlerSeconds;
        advance(1.0);
    }
}

TEST_F(VirtualDispatchTest, ATimerHandlerKnowsWhenItsFiringWasDue) {
    DispatchQueue q("test.due");
    const uint64_t start = Clock::uptimeNs();
    std::vector<std::pair<uint64_t, uint64_t>> firings;  // (due, ran), from start
    DispatchTimer timer(q, 0.020, [&] {
        firings.emplace_back(DispatchTimer::firingDeadlineNs() - start, Clock::uptimeNs() - start);
    });
    timer.resume();
    // Work on the timer's queue holds its first firing back by 5 ms.
    q.asyncAfter(0.015, [] { sleepFor(0.010); });
    advance(0.061);
    timer.cancel();
    const std::vector<std::pair<uint64_t, uint64_t>> expected{
        {20'000'000, 25'000'000}, {40'000'000, 40'000'000}, {60'000'000, 60'000'000}};
    EXPECT_EQ(firings, expected);
    EXPECT_EQ(DispatchTimer::firingDeadlineNs(), 0u) << "outside a handler";
}

TEST_F(VirtualDispatchTest, LogLinesCarryTimestampAndTag) {
    Log::line("power: test line");
    Log::raw("[opus-encoder] bare");
    auto lines = logLines();
    ASSERT_GE(lines.size(), 2u);
    const std::string& stamped = lines[lines.size() - 2];
    // "[NorvessalHost HH:MM:SS.mmm] text"
    ASSERT_EQ(stamped.size(), std::string("[NorvessalHost 00:00:00.000] power: test line").size());
    EXPECT_EQ(stamped.rfind("[NorvessalHost ", 0), 0u);
    EXPECT_EQ(stamped[17], ':');
    EXPECT_EQ(stamped[20], ':');
    EXPECT_EQ(stamped[23], '.');
    EXPECT_EQ(stamped.substr(27), "] power: test line");
    EXPECT_EQ(lines.back(), "[opus-encoder] bare");
}

TEST_F(VirtualDispatchTest, LogTimestampIsTheLocalTimeToTheMillisecond) {
    // The virtual clock starts at 09:00:00.000 UTC; read it in UTC.
    const char* savedTz = std::getenv("TZ");
    const std::string saved = savedTz ? savedTz : "";
    setenv("TZ", "UTC", 1);
    tzset();
    std::vector<std::string> stamps;
    for (double step : {0.001, 0.006, 0.25, 0.742, 58.0}) {
        advance(step);
        stamps.push_back(Log::timestamp());
    }
    if (savedTz) setenv("TZ", saved.c_str(), 1);
    else unsetenv("TZ");
    tzset();
    EXPECT_EQ(stamps, (std::vector<std::string>{"09:00:00.001", "09:00:00.007", "09:00:00.257", "09:00:00.999",
                                                "09:00:58.999"}));
}

TEST(RealDispatch, AsyncAfterAndSemaphoreAcrossThreads) {
    DispatchQueue q("test.real");
    DispatchSemaphore sem(0);
    std::atomic<bool> onQueue{false};
    q.asyncAfter(0.01, [&] {
        onQueue = q.isCurrent();
        sem.signal();
    });
    ASSERT_TRUE(sem.wait(10.0));
    EXPECT_TRUE(onQueue.load());
    int v = q.syncValue([&] { return q.isCurrent() ? 7 : 0; });
    EXPECT_EQ(v, 7);
}

TEST(RealDispatch, SerialQueueKeepsOrder) {
    DispatchQueue q("test.real.serial");
    std::vector<int> seen;
    for (int i = 0; i < 1000; ++i) q.async([&seen, i] { seen.push_back(i); });
    q.sync([] {});
    ASSERT_EQ(seen.size(), 1000u);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(seen[i], i);
}

TEST(AtomicIntTest, ReadAndClearReturnsOldValue) {
    AtomicInt a;
    a.increment();
    a.increment(4);
    EXPECT_EQ(a.value(), 5);
    EXPECT_EQ(a.readAndClear(), 5);
    EXPECT_EQ(a.value(), 0);
    a.set(-3);
    EXPECT_EQ(a.decrement(), -4);
}

TEST(CadenceProbeTest, ReportsIntervalsAndResets) {
    CadenceProbe probe("shared-capture");
    probe.record(1000000000);
    EXPECT_FALSE(probe.reportAndReset().has_value());  // one sample: nothing to say
    probe.record(0);
    probe.record(16000000);
    probe.record(34000000);
    probe.record(50000000);
    auto line = probe.reportAndReset();
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(*line, "cadence shared-capture n=3 avg=16.67ms min=16.00ms max=18.00ms");
    EXPECT_FALSE(probe.reportAndReset().has_value());
}

TEST_F(VirtualDispatchTest, SyncOntoASuspendedQueueWaitsForItsResumeWhileTimeGoesOn) {
    DispatchQueue held("test.held");
    DispatchQueue caller("test.caller");
    held.suspend();
    DispatchQueue::main().asyncAfter(3.0, [held] { held.resume(); });
    int timerTicks = 0;
    DispatchTimer timer(DispatchQueue::main(), 1.0, [&] { timerTicks++; });
    timer.resume();
    std::optional<double> ranAt;
    caller.async([&] { held.sync([&] { ranAt = Clock::uptimeSeconds(); }); });
    const double start = Clock::uptimeSeconds();
    runUntilIdle();
    ASSERT_TRUE(ranAt);
    EXPECT_DOUBLE_EQ(*ranAt - start, 3.0) << "the sync waited for the resume";
    EXPECT_GE(timerTicks, 2) << "other queues ran meanwhile";
}

TEST(RealDispatch, GlobalQueueRunsItsWorkConcurrently) {
    // Each item waits for the other: a serial queue would never finish.
    auto global = DispatchQueue::global(QualityOfService::userInitiated);
    DispatchSemaphore first, second, done;
    global.async([&] {
        first.signal();
        if (second.wait(10.0)) done.signal();
    });
    global.async([&] {
        second.signal();
        if (first.wait(10.0)) done.signal();
    });
    EXPECT_TRUE(done.wait(10.0));
    EXPECT_TRUE(done.wait(10.0));
}

TEST_F(VirtualDispatchTest, AQueueRecordsItsLongestWorkItemWithTheWaitsInsideIt) {
    DispatchQueue q("test.longest"), other("test.other");
    DispatchSemaphore never(0);
    // Each step adds work to `q`; the record is the longest single item so
    // far, whatever ran nested inside it on other queues.
    const struct {
        const char* what;
        std::function<void()> post;
        double longest;
    } steps[] = {
        {"a short item", [&] { q.async([] { sleepFor(0.01); }); }, 0.01},
        {"a long wait on a semaphore", [&] { q.async([&] { never.wait(0.4); }); }, 0.4},
        {"a shorter one keeps the record", [&] { q.async([] { sleepFor(0.2); }); }, 0.4},
        {"a sync onto the queue counts",
         [&] { other.async([&] { q.sync([] { sleepFor(0.6); }); }); }, 0.6},
        {"other queues' items never count", [&] { other.async([] { sleepFor(5); }); }, 0.6},
    };
    for (const auto& step : steps) {
        step.post();
        advance(10);
        EXPECT_DOUBLE_EQ(q.longestWorkItemSecondsForTesting(), step.longest) << step.what;
    }
    EXPECT_DOUBLE_EQ(other.longestWorkItemSecondsForTesting(), 5.0);
    q.resetLongestWorkItemForTesting();
    EXPECT_EQ(q.longestWorkItemSecondsForTesting(), 0.0);
    // Another handle to the same queue shares the record.
    DispatchQueue(q).async([] { sleepFor(0.3); });
    advance(1);
    EXPECT_DOUBLE_EQ(q.longestWorkItemSecondsForTesting(), 0.3);
}

TEST(RealDispatch, AQueueRecordsHowLongItsWorkItemsRan) {
    DispatchQueue q("test.real.longest");
    DispatchSemaphore done(0);
    q.async([&] {
        // Work that surely takes a while, measured by the queue itself.
        DispatchSemaphore never(0);
        never.wait(0.05);
        done.signal();
    });
    ASSERT_TRUE(done.wait(60));
    q.sync([] {});  // the item above has returned and been recorded
    EXPECT_GE(q.longestWorkItemSecondsForTesting(), 0.05);
}
