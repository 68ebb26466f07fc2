#include "HostApp/Protocol/SessionPayloads.h"

#include <algorithm>
#include <cstring>

#include "HostApp/Protocol/AuxWireFormat.h"
#include "Platform/Foundation/UnicodeText.h"

namespace {

void writeRegion(auxwire::Writer& w, const std::optional<HostSessionInfoPayload::Region>& region) {
    HostSessionInfoPayload::Region r = region.value_or(HostSessionInfoPayload::Region{});
    w.u16(auxwire::unitToU16(r.x));
    w.u16(auxwire::unitToU16(r.y));
    w.u16(auxwire::unitToU16(r.width));
    w.u16(auxwire::unitToU16(r.height));
}

HostSessionInfoPayload::Region readRegion(auxwire::Reader& r) {
    HostSessionInfoPayload::Region region;
    region.x = auxwire::u16ToUnit(r.u16());
    region.y = auxwire::u16ToUnit(r.u16());
    region.width = auxwire::u16ToUnit(r.u16());
    region.height = auxwire::u16ToUnit(r.u16());
    return region;
}

bool isCleanText(const std::string& s) {
    return s.find('\0') == std::string::npos && platform::UnicodeText::isValidUTF8(s);
}

}  // namespace

std::vector<uint8_t> HostSessionInfoPayload::encode() const {
    std::vector<uint8_t> out;
    auxwire::Writer w(out);
    w.u8(currentVersion);
    uint8_t flags = 0;
    if (isLoginWindow) flags |= loginWindowBit;
    if (isLocked) flags |= lockedBit;
    if (loginDone) flags |= loginDoneBit;
    if (canSwitchDesktops) flags |= canSwitchDesktopsBit;
    if (viewport) flags |= viewportPresentBit;
    if (pictureInPicture) flags |= pictureInPicturePresentBit;
    w.u8(flags);
    w.u16(osMajorVersion);
    writeRegion(w, viewport);
    writeRegion(w, pictureInPicture);
    w.string16(consoleUserName);
    w.string16(consoleDisplayName);
    w.string16(hostIdentifier);
    return out;
}

std::optional<HostSessionInfoPayload> HostSessionInfoPayload::decode(std::span<const uint8_t> bytes) {
    auxwire::Reader r(bytes);
    uint8_t version = r.u8();
    uint8_t flags = r.u8();
    HostSessionInfoPayload p;
    p.osMajorVersion = r.u16();
    Region viewport = readRegion(r);
    Region pictureInPicture = readRegion(r);
    p.consoleUserName = r.string16();
    p.consoleDisplayName = r.string16();
    p.hostIdentifier = r.string16();
    if (!r.ok() || version != currentVersion) return std::nullopt;
    p.isLoginWindow = (flags & loginWindowBit) != 0;
    p.isLocked = (flags & lockedBit) != 0;
    p.loginDone = (flags & loginDoneBit) != 0;
    p.canSwitchDesktops = (flags & canSwitchDesktopsBit) != 0;
    if (flags & viewportPresentBit) p.viewport = viewport;
    if (flags & pictureInPicturePresentBit) p.pictureInPicture = pictureInPicture;
    return p;
}

std::vector<uint8_t> HostIdentityChallengePayload::encode() const {
    return std::vector<uint8_t>(challenge.begin(), challenge.end());
}

std::optional<HostIdentityChallengePayload> HostIdentityChallengePayload::decode(std::span<const uint8_t> bytes) {
    if (bytes.size() != encodedSize) return std::nullopt;
    HostIdentityChallengePayload p;
    std::memcpy(p.challenge.data(), bytes.data(), encodedSize);
    return p;
}

