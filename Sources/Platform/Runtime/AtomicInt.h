#pragma once
// An integer guarded by its own lock, for counters and gates that one queue
// writes and other threads read.

#include <cstdint>
#include <mutex>

class AtomicInt {
public:
    explicit AtomicInt(int64_t v = 0) : value_(v) {}
    int64_t value() const {
        std::lock_guard<std::mutex> g(lock_);
        return value_;
    }
    void set(int64_t v) {
        std::lock_guard<std::mutex> g(lock_);
        value_ = v;
    }
    // Returns the new value.
    int64_t increment(int64_t by = 1) {
        std::lock_guard<std::mutex> g(lock_);
        value_ += by;
        return value_;
    }
    int64_t decrement(int64_t by = 1) { return increment(-by); }
    int64_t readAndClear() {
        std::lock_guard<std::mutex> g(lock_);
        int64_t v = value_;
        value_ = 0;
        return v;
    }

private:
    mutable std::mutex lock_;
    int64_t value_;
};
