#include "Platform/Network/HttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "Platform/Foundation/URLComponents.h"

namespace platform {

namespace {

// libcurl's process-wide set-up; must happen once, before any handle.
bool globalInit() {
    static std::once_flag once;
    static CURLcode code = CURLE_FAILED_INIT;
    std::call_once(once, [] { code = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return code == CURLE_OK;
}

struct Sink {
    std::vector<uint8_t> body;
    size_t cap = 0;
    bool overflowed = false;
};

size_t collect(char* data, size_t size, size_t count, void* context) {
    auto* sink = static_cast<Sink*>(context);
    const size_t n = size * count;
    if (n > sink->cap - sink->body.size()) {
        sink->overflowed = true;
        return 0;  // any short count makes libcurl abandon the transfer
    }
    sink->body.insert(sink->body.end(), data, data + n);
    return n;
}

}  // namespace

Result<HttpResponse> HttpClient::get(const std::string& url, double deadlineSeconds, size_t maxBodyBytes) {
    using R = Result<HttpResponse>;
    const auto components = URLComponents::parse(url);
    if (!components) return R::failure("not an http or https address: " + url);
    if (!globalInit()) return R::failure("cannot initialise libcurl");
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle(curl_easy_init(), curl_easy_cleanup);
    if (!handle) return R::failure("cannot create a libcurl handle");
    CURL* h = handle.get();

    Sink sink;
    sink.cap = maxBodyBytes;
    char errorText[CURL_ERROR_SIZE] = {};
    const long deadlineMs = std::max(1L, static_cast<long>(deadlineSeconds * 1000));
    // An https request may only ever be redirected to https.
    const char* redirectProtocols = components->scheme() == "https" ? "https" : "http,https";

    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);  // no SIGALRM from name lookups in a threaded process
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, deadlineMs);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, redirectProtocols);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(h, CURLOPT_NOPROXY, "localhost,127.0.0.0/8,::1");
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBodyBytes));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);

    const CURLcode code = curl_easy_perform(h);
    if (sink.overflowed || code == CURLE_FILESIZE_EXCEEDED)
        return R::failure("response body of " + url + " exceeds " + std::to_string(maxBodyBytes) + " bytes");
    if (code != CURLE_OK)
        return R::failure("cannot fetch " + url + ": " + (errorText[0] ? errorText : curl_easy_strerror(code)));

    HttpResponse response;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.statusCode);
    const char* effective = nullptr;
    curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &effective);
    response.finalURL = effective ? effective : url;
    response.body = std::move(sink.body);
    return response;
}

}  // namespace platform