// GCC 12 at -O3 sees the copy inside vector::insert reach past a
// bound it made up: a known false positive of its -Warray-bounds and
// -Wstringop-overread on the std::vector inlines.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#if !defined(__clang__)  // a warning only GCC has
#pragma GCC diagnostic ignored "-Wstringop-overread"
#endif
std::vector<uint8_t> HostIdentityProofPayload::signedMessage(const std::array<uint8_t, 32>& challenge,
                                                             const std::array<uint8_t, 32>& hostEphemeralPublicKey) {
    std::vector<uint8_t> message(signatureContext.begin(), signatureContext.end());
    message.insert(message.end(), challenge.begin(), challenge.end());
    message.insert(message.end(), hostEphemeralPublicKey.begin(), hostEphemeralPublicKey.end());
    return message;
}
#pragma GCC diagnostic pop

std::vector<uint8_t> HostIdentityProofPayload::encode() const {
    std::vector<uint8_t> out;
    out.reserve(encodedSize);
    auxwire::Writer w(out);
    w.bytes(hostPublicKey);
    w.bytes(hostEphemeralPublicKey);
    w.bytes(signature);
    return out;
}

std::optional<HostIdentityProofPayload> HostIdentityProofPayload::decode(std::span<const uint8_t> bytes) {
    if (bytes.size() != encodedSize) return std::nullopt;
    auxwire::Reader r(bytes);
    HostIdentityProofPayload p;
    r.copy(p.hostPublicKey);
    r.copy(p.hostEphemeralPublicKey);
    r.copy(p.signature);
    return p;
}

std::array<uint8_t, 64> ViewerLoginPayload::keyDerivationSalt(const std::array<uint8_t, 32>& viewerPublicKey,
                                                               const std::array<uint8_t, 32>& hostEphemeralPublicKey) {
    std::array<uint8_t, 64> salt{};
    std::copy(viewerPublicKey.begin(), viewerPublicKey.end(), salt.begin());
    std::copy(hostEphemeralPublicKey.begin(), hostEphemeralPublicKey.end(), salt.begin() + 32);
    return salt;
}

// GCC 12 at -O3 sees the copy inside vector::insert reach past a
// bound it made up: a known false positive of its -Wstringop-overflow
// on the std::vector inlines.
#pragma GCC diagnostic push
#if !defined(__clang__)  // a warning only GCC has
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#endif
std::vector<uint8_t> ViewerLoginPayload::encode() const {
    std::vector<uint8_t> out;
    out.reserve(viewerPublicKey.size() + sealedBox.size());
    auxwire::Writer w(out);
    w.bytes(viewerPublicKey);
    w.bytes(sealedBox);
    return out;
}
#pragma GCC diagnostic pop

std::optional<ViewerLoginPayload> ViewerLoginPayload::decode(std::span<const uint8_t> bytes) {
    if (bytes.size() < minimumSize) return std::nullopt;
    ViewerLoginPayload p;
    std::memcpy(p.viewerPublicKey.data(), bytes.data(), p.viewerPublicKey.size());
    auto box = bytes.subspan(p.viewerPublicKey.size());
    p.sealedBox.assign(box.begin(), box.end());
    return p;
}

std::vector<uint8_t> ViewerLoginCredentials::encode() const {
    std::vector<uint8_t> out;
    auxwire::Writer w(out);
    w.u8(currentVersion);
    w.string16(userName);
    w.string16(password);
    w.string16(viewerDisplayName);
    if (captureRequest) w.bytes(*captureRequest);
    return out;
}

std::optional<ViewerLoginCredentials> ViewerLoginCredentials::decode(std::span<const uint8_t> bytes) {
    auxwire::Reader r(bytes);
    uint8_t version = r.u8();
    ViewerLoginCredentials c;
    c.userName = r.string16();
    c.password = r.string16();
    c.viewerDisplayName = r.string16();
    if (!r.ok() || version != currentVersion) return std::nullopt;
    if (!isCleanText(c.userName) || !isCleanText(c.password) || !isCleanText(c.viewerDisplayName)) {
        return std::nullopt;
    }
    if (r.remaining() == captureRequestSize) {
        std::array<uint8_t, captureRequestSize> request{};
        r.copy(request);
        c.captureRequest = request;
    } else if (r.remaining() != 0) {
        return std::nullopt;
    }
    return c;
}
