#include "VelantrixProfiles/ReleaseFeed/VelantrixReleaseFeed.h"

#include <string_view>

#include "Platform/Foundation/Json.h"

namespace {

std::optional<VelantrixReleaseFeed::Product> productIn(const platform::Json& feed, const char* name) {
    auto product = feed.find(name);
    if (product == feed.end() || !product->is_object()) return std::nullopt;
    auto version = product->find("version");
    auto build = product->find("build");
    if (version == product->end() || !version->is_string() || build == product->end() || !build->is_string())
        return std::nullopt;
    return VelantrixReleaseFeed::Product{version->get<std::string>(), build->get<std::string>()};
}

}  // namespace

std::string VelantrixReleaseFeed::Product::displayString() const { return "V" + version + " (" + build + ")"; }

std::optional<VelantrixReleaseFeed> VelantrixReleaseFeed::decode(std::span<const uint8_t> bytes) {
    auto json = platform::parseJson(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    if (!json || !json->is_object()) return std::nullopt;
    auto viewer = productIn(*json, "viewer");
    auto host = productIn(*json, "host");
    if (!viewer || !host) return std::nullopt;
    return VelantrixReleaseFeed{std::move(*viewer), std::move(*host)};
}
