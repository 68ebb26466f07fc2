#pragma once
// The folder grants of the File Transfer window, kept across launches in
// the standard user defaults as a JSON array of {"data": Base64 bookmark,
// "displayName": optional text}, in the order granted. Nothing removes a
// grant.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct FileTransferBookmarks {
    static constexpr const char* kDefaultsKey = "velantrix.filesync.localBookmarks";

    struct Entry {
        std::vector<uint8_t> data;
        std::optional<std::string> displayName;
        bool operator==(const Entry&) const = default;
    };

    // The entries that decode; a bad one is skipped (and logged), never
    // taking the others with it.
    static std::vector<Entry> load();
    // Appends a grant unless one holds the same bytes. Every stored element
    // is kept as it was, undecodable ones included; only a stored value
    // that is not a JSON array is replaced.
    static void save(const std::vector<uint8_t>& data, const std::optional<std::string>& displayName);
};
