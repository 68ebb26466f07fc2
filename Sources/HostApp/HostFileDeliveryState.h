#pragma once
// Where the files of each batch go, and which received batch last left
// its files on the clipboard. Main queue only.

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Platform/Uuid.h"

struct HostFileDeliveryState {
    // Keyed by batch.
    std::map<platform::UUID, std::filesystem::path> pendingFileDestinations;
    std::map<platform::UUID, std::vector<std::filesystem::path>> pendingFileURLs;
    std::map<platform::UUID, std::string> inboundFileTransferRoutingTokens;
    std::set<platform::UUID> managedCopyInboundBatchIDs;
    // The received batch whose files the clipboard now holds.
    std::optional<platform::UUID> latestInboundFileBatchID;
};
