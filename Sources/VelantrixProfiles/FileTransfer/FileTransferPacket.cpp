#include "VelantrixProfiles/FileTransfer/FileTransferPacket.h"

#include "Platform/Foundation/UnicodeText.h"

#include <algorithm>

namespace {

constexpr uint64_t kFileCountMask = 0x00FFFFFFFFFFFFFFull;

template <class T>
void putLE(std::vector<uint8_t>& out, T value) {
    for (size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

template <class T>
T getLE(std::span<const uint8_t> bytes, size_t offset) {
    uint64_t value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<uint64_t>(bytes[offset + i]) << (8 * i);
    return static_cast<T>(value);
}

}  // namespace

std::optional<FileTransferOp> fileTransferOpFromRaw(uint8_t raw) {
    if (raw < 1 || raw > 13) return std::nullopt;
    return static_cast<FileTransferOp>(raw);
}

std::optional<FileTransferIntent> fileTransferIntentFromRaw(uint8_t raw) {
    if (raw > 3) return std::nullopt;
    return static_cast<FileTransferIntent>(raw);
}

bool isValidUtf8(std::string_view text) { return platform::UnicodeText::isValidUTF8(text); }

std::string_view utf8PrefixWithin(std::string_view text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    size_t cut = maxBytes;
    // Back off over continuation bytes so the cut lands before a lead byte.
    while (cut > 0 && (static_cast<uint8_t>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut);
}

size_t FileTransferPacket::encodedSize() const {
    if (data.size() > maxDataBytes) return 0;
    return fixedSize + utf8PrefixWithin(path, maxPathBytes).size() + data.size();
}

bool FileTransferPacket::appendEncoded(std::vector<uint8_t>& out) const {
    if (data.size() > maxDataBytes) return false;
    const auto pathBytes = utf8PrefixWithin(path, maxPathBytes);
    out.reserve(out.size() + fixedSize + pathBytes.size() + data.size());
    out.push_back(static_cast<uint8_t>(op));
    out.insert(out.end(), batchID.bytes.begin(), batchID.bytes.end());
    putLE(out, value1);
    putLE(out, value2);
    putLE(out, static_cast<uint16_t>(pathBytes.size()));
    out.insert(out.end(), pathBytes.begin(), pathBytes.end());
    putLE(out, static_cast<uint32_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    return true;
}

std::vector<uint8_t> FileTransferPacket::encode() const {
    std::vector<uint8_t> out;
    appendEncoded(out);
    return out;
}

std::optional<FileTransferPacket> FileTransferPacket::decode(std::span<const uint8_t> bytes) {
    if (bytes.size() < fixedSize) return std::nullopt;
    auto op = fileTransferOpFromRaw(bytes[0]);
    if (!op) return std::nullopt;
    FileTransferPacket packet;
    packet.op = *op;
    std::copy_n(bytes.begin() + 1, 16, packet.batchID.bytes.begin());
    packet.value1 = getLE<uint64_t>(bytes, 17);
    packet.value2 = getLE<uint64_t>(bytes, 25);
    const size_t pathLength = getLE<uint16_t>(bytes, 33);
    if (bytes.size() < fixedSize + pathLength) return std::nullopt;
    std::string_view path(reinterpret_cast<const char*>(bytes.data()) + 35, pathLength);
    if (isValidUtf8(path)) packet.path = std::string(path);
    const size_t dataLength = getLE<uint32_t>(bytes, 35 + pathLength);
    // Compare by subtraction: the sum could wrap on a 32-bit size_t.
    if (bytes.size() - fixedSize - pathLength < dataLength) return std::nullopt;
    const auto dataStart = bytes.begin() + static_cast<std::ptrdiff_t>(fixedSize + pathLength);
    packet.data.assign(dataStart, dataStart + static_cast<std::ptrdiff_t>(dataLength));
    return packet;
}

uint64_t packBatchStartValue2(FileTransferIntent intent, uint64_t fileCount) {
    return (static_cast<uint64_t>(intent) << 56) | (fileCount & kFileCountMask);
}

uint64_t batchStartFileCount(uint64_t value2) { return value2 & kFileCountMask; }

FileTransferIntent batchStartIntent(uint64_t value2) {
    return fileTransferIntentFromRaw(static_cast<uint8_t>(value2 >> 56)).value_or(FileTransferIntent::copy);
}
