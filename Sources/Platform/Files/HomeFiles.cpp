#include "Platform/Files/HomeFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "Platform/Files/Folders.h"

namespace fs = std::filesystem;

namespace platform {

namespace {

std::mutex homeOwnerLock;
std::optional<HomeFiles::Owner> homeOwner;

// The failure of the call just made, errno kept for the caller.
template <class T>
Result<T> homeFilesFailure(const std::string& what) {
    const int error = errno;
    auto failed = Result<T>::failure(errnoFailureText(what));
    errno = error;
    return failed;
}

// `path` made absolute and lexically normal, and its part below the home
// when the home holds it.
std::optional<fs::path> belowHome(const HomeFiles::Owner& owner, const fs::path& path) {
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error).lexically_normal();
    if (error || !Folders::contains(owner.home, absolute)) return std::nullopt;
    return absolute.lexically_relative(owner.home.lexically_normal());
}

// `relative` beneath the home, each component opened without following a
// link; missing ones made (with `create`) private, then given to the user.
// The home itself comes from the system and is opened as its path says.
Result<FileHandle> openBeneathHome(const HomeFiles::Owner& owner, const fs::path& relative, bool create) {
    using R = Result<FileHandle>;
    FileHandle folder(::open(owner.home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.isOpen()) return homeFilesFailure<FileHandle>("open " + owner.home.string());
    fs::path reached = owner.home;
    for (const auto& element : relative) {
        const std::string part = element.string();
        if (part.empty() || part == ".") continue;
        reached /= part;
        if (part == "..") {
            errno = EXDEV;
            return homeFilesFailure<FileHandle>("open " + reached.string());
        }
        const bool made = create && ::mkdirat(folder.fd(), part.c_str(), 0700) == 0;
        if (create && !made && errno != EEXIST) return homeFilesFailure<FileHandle>("mkdir " + reached.string());
        FileHandle next(::openat(folder.fd(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.isOpen()) return homeFilesFailure<FileHandle>("open " + reached.string());
        if (made && (::fchown(next.fd(), owner.user.uid, owner.user.gid) != 0 || ::fchmod(next.fd(), 0755) != 0))
            return homeFilesFailure<FileHandle>("give " + reached.string() + " to its owner");
        folder = std::move(next);
    }
    return R(std::move(folder));
}

}  // namespace

void HomeFiles::setOwner(std::optional<Owner> owner) {
    std::lock_guard guard(homeOwnerLock);
    homeOwner = std::move(owner);
}

std::optional<HomeFiles::Owner> HomeFiles::owner() {
    std::lock_guard guard(homeOwnerLock);
    return homeOwner;
}

Result<HomeFiles::Place> HomeFiles::placeOf(const fs::path& path, bool create) {
    using R = Result<Place>;
    if (path.filename().empty() || path.filename() == "." || path.filename() == "..") {
        errno = EISDIR;
        return homeFilesFailure<Place>(path.string() + " names no item");
    }
    const std::string name = path.filename().string();
    if (const auto home = owner()) {
        if (auto relative = belowHome(*home, path)) {
            auto folder = openBeneathHome(*home, relative->parent_path(), create);
            if (!folder) {
                const int error = errno;
                auto failed = R::failure(folder.error());
                errno = error;
                return failed;
            }
            return Place{std::move(*folder), name, home->user};
        }
    }
    fs::path folder = path.parent_path();
    if (folder.empty()) folder = ".";
    if (create) {
        std::error_code error;
        fs::create_directories(folder, error);
        if (error) {
            errno = error.value();
            return homeFilesFailure<Place>("create folder " + folder.string());
        }
    }
    // Searching it is enough to reach its items; it need not be readable.
    FileHandle opened(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!opened.isOpen()) return homeFilesFailure<Place>("open " + folder.string());
    return Place{std::move(opened), name, std::nullopt};
}

Result<FileHandle> HomeFiles::openFolder(const fs::path& folder, bool create) {
    if (const auto home = owner()) {
        if (auto relative = belowHome(*home, folder)) return openBeneathHome(*home, *relative, create);
    }
    if (create) {
        std::error_code error;
        fs::create_directories(folder, error);
    }
    FileHandle opened(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!opened.isOpen()) return homeFilesFailure<FileHandle>("open " + folder.string());
    return Result<FileHandle>(std::move(opened));
}

bool HomeFiles::holds(const fs::path& path) {
    const auto home = owner();
    return home && belowHome(*home, path);
}

fs::path HomeFiles::topFor(const fs::path& folder, const fs::path& otherwise) {
    if (const auto home = owner(); home && belowHome(*home, folder)) return home->home.lexically_normal();
    return otherwise;
}

}  // namespace platform
