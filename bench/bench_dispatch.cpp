// Cost of one async hop on the real runtime: every captured frame and audio
// buffer crosses at least one queue on its way to the Viewers.
#include <benchmark/benchmark.h>

#include <atomic>

#include "Platform/Runtime/Dispatch.h"

static void BM_AsyncHopRoundTrip(benchmark::State& state) {
    platform::DispatchQueue q("bench.hop");
    platform::DispatchSemaphore sem(0);
    for (auto _ : state) {
        q.async([&] { sem.signal(); });
        sem.wait();
    }
}
BENCHMARK(BM_AsyncHopRoundTrip);

static void BM_AsyncBurstThroughput(benchmark::State& state) {
    platform::DispatchQueue q("bench.burst");
    std::atomic<int64_t> counter{0};
    const int64_t batch = state.range(0);
    for (auto _ : state) {
        for (int64_t i = 0; i < batch; ++i) q.async([&] { counter.fetch_add(1, std::memory_order_relaxed); });
        q.sync([] {});
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_AsyncBurstThroughput)->Arg(64);

static void BM_SyncOntoCurrentQueue(benchmark::State& state) {
    platform::DispatchQueue q("bench.inline");
    q.sync([&] {
        for (auto _ : state) q.sync([] { benchmark::ClobberMemory(); });
    });
}
BENCHMARK(BM_SyncOntoCurrentQueue);
