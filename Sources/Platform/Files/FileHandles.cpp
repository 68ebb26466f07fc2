#include "Platform/Files/FileHandles.h"

#include "Platform/Runtime/WorkLedger.h"

#include "Platform/Foundation/Uuid.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <dirent.h>


namespace platform {

std::string errnoFailureText(const std::string& what) { return what + ": " + std::strerror(errno); }

int WriteAttempt::in(int folderFd) {
    const int unnamed = ::openat(folderFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (unnamed >= 0) {
        ::close(unnamed);
        return 0;
    }
    // Refused outright: a named file would be refused alike.
    if (errno == EACCES || errno == EROFS) return errno;
    // The file system has no unnamed files (or a filter refuses the flag):
    // a name nobody can have guessed, made and removed at once.
    const std::string name = ".write-attempt-" + UUID::random().uuidString();
    const int named = ::openat(folderFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (named < 0) return errno;
    ::close(named);
    ::unlinkat(folderFd, name.c_str(), 0);
    return 0;
}

bool WriteAttempt::lacksRights(int error) { return error == EACCES || error == EPERM || error == EROFS; }

std::string WriteAttempt::failureText(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

namespace {

FileSystemEntry entryFromStat(std::string name, const struct stat& st) {
    FileSystemEntry e;
    e.name = std::move(name);
    if (S_ISREG(st.st_mode)) e.kind = FileSystemEntryKind::file;
    else if (S_ISDIR(st.st_mode)) e.kind = FileSystemEntryKind::folder;
    else if (S_ISLNK(st.st_mode)) e.kind = FileSystemEntryKind::link;
    e.size = e.kind == FileSystemEntryKind::file ? static_cast<uint64_t>(st.st_size) : 0;
    e.modificationDate = Date{static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9};
    return e;
}

}  // namespace

FileHandle::FileHandle(int fd) : fd_(fd) {
    if (fd_ < 0) return;
    openedFor_ = WorkLedger::current();
    if (openedFor_) openedFor_->noteFileOpened();
}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        openedFor_ = std::move(other.openedFor_);
    }
    return *this;
}

FileHandle::~FileHandle() { close(); }

int FileHandle::release() {
    const int fd = std::exchange(fd_, -1);
    if (openedFor_) std::exchange(openedFor_, nullptr)->noteFileClosed();
    return fd;
}

void FileHandle::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (openedFor_) std::exchange(openedFor_, nullptr)->noteFileClosed();
}

Result<FileHandle> FileHandle::openForReading(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Result<FileHandle>::failure(errnoFailureText("open"));
    return FileHandle(fd);
}

Result<uint64_t> FileHandle::size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return Result<uint64_t>::failure(errnoFailureText("fstat"));
    return static_cast<uint64_t>(st.st_size);
}

Result<size_t> FileHandle::readAt(std::span<uint8_t> out, uint64_t offset) const {
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Result<size_t>::failure(errnoFailureText("read"));
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

Status FileHandle::writeAll(std::span<const uint8_t> bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Status::failure(errnoFailureText("write"));
        done += static_cast<size_t>(n);
    }
    return success();
}

Status FileHandle::writeAt(std::span<const uint8_t> bytes, uint64_t offset) const {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Status::failure(errnoFailureText("write"));
        done += static_cast<size_t>(n);
    }
    return success();
}

void FileHandle::discard(uint64_t offset, uint64_t length) const {
    if (length == 0) return;
    (void)::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                      static_cast<off_t>(length));
}

bool FileHandle::truncate() const { return ::ftruncate(fd_, 0) == 0; }

Result<ItemPlace> ItemPlace::of(const std::filesystem::path& path, bool create) {
    auto fail = [](const std::string& what) {
        const int error = errno;
        auto failed = Result<ItemPlace>::failure(errnoFailureText(what));
        errno = error;
        return failed;
    };
    if (path.filename().empty() || path.filename() == "." || path.filename() == "..") {
        errno = EISDIR;
        return fail(path.string() + " names no item");
    }
    std::filesystem::path folder = path.parent_path();
    if (folder.empty()) folder = ".";
    if (create) {
        std::error_code error;
        std::filesystem::create_directories(folder, error);
        if (error) {
            errno = error.value();
            return fail("create folder " + folder.string());
        }
    }
    // Searching it is enough to reach its items; it need not be readable.
    FileHandle opened(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!opened.isOpen()) return fail("open " + folder.string());
    return ItemPlace{std::move(opened), path.filename().string()};
}

