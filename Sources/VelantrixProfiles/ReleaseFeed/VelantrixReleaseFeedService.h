#pragma once
// The client side of the release feed: one fetch of the latest feed, the
// rule that decides whether a release is newer than the running one, and
// the version of the Host installed on this machine. Nothing is kept,
// cached, logged or retried here; what a failure means is the caller's
// business.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "VelantrixProfiles/ReleaseFeed/VelantrixReleaseFeed.h"

class VelantrixReleaseFeedService {
public:
    VelantrixReleaseFeedService() = delete;

    // How long one fetch may take as a whole, and the largest feed read.
    static constexpr double kFetchTimeoutSeconds = 6;
    static constexpr size_t kMaxFeedBytes = 64 * 1024;

    using FetchCompletion = std::function<void(std::optional<VelantrixReleaseFeed>)>;
    // Fetches the feed once, on a queue of its own, and calls `completion`
    // once on the main queue with the feed, or nothing when the address is
    // invalid, the request fails or times out, the final status is outside
    // 200...299 or the body is not a feed.
    static void fetchLatestFeed(FetchCompletion completion);
    // Shortens the fetch deadline; nullopt restores it.
    static void setFetchTimeoutForTesting(std::optional<double> seconds);

    // True when `latest` is newer than the running pair: a newer version, or
    // the same version with a larger build. False whenever either side's
    // version or build is malformed, so nothing is offered then.
    static bool isUpdateAvailable(std::string_view currentVersion, std::string_view currentBuild,
                                  const VelantrixReleaseFeed::Product& latest);

    // Version and build of the first installed Host application found: the
    // machine-wide one first, then the user's own; nothing when neither has
    // a short version string.
    static std::optional<VelantrixReleaseFeed::Product> installedHostVersion();

private:
    // The numbers of a dot-separated version of ASCII digits, each within 64
    // bits; nothing for anything else (an empty piece, a sign, a suffix).
    static std::optional<std::vector<int64_t>> versionComponents(std::string_view version);
    // A positive decimal build number within 64 bits.
    static std::optional<int64_t> buildNumber(std::string_view build);
    // -1, 0 or 1; missing trailing components count as 0.
    static int compareVersionComponents(const std::vector<int64_t>& left, const std::vector<int64_t>& right);
    static std::vector<std::filesystem::path> installedHostApplicationCandidates();
};
