#include <gtest/gtest.h>

#include "AuxServerTestFixture.h"
#include "Platform/Security/Crypto.h"

namespace {
std::string txt(const platform::DnsServiceDescription& d, const std::string& key) {
    for (const auto& [k, v] : d.txt)
        if (k == key) return v;
    return "<absent>";
}
}  // namespace

TEST_F(AuxServerTest, AdvertisesTheBoundPortsAndTheHostIdentityAtStart) {
    ASSERT_EQ(registration->published.size(), 1u);
    const auto& service = registration->published.front();
    EXPECT_EQ(service.type, "_velantrix-host._tcp");
    EXPECT_EQ(service.domain, "local");
    EXPECT_EQ(service.port, server->boundAudioPort());
    EXPECT_EQ(txt(service, "audio"), std::to_string(server->boundAudioPort()));
    EXPECT_EQ(txt(service, "video"), std::to_string(server->boundVideoPort()));
    EXPECT_EQ(txt(service, "files"), std::to_string(server->boundFilePort()));
    EXPECT_EQ(txt(service, "r0"), "lan,eth0,192.0.2.10");
    EXPECT_EQ(txt(service, "wol"), "02:00:00:00:00:01");
    auto identity = server->hostIdentityForTesting();
    EXPECT_EQ(txt(service, "id"), identity.hostIdentifier.uuidString());
    auto pk = identity.signingKey.publicKey();
    EXPECT_EQ(txt(service, "pk"), platform::crypto::base64UrlNoPad(pk));
}

TEST_F(AuxServerTest, StatisticsTickPublishesOnlyWhenTheRoutesChanged) {
    ASSERT_EQ(registration->published.size(), 1u);
    advance(10);  // ten ticks over an unchanged machine
    EXPECT_EQ(registration->published.size(), 1u);

    routes.records.push_back({"wifi", "wlan0", "192.0.2.20"});
    advance(1);
    ASSERT_EQ(registration->published.size(), 2u);
    EXPECT_EQ(txt(registration->published.back(), "r1"), "wifi,wlan0,192.0.2.20");
    EXPECT_TRUE(logContains("timer"));
    advance(5);
    EXPECT_EQ(registration->published.size(), 2u);
}

TEST_F(AuxServerTest, TerminationWithdrawsTheAdvertisement) {
    server->stopForTermination();
    EXPECT_EQ(registration->withdrawals, 1);
}
