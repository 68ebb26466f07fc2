#include "Platform/Runtime/FreedMemory.h"

#include <atomic>
#include <cstdint>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/Dispatch.h"

namespace platform::FreedMemory {

namespace {
// Passes that returned freed memory to the system, and when the next one
// is due (uptime in ns; 0 for none).
std::atomic<int> returns{0};
std::atomic<uint64_t> returnDueNs{0};
constexpr uint64_t kReturnDelayNs = 500'000'000;
}  // namespace

void returnSoon() {
    const uint64_t now = Clock::uptimeNs();
    const uint64_t due = returnDueNs.load();
    // One already due soon covers this call too. (One that should have
    // run long ago never will: its runtime has gone, as in tests.)
    if (due != 0 && due >= now && due - now <= kReturnDelayNs) return;
    const uint64_t at = now + kReturnDelayNs;
    returnDueNs = at;
    DispatchQueue::global(QualityOfService::utility).asyncAfter(double(kReturnDelayNs) / 1e9, [at] {
        uint64_t expected = at;
        returnDueNs.compare_exchange_strong(expected, 0);
#ifdef __GLIBC__
        malloc_trim(0);
#endif
        returns.fetch_add(1);
    });
}

void giveBackLargeBuffersAtOnce() {
#ifdef __GLIBC__
    // Set, these bounds no longer move with what was freed.
    ::mallopt(M_MMAP_THRESHOLD, static_cast<int>(kLargeBufferBytes));
    ::mallopt(M_TRIM_THRESHOLD, static_cast<int>(kKeptTopBytes));
#endif
}

int returnsForTesting() { return returns.load(); }

}  // namespace platform::FreedMemory
