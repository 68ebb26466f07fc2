#pragma once
// Removes what batches left in staging, beneath descriptors only: a link
// put in place of a peer's folder, or of a batch's, must not have the
// Host remove what the link leads to.

#include <cstddef>
#include <filesystem>
#include <vector>

#include "Platform/Files/FileHandles.h"
#include "Platform/Foundation/Result.h"

struct FileTransferStagedItems {
    // The folder every peer's staging root lies in.
    static std::filesystem::path inboxRoot();
    // `folder` (the inbox root or a folder below it) opened from the caches
    // folder (as its path says: the user's own) down one component at a
    // time, never through a link. Fails for a folder outside the inbox
    // root. With `create`, missing folders are made. Nothing here checks
    // whether the process may write them: prepare did, once. The folder it
    // returns is the caller's to have on its peer's account beforehand; the
    // one more it holds on the way down it takes from the current peer's
    // account itself, and fails past its bound.
    static platform::Result<platform::FolderHandle> open(const std::filesystem::path& folder, bool create = false);
    // Once, at start: opens `folder` as open does with `create`, and tries
    // each folder of staging by a real attempt (see WriteAttempt). One the
    // process lacks the right to write (left by a Host that ran as root) is
    // set aside under a name of its own, logged, and made anew: what it
    // holds stays there. One that cannot be set aside, or made, is named in
    // one line saying why, and the failure returned.
    static platform::Result<platform::FolderHandle> prepare(const std::filesystem::path& folder);
    // Removes each staged item (a folder with all below it) beneath its
    // folder opened as `open` does; an item already gone is no failure.
    // An item outside the inbox, or whose way leads through a link, is
    // left where it is and logged (at most once a second: a Viewer's
    // batches can cause it). Blocks on the disk: never on the main or the
    // server queue. Returns how many were left.
    static size_t remove(const std::vector<std::filesystem::path>& items);
    // The batch folder holding `items`, once empty, the same way.
    static void removeBatchFolderOf(const std::vector<std::filesystem::path>& items);
};
