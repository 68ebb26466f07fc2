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

// One Viewer session past its share of keys, or a crowd of them filling the
// table, leaves every other session its own lines: each scope's excess goes
// to that scope's overflow key, and a scope it never touched is not held
// back by it.
TEST_F(LineRateLimiterTest, AScopePastItsKeysNeverHoldsBackAnotherScope) {
    struct Case {
        const char* name;
        size_t maxKeys, maxKeysPerScope;
        int flooders;  // scopes that each offer 5,000 distinct keys first
        // With no room left in the table, the quiet session's kinds share
        // its own overflow key: still a line a second, never none.
        bool tableFull;
    };
    const Case cases[] = {
        {"one scope past its own cap", 1024, 8, 1, false},
        {"scopes together past the table's cap", 16, 8, 4, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LineRateLimiter limiter(LineRateLimiter::kDefaultIntervalNs, c.maxKeys, c.maxKeysPerScope);
        for (int f = 0; f < c.flooders; ++f) {
            size_t written = 0;
            for (int key = 0; key < 5000; ++key)
                written += limiter.admit("flooder" + std::to_string(f), "kind" + std::to_string(key), "x").has_value();
            // Its own keys while they fit, then one overflow line.
            EXPECT_LE(written, c.maxKeysPerScope + 1);
        }
        EXPECT_LE(limiter.trackedKeysForTesting(), c.maxKeys + size_t(c.flooders) + 1);
        // Another session, in the same second: its first line of each kind
        // is written (its own overflow past the caps), repeats are held.
        EXPECT_EQ(limiter.admit("quiet", "bad clipboard payload", "first"), "first");
        EXPECT_EQ(limiter.admit("quiet", "bad clipboard payload", "again"), std::nullopt);
        EXPECT_EQ(limiter.admit("quiet", "file aux: malformed packet", "other kind"),
                  c.tableFull ? std::nullopt : std::optional<std::string>("other kind"));
        // The same kind in a flooder's scope is that scope's business only.
        limiter.admit("flooder0", "bad clipboard payload", "flooder's");
        advance(1);
        EXPECT_EQ(limiter.admit("quiet", "bad clipboard payload", "later"),
                  c.tableFull ? "later (2 similar lines suppressed)" : "later (1 similar line suppressed)");
    }
}

// Sessions that come and go: past the scope cap new ones share the common
// scope, so the table stays bounded however many sessions a minute sees.
TEST_F(LineRateLimiterTest, ScopesPastTheirCapShareTheCommonScope) {
    LineRateLimiter limiter(LineRateLimiter::kDefaultIntervalNs, 1024, 64, 4);
    for (int session = 0; session < 1000; ++session) limiter.admit("session" + std::to_string(session), "k", "x");
    EXPECT_LE(limiter.trackedKeysForTesting(), 5u);
    // Their scopes are forgotten once quiet, and new sessions get their own.
    advance(61);
    limiter.admit("late", "k", "x");
    EXPECT_EQ(limiter.admit("late", "k", "x"), std::nullopt);
    EXPECT_EQ(limiter.admit("later", "k", "y"), "y");
    EXPECT_LE(limiter.trackedKeysForTesting(), 2u);
}

}  // namespace
