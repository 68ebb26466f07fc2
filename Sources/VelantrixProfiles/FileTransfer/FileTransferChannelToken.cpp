#include "VelantrixProfiles/FileTransfer/FileTransferChannelToken.h"

#include <algorithm>
#include <cstring>

#include "Platform/Security/Crypto.h"

FileTransferChannelToken::FileTransferChannelToken() {
    auto random = platform::crypto::randomBytes(size);
    std::copy(random.begin(), random.end(), bytes.begin());
}

std::optional<FileTransferChannelToken> FileTransferChannelToken::withBytes(std::span<const uint8_t> in) {
    if (in.size() != size) return std::nullopt;
    FileTransferChannelToken token;
    std::copy(in.begin(), in.end(), token.bytes.begin());
    return token;
}

std::string FileTransferChannelToken::shortDescription() const {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < 4; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 0x0F]);
    }
    return out;
}

size_t std::hash<FileTransferChannelToken>::operator()(const FileTransferChannelToken& t) const noexcept {
    size_t h = 0;
    std::memcpy(&h, t.bytes.data(), std::min(sizeof(h), t.bytes.size()));
    return h;
}
