#include <gtest/gtest.h>

#include "Platform/HttpClient.h"
#include "Platform/URLComponents.h"
#include "Support/LoopbackHttpServer.h"

using namespace platform;
using platform::testing::LoopbackHttpServer;

namespace {

TEST(URLComponentsTest, ParsesOnlyAbsoluteWebAddresses) {
    const std::pair<const char*, std::optional<std::string>> rows[] = {
        {"https://velantrix.example", "https://velantrix.example"},
        {"HTTP://Host.example:8080/a/b?q=1#top", "http://Host.example:8080/a/b?q=1#top"},
        {"http://127.0.0.1:1/x%20y", "http://127.0.0.1:1/x%20y"},
        {"http://[::1]:80/", "http://[::1]:80/"},
        {"ftp://host.example", std::nullopt},
        {"https:/host.example", std::nullopt},
        {"https://", std::nullopt},
        {"https://user@host.example", std::nullopt},
        {"https://host.example:", std::nullopt},
        {"https://host.example:65536", std::nullopt},
        {"https://host example", std::nullopt},
        {"https://host.example/%zz", std::nullopt},
        {"https://host.example/%2", std::nullopt},
        {"https://hõst.example", std::nullopt},
        {"not a url", std::nullopt},
    };
    for (const auto& [text, expected] : rows) {
        auto parsed = URLComponents::parse(text);
        EXPECT_EQ(parsed ? parsed->string() : std::nullopt, expected) << text;
    }
    auto c = *URLComponents::parse("https://velantrix.example/old#old");
    c.setPath("/de/a b/%/ü");
    c.setFragment("release notes?");
    EXPECT_EQ(c.string(), "https://velantrix.example/de/a%20b/%25/%C3%BC#release%20notes?");
    c.setFragment(std::nullopt);
    c.setPath("relative");
    EXPECT_EQ(c.string(), std::nullopt);
}

TEST(HttpClientTest, BodyCapAndRedirectLimitBoundTheResponse) {
    LoopbackHttpServer server([](const std::string& path) -> LoopbackHttpServer::Reply {
        if (path.rfind("/hop/", 0) == 0) {
            int n = std::stoi(path.substr(5));
            return {302, "", {{"Location", n == 0 ? "/body" : "/hop/" + std::to_string(n - 1)}}};
        }
        return {200, std::string(1000, 'x')};
    });
    auto whole = HttpClient::get(server.url("/body"), 5, 1000);
    ASSERT_TRUE(whole.ok()) << whole.error();
    EXPECT_EQ(whole->statusCode, 200);
    EXPECT_EQ(whole->body.size(), 1000u);
    EXPECT_FALSE(HttpClient::get(server.url("/body"), 5, 999).ok());

    auto redirected = HttpClient::get(server.url("/hop/4"), 5, 1000);  // five redirects
    ASSERT_TRUE(redirected.ok()) << redirected.error();
    EXPECT_EQ(redirected->finalURL, server.url("/body"));
    EXPECT_FALSE(HttpClient::get(server.url("/hop/5"), 5, 1000).ok());  // six
    EXPECT_FALSE(HttpClient::get("file:///etc/passwd", 5, 1000).ok());
}

}  // namespace
