#include "HostApp/Shell/HostLaunchAtLogin.h"

#include <cstdint>
#include <mutex>
#include <optional>

#include "HostApp/Shell/HostVersionStrings.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/SimulatedMac/ServiceManagement.h"
#include "Platform/Foundation/UserDefaults.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using platform::AppService;
using platform::AppServiceStatus;
using platform::UserDefaults;

namespace {

constexpr const char* kDesiredKey = "host.launchAtLogin.desired";
constexpr const char* kConfiguredKey = "host.launchAtLogin.configured";
constexpr const char* kLastBuildKey = "host.launchAtLogin.lastBuild";
constexpr double kStatusCacheSeconds = 5.0;
constexpr platform::Date kDistantPast{-1e12};

// Guards the cache only. Nothing is called while it is held: the platform's
// change notification may come synchronously from inside a status read or
// an update, on the same thread, and takes this lock itself.
std::mutex statusLock;
std::optional<AppServiceStatus> cachedStatus;
platform::Date cachedStatusTimestamp = kDistantPast;
// Raised by every invalidation, so a read that was under way meanwhile does
// not store what it read before the change.
uint64_t cacheGeneration = 0;

void invalidateCache() {
    std::lock_guard<std::mutex> g(statusLock);
    cachedStatus.reset();
    cachedStatusTimestamp = kDistantPast;
    cacheGeneration++;
}

// Observes the login item's status for the life of the process, and drops
// the cache on every change.
struct StatusObserver {
    static void ensureShared() {
        static StatusObserver shared;
        (void)shared;
    }
    StatusObserver() {
        observation = AppService::mainApp().addStatusObserver([](AppServiceStatus) { invalidateCache(); });
    }
    uint64_t observation = 0;
};

AppServiceStatus cachedStatusValue() {
    StatusObserver::ensureShared();
    uint64_t generation;
    {
        std::lock_guard<std::mutex> g(statusLock);
        const double age = platform::Clock::now().timeIntervalSince(cachedStatusTimestamp);
        // A clock set back makes the entry's age negative: read afresh.
        if (cachedStatus && age >= 0 && age < kStatusCacheSeconds) return *cachedStatus;
        generation = cacheGeneration;
    }
    const AppServiceStatus status = AppService::mainApp().status();
    std::lock_guard<std::mutex> g(statusLock);
    if (generation == cacheGeneration) {
        cachedStatus = status;
        cachedStatusTimestamp = platform::Clock::now();
    }
    return status;
}

}  // namespace

namespace HostLaunchAtLogin {

std::string statusText() {
    switch (cachedStatusValue()) {
        case AppServiceStatus::notRegistered:
            return VelantrixL10n::text("host.startAtLoginDisabledStatus", "Start at login is disabled");
        case AppServiceStatus::enabled:
            return VelantrixL10n::text("host.startAtLoginEnabledStatus", "Start at login is enabled");
        case AppServiceStatus::requiresApproval:
            return VelantrixL10n::text("host.startAtLoginApprovalStatus",
                                       "Start at login is waiting for approval in System Settings");
        case AppServiceStatus::notFound:
            return VelantrixL10n::text("host.startAtLoginApplicationsStatus",
                                       "Start at login requires the app to stay in Applications");
    }
    return VelantrixL10n::text("host.startAtLoginUnavailableStatus", "Start at login status is unavailable");
}

std::string setEnabled(bool enabled) {
    // Stored first, so that the wish survives a failure.
    UserDefaults::standard().set(kDesiredKey, platform::PlistValue(enabled));
    auto& service = AppService::mainApp();
    platform::Status result = platform::success();
    if (!enabled) {
        result = service.unregisterService();
    } else if (service.status() != AppServiceStatus::enabled) {
        result = service.registerService();
    }
    if (!result)
        return VelantrixL10n::format("host.startAtLoginFailedFormat", "Start at login update failed: %@",
                                     result.error());
    invalidateCache();
    return enabled ? VelantrixL10n::text("host.startAtLoginEnabledShort", "Start at login enabled")
                   : VelantrixL10n::text("host.startAtLoginDisabledShort", "Start at login disabled");
}

void configureDefaultIfNeeded(std::function<void(const std::string&)> completion) {
    platform::DispatchQueue::global(platform::QualityOfService::utility).async([completion = std::move(completion)] {
        auto& defaults = UserDefaults::standard();
        const std::string build = hostBundleVersionString();
        const auto last = defaults.objectForKey(kLastBuildKey);
        const bool sameBuild = last && last->asString() == build;
        std::string text;
        if (!defaults.boolForKey(kConfiguredKey)) {
            defaults.set(kConfiguredKey, platform::PlistValue(true));
            defaults.set(kDesiredKey, platform::PlistValue(true));
            defaults.set(kLastBuildKey, platform::PlistValue(build));
            text = setEnabled(true);
        } else if (!sameBuild) {
            // Every new build turns start at login on again.
            defaults.set(kLastBuildKey, platform::PlistValue(build));
            defaults.set(kDesiredKey, platform::PlistValue(true));
            text = setEnabled(true);
        } else {
            defaults.set(kLastBuildKey, platform::PlistValue(build));
            if (defaults.boolForKey(kDesiredKey) && cachedStatusValue() != AppServiceStatus::enabled) {
                text = setEnabled(true);
            } else {
                text = statusText();
            }
        }
        platform::DispatchQueue::main().async([completion, text] {
            if (completion) completion(text);
        });
    });
}

void resetCacheForTesting() { invalidateCache(); }

}  // namespace HostLaunchAtLogin
