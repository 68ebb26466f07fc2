#include <gtest/gtest.h>

#include <cmath>

#include "AuxTestBytes.h"
#include "HostApp/Protocol/FileTransferEndpointPayload.h"
#include "HostApp/Protocol/SessionPayloads.h"

using namespace auxtest;

namespace {

const std::string kHostID = "8C1D2E3F-5A6B-4C7D-8E9F-0A1B2C3D4E5F";

HostSessionInfoPayload unlockedMac() {
    HostSessionInfoPayload p;
    p.loginDone = true;
    p.canSwitchDesktops = true;
    p.osMajorVersion = 15;
    p.viewport = HostSessionInfoPayload::Region{0, 0, 32768.0 / 65535.0, 1};
    p.consoleUserName = "ann";
    p.consoleDisplayName = "Ann";
    p.hostIdentifier = kHostID;
    return p;
}

const std::vector<uint8_t> kUnlockedMacBytes = cat({
    hex("01 | 1C | 0F 00 | 00 00 00 00 00 80 FF FF | 00 00 00 00 00 00 00 00"),
    hex("03 00"), ascii("ann"),
    hex("03 00"), ascii("Ann"),
    hex("24 00"), ascii(kHostID),
});

TEST(HostSessionInfoPayload, MatchesTheWireBytes) {
    EXPECT_EQ(unlockedMac().encode(), kUnlockedMacBytes);
    EXPECT_EQ(HostSessionInfoPayload::decode(kUnlockedMacBytes), unlockedMac());
}

TEST(HostSessionInfoPayload, SetsOneBitPerFlagAndRegion) {
    HostSessionInfoPayload p;
    p.isLoginWindow = true;
    p.isLocked = true;
    p.pictureInPicture = HostSessionInfoPayload::Region{0.5, 0.25, 0.5, 0.5};
    EXPECT_EQ(p.encode(), hex("01 | 23 | 00 00 | 00 00 00 00 00 00 00 00 | 00 80 00 40 00 80 00 80 | 00 00 | 00 00 | 00 00"));
    auto back = HostSessionInfoPayload::decode(p.encode());
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->isLoginWindow);
    EXPECT_TRUE(back->isLocked);
    EXPECT_FALSE(back->loginDone);
    EXPECT_FALSE(back->viewport);
    ASSERT_TRUE(back->pictureInPicture);
    EXPECT_DOUBLE_EQ(back->pictureInPicture->y, 16384.0 / 65535.0);
}

TEST(HostSessionInfoPayload, ClampsRegionsIntoTheUnitSquare) {
    HostSessionInfoPayload p;
    p.viewport = HostSessionInfoPayload::Region{-0.5, 2, std::nan(""), 1};
    auto bytes = p.encode();
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 4, bytes.begin() + 12), hex("00 00 FF FF 00 00 FF FF"));
}

TEST(HostSessionInfoPayload, IgnoresTheBytesOfAnAbsentRegion) {
    auto bytes = hex("01 00 0E 00 | 11 11 22 22 33 33 44 44 | 55 55 66 66 77 77 88 88 | 00 00 00 00 00 00");
    auto p = HostSessionInfoPayload::decode(bytes);
    ASSERT_TRUE(p);
    EXPECT_FALSE(p->viewport);
    EXPECT_FALSE(p->pictureInPicture);
    EXPECT_EQ(p->osMajorVersion, 14);
}

TEST(HostSessionInfoPayload, RejectsTruncationAndOtherVersions) {
    for (size_t n = 0; n < kUnlockedMacBytes.size(); ++n) {
        EXPECT_FALSE(HostSessionInfoPayload::decode(prefix(kUnlockedMacBytes, n))) << n;
    }
    auto v2 = kUnlockedMacBytes;
    v2[0] = 2;
    EXPECT_FALSE(HostSessionInfoPayload::decode(v2));
}

TEST(HostIdentityChallengePayload, IsExactlyThirtyTwoBytes) {
    auto challenge = HostIdentityChallengePayload::decode(repeat(0xAB, 32));
    ASSERT_TRUE(challenge);
    EXPECT_EQ(challenge->challenge[31], 0xAB);
    EXPECT_EQ(challenge->encode(), repeat(0xAB, 32));
    EXPECT_FALSE(HostIdentityChallengePayload::decode(repeat(0xAB, 31)));
    EXPECT_FALSE(HostIdentityChallengePayload::decode(repeat(0xAB, 33)));
    EXPECT_FALSE(HostIdentityChallengePayload::decode({}));
}

TEST(HostIdentityProofPayload, LaysOutKeyEphemeralKeyAndSignature) {
    auto bytes = cat({repeat(0x11, 32), repeat(0x22, 32), repeat(0x33, 64)});
    auto p = HostIdentityProofPayload::decode(bytes);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->hostPublicKey[0], 0x11);
    EXPECT_EQ(p->hostEphemeralPublicKey[31], 0x22);
    EXPECT_EQ(p->signature[63], 0x33);
    EXPECT_EQ(p->encode(), bytes);
    EXPECT_FALSE(HostIdentityProofPayload::decode(prefix(bytes, 127)));
    EXPECT_FALSE(HostIdentityProofPayload::decode(cat({bytes, hex("00")})));
}

