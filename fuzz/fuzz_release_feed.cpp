// Feeds arbitrary bytes to the release-feed decoder and to the version rule.
// The rule must be a strict order: a release is never newer than itself,
// and of two releases at most one is newer than the other.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "VelantrixProfiles/ReleaseFeed/VelantrixReleaseFeed.h"
#include "VelantrixProfiles/ReleaseFeed/VelantrixReleaseFeedService.h"

using Product = VelantrixReleaseFeed::Product;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (auto feed = VelantrixReleaseFeed::decode(std::span<const uint8_t>(data, size))) {
        if (feed->host.displayString().size() != feed->host.version.size() + feed->host.build.size() + 4) std::abort();
    }

    // Four fields separated by NUL bytes: two versions and two builds.
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < size && fields.size() <= 4; ++i) {
        if (data[i] == 0)
            fields.emplace_back();
        else
            fields.back() += static_cast<char>(data[i]);
    }
    fields.resize(4);
    const Product a{fields[0], fields[1]}, b{fields[2], fields[3]};
    const bool aToB = VelantrixReleaseFeedService::isUpdateAvailable(a.version, a.build, b);
    const bool bToA = VelantrixReleaseFeedService::isUpdateAvailable(b.version, b.build, a);
    if (aToB && bToA) std::abort();
    if (VelantrixReleaseFeedService::isUpdateAvailable(a.version, a.build, a)) std::abort();
    return 0;
}
