#pragma once
// Fetches one document over HTTP or HTTPS, the way the Host reads its
// release feed: one blocking GET, bounded in time and size, following a few
// redirects, with certificates verified and nothing remembered between
// requests (no cookies, no cache). Backed by libcurl.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Platform/Foundation/Result.h"

namespace platform {

struct HttpResponse {
    long statusCode = 0;
    // The address that answered, after redirects.
    std::string finalURL;
    std::vector<uint8_t> body;
};

struct HttpClient {
    static constexpr long kMaxRedirects = 5;

    // Blocks until the response is complete or `deadlineSeconds` have passed
    // since the call (connecting, redirects and the body included). Any
    // status is a response; a failure means no complete response arrived:
    // an address that is not http or https, no connection, a TLS failure,
    // more than kMaxRedirects redirects or one from https to http, the
    // deadline, or a body longer than `maxBodyBytes` (abandoned as soon as
    // it passes the cap). Loopback addresses are never reached via a proxy.
    static Result<HttpResponse> get(const std::string& url, double deadlineSeconds, size_t maxBodyBytes);
};

}  // namespace platform
