#pragma once
// Sets the process's time zone (TZ) for one test and puts the previous
// setting back when it goes.

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

class TimeZoneScope {
public:
    explicit TimeZoneScope(const char* zone) {
        if (const char* old = std::getenv("TZ")) previous_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~TimeZoneScope() {
        if (previous_)
            ::setenv("TZ", previous_->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    TimeZoneScope(const TimeZoneScope&) = delete;
    TimeZoneScope& operator=(const TimeZoneScope&) = delete;

private:
    std::optional<std::string> previous_;
};
