#pragma once
// The Host's own files (settings, identity key, lock, caches, login item)
// when they lie in a home that is not the process's: a Host run as root
// for the console user keeps them in that user's home, whose folders the
// user may swap for links at any moment. With that home and its user set
// here, every folder the Host reaches below it for a file of its own is
// opened from the home down, one component at a time and never through a
// link, and what the Host makes there is the user's: a link the user
// planted makes a write fail, never land elsewhere. With none set (the
// Host runs as the console user itself) paths are used as they stand.
//
// FileIO, InstanceLock, FolderHandle::open and Folders::ensure reach their
// folders through here, so their callers need not know whose home it is.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

#include "Platform/Files/FileHandles.h"
#include "Platform/Files/FileMoves.h"
#include "Platform/Foundation/Result.h"

namespace platform {

struct HomeFiles {
    // A home and the user it belongs to.
    struct Owner {
        std::filesystem::path home;
        FileOwner user;
    };
    static void setOwner(std::optional<Owner> owner);
    static std::optional<Owner> owner();

    // A folder opened for an item in it, and the item's name.
    struct Place {
        FileHandle folder;
        std::string name;
        // Who gets what is made in the folder: the home's user below the
        // home, none (the process) elsewhere. Set, links are not followed.
        std::optional<FileOwner> owner;
    };
    // The folder holding `path`, opened; with `create`, missing folders on
    // the way are made (the user's below the home). The descriptor may
    // only serve as a base for the *at calls. On failure errno tells why.
    static Result<Place> placeOf(const std::filesystem::path& path, bool create);
    // The folder itself, opened for reading (so it can be listed).
    static Result<FileHandle> openFolder(const std::filesystem::path& folder, bool create);
    // Whether a home is set and holds `path`.
    static bool holds(const std::filesystem::path& path);
    // The top to open a Host-private folder from: the home when it holds
    // `folder`, else `otherwise`.
    static std::filesystem::path topFor(const std::filesystem::path& folder, const std::filesystem::path& otherwise);
};

}  // namespace platform
