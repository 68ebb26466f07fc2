// The Host identity file: kept across runs, private, and replaced when damaged.

#include <gtest/gtest.h>

#include <filesystem>

#include "HostApp/AuxServer/HostIdentity.h"
#include "Platform/Files/FileIO.h"
#include "Support/TestSupport.h"

namespace {

class HostIdentityFile : public platform::testing::VirtualTimeTest {
protected:
    std::vector<std::string> logged;
    HostIdentity load() {
        return HostIdentity::loadOrCreate(HostIdentity::defaultPath(),
                                          [&](const std::string& line) { logged.push_back(line); });
    }
};

TEST_F(HostIdentityFile, IsCreatedPrivateAndReadBackUnchanged) {
    auto first = load();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0], "identity: created host identity " + first.hostIdentifier.uuidString());
    auto path = HostIdentity::defaultPath();
    EXPECT_EQ(path.filename(), "host-identity.key");
    auto perms = std::filesystem::status(path).permissions();
    EXPECT_EQ(perms & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    auto second = load();
    EXPECT_EQ(logged.size(), 1u);
    EXPECT_EQ(second.hostIdentifier, first.hostIdentifier);
    EXPECT_EQ(second.signingKey.publicKey(), first.signingKey.publicKey());
}

TEST_F(HostIdentityFile, CorruptFileIsReplacedWithALogLine) {
    auto first = load();
    auto bytes = *platform::FileIO::readAll(HostIdentity::defaultPath());
    bytes[30] ^= 0x01;  // one bit of the seed
    ASSERT_TRUE(platform::FileIO::writeAtomically(HostIdentity::defaultPath(), bytes).ok());
    auto replaced = load();
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[1], "identity: host identity file is corrupt; replacing it with a new identity");
    EXPECT_NE(replaced.signingKey.publicKey(), first.signingKey.publicKey());
    // The replacement is what the next run reads.
    auto again = load();
    EXPECT_EQ(again.signingKey.publicKey(), replaced.signingKey.publicKey());
    EXPECT_EQ(logged.size(), 2u);
}

TEST_F(HostIdentityFile, UnreadableFileIsReportedAndAFreshIdentityServesTheRun) {
    std::filesystem::create_directories(HostIdentity::defaultPath());  // a folder where the file should be
    auto identity = load();
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_NE(logged[0].find("identity: host identity file is unreadable"), std::string::npos);
    EXPECT_NE(logged[1].find("identity: cannot save host identity"), std::string::npos);
    auto other = load();
    EXPECT_NE(other.signingKey.publicKey(), identity.signingKey.publicKey());
}

TEST(HostIdentityCodec, RejectsEveryDamagedForm) {
    auto identity = HostIdentity::generate();
    auto bytes = identity.encode();
    ASSERT_EQ(bytes.size(), 57u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "NVHI");
    auto back = HostIdentity::decode(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->hostIdentifier, identity.hostIdentifier);
    EXPECT_EQ(back->signingKey.seed(), identity.signingKey.seed());

    EXPECT_FALSE(HostIdentity::decode({}));
    EXPECT_FALSE(HostIdentity::decode(std::span(bytes).first(56)));
    auto longer = bytes;
    longer.push_back(0);
    EXPECT_FALSE(HostIdentity::decode(longer));
    for (size_t i : {size_t{0}, size_t{4}, size_t{5}, size_t{52}, size_t{56}}) {
        auto damaged = bytes;
        damaged[i] ^= 0x80;
        EXPECT_FALSE(HostIdentity::decode(damaged)) << "byte " << i;
    }
}

}  // namespace
