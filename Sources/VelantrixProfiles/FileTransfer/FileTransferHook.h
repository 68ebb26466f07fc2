#pragma once
// A closure property that one thread sets while others call it: the owner
// may replace it at any time, and a caller takes a copy under the lock and
// calls that, so a closure is never swapped while it runs.

#include <functional>
#include <mutex>
#include <utility>

template <class Signature>
class FileTransferHook {
public:
    explicit FileTransferHook(std::mutex& mutex) : mutex_(mutex) {}
    FileTransferHook(const FileTransferHook&) = delete;

    FileTransferHook& operator=(std::function<Signature> fn) {
        std::function<Signature> previous;
        {
            std::lock_guard lock(mutex_);
            previous = std::exchange(fn_, std::move(fn));
        }
        return *this;  // the previous closure is released outside the lock
    }
    std::function<Signature> get() const {
        std::lock_guard lock(mutex_);
        return fn_;
    }

private:
    std::mutex& mutex_;
    std::function<Signature> fn_;
};
