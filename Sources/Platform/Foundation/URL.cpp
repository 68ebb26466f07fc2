#include "Platform/Foundation/URL.h"

namespace platform {

namespace {
bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isSchemeCharacter(char c) { return isAlpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'; }
}  // namespace

std::optional<URL> URL::parse(std::string_view text) {
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F) return std::nullopt;
    }
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || !isAlpha(text[0])) return std::nullopt;
    for (char c : text.substr(0, colon))
        if (!isSchemeCharacter(c)) return std::nullopt;

    URL url;
    url.text_ = std::string(text);
    url.scheme_ = std::string(text.substr(0, colon));
    std::string_view rest = text.substr(colon + 1);
    // The query and fragment are not part of the path.
    rest = rest.substr(0, std::min(rest.find('?'), rest.find('#')));
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        const size_t slash = std::min(rest.find('/'), rest.size());
        std::string_view authority = rest.substr(0, slash);
        // User information and a port are not the host.
        if (const size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
        if (!authority.starts_with('[')) authority = authority.substr(0, authority.find(':'));
        if (!authority.empty()) url.host_ = std::string(authority);
        rest = rest.substr(slash);
    }
    url.path_ = std::string(rest);
    return url;
}

}  // namespace platform
