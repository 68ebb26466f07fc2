#pragma once
// Folders whose listings are long in bytes yet cheap for the Host to make,
// for tests that need a peer's unread replies to spend its send budget.
//
// A listing's reply costs the Host about as much per entry and per byte of
// the names it reads as per byte it sends. Each name here is as long as a
// name may be, and every byte of it but its number is a control character,
// which the reply escapes in six bytes: an entry takes about 1.5 KiB of the
// reply, where a plain name of the same length takes a sixth of that and
// costs as much to list.

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <string>

namespace listingfolders {

// The reply bytes one entry of makeLongListingFolder takes, give or take
// its number and metadata.
inline constexpr size_t kReplyBytesPerEntry = 1500;

// `count` empty files in `folder` (made if missing).
inline void makeLongListingFolder(const std::filesystem::path& folder, size_t count) {
    std::filesystem::create_directories(folder);
    for (size_t i = 0; i < count; ++i) {
        // The number first: names differ in their first bytes, so sorting
        // them does not read their whole length.
        std::string name = std::to_string(i);
        name.append(250 - name.size(), '\x01');
        std::ofstream(folder / name).flush();
    }
}

}  // namespace listingfolders