Result<FolderHandle> FolderHandle::open(const std::filesystem::path& path, bool create) {
    if (create) {
        std::error_code error;
        std::filesystem::create_directories(path, error);
    }
    FolderHandle folder;
    folder.handle_ = FileHandle(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.handle_.isOpen()) return Result<FolderHandle>::failure(errnoFailureText("open folder"));
    return folder;
}

Result<FolderHandle> FolderHandle::reopen() const {
    int fd2 = ::openat(fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd2 < 0) return Result<FolderHandle>::failure(errnoFailureText("open folder"));
    FolderHandle folder;
    folder.handle_ = FileHandle(fd2);
    return folder;
}

Result<FolderHandle> FolderHandle::child(const std::string& name, bool create, bool* made) const {
    const bool madeNow = create && ::mkdirat(fd(), name.c_str(), 0777) == 0;
    if (create && !madeNow && errno != EEXIST) return Result<FolderHandle>::failure(errnoFailureText("mkdir"));
    if (made) *made = madeNow;
    int fd2 = ::openat(fd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd2 < 0) return Result<FolderHandle>::failure(errnoFailureText("open folder"));
    FolderHandle folder;
    folder.handle_ = FileHandle(fd2);
    return folder;
}

Result<FolderHandle> FolderHandle::newChild(const std::string& name) const {
    if (::mkdirat(fd(), name.c_str(), 0700) != 0) return Result<FolderHandle>::failure(errnoFailureText("mkdir"));
    auto opened = child(name, false);
    // Made but not opened (out of descriptors, most often): nobody holds it
    // to remove it later, so it goes now. It is empty and nobody else's:
    // its name was new a moment ago.
    if (!opened) {
        const int openError = errno;
        ::unlinkat(fd(), name.c_str(), AT_REMOVEDIR);
        errno = openError;
    }
    return opened;
}

