#pragma once
// One file-transfer message between a Host and a Viewer: an operation, the
// batch (or request) it belongs to, two numbers, a path and a block of bytes.
// Both ends encode and decode exactly the same bytes; the carrier around a
// packet (a data-channel frame or an aux packet of type 31) delimits it, so
// the packet has no length prefix of its own.
//
// Layout, integers little-endian: op (1), batchID (16, canonical text
// order), value1 (8), value2 (8), path length P (2), path (P, UTF-8),
// data length D (4), data (D). The fixed part is 39 bytes.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Foundation/Uuid.h"

enum class FileTransferOp : uint8_t {
    batchStart = 1,
    mkdir = 2,
    fileStart = 3,
    fileChunk = 4,
    fileEnd = 5,
    batchEnd = 6,
    batchIntent = 7,
    cancelBatch = 8,
    directSave = 9,
    listDir = 10,
    listDirReply = 11,
    peerSendRequest = 12,
    peerSendResponse = 13,
};

// Nothing for 0 and 14 to 255.
std::optional<FileTransferOp> fileTransferOpFromRaw(uint8_t raw);

// Why a batch is sent; `copy` when nothing else is said.
enum class FileTransferIntent : uint8_t {
    copy = 0,
    dropToFinder = 1,
    pullForPromise = 2,
    managedCopy = 3,
};

// Nothing for 4 to 255.
std::optional<FileTransferIntent> fileTransferIntentFromRaw(uint8_t raw);

// How a received batch is delivered. Bits other than the two named travel
// unchanged and mean nothing.
struct FileTransferDeliveryOptions {
    uint64_t rawValue = 0;

    static const FileTransferDeliveryOptions promptForConflicts;
    static const FileTransferDeliveryOptions backupBeforeOverwrite;

    constexpr FileTransferDeliveryOptions() = default;
    constexpr explicit FileTransferDeliveryOptions(uint64_t raw) : rawValue(raw) {}
    constexpr FileTransferDeliveryOptions(std::initializer_list<FileTransferDeliveryOptions> members) {
        for (auto m : members) rawValue |= m.rawValue;
    }

    constexpr bool contains(FileTransferDeliveryOptions o) const { return (rawValue & o.rawValue) == o.rawValue; }
    constexpr bool isEmpty() const { return rawValue == 0; }
    constexpr bool isSubset(FileTransferDeliveryOptions o) const { return (rawValue & ~o.rawValue) == 0; }
    constexpr bool isSuperset(FileTransferDeliveryOptions o) const { return o.isSubset(*this); }
    constexpr bool isDisjoint(FileTransferDeliveryOptions o) const { return (rawValue & o.rawValue) == 0; }
    constexpr FileTransferDeliveryOptions operator|(FileTransferDeliveryOptions o) const {
        return FileTransferDeliveryOptions(rawValue | o.rawValue);
    }
    constexpr FileTransferDeliveryOptions operator&(FileTransferDeliveryOptions o) const {
        return FileTransferDeliveryOptions(rawValue & o.rawValue);
    }
    constexpr FileTransferDeliveryOptions operator^(FileTransferDeliveryOptions o) const {
        return FileTransferDeliveryOptions(rawValue ^ o.rawValue);
    }
    constexpr FileTransferDeliveryOptions subtracting(FileTransferDeliveryOptions o) const {
        return FileTransferDeliveryOptions(rawValue & ~o.rawValue);
    }
    constexpr void insert(FileTransferDeliveryOptions o) { rawValue |= o.rawValue; }
    constexpr void remove(FileTransferDeliveryOptions o) { rawValue &= ~o.rawValue; }
    constexpr bool operator==(const FileTransferDeliveryOptions&) const = default;
};

inline constexpr FileTransferDeliveryOptions FileTransferDeliveryOptions::promptForConflicts{1};
inline constexpr FileTransferDeliveryOptions FileTransferDeliveryOptions::backupBeforeOverwrite{2};

struct FileTransferPacket {
    static constexpr size_t fixedSize = 39;
    static constexpr size_t maxPathBytes = 65535;
    // Data lengths are 32-bit on the wire.
    static constexpr uint64_t maxDataBytes = 0xFFFFFFFFull;

    FileTransferOp op = FileTransferOp::batchStart;
    platform::UUID batchID;
    uint64_t value1 = 0;
    uint64_t value2 = 0;
    std::string path;
    std::vector<uint8_t> data;

    // The bytes laid out above. A path over 65,535 bytes is cut back to the
    // last whole character that fits; empty (never a valid packet) when the
    // data is 4 GiB or more, which the 32-bit length cannot describe.
    std::vector<uint8_t> encode() const;
    // Appends the same bytes to `out` (a frame under construction); false,
    // with `out` untouched, where encode() gives nothing.
    bool appendEncoded(std::vector<uint8_t>& out) const;
    // Byte count encode() gives (0 when it refuses).
    size_t encodedSize() const;

    // Nothing for a buffer shorter than its own lengths say or whose first
    // byte is no operation. Bytes after the data are ignored; a path that is
    // not valid UTF-8 reads as "".
    static std::optional<FileTransferPacket> decode(std::span<const uint8_t> bytes);

    bool operator==(const FileTransferPacket&) const = default;
};

// value2 of `batchStart`: the intent in the top byte, the file count in the
// low 56 bits.
uint64_t packBatchStartValue2(FileTransferIntent intent, uint64_t fileCount);
uint64_t batchStartFileCount(uint64_t value2);
// `copy` unless the top byte is an intent.
FileTransferIntent batchStartIntent(uint64_t value2);

// True when `text` is well-formed UTF-8 (no overlongs, surrogates or values
// past U+10FFFF).
bool isValidUtf8(std::string_view text);
// The longest prefix of `text` of at most `maxBytes` bytes that does not end
// inside a multi-byte character.
std::string_view utf8PrefixWithin(std::string_view text, size_t maxBytes);
