#include "Platform/Runtime/Log.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <utility>

#include "Platform/Runtime/Clock.h"

namespace platform {

namespace {
std::mutex sinkLock;
Log::Sink& sink() {
    static Log::Sink s;
    return s;
}

void emit(const std::string& full) {
    std::lock_guard<std::mutex> g(sinkLock);
    if (sink()) {
        sink()(full);
        return;
    }
    std::string out = full;
    out.push_back('\n');
    std::fwrite(out.data(), 1, out.size(), stderr);
}
}  // namespace

std::string Log::timestamp() {
    // Whole milliseconds are counted before splitting: a date such as
    // 09:00:00.001 is held as a double a hair below its millisecond, and
    // taking the fraction of the second would print it as .000. The 1 us
    // allowance absorbs that error without rounding a real time up.
    const double totalMillis = std::floor(Clock::now().secondsSince1970 * 1000.0 + 0.001);
    const auto whole = static_cast<long long>(totalMillis);
    time_t secs = static_cast<time_t>(whole / 1000);
    int millis = static_cast<int>(whole % 1000);
    if (millis < 0) {
        millis += 1000;
        secs -= 1;
    }
    tm local{};
    localtime_r(&secs, &local);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec, millis);
    return buf;
}

void Log::line(const std::string& text) { emit("[NorvessalHost " + timestamp() + "] " + text); }

void Log::raw(const std::string& text) { emit(text); }

std::optional<std::string> LineRateLimiter::admit(const std::string& key, const std::string& text) {
    return admit(std::string(), key, text);
}

std::optional<std::string> LineRateLimiter::admit(const std::string& scopeName, const std::string& key,
                                                  const std::string& text) {
    const uint64_t now = Clock::uptimeNs();
    pruneQuietKeys(now);
    Scope& scope = scopes_[scopeName];
    Entry* entry = nullptr;
    bool fresh = false;
    if (auto it = scope.keys.find(key); it != scope.keys.end()) {
        entry = &it->second;
    } else if (scope.keys.size() < maxKeysPerScope_) {
        entry = &scope.keys.emplace(key, Entry{}).first->second;
        fresh = true;
    } else {
        // One overflow entry per scope: a scope past its cap shares a line
        // a second among its new keys, and never takes another scope's.
        fresh = !scope.overflow;
        if (fresh) scope.overflow = Entry{};
        entry = &*scope.overflow;
    }
    if (!fresh && now - entry->lastWrittenNs < intervalNs_) {
        ++entry->suppressed;
        return std::nullopt;
    }
    entry->lastWrittenNs = now;
    if (entry->suppressed == 0) return text;
    const uint64_t held = std::exchange(entry->suppressed, 0);
    return text + " (" + std::to_string(held) + " similar line" + (held == 1 ? "" : "s") + " suppressed)";
}

void LineRateLimiter::dropScope(const std::string& scope) { scopes_.erase(scope); }

size_t LineRateLimiter::trackedKeysForTesting() const {
    size_t count = 0;
    for (const auto& [name, scope] : scopes_) count += scope.keys.size() + (scope.overflow ? 1 : 0);
    return count;
}

void LineRateLimiter::pruneQuietKeys(uint64_t now) {
    // A key quiet for many intervals is forgotten; its held-back count was
    // already older than anything a reader would tie it to.
    const uint64_t quietNs = intervalNs_ * 60;
    if (now - lastPruneNs_ < quietNs) return;
    lastPruneNs_ = now;
    auto quiet = [&](const Entry& entry) { return now - entry.lastWrittenNs >= quietNs; };
    for (auto scope = scopes_.begin(); scope != scopes_.end();) {
        std::erase_if(scope->second.keys, [&](const auto& item) { return quiet(item.second); });
        if (scope->second.overflow && quiet(*scope->second.overflow)) scope->second.overflow.reset();
        if (scope->second.keys.empty() && !scope->second.overflow) {
            scope = scopes_.erase(scope);
        } else {
            ++scope;
        }
    }
}

void Log::setSinkForTesting(Sink s) {
    std::lock_guard<std::mutex> g(sinkLock);
    sink() = std::move(s);
}

}  // namespace platform
