#include "Platform/Foundation/Calendar.h"

#include <cmath>
#include <ctime>

namespace platform {

Date Calendar::addingDays(int days, Date date) {
    const double whole = std::floor(date.secondsSince1970);
    // Beyond any calendar the C library keeps: plain days of 86,400 s.
    if (!std::isfinite(whole) || std::fabs(whole) > 1e15) return date.addingSeconds(days * 86400.0);
    const double fraction = date.secondsSince1970 - whole;
    const time_t t = static_cast<time_t>(whole);
    tm local{};
    if (!localtime_r(&t, &local)) return date.addingSeconds(days * 86400.0);
    local.tm_mday += days;
    // Let the new day decide whether summer time applies.
    local.tm_isdst = -1;
    const time_t moved = mktime(&local);
    if (moved == static_cast<time_t>(-1)) return date.addingSeconds(days * 86400.0);
    return Date{static_cast<double>(moved) + fraction};
}

}  // namespace platform