Result<FileHandle> FolderHandle::createFile(const std::string& name) const {
    int fd2 = ::openat(fd(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd2 < 0) return Result<FileHandle>::failure(errnoFailureText("create"));
    return FileHandle(fd2);
}

Result<FileHandle> FolderHandle::createUnnamedFile() const {
    int unnamed = ::openat(fd(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (unnamed >= 0) return FileHandle(unnamed);
    if (errno == EACCES || errno == EROFS) return Result<FileHandle>::failure(errnoFailureText("create"));
    // A file system without unnamed files: a name nobody can have guessed,
    // let go of at once.
    const std::string name = ".unnamed-" + UUID::random().uuidString();
    unnamed = ::openat(fd(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (unnamed < 0) return Result<FileHandle>::failure(errnoFailureText("create"));
    ::unlinkat(fd(), name.c_str(), 0);
    return FileHandle(unnamed);
}

Status FolderHandle::rename(const std::string& from, const std::string& to) const {
    if (::renameat(fd(), from.c_str(), fd(), to.c_str()) != 0) return Status::failure(errnoFailureText("rename"));
    return success();
}

void FolderHandle::removeFile(const std::string& name) const { ::unlinkat(fd(), name.c_str(), 0); }

Result<uint64_t> FolderHandle::availableBytes() const {
    struct statvfs vfs {};
    if (::fstatvfs(fd(), &vfs) != 0) return Result<uint64_t>::failure(errnoFailureText("statvfs"));
    return static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);
}

std::optional<FileSystemEntry> FileSystemItems::lstatEntry(const std::filesystem::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
    return entryFromStat(path.filename().string(), st);
}

std::optional<FileSystemEntry> FileSystemItems::statEntry(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return entryFromStat(path.filename().string(), st);
}

Result<std::vector<FileSystemEntry>> FileSystemItems::listFolder(const std::filesystem::path& path) {
    const int folder = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return Result<std::vector<FileSystemEntry>>::failure(errnoFailureText("opendir"));
    auto entries = listFolderAt(folder);
    ::close(folder);
    return entries;
}

std::optional<FileSystemEntry> FileSystemItems::entryAt(int folderFd, const std::string& name) {
    struct stat st {};
    if (::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    return entryFromStat(name, st);
}

namespace {

// The folder's names on a descriptor of its own: closedir closes it, and
// the caller's stays. Null, with errno, when it cannot be read.
DIR* openListing(int folderFd) {
    const int listing = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listing < 0 ? nullptr : ::fdopendir(listing);
    if (!dir && listing >= 0) {
        const int failure = errno;
        ::close(listing);
        errno = failure;
    }
    return dir;
}

}  // namespace

Result<std::vector<FileSystemEntry>> FileSystemItems::listFolderAt(int folderFd, size_t maxEntries) {
    DIR* dir = openListing(folderFd);
    if (!dir) return Result<std::vector<FileSystemEntry>>::failure(errnoFailureText("opendir"));
    const int listing = ::dirfd(dir);
    // The smallest names read so far, the largest of them on top: a folder
    // of any size holds no more than `maxEntries` names here, and which
    // ones are kept does not depend on the order the directory gives them.
    std::vector<std::string> names;
    while (const dirent* d = ::readdir(dir)) {
        if (d->d_name[0] == '.') continue;
        const std::string_view name(d->d_name);
        if (names.size() < maxEntries) {
            names.emplace_back(name);
            std::push_heap(names.begin(), names.end());
        } else if (!names.empty() && name < names.front()) {
            std::pop_heap(names.begin(), names.end());
            names.back() = name;
            std::push_heap(names.begin(), names.end());
        }
    }
    std::sort_heap(names.begin(), names.end());
    std::vector<FileSystemEntry> entries;
    entries.reserve(names.size());
    for (auto& name : names) {
        if (auto found = entryAt(listing, name)) {
            entries.push_back(std::move(*found));
        } else {
            FileSystemEntry unknown;
            unknown.name = std::move(name);
            entries.push_back(std::move(unknown));
        }
    }
    ::closedir(dir);
    return entries;
}

Result<std::vector<FileSystemEntry>> FileSystemItems::listFolderAt(int folderFd, const ListingOrder& order, bool* cut) {
    DIR* dir = openListing(folderFd);
    if (!dir) return Result<std::vector<FileSystemEntry>>::failure(errnoFailureText("opendir"));
    const int listing = ::dirfd(dir);
    // The first items read so far in the asked order, the last of them on
    // top, given up from the top while they pass the bytes.
    struct Kept {
        std::string key;
        FileSystemEntry item;
        bool operator<(const Kept& other) const {
            return key != other.key ? key < other.key : item.name < other.item.name;
        }
    };
    std::vector<Kept> kept;
    size_t keptBytes = 0;
    bool more = false;
    while (const dirent* d = ::readdir(dir)) {
        if (d->d_name[0] == '.') continue;
        Kept next;
        next.item.name = d->d_name;
        switch (d->d_type) {
            case DT_DIR: next.item.kind = FileSystemEntryKind::folder; break;
            case DT_REG: next.item.kind = FileSystemEntryKind::file; break;
            case DT_LNK: next.item.kind = FileSystemEntryKind::link; break;
            case DT_UNKNOWN:
                if (auto found = entryAt(listing, next.item.name)) next.item.kind = found->kind;
                break;
            default: break;
        }
        next.key = order.sortKey(next.item);
        const size_t bytes = next.item.name.size() + order.entryBytes;
        if (keptBytes + bytes > order.maxBytes && (kept.empty() || !(next < kept.front()))) {
            more = true;
            continue;
        }
        keptBytes += bytes;
        kept.push_back(std::move(next));
        std::push_heap(kept.begin(), kept.end());
        while (keptBytes > order.maxBytes && !kept.empty()) {
            std::pop_heap(kept.begin(), kept.end());
            keptBytes -= kept.back().item.name.size() + order.entryBytes;
            kept.pop_back();
            more = true;
        }
    }
    std::sort_heap(kept.begin(), kept.end());
    std::vector<FileSystemEntry> entries;
    entries.reserve(kept.size());
    for (auto& k : kept) {
        if (auto found = entryAt(listing, k.item.name)) {
            k.item.size = found->size;
            k.item.modificationDate = found->modificationDate;
        }
        entries.push_back(std::move(k.item));
    }
    ::closedir(dir);
    if (cut) *cut = more;
    return entries;
}

void FileSystemItems::removeRecursively(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

}  // namespace platform
