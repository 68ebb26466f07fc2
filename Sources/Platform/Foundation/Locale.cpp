#include "Platform/Foundation/Locale.h"

#include <unicode/dcfmtsym.h>
#include <unicode/locid.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>

namespace platform {

namespace {

std::mutex overrideLock;
std::optional<std::vector<std::string>> preferredOverride;
std::optional<std::string> currentOverride;

const char* processEnvironment(const char* name) { return std::getenv(name); }

// The first of the variables that is set and not empty.
std::string firstSet(const Locale::Environment& env, std::initializer_list<const char*> names) {
    for (const char* n : names) {
        const char* v = env(n);
        if (v && *v) return v;
    }
    return {};
}

}  // namespace

std::string Locale::identifierFromPosixName(std::string_view name) {
    name = name.substr(0, name.find_first_of(".@"));
    if (name == "C" || name == "POSIX") return "en";
    std::string id(name);
    for (char& c : id)
        if (c == '_') c = '-';
    return id;
}

std::vector<std::string> Locale::preferredLanguagesIn(const Environment& env) {
    std::vector<std::string> out;
    auto add = [&](std::string_view posix) {
        std::string id = identifierFromPosixName(posix);
        if (!id.empty() && std::find(out.begin(), out.end(), id) == out.end()) out.push_back(id);
    };
    std::string_view list;
    const char* language = env("LANGUAGE");
    if (language && *language) {
        list = language;
        while (!list.empty()) {
            size_t colon = list.find(':');
            add(list.substr(0, colon));
            list = colon == std::string_view::npos ? std::string_view{} : list.substr(colon + 1);
        }
    }
    if (out.empty()) add(firstSet(env, {"LC_ALL", "LC_MESSAGES", "LANG"}));
    if (out.empty()) out.push_back("en");
    return out;
}

std::string Locale::currentIdentifierIn(const Environment& env) {
    std::string id = identifierFromPosixName(firstSet(env, {"LC_ALL", "LC_NUMERIC", "LANG"}));
    return id.empty() ? "en" : id;
}

std::vector<std::string> Locale::preferredLanguages() {
    {
        std::lock_guard<std::mutex> g(overrideLock);
        if (preferredOverride) return *preferredOverride;
    }
    return preferredLanguagesIn(processEnvironment);
}

Locale Locale::current() {
    {
        std::lock_guard<std::mutex> g(overrideLock);
        if (currentOverride) return Locale(*currentOverride);
    }
    return Locale(currentIdentifierIn(processEnvironment));
}

void Locale::setPreferredLanguagesForTesting(std::optional<std::vector<std::string>> languages) {
    std::lock_guard<std::mutex> g(overrideLock);
    preferredOverride = std::move(languages);
}

void Locale::setCurrentForTesting(std::optional<std::string> identifier) {
    std::lock_guard<std::mutex> g(overrideLock);
    currentOverride = std::move(identifier);
}

std::string Locale::decimalSeparator() const {
    // Building ICU's symbols costs far more than a formatted number; a
    // process meets only a handful of locales, so each is kept.
    static std::mutex cacheLock;
    static std::map<std::string, std::string> cache;
    std::lock_guard<std::mutex> g(cacheLock);
    auto found = cache.find(identifier_);
    if (found != cache.end()) return found->second;

    std::string separator = ".";
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale locale = icu::Locale::forLanguageTag(identifier_, status);
    if (U_SUCCESS(status)) {
        icu::DecimalFormatSymbols symbols(locale, status);
        if (U_SUCCESS(status)) {
            std::string s;
            symbols.getConstSymbol(icu::DecimalFormatSymbols::kDecimalSeparatorSymbol).toUTF8String(s);
            if (!s.empty()) separator = s;
        }
    }
    cache.emplace(identifier_, separator);
    return separator;
}

}  // namespace platform
