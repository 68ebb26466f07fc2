#pragma once
// An exclusive lock on a file (flock) that one process holds for as long as
// it keeps the lock object, so that two processes sharing one folder of
// state can tell which of them owns it. The holder's process identifier is
// written into the file so that a refused process can name it.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Foundation/Result.h"

namespace platform {

class InstanceLock {
public:
    // Why the lock was not taken: held by another process (whose identifier
    // is known once the holder has written it), or the file could not be
    // opened or locked at all.
    struct Refusal {
        bool heldElsewhere = false;
        std::optional<int32_t> holderPid;
        std::string message;
    };

    // Takes the lock on `file`, creating the file and its folder when
    // missing; never waits for the lock itself. A process that already holds
    // the lock on the same file gets the same object back: a second open
    // file of the same process would be refused by the kernel like another
    // process. A refused caller waits up to `holderPidWaitSeconds` for a
    // holder that has just taken the lock to write its identifier.
    static Result<std::shared_ptr<InstanceLock>, Refusal> acquire(const std::filesystem::path& file,
                                                                   double holderPidWaitSeconds = 0);

    // Released when the last owner lets go (or the process ends).
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    const std::filesystem::path& file() const { return file_; }

private:
    InstanceLock(std::filesystem::path file, int fd);

    std::filesystem::path file_;
    // The open file that carries the lock; closing it releases the lock.
    int fd_;
};

}  // namespace platform
