#pragma once
// The one logging helper. Timestamped lines read
// "[NorvessalHost HH:MM:SS.mmm] text" (local time); tagged lines are written
// as given ("[opus-encoder] ..."). Both go to standard error, or to a sink
// that tests install to capture them.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct Log {
    // "HH:MM:SS.mmm" of the runtime's wall clock, local time.
    static std::string timestamp();
    // Writes "[NorvessalHost <timestamp>] text".
    static void line(const std::string& text);
    // Writes a bare line exactly as given (the caller includes its tag).
    static void raw(const std::string& text);

    using Sink = std::function<void(const std::string& line)>;
    // Installs a sink that receives every full line instead of stderr; an
    // empty sink restores stderr. Tests use LogCapture (Tests/Support).
    static void setSinkForTesting(Sink sink);
};

// Keeps lines that someone outside the Host can provoke from growing the
// log with that someone's packet rate: a line of one key is let through at
// most once per interval, and the lines held back meanwhile are counted into
// the next one let through. Keys live in scopes (one per Viewer peer), each
// with its own keys and its own overflow, so what one scope provokes never
// holds back another's lines; a scope is dropped when its owner goes. Not
// thread-safe; each owner keeps one on its own queue or behind its own lock.
class LineRateLimiter {
public:
    static constexpr uint64_t kDefaultIntervalNs = 1'000'000'000;
    // Past this many keys in one scope a new key shares its scope's
    // overflow key, so neither the table nor the log grows with the number
    // of distinct kinds a scope causes.
    static constexpr size_t kDefaultMaxKeysPerScope = 64;

    explicit LineRateLimiter(uint64_t intervalNs = kDefaultIntervalNs,
                             size_t maxKeysPerScope = kDefaultMaxKeysPerScope)
        : intervalNs_(intervalNs), maxKeysPerScope_(maxKeysPerScope) {}

    // The text to write now, with " (N similar lines suppressed)" when some
    // were held back since the last one of that key; nothing when this one
    // is held back. The scope-less form puts the key in the common scope.
    std::optional<std::string> admit(const std::string& key, const std::string& text);
    std::optional<std::string> admit(const std::string& scope, const std::string& key, const std::string& text);
    // The scope's owner is gone: its keys are forgotten now, not a minute
    // later, so the table holds only the scopes of owners still here.
    void dropScope(const std::string& scope);
    // Keys with lines still counted, overflow keys included; the memory held
    // stays in step with it.
    size_t trackedKeysForTesting() const;

private:
    struct Entry {
        uint64_t lastWrittenNs = 0;
        uint64_t suppressed = 0;
    };
    struct Scope {
        std::map<std::string, Entry> keys;
        // Shared by the scope's keys past its cap.
        std::optional<Entry> overflow;
    };
    // Forgets keys quiet for a while, so that scopes which come and go
    // without being dropped do not accumulate over a long run.
    void pruneQuietKeys(uint64_t now);

    const uint64_t intervalNs_;
    const size_t maxKeysPerScope_;
    // The empty scope is the common one.
    std::map<std::string, Scope> scopes_;
    uint64_t lastPruneNs_ = 0;
};

}  // namespace platform
