// Whole days in the local calendar: the time of day on the wall is kept
// across summer-time changes, which a count of 86,400 s would not keep.

#include <gtest/gtest.h>

#include "Platform/Foundation/Calendar.h"
#include "Support/TimeZoneScope.h"

TEST(FoundationCalendar, WholeDaysKeepTheLocalTimeOfDay) {
    TimeZoneScope berlin("Europe/Berlin");
    // 2026-03-28 12:00:00.25 in Berlin (UTC+1); summer time begins the next night.
    const platform::Date noon{1774695600.25};
    const struct {
        const char* what;
        int days;
        double hoursLater;
    } cases[] = {
        {"same day", 0, 0},
        {"across the spring change", 1, 23},
        {"back a day", -1, -24},
        {"two days on", 2, 47},
        {"a year on", 365, 365 * 24 - 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto moved = platform::Calendar::addingDays(c.days, noon);
        EXPECT_DOUBLE_EQ(moved.timeIntervalSince(noon), c.hoursLater * 3600);
    }
}

TEST(FoundationCalendar, InUtcADayIsExactly86400Seconds) {
    TimeZoneScope utc("UTC");
    const platform::Date at{1000000.5};
    for (int days : {-9, -3, 0, 1, 400}) {
        SCOPED_TRACE(days);
        EXPECT_DOUBLE_EQ(platform::Calendar::addingDays(days, at).secondsSince1970, 1000000.5 + days * 86400.0);
    }
}

TEST(FoundationCalendar, DatesBeyondTheLocalCalendarMoveByPlainDays) {
    TimeZoneScope berlin("Europe/Berlin");
    for (const double seconds : {1e300, -1e18}) {
        SCOPED_TRACE(seconds);
        const platform::Date far{seconds};
        EXPECT_EQ(platform::Calendar::addingDays(2, far), far.addingSeconds(2 * 86400.0));
    }
}
