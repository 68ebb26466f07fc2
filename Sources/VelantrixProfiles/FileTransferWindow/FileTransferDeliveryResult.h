#pragma once
// How bringing a batch's items into their folder went: what the progress
// row and a managed copy's receipt say. The receiving side begins it with
// what it could not save as the items arrived; either delivery road then
// notes what it moved and what it could not.

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

struct FileTransferDeliveryResult {
    // Where the delivered items now are, in item order.
    std::vector<std::filesystem::path> deliveredURLs;
    // The user chose Stop in a conflict prompt.
    bool stoppedByUser = false;
    // Items that did not arrive: refused when their packet came, never
    // received whole, or not delivered.
    size_t failedItemCount = 0;
    // The names of the first of them, as many as a receipt shows.
    std::vector<std::string> failedNames;
    // Items of failed moves that stay in the folder all the same, because
    // undoing the move could not remove them.
    size_t leftAtTarget = 0;

    // A receipt names this many of the items that could not be saved.
    static constexpr size_t namedFailures = 3;
    // A name is kept to this many bytes: a receipt is cut at 1024
    // characters, and a Viewer's path may be 64 KiB long.
    static constexpr size_t maxNameBytes = 1024;

    // Notes one item that could not be saved, with what its failed move
    // left in the folder all the same. The one way every road (the
    // receiving side, the numbered moves, the conflict resolver) notes a
    // failure, so that each receipt counts and names them alike.
    void noteFailed(const std::string& name, size_t leftInFolder = 0) {
        ++failedItemCount;
        leftAtTarget += leftInFolder;
        if (failedNames.size() >= namedFailures) return;
        // Never cut inside a UTF-8 character.
        size_t end = std::min(name.size(), maxNameBytes);
        while (end < name.size() && end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
        failedNames.push_back(name.substr(0, end));
    }
    // Adds what an earlier step (the receiving side) could not save.
    void noteFailuresOf(const FileTransferDeliveryResult& earlier) {
        failedItemCount += earlier.failedItemCount;
        leftAtTarget += earlier.leftAtTarget;
        for (const auto& name : earlier.failedNames)
            if (failedNames.size() < namedFailures) failedNames.push_back(name);
    }
};
