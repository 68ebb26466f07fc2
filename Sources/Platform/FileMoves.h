#pragma once
// Moves that never replace what is already at the target. Everything that
// brings received items into a user's folder goes through here, so nothing
// already in the folder changes and a failed move leaves the item where it
// was. Each operation comes in two forms: by path, and by names relative
// to open folder descriptors (the "At" forms, AT_FDCWD standing for the
// working folder), so a caller that opened a folder once never reaches
// through a link put in its place later.

#include <filesystem>
#include <functional>
#include <optional>

#include "Platform/Result.h"

namespace platform {

struct FileMoves {
    // Moves `from` to `to` unless something (a dangling link included) is
    // at `to`. A file system that refuses the no-replace flag gets a hard
    // link and an unlink for a file, and for a folder a new folder (which
    // fails when the name is taken) into which its children move the same
    // way before the emptied source goes; across file systems the item is
    // copied into a temporary name inside the target's folder, flushed,
    // and renamed without replacing, then the source is removed. On
    // failure the temporary is gone and the source stays.
    static Status moveNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);
    static Status moveNoReplaceAt(int fromFolder, const std::filesystem::path& from, int toFolder,
                                  const std::filesystem::path& to);
    // Copies `from` (a file or a whole folder) to `to` unless something is
    // there: into a temporary name beside `to`, flushed, then renamed
    // without replacing. The source stays; on failure nothing is left.
    // Nothing below the copy is reached through a link.
    static Status copyNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);
    static Status copyNoReplaceAt(int fromFolder, const std::filesystem::path& from, int toFolder,
                                  const std::filesystem::path& to);
    // Swaps two existing items in one step.
    static Status exchange(const std::filesystem::path& a, const std::filesystem::path& b);
    static Status exchangeAt(int folder, const std::filesystem::path& a, const std::filesystem::path& b);
    // Puts `incoming` (already in the target's folder) in place of
    // `existing` in one step: a file by a rename over it, a folder (or a
    // file meeting a folder) by an exchange, after which the old item,
    // now under `incoming`'s name, is removed. On failure both stay.
    static Status replace(const std::filesystem::path& incoming, const std::filesystem::path& existing);
    static Status replaceAt(int folder, const std::filesystem::path& incoming, const std::filesystem::path& existing);
    // Removes an item, a folder with everything below it, never following
    // a link; failures are ignored.
    static void removeAt(int folder, const std::filesystem::path& name);
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
    // Makes moveNoReplace of `source` fail before it touches anything (an
    // I/O error); tests only.
    static void setMoveFailureForTesting(std::function<bool(const std::filesystem::path& source)> fails);
    // Makes every no-replace rename fail as a file system that does not
    // know the flag does (EINVAL); tests only.
    static void setNoReplaceRefusedForTesting(bool refused);
};

}  // namespace platform
