#pragma once
// One item of a folder listed on the other side of a link, and the JSON the
// listing reply carries: an array of objects with "n" (name), "d" (folder),
// "s" (size, absent means 0) and "t" (seconds since 1970, absent when
// unknown).

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Platform/Runtime/Clock.h"

struct RemoteDirectoryEntry {
    std::string name;
    bool isDirectory = false;
    uint64_t size = 0;  // 0 for folders and when unknown
    std::optional<platform::Date> modificationDate;

    // The reply's data: "[]" for an empty list. Names that are not UTF-8
    // are written with U+FFFD in place of the bad bytes, never refused.
    // Past `maxBytes` the list ends with the last entry that fits; `kept`
    // says how many did.
    static std::vector<uint8_t> encodeListing(const std::vector<RemoteDirectoryEntry>& entries,
                                              size_t maxBytes = SIZE_MAX, size_t* kept = nullptr);
    // All or nothing: malformed JSON, or any entry without a string "n" and
    // a boolean "d", gives an empty list.
    static std::vector<RemoteDirectoryEntry> decodeListing(std::span<const uint8_t> data);

    // A name that would make a row or a joined path leave the listed folder:
    // empty, "." or "..", or holding a "/" or a NUL. The other side's
    // listing is not trusted to leave such names out.
    bool hasUnsafeName() const;
    // The path of the child `name` in the listed folder `folder`, which may be
    // "/" or "~".
    static std::string childPath(const std::string& folder, const std::string& name);

    bool operator==(const RemoteDirectoryEntry&) const = default;
};

template <>
struct std::hash<RemoteDirectoryEntry> {
    size_t operator()(const RemoteDirectoryEntry& e) const noexcept;
};
