#include "Platform/Security/Sha256Stream.h"

#include <stdexcept>
#include <vector>

#include <openssl/evp.h>

#include "Platform/Files/FileHandles.h"

namespace platform::crypto {

struct Sha256Stream::Context {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(ctx); }
};

Sha256Stream::Sha256Stream() : context_(std::make_unique<Context>()) {
    if (!context_->ctx || EVP_DigestInit_ex(context_->ctx, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
}

Sha256Stream::~Sha256Stream() = default;

void Sha256Stream::update(std::span<const uint8_t> data) {
    if (EVP_DigestUpdate(context_->ctx, data.data(), data.size()) != 1) throw std::runtime_error("SHA-256 failed");
}

std::array<uint8_t, 32> Sha256Stream::finish() {
    std::array<uint8_t, 32> out{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_->ctx, out.data(), &length) != 1 || length != out.size())
        throw std::runtime_error("SHA-256 failed");
    return out;
}

std::optional<std::array<uint8_t, 32>> Sha256Stream::ofFile(const std::filesystem::path& path) {
    auto file = FileHandle::openForReading(path);
    if (!file) return std::nullopt;
    Sha256Stream stream;
    std::vector<uint8_t> block(1 << 20);
    uint64_t offset = 0;
    while (true) {
        auto got = file->readAt(block, offset);
        if (!got) return std::nullopt;
        if (*got == 0) break;
        stream.update(std::span(block).first(*got));
        offset += *got;
    }
    return stream.finish();
}

}  // namespace platform::crypto
