#pragma once
// A folder a remote peer named, opened once beneath a trusted top folder
// (the console user's home) one component at a time and never through a
// link, and every create, move, copy and read done relative to that
// descriptor afterwards. A folder swapped for a link after it was opened
// changes nothing: the work lands in the folder that was opened, or fails.
// Everything is done with the process's own rights and umask: a Host
// started for another user has become that user, so the kernel refuses
// what the user could not do.

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Platform/Files/FileHandles.h"
#include "Platform/Files/FileMoves.h"
#include "Platform/Foundation/Result.h"

namespace platform {

class ConfinedFolder : public std::enable_shared_from_this<ConfinedFolder> {
public:
    // The trusted top, opened as its path says (links in it followed: it
    // comes from the system, not from a peer), made first with `create`.
    static Result<std::shared_ptr<ConfinedFolder>> openTop(const std::filesystem::path& path, bool create = false);

    // `relative` beneath this folder: no component may be a link, "..",
    // or absolute. Missing components are made when `create` is set.
    Result<std::shared_ptr<ConfinedFolder>> openBeneath(const std::filesystem::path& relative, bool create) const;

    int fd() const { return handle_.fd(); }
    // The path it was opened by: for messages and for handing on to code
    // that only takes paths. Not used to reach anything here.
    const std::filesystem::path& path() const { return path_; }
    // Its path below the top it was opened beneath; empty for a top.
    const std::filesystem::path& relativePath() const { return relative_; }
    // The top it was opened beneath (itself for a top).
    std::shared_ptr<const ConfinedFolder> top() const;

    // Whether the process may make items here, as the kernel decides it
    // (groups, access lists, an immutable folder and a read-only mount
    // included): by a real attempt, see WriteAttempt.
    Status mayWrite() const;

    // Whether anything (a dangling link included) has the name.
    bool isTaken(const std::string& name) const;
    // Moves `fromName`, one item of the Host's own staging folder as the
    // Host opened it (from its data root down, never through a link), in
    // under `name`, never replacing; refused where mayWrite() fails. The
    // item is reached beneath `staging` alone: staging may lie in the
    // console user's home, where a folder on its way can be swapped for a
    // link. A failed move that left items at the target says how many in
    // `report`.
    Status moveIn(const FolderHandle& staging, const std::string& fromName, const std::string& name,
                  MoveReport* report = nullptr) const;
    // Moves an item of this folder back out to `toName` in the Host's
    // staging folder, opened as for moveIn.
    Status moveOut(const std::string& name, const FolderHandle& staging, const std::string& toName) const;
    // A new, empty file `name` (never replacing, never through a link),
    // with `mode` less the umask; written through the descriptor returned.
    // errno tells a name taken (EEXIST).
    Result<FileHandle> createFile(const std::string& name, mode_t mode) const;
    // Copies an item of `from` in under `name`, never replacing: the copy
    // has no set-ID bit.
    Status copyIn(const ConfinedFolder& from, const std::string& fromName, const std::string& name) const;
    // `incoming` (an item of this folder) in place of `existing`, in one step.
    Status replace(const std::string& incoming, const std::string& existing) const;
    // A new folder; fails when the name is taken, a link included.
    Result<std::shared_ptr<ConfinedFolder>> makeFolder(const std::string& name) const;
    // A file of `bytes` under `name`, written under a temporary name first
    // and never replacing anything.
    Status writeFile(const std::string& name, std::span<const uint8_t> bytes) const;
    // What the item is, the link itself for a link.
    std::optional<FileSystemEntry> entry(const std::string& name) const;
    // The folder's items without those whose name begins with ".", as
    // FileSystemItems::listFolder gives them, read from the descriptor; the
    // first `maxEntries` of them in name order.
    Result<std::vector<FileSystemEntry>> list(size_t maxEntries = SIZE_MAX) const;
    // The first of them in `order` that fit its bytes
    // (FileSystemItems::listFolderAt).
    Result<std::vector<FileSystemEntry>> list(const FileSystemItems::ListingOrder& order, bool* cut) const;
    // Removes an item, a folder with all below it, never through a link;
    // the first failure is reported.
    Status remove(const std::string& name) const;

    // Makes opening beneath a folder go one component at a time, as on a
    // kernel without the call that resolves beneath a folder; tests only.
    static void setResolveBeneathUnavailableForTesting(bool unavailable);

private:
    ConfinedFolder() = default;
    // A folder opened here (`name` below it), knowing its top.
    std::shared_ptr<ConfinedFolder> child(FileHandle handle, const std::filesystem::path& relative) const;

    FileHandle handle_;
    std::filesystem::path path_;
    std::filesystem::path relative_;
    // Null for a top.
    std::shared_ptr<const ConfinedFolder> top_;
};

}  // namespace platform
