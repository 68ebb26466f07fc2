#pragma once
// JSON values (nlohmann::json) and a parse that reports failure as a value.

#include <string_view>

#include <nlohmann/json.hpp>

#include "Platform/Foundation/Result.h"

namespace platform {

using Json = nlohmann::json;

// Deepest nesting of arrays and objects parseJson accepts: enough for any
// document the Host reads, shallow enough that walking the result
// recursively cannot exhaust the stack.
inline constexpr size_t kMaxJsonDepth = 256;

// Parses a whole document. Never throws: malformed, truncated or too deeply
// nested text yields a failure with the parser's message.
Result<Json> parseJson(std::string_view text);

}  // namespace platform
