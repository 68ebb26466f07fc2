// Lines someone outside the Host can provoke: once a second per key, the
// rest counted into the next one.

#include <gtest/gtest.h>

#include "Platform/Log.h"
#include "Support/TestSupport.h"

using namespace platform;

namespace {

using LineRateLimiterTest = VirtualTimeTest;

struct Offer {
    double advanceFirst;
    const char* key;
    const char* text;
    std::optional<std::string> written;
};

TEST_F(LineRateLimiterTest, EachKeyWritesOnceASecondAndCountsTheRestIntoItsNextLine) {
    LineRateLimiter limiter;
    const Offer offers[] = {
        {0, "a", "first", "first"},
        {0, "a", "again", std::nullopt},
        {0.5, "a", "again", std::nullopt},
        {0, "b", "other key", "other key"},
        {0.49, "a", "still held", std::nullopt},
        {0.01, "a", "a second on", "a second on (3 similar lines suppressed)"},
        {1, "a", "quiet second", "quiet second"},
        {0.2, "b", "b later", "b later"},
        {0.5, "b", "held", std::nullopt},
        {0.5, "b", "b again", "b again (1 similar line suppressed)"},
    };
    for (const auto& offer : offers) {
        advance(offer.advanceFirst);
        EXPECT_EQ(limiter.admit(offer.key, offer.text), offer.written) << offer.key << ": " << offer.text;
    }
}

TEST_F(LineRateLimiterTest, KeysThatFallQuietAreForgotten) {
    LineRateLimiter limiter;
    for (int session = 0; session < 500; ++session) {
        limiter.admit("session " + std::to_string(session), "line");
        advance(1);
    }
    // Only the last minute's keys are still remembered.
    EXPECT_LE(limiter.trackedKeysForTesting(), 121u);
}

// Keys that carry text a Viewer chose: a burst of distinct ones neither
// grows the table past its bound nor writes more than one overflow line a
// second beside the keys it already knew.
TEST_F(LineRateLimiterTest, DistinctKeysPastTheBoundShareOneOverflowLine) {
    LineRateLimiter limiter(LineRateLimiter::kDefaultIntervalNs, 8);
    size_t written = 0;
    for (int name = 0; name < 10000; ++name)
        written += limiter.admit("files: failed to deliver name" + std::to_string(name), "line").has_value();
    EXPECT_EQ(written, 9u);
    EXPECT_LE(limiter.trackedKeysForTesting(), 9u);
    advance(1);
    EXPECT_EQ(limiter.admit("files: failed to deliver another", "late"), "late (9991 similar lines suppressed)");
    EXPECT_EQ(limiter.admit("files: failed to deliver name0", "known"), "known");
}

}  // namespace
