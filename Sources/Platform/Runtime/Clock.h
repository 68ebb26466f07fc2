#pragma once
// The two clocks the Host reads: system uptime for intervals and media time,
// the wall-clock date for deadlines and file names. Both come from the
// current runtime, so tests see virtual time.

#include <compare>
#include <cstdint>

namespace platform {

// A wall-clock date, seconds since 1970-01-01 00:00:00 UTC.
struct Date {
    double secondsSince1970 = 0;
    Date addingSeconds(double s) const { return Date{secondsSince1970 + s}; }
    double timeIntervalSince(Date other) const { return secondsSince1970 - other.secondsSince1970; }
    auto operator<=>(const Date&) const = default;
};

struct Clock {
    static constexpr uint64_t nsPerSecond = 1'000'000'000;

    // Monotonic uptime in nanoseconds (CLOCK_MONOTONIC in the real runtime).
    static uint64_t uptimeNs();
    static double uptimeSeconds() { return static_cast<double>(uptimeNs()) / 1e9; }
    static Date now();
};

}  // namespace platform
