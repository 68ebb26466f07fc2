#pragma once
// Property-list values and their XML and binary encodings. Used for user
// defaults, clipboard transfers and the updater's request and status files.

#include <concepts>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "Platform/Runtime/Clock.h"
#include "Platform/Foundation/Result.h"

namespace platform {

// One property-list value: a boolean, an integer (signed 64-bit, or unsigned
// above INT64_MAX), a real, a UTF-8 string, data, a date, an array or a
// dictionary with string keys. A default-constructed value is an empty
// dictionary, the usual root.
class PlistValue {
public:
    using Data = std::vector<uint8_t>;
    using Array = std::vector<PlistValue>;
    using Dictionary = std::map<std::string, PlistValue>;

    PlistValue() : v_(Dictionary{}) {}
    PlistValue(bool b) : v_(b) {}
    template <std::integral T>
        requires(!std::same_as<T, bool>)
    PlistValue(T i) {
        if constexpr (std::is_signed_v<T>) {
            v_ = static_cast<int64_t>(i);
        } else if (static_cast<uint64_t>(i) > static_cast<uint64_t>(INT64_MAX)) {
            v_ = static_cast<uint64_t>(i);
        } else {
            v_ = static_cast<int64_t>(i);
        }
    }
    PlistValue(double d) : v_(d) {}
    PlistValue(float f) : v_(static_cast<double>(f)) {}
    PlistValue(const char* s) : v_(std::string(s)) {}
    PlistValue(std::string s) : v_(std::move(s)) {}
    PlistValue(std::string_view s) : v_(std::string(s)) {}
    PlistValue(Data d) : v_(std::move(d)) {}
    PlistValue(Date d) : v_(d) {}
    PlistValue(Array a) : v_(std::move(a)) {}
    PlistValue(Dictionary d) : v_(std::move(d)) {}

    bool isBool() const { return std::holds_alternative<bool>(v_); }
    bool isInteger() const { return std::holds_alternative<int64_t>(v_) || std::holds_alternative<uint64_t>(v_); }
    bool isReal() const { return std::holds_alternative<double>(v_); }
    bool isString() const { return std::holds_alternative<std::string>(v_); }
    bool isData() const { return std::holds_alternative<Data>(v_); }
    bool isDate() const { return std::holds_alternative<Date>(v_); }
    bool isArray() const { return std::holds_alternative<Array>(v_); }
    bool isDictionary() const { return std::holds_alternative<Dictionary>(v_); }

    // Each accessor answers only for its own kind (no conversions).
    std::optional<bool> asBool() const;
    // Empty for unsigned values above INT64_MAX.
    std::optional<int64_t> asInteger() const;
    // Empty for negative values.
    std::optional<uint64_t> asUnsigned() const;
    std::optional<double> asReal() const;
    std::optional<std::string> asString() const;
    std::optional<Date> asDate() const;
    const Data* asData() const;
    const Array* asArray() const;
    Array* asArray();
    const Dictionary* asDictionary() const;
    Dictionary* asDictionary();

    // Dictionary lookup; nullptr when absent or when this is no dictionary.
    const PlistValue* operator[](const std::string& key) const;
    // Array element; nullptr when out of range or when this is no array.
    const PlistValue* at(size_t index) const;

    // Stores a dictionary entry; a value that is not a dictionary becomes an
    // empty one first.
    PlistValue& set(const std::string& key, PlistValue value);
    // Appends an array element; a value that is not an array becomes an
    // empty one first.
    PlistValue& append(PlistValue value);

    bool operator==(const PlistValue& other) const = default;

private:
    std::variant<bool, int64_t, uint64_t, double, std::string, Data, Date, Array, Dictionary> v_;
};

struct PropertyList {
    // Limits on what read() accepts. Containers nested deeper, or a document
    // whose fully expanded tree would take more memory than this (binary
    // property lists can reference one object many times), are refused.
    static constexpr size_t kMaxDepth = 256;
    static constexpr size_t kMaxExpandedBytes = 128u * 1024 * 1024;

    // Reads an XML or binary property list (told apart by the "bplist00"
    // magic). Malformed, truncated or hostile input yields a failure.
    static Result<PlistValue> read(std::span<const uint8_t> bytes);

    // Strings are written up to their first NUL character; bytes that are
    // not UTF-8 are written (and read) as U+FFFD. Dates are held to the
    // microsecond in binary and to the second in XML, between the years
    // 1901 and 2069 (seconds since 2001 in 32 bits); dates outside are
    // clamped to that range.
    static std::vector<uint8_t> writeXML(const PlistValue& value);
    static std::vector<uint8_t> writeBinary(const PlistValue& value);
};

}  // namespace platform
