#pragma once
// The one result type of the tree: a value, or why there is none. The reason
// is a human-readable failure unless the caller names an error enumeration of
// its own, for callers that must tell failures apart.

#include <concepts>
#include <string>
#include <utility>
#include <variant>

namespace platform {

struct Failure {
    std::string message;
};

template <class T, class E = Failure>
class Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}
    static Result failure(std::string message)
        requires std::same_as<E, Failure>
    {
        return Result(Failure{std::move(message)});
    }

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    // The failure's message, or the caller's error value.
    const auto& error() const {
        if constexpr (std::same_as<E, Failure>)
            return std::get<1>(v_).message;
        else
            return std::get<1>(v_);
    }

private:
    std::variant<T, E> v_;
};

struct Unit {};
using Status = Result<Unit>;
inline Status success() { return Status(Unit{}); }

}  // namespace platform
