#include "Platform/Files/FileIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <string>

#include "Platform/Files/FileHandles.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

std::string describe(const std::string& what, const fs::path& p, int err) {
    return what + " " + p.string() + ": " + std::strerror(err);
}

// Opens a new, uniquely named file in `folder`. Created with 0666 so that
// the kernel applies the umask (reading the umask itself would mean
// briefly changing it for every thread). The name is fixed-length and owes
// nothing to the target's, so every name the file system takes can be
// written: a name of 255 bytes plus any decoration would not fit.
int createTemporaryAt(int folder, std::string& tmpName) {
    static std::atomic<uint64_t> counter{0};
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, "%08x%04x", rd(),
                      static_cast<unsigned>(counter.fetch_add(1) & 0xFFFF));
        tmpName = std::string(".tmp-") + suffix;
        int fd = ::openat(folder, tmpName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

bool writeFully(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

FileStamp FileStamp::of(const fs::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return FileStamp{};
    return FileStamp{true, st.st_dev, st.st_ino, st.st_size,
                     static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

namespace {

// The rename is only durable once the folder entry is on disk.
void syncFolder(const fs::path& folder) {
    int dirFd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

// The same for a folder held by a descriptor that may only serve as a base.
void syncFolderAt(int folder) {
    int dirFd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

// Writes `bytes` to a new temporary in the target's folder, flushed and
// closed, and returns its name there. Removes it again on failure.
Result<std::string> writeTemporary(const ItemPlace& place, const fs::path& path,
                                   std::span<const uint8_t> bytes, std::optional<mode_t> fileMode) {
    using R = Result<std::string>;
    std::string tmp;
    int fd = createTemporaryAt(place.folder.fd(), tmp);
    if (fd < 0) return R::failure(describe("cannot create temporary file for", path, errno));

    auto fail = [&](const std::string& what) {
        int err = errno;
        if (fd >= 0) ::close(fd);
        ::unlinkat(place.folder.fd(), tmp.c_str(), 0);
        return R::failure(describe(what, path, err));
    };
    if (fileMode && ::fchmod(fd, *fileMode) != 0) return fail("cannot set permissions of");
    if (!writeFully(fd, bytes.data(), bytes.size())) return fail("cannot write");
    if (::fsync(fd) != 0) return fail("cannot flush");
    int closeResult = ::close(fd);
    fd = -1;
    if (closeResult != 0) return fail("cannot close");
    return tmp;
}

// The folder a file is written in, made when missing.
Result<ItemPlace> placeForWriting(const fs::path& path) {
    using R = Result<ItemPlace>;
    if (path.filename().empty()) return R::failure("cannot write " + path.string() + ": no file name");
    auto place = ItemPlace::of(path, true);
    if (!place) return R::failure("cannot create folder " + path.parent_path().string() + ": " + place.error());
    return place;
}

// renameat2's no-replace mode between two names of one folder, else a
// hard link and an unlink where the file system lacks it; -1 with errno.
int renameNoReplaceIn(int folder, const char* from, const char* to) {
    if (::renameat2(folder, from, folder, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
    if (::linkat(folder, from, folder, to, 0) != 0) return -1;
    ::unlinkat(folder, from, 0);
    return 0;
}

std::optional<mode_t> requestedMode(std::optional<fs::perms> mode) {
    if (!mode) return std::nullopt;
    return static_cast<mode_t>(*mode) & 07777;
}

std::mutex mayWriteLock;
std::optional<bool> mayWriteOverride;

}  // namespace

Status FileIO::writeAtomically(const fs::path& path, std::span<const uint8_t> bytes,
                               std::optional<fs::perms> mode) {
    auto place = placeForWriting(path);
    if (!place) return Status::failure(place.error());
    std::optional<mode_t> fileMode = requestedMode(mode);
    struct stat existing {};
    if (!fileMode && ::fstatat(place->folder.fd(), place->name.c_str(), &existing, 0) == 0 &&
        S_ISREG(existing.st_mode))
        fileMode = existing.st_mode & 07777;

    auto tmp = writeTemporary(*place, path, bytes, fileMode);
    if (!tmp) return Status::failure(tmp.error());
    const int folder = place->folder.fd();
    if (::renameat(folder, tmp->c_str(), folder, place->name.c_str()) != 0) {
        int err = errno;
        ::unlinkat(folder, tmp->c_str(), 0);
        return Status::failure(describe("cannot replace", path, err));
    }
    syncFolderAt(folder);
    return success();
}

Result<NoReplaceOutcome> FileIO::writeAtomically(const fs::path& path, std::span<const uint8_t> bytes,
                                                 std::optional<fs::perms> mode, NoReplace) {
    using R = Result<NoReplaceOutcome>;
    auto place = placeForWriting(path);
    if (!place) return R::failure(place.error());
    auto tmp = writeTemporary(*place, path, bytes, requestedMode(mode));
    if (!tmp) return R::failure(tmp.error());
    const int folder = place->folder.fd();
    if (renameNoReplaceIn(folder, tmp->c_str(), place->name.c_str()) == 0) {
        syncFolderAt(folder);
        return NoReplaceOutcome::done;
    }
    const int err = errno;
    ::unlinkat(folder, tmp->c_str(), 0);
    if (err == EEXIST) return NoReplaceOutcome::targetExists;
    return R::failure(describe("cannot rename " + (path.parent_path() / *tmp).string() + " to", path, err));
}

Status FileIO::remove(const fs::path& path) {
    auto place = ItemPlace::of(path, false);
    if (!place) return errno == ENOENT ? success() : Status::failure(describe("cannot remove", path, errno));
    const int folder = place->folder.fd();
    if (::unlinkat(folder, place->name.c_str(), 0) == 0 || errno == ENOENT) return success();
    if (errno == EISDIR && (::unlinkat(folder, place->name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT))
        return success();
    return Status::failure(describe("cannot remove", path, errno));
}

Result<NoReplaceOutcome> FileIO::renameNoReplace(const fs::path& from, const fs::path& to) {
    using R = Result<NoReplaceOutcome>;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        syncFolder(to.parent_path());
        return NoReplaceOutcome::done;
    }
    if (errno == EEXIST) return NoReplaceOutcome::targetExists;
    // File systems without the flag answer EINVAL; a hard link never
    // replaces either, and the old name goes once the new one exists.
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return R::failure(describe("cannot rename " + from.string() + " to", to, errno));
    if (::link(from.c_str(), to.c_str()) != 0) {
        if (errno == EEXIST) return NoReplaceOutcome::targetExists;
        return R::failure(describe("cannot link " + from.string() + " to", to, errno));
    }
    ::unlink(from.c_str());
    syncFolder(to.parent_path());
    return NoReplaceOutcome::done;
}

bool FileIO::mayWrite(const fs::path& path) {
    {
        std::lock_guard<std::mutex> g(mayWriteLock);
        if (mayWriteOverride) return *mayWriteOverride;
    }
    FileHandle folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return folder.isOpen() && WriteAttempt::in(folder.fd()) == 0;
}

void FileIO::setMayWriteForTesting(std::optional<bool> answer) {
    std::lock_guard<std::mutex> g(mayWriteLock);
    mayWriteOverride = answer;
}

Result<std::vector<uint8_t>> FileIO::readAll(const fs::path& path, size_t maxBytes) {
    // O_NONBLOCK so that opening a FIFO placed where a file is expected
    // cannot hang; it is refused below as not a regular file.
    auto place = ItemPlace::of(path, false);
    if (!place) return Result<std::vector<uint8_t>>::failure(describe("cannot open", path, errno));
    int fd = ::openat(place->folder.fd(), place->name.c_str(),
                      O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return Result<std::vector<uint8_t>>::failure(describe("cannot open", path, errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Result<std::vector<uint8_t>>::failure("not a regular file: " + path.string());
    }
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > maxBytes) {
        ::close(fd);
        return Result<std::vector<uint8_t>>::failure("file too large: " + path.string());
    }
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(st.st_size));
    // The file may grow while we read; read in chunks and stop at the limit.
    uint8_t chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            return Result<std::vector<uint8_t>>::failure(describe("cannot read", path, err));
        }
        if (n == 0) break;
        if (out.size() + static_cast<size_t>(n) > maxBytes) {
            ::close(fd);
            return Result<std::vector<uint8_t>>::failure("file too large: " + path.string());
        }
        out.insert(out.end(), chunk, chunk + n);
    }
    ::close(fd);
    return out;
}

std::optional<Date> FileIO::modificationDate(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
    return Date{static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9};
}

Status FileIO::setModificationDate(const fs::path& path, Date date) {
    const double whole = std::floor(date.secondsSince1970);
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;  // access time untouched
    times[1].tv_sec = static_cast<time_t>(whole);
    times[1].tv_nsec = static_cast<long>((date.secondsSince1970 - whole) * 1e9);
    if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        return Status::failure(describe("cannot set the date of", path, errno));
    return success();
}

}  // namespace platform
