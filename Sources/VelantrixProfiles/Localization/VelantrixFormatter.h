#pragma once
// printf-style formatting for localised texts, checked: every conversion
// takes its argument from a typed list, a conversion without an argument
// prints nothing, and nothing is ever read past the list. Translations are
// data written by hand, so a stray "%d" in a table must not be able to read
// garbage or crash the Host.
//
// Conversions: %@ (any argument as text), %d %i %ld %lld (signed),
// %u %lu %llu (unsigned), %f and %.Nf (floating point, with the locale's
// decimal separator), %% and the positional form %n$ ("%2$@"). Integers are
// never grouped.

#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// One argument of a format.
class VelantrixFormatArgument {
public:
    using Value = std::variant<std::string, int64_t, uint64_t, double>;

    VelantrixFormatArgument(std::string s) : value_(std::move(s)) {}
    VelantrixFormatArgument(std::string_view s) : value_(std::string(s)) {}
    VelantrixFormatArgument(const char* s) : value_(std::string(s ? s : "")) {}
    template <std::signed_integral T>
        requires(!std::same_as<T, bool>)
    VelantrixFormatArgument(T v) : value_(static_cast<int64_t>(v)) {}
    template <std::unsigned_integral T>
        requires(!std::same_as<T, bool>)
    VelantrixFormatArgument(T v) : value_(static_cast<uint64_t>(v)) {}
    VelantrixFormatArgument(double v) : value_(v) {}

    const Value& value() const { return value_; }

private:
    Value value_;
};

struct VelantrixFormatter {
    enum class ArgumentKind { object, signedInteger, unsignedInteger, floatingPoint };
    // What a format consumes, by argument position (an unused position is
    // empty).
    using Signature = std::vector<std::optional<ArgumentKind>>;

    // Nothing when the format is ill-formed: an unknown conversion, a
    // position of 0 or beyond 64, or one position used as two kinds.
    static std::optional<Signature> signature(std::string_view format);
    // True when both formats are well formed and consume the same kinds at
    // the same positions: only then may one stand in for the other.
    static bool conversionsAgree(std::string_view candidate, std::string_view reference);

    // The filled-in text. Ill-formed conversions are copied as they stand.
    static std::string format(std::string_view format, std::span<const VelantrixFormatArgument> arguments,
                              std::string_view decimalSeparator = ".");
};
