#include "Platform/Log.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "Platform/Clock.h"

namespace platform {

namespace {
std::mutex sinkLock;
Log::Sink& sink() {
    static Log::Sink s;
    return s;
}

void emit(const std::string& full) {
    std::lock_guard<std::mutex> g(sinkLock);
    if (sink()) {
        sink()(full);
        return;
    }
    std::string out = full;
    out.push_back('\n');
    std::fwrite(out.data(), 1, out.size(), stderr);
}
}  // namespace

std::string Log::timestamp() {
    double t = Clock::now().secondsSince1970;
    double whole = std::floor(t);
    time_t secs = static_cast<time_t>(whole);
    int millis = static_cast<int>((t - whole) * 1000.0);
    if (millis > 999) millis = 999;
    tm local{};
    localtime_r(&secs, &local);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec, millis);
    return buf;
}

void Log::line(const std::string& text) { emit("[NorvessalHost " + timestamp() + "] " + text); }

void Log::raw(const std::string& text) { emit(text); }

void Log::setSinkForTesting(Sink s) {
    std::lock_guard<std::mutex> g(sinkLock);
    sink() = std::move(s);
}

}  // namespace platform
