#pragma once
// The parts of an absolute web address, taken apart to build page addresses
// from a site's root: the path and fragment are set as plain text and
// percent-encoded where they may not stand as they are.

#include <optional>
#include <string>
#include <string_view>

namespace platform {

class URLComponents {
public:
    // An absolute http or https address: scheme, "://", a host (a name, an
    // IPv4 address or a bracketed IPv6 one) with an optional port, then an
    // optional path, query and fragment. Nothing for anything else: another
    // scheme, user information, an empty host, a bad port, a space, a
    // control or non-ASCII byte, or a "%" not followed by two hex digits.
    static std::optional<URLComponents> parse(std::string_view text);

    const std::string& scheme() const { return scheme_; }  // lower case
    const std::string& host() const { return host_; }
    const std::string& percentEncodedPath() const { return path_; }
    const std::optional<std::string>& percentEncodedFragment() const { return fragment_; }

    void setPath(std::string_view path);
    void setFragment(std::optional<std::string_view> fragment);

    // The address; nothing when a non-empty path does not begin with "/",
    // which would run into the host.
    std::optional<std::string> string() const;

private:
    std::string scheme_;
    std::string host_;
    std::string port_;  // digits, or empty
    std::string path_;
    std::optional<std::string> query_;
    std::optional<std::string> fragment_;
};

}  // namespace platform
