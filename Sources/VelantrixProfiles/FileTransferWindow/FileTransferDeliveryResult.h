#pragma once
// How bringing a batch's staged items into their folder went.

#include <filesystem>
#include <vector>

struct FileTransferDeliveryResult {
    // Where the delivered items now are, in item order.
    std::vector<std::filesystem::path> deliveredURLs;
    // The user chose Stop in a conflict prompt.
    bool stoppedByUser = false;
    // Items that did not arrive: not delivered, or never received whole.
    size_t failedItemCount = 0;
};
