#pragma once
// Moves that never replace what is already at the target. Everything that
// brings received items into a user's folder goes through here, so nothing
// already in the folder changes and a failed move leaves the item where it
// was. Each operation comes in two forms: by path, and by names relative
// to open folder descriptors (the "At" forms, AT_FDCWD standing for the
// working folder), so a caller that opened a folder once never reaches
// through a link put in its place later.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "Platform/Foundation/Result.h"

namespace platform {

// What a move that failed left behind, for the caller's receipt.
struct MoveReport {
    // Items of the moved tree still also at the target because undoing a
    // failed move could not remove them; the source is whole all the same.
    size_t leftAtTarget = 0;
};

struct FileMoves {
    // Moves `from` to `to` unless something (a dangling link included) is
    // at `to`. A file system that refuses the no-replace flag gets a hard
    // link for a file, and for a folder a new private folder (which fails
    // when the name is taken), into which every item below is hard-linked
    // (folders made anew the same way) before
    // each new folder gets the source's mode, last; only then does the
    // source go, and a source that cannot be removed then is logged, not a
    // failure. A failure before that removes what was made and leaves the
    // source whole; what could not be removed is counted in `report`.
    // Across file systems the item is copied as copyNoReplace does, then
    // the source is removed.
    static Status moveNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);
    static Status moveNoReplaceAt(int fromFolder, const std::filesystem::path& from, int toFolder,
                                  const std::filesystem::path& to, MoveReport* report = nullptr);
    // Copies `from` (a file or a whole folder) to `to` unless something is
    // there. A file is written unnamed in the target's folder and linked
    // in under `to` once whole, flushed and given its mode; a folder is
    // copied under a temporary name in a private (0700) folder, each item
    // getting its mode there, folders their mode last, then renamed
    // without replacing. No copy carries a set-user-ID or set-group-ID
    // bit. The source stays; on failure nothing is left. Nothing below
    // the copy is reached through a link.
    static Status copyNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);
    // What a copy holds open at once, on the account of the peer whose work
    // is current: the folder copied into, a tree's new top and the folder
    // below it last placed into, and a file's source and its copy; a
    // folder's copy walks its tree besides (TreeWalk::kDescriptors).
    static constexpr size_t kCopyDescriptors = 5;
    static Status copyNoReplaceAt(int fromFolder, const std::filesystem::path& from, int toFolder,
                                  const std::filesystem::path& to);
    // A new file `name` in `folder` holding `bytes`, never replacing: made
    // unnamed (or under a temporary name where the file system cannot),
    // flushed, given `mode` on its descriptor, then named.
    static Status writeNewFileAt(int folder, const std::string& name, std::span<const uint8_t> bytes, mode_t mode);
    // Swaps two existing items in one step.
    static Status exchange(const std::filesystem::path& a, const std::filesystem::path& b);
    static Status exchangeAt(int folder, const std::filesystem::path& a, const std::filesystem::path& b);
    // Puts `incoming` (already in the target's folder) in place of
    // `existing` in one step: a file by a rename over it, a folder (or a
    // file meeting a folder) by an exchange, after which the old item,
    // now under `incoming`'s name, is removed. On failure both stay.
    static Status replace(const std::filesystem::path& incoming, const std::filesystem::path& existing);
    static Status replaceAt(int folder, const std::filesystem::path& incoming, const std::filesystem::path& existing);
    // Removes an item, a folder with everything below it at any depth,
    // never following a link, with the few descriptors of TreeWalk::remove.
    // Removes what it can and reports the first failure.
    static Status removeAt(int folder, const std::filesystem::path& name);
    // A free name for an item on its way into `folder`, hidden and unique.
    static std::filesystem::path temporaryName(const std::filesystem::path& folder);
    // Whether anything is at the path, links not followed.
    static bool isTaken(const std::filesystem::path& path);
    static bool isTakenAt(int folder, const std::filesystem::path& name);
    // What a name can be used for: only "not found" makes it free; any
    // other failure of the check (a name too long, a folder that cannot be
    // searched) makes it unusable, which no other number in it would mend.
    enum class NameUse { free, taken, unusable };
    static NameUse nameUse(const std::filesystem::path& path);
    static NameUse nameUseAt(int folder, const std::filesystem::path& name);
    // `name` with `suffix` put before its extension ("a.txt", " 1": "a 1.txt"),
    // cut to `maxBytes` at the end of its stem, between whole UTF-8
    // characters, so a variant of the longest name still fits. The
    // extension is kept unless it is too long to be one; then the whole is
    // cut.
    static std::string fittedName(const std::string& name, const std::string& suffix, size_t maxBytes);
    // The longest name the folder's file system takes, at most 255 bytes.
    static size_t maxNameBytesAt(int folder);
    static constexpr size_t defaultMaxNameBytes = 255;
    // Loops that look for a free variant of a name stop after this many.
    static constexpr int maxNameVariants = 1000;
    // `first` if free, else the first free one of next(first, 1),
    // next(that, 2), ... up to maxNameVariants of them. None when they are
    // all taken, or at the first name that cannot be used at all (a name the
    // file system refuses is not searched further).
    static std::optional<std::filesystem::path> freeVariant(
        const std::filesystem::path& first,
        const std::function<std::filesystem::path(const std::filesystem::path& previous, int n)>& next);
    static std::optional<std::filesystem::path> freeVariantAt(
        int folder, const std::filesystem::path& first,
        const std::function<std::filesystem::path(const std::filesystem::path& previous, int n)>& next);

    // Makes the copy step fail after copying `path`'s bytes (a full disk
    // midway); tests only.
    static void setCopyFailureForTesting(std::function<bool(const std::filesystem::path& source)> fails);
    // Makes moveNoReplace of `source` (as the move was given it: a name,
    // for a move beneath a folder) fail before it touches anything (an
    // I/O error); tests only.
    static void setMoveFailureForTesting(std::function<bool(const std::filesystem::path& source)> fails);
    // Makes moveNoReplace of `source` (as the move was given it) find its
    // target on another file system (EXDEV), so that it copies the item
    // and removes the source; tests only.
    static void setAcrossFileSystemsForTesting(std::function<bool(const std::filesystem::path& source)> across);
    // Makes every no-replace rename fail as a file system that does not
    // know the flag does (EINVAL); tests only.
    static void setNoReplaceRefusedForTesting(bool refused);
    // Runs `step` as an item the Host made is about to get its mode:
    // whatever the target shows then
    // is what a user watching it could see at that moment; tests only.
    static void setSettleStepForTesting(std::function<void()> step);
    // The steps of a move where the no-replace flag is refused that tests
    // can make fail, by the item's path below the moved one ("" for it).
    enum class FallbackStep {
        // Bringing an item to the target (a folder made, a file linked).
        place,
        // A folder of the move, or of a copy's tree, just made: empty and
        // private, not yet given its mode.
        folderMade,
        // Taking a placed item away again after a failure.
        undo,
        // Removing the source once everything is in place.
        removeSource,
    };
    static void setFallbackFailureForTesting(
        std::function<bool(FallbackStep step, const std::string& relative)> fails);
};

}  // namespace platform
