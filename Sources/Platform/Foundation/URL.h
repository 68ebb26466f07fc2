#pragma once
// A URL of any scheme taken apart as Foundation's URL does for the Host's
// own schemes ("norvessalhost://update/restart"): the scheme (as written),
// the host of an authority ("//host"), and the path. Nothing for text that
// is not a URL: no scheme, a scheme that does not start with a letter or
// holds other than letters, digits, "+", "-" and ".", or text with blanks,
// control bytes or bytes beyond ASCII.

#include <optional>
#include <string>
#include <string_view>

namespace platform {

class URL {
public:
    static std::optional<URL> parse(std::string_view text);

    const std::string& scheme() const { return scheme_; }
    // The host of the authority; none when the URL has no "//" authority or
    // its host is empty.
    const std::optional<std::string>& host() const { return host_; }
    // The path as written; empty when there is none.
    const std::string& path() const { return path_; }
    const std::string& absoluteString() const { return text_; }

private:
    std::string text_;
    std::string scheme_;
    std::optional<std::string> host_;
    std::string path_;
};

}  // namespace platform
