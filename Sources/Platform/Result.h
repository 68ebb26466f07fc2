#pragma once
// The one result type of the tree: a value, or a human-readable failure.

#include <string>
#include <utility>
#include <variant>

namespace platform {

struct Failure {
    std::string message;
};

template <class T>
class Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(Failure f) : v_(std::move(f)) {}
    static Result failure(std::string message) { return Result(Failure{std::move(message)}); }

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    const std::string& error() const { return std::get<1>(v_).message; }

private:
    std::variant<T, Failure> v_;
};

struct Unit {};
using Status = Result<Unit>;
inline Status success() { return Status(Unit{}); }

}  // namespace platform
