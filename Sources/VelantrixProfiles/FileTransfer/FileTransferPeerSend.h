#pragma once
// The JSON bodies of a peer-send exchange: a request asking the other side
// to send files, and its answer (also used as a delivery receipt).

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "VelantrixProfiles/FileTransfer/FileTransferPacket.h"

struct FileTransferPeerSendRequest {
    // Request bodies the sender refuses to build, and the receiver to read.
    static constexpr size_t maxEncodedBytes = 1'000'000;

    std::vector<std::string> sourcePaths;  // on the side asked to send
    std::string destination;               // on the asking side
    uint64_t deliveryOptionsRawValue = 0;

    FileTransferPeerSendRequest() = default;
    FileTransferPeerSendRequest(std::vector<std::string> paths, std::string dest, FileTransferDeliveryOptions options)
        : sourcePaths(std::move(paths)), destination(std::move(dest)), deliveryOptionsRawValue(options.rawValue) {}

    FileTransferDeliveryOptions deliveryOptions() const { return FileTransferDeliveryOptions(deliveryOptionsRawValue); }

    std::vector<uint8_t> encode() const;
    // Nothing unless all three keys are present with their types.
    static std::optional<FileTransferPeerSendRequest> decode(std::span<const uint8_t> data);

    bool operator==(const FileTransferPeerSendRequest&) const = default;
};

struct FileTransferPeerSendResponse {
    bool accepted = false;
    std::optional<std::string> message;  // left out of the JSON when absent

    std::vector<uint8_t> encode() const;
    // Nothing without a boolean "accepted"; a "message" of another type is
    // refused too.
    static std::optional<FileTransferPeerSendResponse> decode(std::span<const uint8_t> data);

    bool operator==(const FileTransferPeerSendResponse&) const = default;
};
