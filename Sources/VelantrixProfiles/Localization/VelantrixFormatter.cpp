#include "VelantrixProfiles/Localization/VelantrixFormatter.h"

#include <cassert>
#include <charconv>
#include <cmath>
#include <limits>

namespace {

using Kind = VelantrixFormatter::ArgumentKind;

constexpr int kMaxPosition = 64;
constexpr int kMaxPrecision = 64;

// One "%..." of a format.
struct Conversion {
    size_t length = 1;  // bytes from the '%'
    bool valid = false;
    bool percent = false;  // "%%"
    int position = -1;     // zero-based; -1 = the next in sequence
    int precision = -1;    // -1 = the default (6 for %f)
    Kind kind = Kind::object;
};

// Small non-negative decimal at s[i...]; advances i.
std::optional<int> smallNumber(std::string_view s, size_t& i, int limit) {
    size_t start = i;
    int v = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        v = v * 10 + (s[i] - '0');
        if (v > limit) return std::nullopt;
        ++i;
    }
    if (i == start) return std::nullopt;
    return v;
}

Conversion parseConversion(std::string_view s, size_t at) {
    Conversion c;
    size_t i = at + 1;
    auto finish = [&](bool valid) {
        c.valid = valid;
        c.length = (i < s.size() ? i + 1 : s.size()) - at;
        return c;
    };
    if (i >= s.size()) return finish(false);
    if (s[i] == '%') {
        c.percent = true;
        return finish(true);
    }
    size_t digits = i;
    if (auto n = smallNumber(s, digits, kMaxPosition); n && digits < s.size() && s[digits] == '$') {
        if (*n == 0) {
            i = digits;
            return finish(false);
        }
        c.position = *n - 1;
        i = digits + 1;
    }
    if (i < s.size() && s[i] == '.') {
        ++i;
        auto p = smallNumber(s, i, kMaxPrecision);
        if (!p) return finish(false);
        c.precision = *p;
    }
    int longs = 0;
    while (i < s.size() && s[i] == 'l' && longs < 2) {
        ++longs;
        ++i;
    }
    if (i >= s.size()) return finish(false);
    const char conv = s[i];
    const bool integral = conv == 'd' || conv == 'i' || conv == 'u';
    if ((longs > 0 && !integral) || (c.precision >= 0 && conv != 'f')) return finish(false);
    switch (conv) {
        case '@': c.kind = Kind::object; break;
        case 'd':
        case 'i': c.kind = Kind::signedInteger; break;
        case 'u': c.kind = Kind::unsignedInteger; break;
        case 'f': c.kind = Kind::floatingPoint; break;
        default: return finish(false);
    }
    return finish(true);
}

// Calls literal(text) and conversion(c, argumentIndex) in order; false when
// a conversion is ill-formed.
template <class Literal, class Convert>
bool walk(std::string_view s, Literal&& literal, Convert&& convert) {
    bool wellFormed = true;
    int sequential = 0;
    size_t i = 0;
    while (i < s.size()) {
        size_t percent = s.find('%', i);
        if (percent == std::string_view::npos) percent = s.size();
        if (percent > i) literal(s.substr(i, percent - i));
        if (percent == s.size()) break;
        Conversion c = parseConversion(s, percent);
        if (!c.valid) {
            wellFormed = false;
            literal(s.substr(percent, c.length));
        } else if (c.percent) {
            literal("%");
        } else {
            convert(c, c.position >= 0 ? c.position : sequential++);
        }
        i = percent + c.length;
    }
    return wellFormed;
}

std::string decimal(int64_t v) { return std::to_string(v); }
std::string decimal(uint64_t v) { return std::to_string(v); }

int64_t truncated(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
    if (d <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(d);
}

std::string fixed(double d, int precision, std::string_view separator) {
    char buf[512];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed, precision < 0 ? 6 : precision);
    std::string out = ec == std::errc() ? std::string(buf, end) : std::string("0");
    size_t dot = out.find('.');
    if (dot != std::string::npos) out.replace(dot, 1, separator);
    return out;
}

std::string shortest(double d) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
    return ec == std::errc() ? std::string(buf, end) : std::string();
}

std::string render(const Conversion& c, const VelantrixFormatArgument::Value& v, std::string_view separator) {
    return std::visit(
        [&](const auto& x) -> std::string {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::string>) {
                // Text for a number: a caller's mistake, caught in debug builds.
                assert(c.kind == Kind::object && "text passed for a numeric conversion");
                return c.kind == Kind::object ? x : std::string();
            } else if constexpr (std::is_same_v<T, double>) {
                if (c.kind == Kind::floatingPoint) return fixed(x, c.precision, separator);
                if (c.kind == Kind::object) return shortest(x);
                return decimal(truncated(x));
            } else {
                if (c.kind == Kind::floatingPoint) return fixed(static_cast<double>(x), c.precision, separator);
                return decimal(x);
            }
        },
        v);
}

}  // namespace

std::optional<VelantrixFormatter::Signature> VelantrixFormatter::signature(std::string_view format) {
    Signature sig;
    bool consistent = true;
    bool wellFormed = walk(
        format, [](std::string_view) {},
        [&](const Conversion& c, int index) {
            if (index >= kMaxPosition) {
                consistent = false;
                return;
            }
            if (sig.size() <= static_cast<size_t>(index)) sig.resize(static_cast<size_t>(index) + 1);
            auto& slot = sig[static_cast<size_t>(index)];
            if (slot && *slot != c.kind) consistent = false;
            slot = c.kind;
        });
    if (!wellFormed || !consistent) return std::nullopt;
    return sig;
}

bool VelantrixFormatter::conversionsAgree(std::string_view candidate, std::string_view reference) {
    auto a = signature(candidate);
    auto b = signature(reference);
    return a && b && *a == *b;
}

std::string VelantrixFormatter::format(std::string_view format, std::span<const VelantrixFormatArgument> arguments,
                                       std::string_view decimalSeparator) {
    std::string out;
    out.reserve(format.size() + 16 * arguments.size());
    walk(
        format, [&](std::string_view text) { out.append(text); },
        [&](const Conversion& c, int index) {
            if (index < 0 || static_cast<size_t>(index) >= arguments.size()) {
                assert(!"format conversion without an argument");
                return;
            }
            out += render(c, arguments[static_cast<size_t>(index)].value(), decimalSeparator);
        });
    return out;
}
