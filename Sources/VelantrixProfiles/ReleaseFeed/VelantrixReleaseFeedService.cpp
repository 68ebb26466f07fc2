#include "VelantrixProfiles/ReleaseFeed/VelantrixReleaseFeedService.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <string>

#include "Platform/Foundation/Bundle.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Files/Folders.h"
#include "Platform/Network/HttpClient.h"
#include "Platform/Foundation/UnicodeText.h"
#include "VelantrixProfiles/ReleaseFeed/VelantrixReleaseChannels.h"

namespace {

std::atomic<double> fetchTimeoutSeconds{VelantrixReleaseFeedService::kFetchTimeoutSeconds};

// Digits 0-9 only: other scripts' digits and number signs are not part of a
// version, and would not convert anyway.
std::optional<int64_t> asciiNumber(std::string_view text) {
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<VelantrixReleaseFeed> feedFrom(const platform::Result<platform::HttpResponse>& response) {
    if (!response || response->statusCode < 200 || response->statusCode > 299) return std::nullopt;
    return VelantrixReleaseFeed::decode(response->body);
}

}  // namespace

void VelantrixReleaseFeedService::fetchLatestFeed(FetchCompletion completion) {
    auto finish = [completion = std::move(completion)](std::optional<VelantrixReleaseFeed> feed) {
        platform::DispatchQueue::main().async([completion, feed = std::move(feed)] { completion(feed); });
    };
    const auto url = VelantrixReleaseChannels::latestReleaseFeedURL();
    if (!url) return finish(std::nullopt);
    // A queue of its own: the request blocks for up to the deadline, and
    // no caller's queue may stall that long. It goes once the work is done.
    const double timeout = fetchTimeoutSeconds.load();
    platform::DispatchQueue("velantrix.releasefeed.fetch").async([url = *url, timeout, finish] {
        finish(feedFrom(platform::HttpClient::get(url, timeout, kMaxFeedBytes)));
    });
}

void VelantrixReleaseFeedService::setFetchTimeoutForTesting(std::optional<double> seconds) {
    fetchTimeoutSeconds.store(seconds.value_or(kFetchTimeoutSeconds));
}

std::optional<std::vector<int64_t>> VelantrixReleaseFeedService::versionComponents(std::string_view version) {
    version = platform::UnicodeText::trimmingWhitespace(version);
    std::vector<int64_t> components;
    for (size_t start = 0;;) {
        const size_t dot = version.find('.', start);
        // A piece that does not convert makes the whole version malformed:
        // dropping it would shift the later pieces into its place.
        auto number = asciiNumber(version.substr(start, dot == std::string_view::npos ? dot : dot - start));
        if (!number) return std::nullopt;
        components.push_back(*number);
        if (dot == std::string_view::npos) return components;
        start = dot + 1;
    }
}

std::optional<int64_t> VelantrixReleaseFeedService::buildNumber(std::string_view build) {
    auto number = asciiNumber(platform::UnicodeText::trimmingWhitespace(build));
    if (!number || *number <= 0) return std::nullopt;
    return number;
}

int VelantrixReleaseFeedService::compareVersionComponents(const std::vector<int64_t>& left,
                                                          const std::vector<int64_t>& right) {
    for (size_t i = 0; i < std::max(left.size(), right.size()); ++i) {
        const int64_t l = i < left.size() ? left[i] : 0;
        const int64_t r = i < right.size() ? right[i] : 0;
        if (l != r) return l < r ? -1 : 1;
    }
    return 0;
}

bool VelantrixReleaseFeedService::isUpdateAvailable(std::string_view currentVersion, std::string_view currentBuild,
                                                    const VelantrixReleaseFeed::Product& latest) {
    const auto current = versionComponents(currentVersion);
    const auto newest = versionComponents(latest.version);
    const auto build = buildNumber(currentBuild);
    const auto newestBuild = buildNumber(latest.build);
    if (!current || !newest || !build || !newestBuild) return false;
    switch (compareVersionComponents(*current, *newest)) {
        case -1: return true;
        case 1: return false;
        default: return *build < *newestBuild;
    }
}

std::vector<std::filesystem::path> VelantrixReleaseFeedService::installedHostApplicationCandidates() {
    return {platform::Folders::machineApplications() / "NorvessalHost.app",
            platform::Folders::home() / "Applications" / "NorvessalHost.app"};
}

std::optional<VelantrixReleaseFeed::Product> VelantrixReleaseFeedService::installedHostVersion() {
    for (const auto& candidate : installedHostApplicationCandidates()) {
        auto bundle = platform::Bundle::open(candidate);
        if (!bundle) continue;
        auto version = bundle->infoString("CFBundleShortVersionString");
        if (!version || version->empty()) continue;
        auto build = bundle->infoString("CFBundleVersion");
        return VelantrixReleaseFeed::Product{*version, build && !build->empty() ? *build : *version};
    }
    return std::nullopt;
}
