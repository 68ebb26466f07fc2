#pragma once
// Descriptor-level file access for code that handles paths from the
// network: folders are opened once and names resolved below them without
// following links, files are created only where nothing exists, and reads
// and writes go straight between the caller's buffer and the descriptor.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "Platform/Runtime/Clock.h"
#include "Platform/Foundation/Result.h"

namespace platform {

// An owned descriptor, closed on destruction.
class WorkLedger;

class FileHandle {
public:
    FileHandle() = default;
    // Opened for the peer whose work is current (WorkLedger::current),
    // which counts it while it is open.
    explicit FileHandle(int fd);
    FileHandle(FileHandle&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)), openedFor_(std::move(other.openedFor_)) {}
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle();

    // Follows links (a top-level item the user chose may be one).
    static Result<FileHandle> openForReading(const std::filesystem::path& path);

    int fd() const { return fd_; }
    bool isOpen() const { return fd_ >= 0; }
    int release();
    void close();

    // Size of the open file, or a failure.
    Result<uint64_t> size() const;
    // Up to out.size() bytes from `offset`; fewer at end of file, 0 past it.
    Result<size_t> readAt(std::span<uint8_t> out, uint64_t offset) const;
    // All of `bytes` at the current position.
    Status writeAll(std::span<const uint8_t> bytes) const;
    // All of `bytes` at `offset`, the position left as it was.
    Status writeAt(std::span<const uint8_t> bytes, uint64_t offset) const;
    // Gives the disk back the whole blocks of `length` bytes from `offset`
    // (they read as zeros after), the file's size unchanged. Best effort: a
    // file system that cannot leaves them as they are.
    void discard(uint64_t offset, uint64_t length) const;
    // Empties the file; false when it could not.
    bool truncate() const;

private:
    int fd_ = -1;
    std::shared_ptr<WorkLedger> openedFor_;
};

// A folder opened to reach one item in it by name, and that name: the
// Host's own files are replaced and removed through the folder, never by
// a path that could lead elsewhere between two calls.
struct ItemPlace {
    FileHandle folder;
    std::string name;

    // The folder holding `path`, opened as the path says; with `create`,
    // missing folders on the way are made. The descriptor may only serve
    // as a base for the *at calls. On failure errno tells why.
    static Result<ItemPlace> of(const std::filesystem::path& path, bool create);
};

// An open folder: names below it are resolved one component at a time and
// never through a link.
class FolderHandle {
public:
    // Opens `path` as it is spelled (it comes from the Host, not from a
    // peer), creating it and its parents when `create` is set.
    static Result<FolderHandle> open(const std::filesystem::path& path, bool create = false);

    int fd() const { return handle_.fd(); }
    // A second handle on the same folder.
    Result<FolderHandle> reopen() const;

    // The child folder `name` (one component), created when missing and
    // `create` is set; fails on a link or a non-folder.
    // With `create`, `made` (when given) tells whether this call made it.
    Result<FolderHandle> child(const std::string& name, bool create, bool* made = nullptr) const;
    // A child folder made here and now: fails when any entry (a link
    // included) already has the name, so what opens is the folder made. A
    // folder made that cannot be opened is removed again.
    Result<FolderHandle> newChild(const std::string& name) const;
    // A new file; fails when any entry already has the name.
    Result<FileHandle> createFile(const std::string& name) const;
    // A new file, open to read and write, with no name here: it is gone
    // with its last descriptor, whatever becomes of the process.
    Result<FileHandle> createUnnamedFile() const;
    // Replaces a file of the name `to`; fails when `to` is a folder.
    Status rename(const std::string& from, const std::string& to) const;
    // Removes a file entry; a missing one is no failure.
    void removeFile(const std::string& name) const;
    // Bytes an unprivileged writer may still use on the folder's volume.
    Result<uint64_t> availableBytes() const;

private:
    FileHandle handle_;
};

enum class FileSystemEntryKind { file, folder, link, other };

// One item as lstat sees it.
struct FileSystemEntry {
    std::string name;
    FileSystemEntryKind kind = FileSystemEntryKind::other;
    uint64_t size = 0;
    std::optional<Date> modificationDate;
};

struct FileSystemItems {
    // The item itself, not a link's target; nothing when it does not exist.
    static std::optional<FileSystemEntry> lstatEntry(const std::filesystem::path& path);
    // What a link leads to (stat); nothing when that does not exist.
    static std::optional<FileSystemEntry> statEntry(const std::filesystem::path& path);
    // The folder's items without those whose name begins with ".", in name
    // order (bytewise). Items whose attributes cannot be read are listed
    // with kind `other`, size 0 and no date.
    static Result<std::vector<FileSystemEntry>> listFolder(const std::filesystem::path& path);
    // The same two, relative to an open folder, never following a link.
    // The listing keeps the first `maxEntries` items in name order, the same
    // ones however the file system orders them: the whole folder is read,
    // but one of any size holds no more than that many in memory.
    static std::optional<FileSystemEntry> entryAt(int folderFd, const std::string& name);
    static Result<std::vector<FileSystemEntry>> listFolderAt(int folderFd, size_t maxEntries = SIZE_MAX);
    // The first items in the order of `order.sortKey` (made once for each
    // item from its name and kind; bytewise, ties by name) whose names,
    // each with `order.entryBytes` more, fit in `order.maxBytes`: the same
    // ones however the file system orders them, and no more than that held
    // in memory. `cut` says whether the folder held more.
    struct ListingOrder {
        std::function<std::string(const FileSystemEntry&)> sortKey;
        size_t maxBytes = SIZE_MAX;
        size_t entryBytes = 0;
    };
    static Result<std::vector<FileSystemEntry>> listFolderAt(int folderFd, const ListingOrder& order, bool* cut);
    // Removes a file or a whole folder; failures are ignored.
    static void removeRecursively(const std::filesystem::path& path);
};

// Whether the process may make items in an open folder, decided by the
// kernel through a real attempt: an unnamed file made there and let go,
// else (a file system without unnamed files) a fresh name made and
// removed. Never by asking (faccessat): a sandbox may refuse the question
// itself (EPERM for faccessat2) and that is no answer about the folder.
struct WriteAttempt {
    // 0 when an item could be made; else the attempt's errno.
    static int in(int folderFd);
    // Whether an attempt's errno says the process lacks the right to write
    // there (its rights, an immutable folder, a read-only mount), rather
    // than that something else failed (a full disk, a failing device).
    static bool lacksRights(int error);
    // "<what>: <why>" for an attempt's errno.
    static std::string failureText(const std::string& what, int error);
};

// "<what>: <errno's text>", the failure of the system call just made: it
// reads errno, so nothing may come between that call and this one.
std::string errnoFailureText(const std::string& what);

}  // namespace platform
