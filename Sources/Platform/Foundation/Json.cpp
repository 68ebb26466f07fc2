#include "Platform/Foundation/Json.h"

#include <exception>
#include <string>

namespace platform {

namespace {

// Nesting depth of brackets outside string literals; stops counting once
// past the limit.
size_t nestingDepth(std::string_view text) {
    size_t depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
            continue;
        }
        switch (c) {
            case '"': inString = true; break;
            case '[':
            case '{':
                if (++depth > deepest) deepest = depth;
                if (deepest > kMaxJsonDepth) return deepest;
                break;
            case ']':
            case '}':
                if (depth > 0) --depth;
                break;
            default: break;
        }
    }
    return deepest;
}

}  // namespace

Result<Json> parseJson(std::string_view text) {
    if (nestingDepth(text) > kMaxJsonDepth)
        return Result<Json>::failure("JSON nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
    try {
        return Result<Json>(Json::parse(text.begin(), text.end()));
    } catch (const std::exception& e) {
        return Result<Json>::failure(std::string("invalid JSON: ") + e.what());
    }
}

}  // namespace platform
