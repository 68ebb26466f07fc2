// Lines someone outside the Host can provoke: once a second per key, the
// rest counted into the next one.

#include <gtest/gtest.h>

#include "Platform/Runtime/Log.h"
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

// One Viewer peer past its share of keys, or a crowd of them, leaves every
// other peer its own lines: each scope's excess goes to that scope's
// overflow key, and a scope it never touched is not held back by it, however
// many keys and scopes the others hold.
TEST_F(LineRateLimiterTest, NoScopeHoldsBackAnotherScopesLines) {
    struct Case {
        const char* name;
        int flooders;  // scopes that each offer 5,000 distinct keys first
    };
    const Case cases[] = {
        {"one scope past its own cap", 1},
        {"many scopes past their caps together", 40},
        {"more scopes than any cap the table once had", 300},
    };
    constexpr size_t kPerScope = 8;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LineRateLimiter limiter(LineRateLimiter::kDefaultIntervalNs, kPerScope);
        for (int f = 0; f < c.flooders; ++f) {
            size_t written = 0;
            const int keys = c.flooders > 40 ? 20 : 5000;
            for (int key = 0; key < keys; ++key)
                written += limiter.admit("flooder" + std::to_string(f), "kind" + std::to_string(key), "x").has_value();
            // Its own keys while they fit, then one overflow line.
            EXPECT_EQ(written, kPerScope + 1);
        }
        EXPECT_EQ(limiter.trackedKeysForTesting(), size_t(c.flooders) * (kPerScope + 1));
        // Another peer, in the same second: its first line of each kind is
        // written, repeats are held.
        EXPECT_EQ(limiter.admit("quiet", "bad clipboard payload", "first"), "first");
        EXPECT_EQ(limiter.admit("quiet", "bad clipboard payload", "again"), std::nullopt);
        EXPECT_EQ(limiter.admit("quiet", "file aux: malformed packet", "other kind"), "other kind");
        // The same kind in a flooder's scope is that scope's business only.
        limiter.admit("flooder0", "bad clipboard payload", "flooder's");
        advance(1);
        EXPECT_EQ(limiter.admit("quiet", "bad clipboard payload", "later"), "later (1 similar line suppressed)");
    }
}

// Peers that come and go: a gone peer's scope is dropped at once, with what
// it held back, and a peer at the same address later starts afresh.
TEST_F(LineRateLimiterTest, ADroppedScopeIsForgottenAtOnce) {
    LineRateLimiter limiter;
    for (int peer = 0; peer < 1000; ++peer) {
        const std::string scope = "peer" + std::to_string(peer);
        limiter.admit(scope, "k", "x");
        limiter.admit(scope, "k", "held");
        limiter.dropScope(scope);
    }
    EXPECT_EQ(limiter.trackedKeysForTesting(), 0u);
    EXPECT_EQ(limiter.admit("peer1", "k", "fresh"), "fresh");
}

}  // namespace