TEST(HostIdentityProofPayload, SignsContextChallengeAndEphemeralKey) {
    std::array<uint8_t, 32> challenge;
    std::array<uint8_t, 32> ephemeral;
    challenge.fill(0xAA);
    ephemeral.fill(0xBB);
    EXPECT_EQ(HostIdentityProofPayload::signedMessage(challenge, ephemeral),
              cat({ascii("velantrix-host-identity-proof-v1"), repeat(0xAA, 32), repeat(0xBB, 32)}));
}

TEST(ViewerLoginPayload, SplitsTheViewerKeyFromTheSealedBox) {
    auto box = cat({repeat(0x01, 12), hex("C0 C1 C2"), repeat(0x7E, 16)});
    auto bytes = cat({repeat(0x55, 32), box});
    auto p = ViewerLoginPayload::decode(bytes);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->viewerPublicKey[0], 0x55);
    EXPECT_EQ(p->sealedBox, box);
    EXPECT_EQ(p->encode(), bytes);
    EXPECT_TRUE(ViewerLoginPayload::decode(prefix(bytes, 60)));
    EXPECT_FALSE(ViewerLoginPayload::decode(prefix(bytes, 59)));
    EXPECT_FALSE(ViewerLoginPayload::decode({}));
}

TEST(ViewerLoginPayload, SaltIsViewerKeyThenHostKey) {
    std::array<uint8_t, 32> viewer;
    std::array<uint8_t, 32> host;
    viewer.fill(0x01);
    host.fill(0x02);
    auto salt = ViewerLoginPayload::keyDerivationSalt(viewer, host);
    EXPECT_EQ(std::vector<uint8_t>(salt.begin(), salt.end()), cat({repeat(0x01, 32), repeat(0x02, 32)}));
}

const std::vector<uint8_t> kCredentials =
    cat({hex("01 05 00"), ascii("alice"), hex("03 00"), ascii("pw!"), hex("06 00"), ascii("Viewer")});

TEST(ViewerLoginCredentials, MatchesTheWireBytes) {
    ViewerLoginCredentials c{"alice", "pw!", "Viewer", std::nullopt};
    EXPECT_EQ(c.encode(), kCredentials);
    EXPECT_EQ(ViewerLoginCredentials::decode(kCredentials), c);
}

TEST(ViewerLoginCredentials, CarriesAnOptionalTwentyByteCaptureRequest) {
    auto request = hex("03 01 02 00 | 00 05 | 20 03 | 00 0A | 40 06 | 3C 00 | 00 2D 31 01 | 00 00");
    auto c = ViewerLoginCredentials::decode(cat({kCredentials, request}));
    ASSERT_TRUE(c);
    ASSERT_TRUE(c->captureRequest);
    EXPECT_EQ(std::vector<uint8_t>(c->captureRequest->begin(), c->captureRequest->end()), request);
    EXPECT_EQ(c->encode(), cat({kCredentials, request}));

    EXPECT_FALSE(ViewerLoginCredentials::decode(cat({kCredentials, prefix(request, 19)})));
    EXPECT_FALSE(ViewerLoginCredentials::decode(cat({kCredentials, request, hex("00")})));
}

TEST(ViewerLoginCredentials, RejectsTruncationVersionsAndUnsafeTexts) {
    for (size_t n = 0; n < kCredentials.size(); ++n) {
        EXPECT_FALSE(ViewerLoginCredentials::decode(prefix(kCredentials, n))) << n;
    }
    auto v2 = kCredentials;
    v2[0] = 2;
    EXPECT_FALSE(ViewerLoginCredentials::decode(v2));
    // A NUL would cut the name short where it is handed to the directory.
    EXPECT_FALSE(ViewerLoginCredentials::decode(hex("01 05 00 61 6C 00 63 65 00 00 00 00")));
    // Broken, overlong and surrogate UTF-8.
    EXPECT_FALSE(ViewerLoginCredentials::decode(hex("01 02 00 C3 28 00 00 00 00")));
    EXPECT_FALSE(ViewerLoginCredentials::decode(hex("01 00 00 02 00 C0 80 00 00")));
    EXPECT_FALSE(ViewerLoginCredentials::decode(hex("01 00 00 00 00 03 00 ED A0 80")));
    // Well-formed multi-byte text passes.
    auto ok = ViewerLoginCredentials::decode(hex("01 02 00 C3 A9 04 00 F0 9F 98 80 00 00"));
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->userName, "\xC3\xA9");
}

TEST(FileTransferEndpointPayload, IsThePortThenTheToken) {
    FileTransferEndpointPayload p;
    p.port = 7348;
    for (uint8_t i = 0; i < 16; ++i) p.token[i] = i;
    auto bytes = hex("B4 1C | 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F");
    EXPECT_EQ(p.encode(), bytes);
    EXPECT_EQ(FileTransferEndpointPayload::decode(bytes), p);
    EXPECT_EQ(FileTransferEndpointPayload::decode(hex("39 30 | 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"))->port,
              12345);
    EXPECT_FALSE(FileTransferEndpointPayload::decode(prefix(bytes, 17)));
    EXPECT_FALSE(FileTransferEndpointPayload::decode(cat({bytes, hex("00")})));
}

}  // namespace
