#pragma once
// What a file manager offers for browsing this device's folders: one level
// of a folder listed with its items' kind, size and date, a readability
// test, the lexical normal form of a path, and security-scoped bookmarks.
//
// Bookmarks have no Linux counterpart and are simulated: a bookmark is a
// small binary property list naming the folder's standardised path, device
// and inode, so resolving it tells a folder replaced in the meantime
// (stale) from the one granted. Opened scopes are recorded by the simulated
// machine so that tests see each one stopped. Main thread only.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Platform/Runtime/Clock.h"
#include "Platform/Foundation/Result.h"

namespace platform {

// "." and ".." removed and no trailing "/", lexically: symbolic links are
// not resolved. "/" stays "/".
std::string standardizedPath(const std::string& path);
// The last component of a standardised path ("/" for the root).
std::string lastPathComponent(const std::string& path);

struct DirectoryItem {
    std::string name;
    std::string path;
    // False when the item's attributes could not be read.
    bool hasResourceValues = false;
    bool isDirectory = false;
    uint64_t size = 0;
    std::optional<Date> modificationDate;
};

struct FileSystemAccess {
    // The items of one folder, dot-files skipped, in the order the system
    // gives them. Fails when the path is missing, is no folder, cannot be
    // opened, or a test made it fail.
    static Result<std::vector<DirectoryItem>> listDirectory(const std::string& path);
    static bool isDirectory(const std::string& path);
    static bool isReadable(const std::string& path);

    // Option values as the bookmark calls take them.
    static constexpr uint64_t kBookmarkCreationWithSecurityScope = 2048;
    static constexpr uint64_t kBookmarkResolutionWithSecurityScope = 1024;
    struct ResolvedBookmark {
        std::string path;
        bool isStale = false;
    };
    // Fails for a path that is not an existing folder.
    static Result<std::vector<uint8_t>> bookmarkData(const std::string& path, uint64_t options);
    // Fails when the bytes do not decode or the folder is gone.
    static Result<ResolvedBookmark> resolveBookmarkData(const std::vector<uint8_t>& data, uint64_t options);
    // True when the folder exists and is readable, unless a test set the
    // answer for that path. A true answer opens a scope.
    static bool startAccessingSecurityScopedResource(const std::string& path);
    static void stopAccessingSecurityScopedResource(const std::string& path);

    static void setListingFailureForTesting(const std::string& path, bool fails);
    static void setScopeAnswerForTesting(const std::string& path, std::optional<bool> answer);
};

// The simulated machine's record of security scopes.
struct SimulatedSecurityScopes {
    // Opens minus stops, per path; a path leaves the map at zero.
    std::map<std::string, int> open;
    // Every stop, in order.
    std::vector<std::string> stopped;
    std::map<std::string, bool> answers;
    std::set<std::string> failingListings;
};

}  // namespace platform
