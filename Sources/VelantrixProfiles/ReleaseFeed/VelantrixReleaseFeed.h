#pragma once
// The release feed: one small JSON document naming the latest release of
// the Viewer and of the Host,
//
//   {"viewer": {"version": "1.6.0", "build": "42"},
//    "host":   {"version": "1.6.0", "build": "42"}}
//
// All six members are required and must be strings; other members are
// ignored.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

struct VelantrixReleaseFeed {
    // One release: a marketing version of dot-separated numbers and a
    // decimal build number, both as written.
    struct Product {
        std::string version;
        std::string build;
        // "V1.6.0 (42)"
        std::string displayString() const;
        bool operator==(const Product&) const = default;
    };

    Product viewer;
    Product host;

    // Nothing for a body that is not such a document.
    static std::optional<VelantrixReleaseFeed> decode(std::span<const uint8_t> bytes);
    bool operator==(const VelantrixReleaseFeed&) const = default;
};
