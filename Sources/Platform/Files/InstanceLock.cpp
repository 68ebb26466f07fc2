#include "Platform/Files/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "Platform/Files/FileHandles.h"

namespace fs = std::filesystem;

namespace platform {

namespace {

// The locks this process holds, by file, so that a second acquire shares the
// first instead of being refused by the process's own lock.
std::mutex& registryLock() {
    static std::mutex m;
    return m;
}
std::map<fs::path, std::weak_ptr<InstanceLock>>& registry() {
    static auto* held = new std::map<fs::path, std::weak_ptr<InstanceLock>>();
    return *held;
}

std::optional<int32_t> readHolderPid(int fd) {
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long pid = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || (*end != '\n' && *end != '\0') || pid <= 0 || pid > INT32_MAX)
        return std::nullopt;
    return static_cast<int32_t>(pid);
}

// The lock file, made when missing. No link followed: a link planted at
// the lock's name must not make the Host create or truncate a file
// elsewhere. Close-on-exec, so that no program the Host starts keeps its
// lock after the Host has ended.
Result<FileHandle> openLockFile(const fs::path& key) {
    using R = Result<FileHandle>;
    auto place = ItemPlace::of(key, true);
    if (!place) return R::failure(place.error());
    FileHandle file(::openat(place->folder.fd(), place->name.c_str(),
                             O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_CREAT, 0600));
    if (!file.isOpen()) return R::failure(std::strerror(errno));
    return file;
}

}  // namespace

InstanceLock::InstanceLock(fs::path file, int fd) : file_(std::move(file)), fd_(fd) {}

InstanceLock::~InstanceLock() {
    std::lock_guard<std::mutex> guard(registryLock());
    auto it = registry().find(file_);
    if (it != registry().end() && it->second.expired()) registry().erase(it);
    ::close(fd_);
}

Result<std::shared_ptr<InstanceLock>, InstanceLock::Refusal> InstanceLock::acquire(const fs::path& file,
                                                                                    double holderPidWaitSeconds) {
    using Outcome = Result<std::shared_ptr<InstanceLock>, Refusal>;
    const fs::path key = fs::absolute(file).lexically_normal();
    std::lock_guard<std::mutex> guard(registryLock());
    if (auto it = registry().find(key); it != registry().end())
        if (auto held = it->second.lock()) return held;

    auto opened = openLockFile(key);
    if (!opened) return Outcome(Refusal{false, std::nullopt, "cannot open " + key.string() + ": " + opened.error()});
    const int fd = opened->release();
    int locked;
    do {
        locked = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        const int err = errno;
        if (err != EWOULDBLOCK) {
            ::close(fd);
            return Outcome(Refusal{false, std::nullopt, "cannot lock " + key.string() + ": " + std::strerror(err)});
        }
        // The holder writes its identifier right after taking the lock;
        // one that has only just taken it gets a moment to do so.
        auto pid = readHolderPid(fd);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(holderPidWaitSeconds);
        while (!pid && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            pid = readHolderPid(fd);
        }
        ::close(fd);
        return Outcome(Refusal{true, pid, key.string() + " is locked by another process"});
    }
    const std::string text = std::to_string(::getpid()) + "\n";
    // Without the identifier the lock still holds; only a refused
    // process's message then lacks it.
    if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, text.data(), text.size(), 0);
    std::shared_ptr<InstanceLock> lock(new InstanceLock(key, fd));
    registry()[key] = lock;
    return lock;
}

}  // namespace platform
