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
// the next one let through. Not thread-safe; each owner keeps one on its own
// queue.
class LineRateLimiter {
public:
    static constexpr uint64_t kDefaultIntervalNs = 1'000'000'000;
    // Keys come partly from text a Viewer chooses (names, paths); past this
    // many, a new key shares one overflow key, so neither the table nor the
    // log grows with the number of distinct texts.
    static constexpr size_t kDefaultMaxKeys = 1024;

    explicit LineRateLimiter(uint64_t intervalNs = kDefaultIntervalNs, size_t maxKeys = kDefaultMaxKeys)
        : intervalNs_(intervalNs), maxKeys_(maxKeys) {}

    // The text to write now, with " (N similar lines suppressed)" when some
    // were held back since the last one of that key; nothing when this one
    // is held back.
    std::optional<std::string> admit(const std::string& key, const std::string& text);
    // Keys with lines still counted; the memory held stays in step with it.
    size_t trackedKeysForTesting() const { return keys_.size(); }

private:
    struct Entry {
        uint64_t lastWrittenNs = 0;
        uint64_t suppressed = 0;
    };
    // Forgets keys quiet for a while, so that keys which come and go (one
    // per Viewer session) do not accumulate over a long run.
    void pruneQuietKeys(uint64_t now);

    const uint64_t intervalNs_;
    const size_t maxKeys_;
    std::map<std::string, Entry> keys_;
    uint64_t lastPruneNs_ = 0;
};

}  // namespace platform
