#include "Platform/Foundation/Formatters.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>

#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/simpletz.h>
#include <unicode/unistr.h>

#include "Platform/Foundation/Locale.h"

namespace platform {

std::string DateFormatter::mediumDateShortTime(Date date) {
    return mediumDateShortTime(date, Locale::current());
}

std::string DateFormatter::mediumDateShortTime(Date date, const Locale& locale) {
    const double seconds = std::floor(date.secondsSince1970);
    if (!std::isfinite(seconds) || std::fabs(seconds) > 1e15) return "";
    // The offset libc gives for that very instant, so the environment's
    // zone (TZ included) and its summer time rules decide, as elsewhere.
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (!localtime_r(&t, &local)) return "";
    const int32_t offsetMs = static_cast<int32_t>(local.tm_gmtoff) * 1000;

    // Building an ICU formatter costs far more than one formatted date and a
    // listing formats one per row: one per locale is kept.
    static std::mutex cacheLock;
    static std::map<std::string, std::unique_ptr<icu::DateFormat>> cache;
    std::lock_guard<std::mutex> g(cacheLock);
    auto& formatter = cache[locale.identifier()];
    if (!formatter) {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale icuLocale = icu::Locale::forLanguageTag(locale.identifier(), status);
        if (U_FAILURE(status)) icuLocale = icu::Locale::getEnglish();
        formatter.reset(icu::DateFormat::createDateTimeInstance(icu::DateFormat::kMedium, icu::DateFormat::kShort,
                                                                icuLocale));
        if (!formatter) {
            cache.erase(locale.identifier());
            return "";
        }
    }
    formatter->adoptTimeZone(new icu::SimpleTimeZone(offsetMs, icu::UnicodeString("local")));
    icu::UnicodeString text;
    formatter->format(seconds * 1000.0, text);
    std::string out;
    text.toUTF8String(out);
    return out;
}

std::string DateFormatter::localString(Date date, const std::string& pattern) {
    const double seconds = std::floor(date.secondsSince1970);
    if (!std::isfinite(seconds) || std::fabs(seconds) > 1e15) return "";
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (!localtime_r(&t, &local)) return "";
    static constexpr struct {
        const char* token;
        int width;
    } kFields[] = {{"yyyy", 4}, {"MM", 2}, {"dd", 2}, {"HH", 2}, {"mm", 2}, {"ss", 2}};
    const long long values[] = {static_cast<long long>(local.tm_year) + 1900, local.tm_mon + 1, local.tm_mday,
                                local.tm_hour, local.tm_min, local.tm_sec};
    std::string out;
    for (size_t at = 0; at < pattern.size();) {
        bool matched = false;
        for (size_t f = 0; f < std::size(kFields) && !matched; f++) {
            const std::string_view token = kFields[f].token;
            if (pattern.compare(at, token.size(), token) != 0) continue;
            char field[24];
            std::snprintf(field, sizeof field, "%0*lld", kFields[f].width, values[f]);
            out += field;
            at += token.size();
            matched = true;
        }
        if (!matched) out += pattern[at++];
    }
    return out;
}

std::string ByteCountFormatter::fileStyle(int64_t bytes) {
    if (bytes == 0) return "Zero KB";
    const std::string sign = bytes < 0 ? "-" : "";
    // The magnitude as unsigned, so that INT64_MIN has one too.
    const uint64_t magnitude = bytes < 0 ? 0 - static_cast<uint64_t>(bytes) : static_cast<uint64_t>(bytes);
    if (magnitude == 1) return sign + "1 byte";
    if (magnitude < 1000) return sign + std::to_string(magnitude) + " bytes";
    static constexpr struct {
        const char* name;
        int decimals;
    } kUnits[] = {{"KB", 0}, {"MB", 1}, {"GB", 2}, {"TB", 2}, {"PB", 2}, {"EB", 2}};
    double value = static_cast<double>(magnitude) / 1000.0;
    size_t unit = 0;
    for (;;) {
        const double scale = std::pow(10.0, kUnits[unit].decimals);
        const double rounded = std::round(value * scale) / scale;
        // 999,999 bytes round to 1,000 KB: say 1 MB instead.
        if (rounded >= 1000.0 && unit + 1 < std::size(kUnits)) {
            value /= 1000.0;
            unit++;
            continue;
        }
        char text[64];
        // Not printf: its decimal point follows the process's C locale.
        auto end = std::to_chars(text, text + sizeof text, rounded, std::chars_format::fixed, kUnits[unit].decimals).ptr;
        std::string number(text, end);
        if (number.find('.') != std::string::npos) {
            while (number.back() == '0') number.pop_back();
            if (number.back() == '.') number.pop_back();
        }
        return sign + number + " " + kUnits[unit].name;
    }
}

}  // namespace platform
