#pragma once
// How bringing a batch's staged items into their folder went.

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

struct FileTransferDeliveryResult {
    // Where the delivered items now are, in item order.
    std::vector<std::filesystem::path> deliveredURLs;
    // The user chose Stop in a conflict prompt.
    bool stoppedByUser = false;
    // Items that did not arrive: not delivered, or never received whole.
    size_t failedItemCount = 0;
    // The names of the items not delivered, where the delivery knows them.
    std::vector<std::string> failedNames;
    // Items of failed moves that stay in the folder all the same, because
    // undoing the move could not remove them.
    size_t leftAtTarget = 0;
};
