#include "HostApp/AuxServer/HostIdentity.h"

#include <cstring>
#include <system_error>

#include "Platform/Files/FileIO.h"
#include "Platform/Files/Folders.h"

namespace {

constexpr std::array<uint8_t, 4> kMagic = {'N', 'V', 'H', 'I'};
constexpr uint8_t kVersion = 1;
constexpr size_t kCheckedSize = HostIdentity::encodedSize - 4;

std::array<uint8_t, 4> checkBytes(std::span<const uint8_t> body) {
    auto digest = platform::crypto::sha256(body);
    return {digest[0], digest[1], digest[2], digest[3]};
}

}  // namespace

HostIdentity HostIdentity::generate() {
    return HostIdentity{platform::crypto::Ed25519Key::generate(), platform::UUID::random()};
}

std::vector<uint8_t> HostIdentity::encode() const {
    std::vector<uint8_t> out(kMagic.begin(), kMagic.end());
    out.push_back(kVersion);
    out.insert(out.end(), hostIdentifier.bytes.begin(), hostIdentifier.bytes.end());
    auto seed = signingKey.seed();
    out.insert(out.end(), seed.begin(), seed.end());
    auto check = checkBytes(out);
    out.insert(out.end(), check.begin(), check.end());
    std::memset(seed.data(), 0, seed.size());
    return out;
}

std::optional<HostIdentity> HostIdentity::decode(std::span<const uint8_t> bytes) {
    if (bytes.size() != encodedSize) return std::nullopt;
    if (!std::equal(kMagic.begin(), kMagic.end(), bytes.begin()) || bytes[4] != kVersion) return std::nullopt;
    auto check = checkBytes(bytes.first(kCheckedSize));
    if (!std::equal(check.begin(), check.end(), bytes.begin() + kCheckedSize)) return std::nullopt;
    auto key = platform::crypto::Ed25519Key::fromSeed(bytes.subspan(21, 32));
    if (!key) return std::nullopt;
    platform::UUID id;
    std::memcpy(id.bytes.data(), bytes.data() + 5, 16);
    return HostIdentity{*key, id};
}

std::filesystem::path HostIdentity::defaultPath() {
    return platform::Folders::applicationSupport() / fileName;
}

HostIdentity HostIdentity::loadOrCreate(const std::filesystem::path& path,
                                        const std::function<void(const std::string&)>& log) {
    std::error_code ec;
    const bool exists = std::filesystem::exists(path, ec);
    if (exists) {
        auto bytes = platform::FileIO::readAll(path, 4096);
        if (bytes.ok()) {
            if (auto identity = decode(*bytes)) return *identity;
            log("identity: host identity file is corrupt; replacing it with a new identity");
        } else {
            log("identity: host identity file is unreadable (" + bytes.error() +
                "); replacing it with a new identity");
        }
    }
    HostIdentity identity = generate();
    auto encoded = identity.encode();
    auto written = platform::FileIO::writeAtomically(path, encoded, std::filesystem::perms::owner_read |
                                                                        std::filesystem::perms::owner_write);
    std::memset(encoded.data(), 0, encoded.size());
    if (!written.ok()) {
        log("identity: cannot save host identity (" + written.error() + "); using it for this run only");
    } else if (!exists) {
        log("identity: created host identity " + identity.hostIdentifier.uuidString());
    }
    return identity;
}
