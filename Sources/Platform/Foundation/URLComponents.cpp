#include "Platform/Foundation/URLComponents.h"

#include <algorithm>
#include <cctype>

namespace platform {

namespace {

bool isUnreserved(unsigned char c) { return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~'; }
bool isSubDelim(unsigned char c) { return std::string_view("!$&'()*+,;=").find(static_cast<char>(c)) != std::string_view::npos; }
bool isPathChar(unsigned char c) { return isUnreserved(c) || isSubDelim(c) || c == ':' || c == '@' || c == '/'; }
bool isFragmentChar(unsigned char c) { return isPathChar(c) || c == '?'; }

std::string percentEncode(std::string_view text, bool (*allowed)(unsigned char)) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (allowed(c)) {
            out += ch;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// Printable ASCII that may appear in an address, with every "%" starting an
// escape.
bool isWellFormed(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c <= 0x20 || c >= 0x7F || std::string_view("\"<>\\^`{|}").find(text[i]) != std::string_view::npos)
            return false;
        if (c == '%' && (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
                         !std::isxdigit(static_cast<unsigned char>(text[i + 2]))))
            return false;
    }
    return true;
}

bool isHostName(std::string_view host) {
    if (host.empty()) return false;
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') return false;
        return std::all_of(host.begin() + 1, host.end() - 1,
                           [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.'; });
    }
    return std::all_of(host.begin(), host.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.'; });
}

bool isPort(std::string_view port) {
    if (port.empty() || port.size() > 5) return false;
    if (!std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
    return std::stoul(std::string(port)) <= 65535;
}

}  // namespace

std::optional<URLComponents> URLComponents::parse(std::string_view text) {
    if (!isWellFormed(text)) return std::nullopt;
    const size_t schemeEnd = text.find("://");
    if (schemeEnd == std::string_view::npos) return std::nullopt;
    URLComponents c;
    for (char ch : text.substr(0, schemeEnd)) c.scheme_ += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (c.scheme_ != "http" && c.scheme_ != "https") return std::nullopt;

    std::string_view rest = text.substr(schemeEnd + 3);
    if (const size_t hash = rest.find('#'); hash != std::string_view::npos) {
        c.fragment_ = std::string(rest.substr(hash + 1));
        rest = rest.substr(0, hash);
    }
    if (const size_t question = rest.find('?'); question != std::string_view::npos) {
        c.query_ = std::string(rest.substr(question + 1));
        rest = rest.substr(0, question);
    }
    const size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    if (slash != std::string_view::npos) c.path_ = std::string(rest.substr(slash));
    if (authority.find('@') != std::string_view::npos) return std::nullopt;

    // A colon after the last "]" (or anywhere, without brackets) starts the port.
    const size_t bracket = authority.rfind(']');
    const size_t colon = authority.find(':', bracket == std::string_view::npos ? 0 : bracket);
    if (colon != std::string_view::npos) {
        c.port_ = std::string(authority.substr(colon + 1));
        if (!isPort(c.port_)) return std::nullopt;
        authority = authority.substr(0, colon);
    }
    if (!isHostName(authority)) return std::nullopt;
    c.host_ = std::string(authority);
    return c;
}

void URLComponents::setPath(std::string_view path) { path_ = percentEncode(path, isPathChar); }

void URLComponents::setFragment(std::optional<std::string_view> fragment) {
    if (fragment)
        fragment_ = percentEncode(*fragment, isFragmentChar);
    else
        fragment_.reset();
}

std::optional<std::string> URLComponents::string() const {
    if (!path_.empty() && path_.front() != '/') return std::nullopt;
    std::string out = scheme_ + "://" + host_;
    if (!port_.empty()) out += ":" + port_;
    out += path_;
    if (query_) out += "?" + *query_;
    if (fragment_) out += "#" + *fragment_;
    return out;
}

}  // namespace platform
