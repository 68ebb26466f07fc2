#pragma once
// Reader of localisation tables ("Localizable.strings"): UTF-8 text of
// `"key" = "value";` entries with /* */ and // comments and the escapes
// \" \\ \n \t and \uXXXX. A table that breaks these rules is not used at all:
// half a table would show a mix of languages and hide the mistake.

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

struct StringsTable {
    using Entries = std::map<std::string, std::string, std::less<>>;
    // Tables larger than this are refused unread.
    static constexpr size_t maxBytes = 1024 * 1024;

    // The entries, or nothing when the text is malformed; `error` then says
    // where and why.
    static std::optional<Entries> parse(std::string_view text, std::string* error = nullptr);
};

}  // namespace platform
