#pragma once
// The user's calendar for date arithmetic that must follow the local clock
// on the wall rather than a count of seconds: "three days ago" keeps the
// time of day across a daylight-saving change.

#include "Platform/Runtime/Clock.h"

namespace platform {

struct Calendar {
    // `date` moved by whole days (negative: back) in the local time zone,
    // keeping the local time of day where that time exists on the new day.
    static Date addingDays(int days, Date date);
};

}  // namespace platform
