#pragma once
// Foundation's formatters for the texts the file views show: a date in the
// medium date style with the short time style in the local time zone
// ("Jan 5, 2026 at 9:00 AM"), and a byte count in the file style, decimal
// units ("Zero KB", "999 bytes", "18 KB", "2.8 MB", "1.25 GB").

#include <cstdint>
#include <string>

#include "Platform/Runtime/Clock.h"
#include "Platform/Foundation/Locale.h"

namespace platform {

// Earlier than any real file date (the first day of year 1).
inline constexpr Date kDistantPast{-62135769600.0};

struct DateFormatter {
    // Medium date, short time, in the current locale's own wording and the
    // time zone the environment gives ("Jan 5, 2026, 9:00 AM" in English,
    // "05.01.2026, 09:00" in German).
    static std::string mediumDateShortTime(Date date);
    static std::string mediumDateShortTime(Date date, const Locale& locale);
    // A fixed pattern in the local time zone: "yyyy", "MM", "dd", "HH",
    // "mm" and "ss" are replaced, everything else is kept as written
    // ("yyyy-MM-dd-HHmmss", "yyyy-MM-dd HH:mm").
    static std::string localString(Date date, const std::string& pattern);
};

struct ByteCountFormatter {
    // The file count style: bytes below 1,000, whole kilobytes, megabytes
    // with one decimal, larger units with two; trailing zeros dropped.
    static std::string fileStyle(int64_t bytes);
};

}  // namespace platform
