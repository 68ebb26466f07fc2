#include <gtest/gtest.h>

#include "Platform/Runtime/Dispatch.h"
#include "Support/LoopbackHttpServer.h"
#include "Support/TestSupport.h"
#include "VelantrixProfiles/ReleaseFeed/VelantrixReleaseChannels.h"
#include "VelantrixProfiles/ReleaseFeed/VelantrixReleaseFeedService.h"

using platform::testing::LoopbackHttpServer;
using Reply = LoopbackHttpServer::Reply;

namespace {

const std::string kFeed = R"({"viewer":{"version":"2.0","build":"7"},"host":{"version":"1.6.0","build":"42"}})";
const VelantrixReleaseFeed kDecoded{{"2.0", "7"}, {"1.6.0", "42"}};

class ReleaseFeedFetch : public VirtualTimeTest {
protected:
    ~ReleaseFeedFetch() override {
        VelantrixReleaseChannels::setLatestReleaseFeedURLForTesting(std::nullopt);
        VelantrixReleaseFeedService::setFetchTimeoutForTesting(std::nullopt);
    }

    // Fetches from `url` and waits for the one completion, which must run
    // on the main queue.
    std::optional<VelantrixReleaseFeed> fetch(const std::string& url) {
        VelantrixReleaseChannels::setLatestReleaseFeedURLForTesting(url);
        int completions = 0;
        std::optional<VelantrixReleaseFeed> result;
        VelantrixReleaseFeedService::fetchLatestFeed([&](std::optional<VelantrixReleaseFeed> feed) {
            EXPECT_TRUE(platform::DispatchQueue::main().isCurrent());
            completions++;
            result = std::move(feed);
        });
        EXPECT_TRUE(runUntil([&] { return completions > 0; }));
        runUntilIdle();
        EXPECT_EQ(completions, 1);
        return result;
    }
};

TEST_F(ReleaseFeedFetch, OnlyASuccessfulStatusWithAFeedGivesTheFeed) {
    const std::string oversized =
        R"({"padding":")" + std::string(65 * 1024, ' ') + R"(",)" + kFeed.substr(1);
    struct Row {
        int status;
        std::string body;
        bool givesFeed;
    };
    const Row rows[] = {
        {200, kFeed, true},
        {299, kFeed, true},
        {204, "", false},
        {300, kFeed, false},
        {404, kFeed, false},
        {500, kFeed, false},
        {200, R"({"viewer":{"version":"2.0","build":"7"},"host":{"version":"1.6.0","build":42}})", false},
        {200, R"({"viewer":{"version":"2.0","build":"7"},"host":{"version":"1.6.0"}})", false},
        {200, "null", false},
        {200, "<html></html>", false},
        {200, oversized, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.status);
        LoopbackHttpServer server([&](const std::string&) { return Reply{row.status, row.body}; });
        EXPECT_EQ(fetch(server.url("/latest.json")), row.givesFeed ? std::optional(kDecoded) : std::nullopt);
        EXPECT_EQ(server.requestCount(), 1);
    }
}

TEST_F(ReleaseFeedFetch, FollowsARedirectToTheFeed) {
    LoopbackHttpServer server([&](const std::string& path) {
        if (path == "/latest.json") return Reply{302, "", {{"Location", "/feeds/latest.json"}}};
        return Reply{200, kFeed};
    });
    EXPECT_EQ(fetch(server.url("/latest.json")), kDecoded);
    EXPECT_EQ(server.requestCount(), 2);
}

TEST_F(ReleaseFeedFetch, GivesNothingForAStalledServerAPlainPortOrAnotherScheme) {
    VelantrixReleaseFeedService::setFetchTimeoutForTesting(0.3);
    LoopbackHttpServer stalled([](const std::string&) { return Reply{.stall = true}; });
    EXPECT_EQ(fetch(stalled.url("/latest.json")), std::nullopt);
    EXPECT_EQ(stalled.requestCount(), 1);

    LoopbackHttpServer plain([](const std::string&) { return Reply{200, kFeed}; });
    EXPECT_EQ(fetch(plain.url("/latest.json", "https")), std::nullopt);
    EXPECT_EQ(fetch(plain.url("/latest.json", "ftp")), std::nullopt);
    EXPECT_EQ(plain.requestCount(), 0);
}

}  // namespace
