#pragma once
// The well-known folders the Host reads and writes, mapped to their Linux
// (XDG) places. One override root redirects every folder below it, so a
// test or a second Host instance never touches the real home folder:
//
//   home                       R/home
//   caches                     R/home/.cache
//   movies                     R/home/Videos
//   applicationSupport         R/home/.local/share/NorvessalHost
//   machineApplicationSupport  R/machine/NorvessalHost
//   machineLaunchDaemons       R/machine/LaunchDaemons
//   machineApplications        R/machine/Applications
//   preferences                R/home/.config/NorvessalHost
//   autostart                  R/home/.config/autostart
//   desktop                    R/home/Desktop     (or its user-dirs entry)
//   downloads                  R/home/Downloads   (or its user-dirs entry)
//
// The root is the one set by setOverrideRoot(), else the environment
// variable "NORVESSAL_DATA_ROOT" when it is set and not empty.
//
// The getters only compute paths; they never create anything. A writer
// creates what it needs: FileIO::writeAtomically creates the parent folder
// of the file it writes, and ensure() creates a folder explicitly.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

#include "Platform/Foundation/Result.h"

namespace platform {

struct Folders {
    static std::filesystem::path home();
    static std::filesystem::path caches();
    static std::filesystem::path movies();
    // The Host's own application-support folder (…/NorvessalHost).
    static std::filesystem::path applicationSupport();
    // Stands for the machine-wide "/Library/Application Support/NorvessalHost".
    static std::filesystem::path machineApplicationSupport();
    // Stands for "/Library/LaunchDaemons", where machine-wide services are
    // registered ("/etc/norvessal-host/LaunchDaemons" here).
    static std::filesystem::path machineLaunchDaemons();
    // Stands for "/Applications", where applications are installed for every
    // user ("/opt" here).
    static std::filesystem::path machineApplications();
    // Where user-defaults suites live, one "<suite>.plist" each.
    static std::filesystem::path preferences();
    // The user's XDG autostart folder: desktop entries started at login.
    static std::filesystem::path autostart();
    // The user's Desktop and Downloads folders: the entries of the home's
    // XDG user-dirs file when set, else ~/Desktop and ~/Downloads.
    static std::filesystem::path desktop();
    static std::filesystem::path downloads();

    // A leading "~" (alone or before "/") becomes home(); "~user" becomes
    // that user's home folder. Anything else, and an unknown user, stays.
    static std::string expandingTildeInPath(const std::string& path);

    // Whether `item` is `folder` or lies below it, element by element after
    // lexical normalisation ("/home/ann" does not contain "/home/anna"). Links
    // are not resolved: callers compare paths they have resolved.
    static bool contains(const std::filesystem::path& folder, const std::filesystem::path& item);

    // Creates the folder (and its parents) when missing; returns it.
    static std::filesystem::path ensure(const std::filesystem::path& folder);

    static void setOverrideRoot(std::optional<std::filesystem::path> root);
    static std::optional<std::filesystem::path> overrideRoot();
};

}  // namespace platform
