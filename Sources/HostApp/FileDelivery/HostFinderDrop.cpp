// Batches a Viewer drops onto the Host's Finder: they land in the folder
// Finder shows in front, else on the Desktop (or in Downloads when the
// Desktop is kept in iCloud). No receipt is owed for a drop.

#include <system_error>

#include "HostApp/HostProbeDelegate.h"
#include "Platform/SimulatedMac/AppleScript.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Files/Folders.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Platform/AppKit/WorkspaceFileViewer.h"
#include "VelantrixProfiles/FileTransfer/FileTransferCenter.h"
#include "VelantrixProfiles/FileTransfer/FileTransferStagedItems.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using platform::DispatchQueue;
using platform::UUID;
namespace fs = std::filesystem;

void HostProbeDelegate::deliverDroppedFiles(const std::vector<fs::path>& staged,
                                            const std::optional<fs::path>& shownFolder, const UUID& batchID,
                                            std::shared_ptr<ReceivedBatchHoldings> held) {
    assertMainQueue();
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    DispatchQueue::global(platform::QualityOfService::utility).async([weak, staged, shownFolder, batchID, held] {
        // With the process's rights, which are the console user's: a
        // folder they may not write gets nothing.
        std::vector<fs::path> moved;
        std::shared_ptr<HostProbeDelegate> self;
        const fs::path folder = shownFolder ? *shownFolder : defaultDropDestination();
        moved = moveFilesOffMain(staged, folder, held->place.ledger());
        // What could not be delivered (a folder that cannot be opened or
        // written, a full disk) goes with its batch, as on every other
        // road, and the batch's staging folder last; a moved item is no
        // longer there to remove.
        FileTransferStagedItems::remove(staged);
        FileTransferStagedItems::removeBatchFolderOf(staged);
        held->stagedBytes.reset();
        // The delegate is let go on the main queue, never here.
        DispatchQueue::main().async([weak, staged, folder, batchID, moved, held, kept = std::move(self)] {
            auto self = weak.lock();
            if (!self) return;
            self->log("files: dropped " + std::to_string(moved.size()) + "/" + std::to_string(staged.size()) +
                      " item(s) into " + folder.string());
            if (!moved.empty()) platform::WorkspaceFileViewer::activateFileViewerSelecting(moved);
            FileTransferCenter::shared().completeTask(
                batchID,
                VelantrixL10n::format("fileTransfer.center.droppedToFinder", "Dropped %d item(s) into Finder", moved.size()),
                1.5);
            auto& d = self->fileDelivery;
            if (d.latestInboundFileBatchID == batchID) d.latestInboundFileBatchID.reset();
            self->components.fileTransferService->releaseInboundBatch(batchID);
            held->place.reset();
        });
    });
}

std::optional<fs::path> HostProbeDelegate::frontFinderWindowPath() {
    assertMainQueue();
    static constexpr const char* kSource =
        "tell application \"Finder\"\n"
        "    if (count of windows) > 0 then\n"
        "        try\n"
        "            set theTarget to target of front window\n"
        "            return POSIX path of (theTarget as alias)\n"
        "        end try\n"
        "    end if\n"
        "    return \"\"\n"
        "end tell";
    auto script = platform::AppleScript::make(kSource);
    if (!script) return std::nullopt;
    const auto outcome = script->execute();
    if (outcome.errorInfo) {
        auto message = outcome.errorInfo->find(platform::kAppleScriptErrorMessage);
        log("files: AppleScript Finder front window failed: " +
            (message == outcome.errorInfo->end() ? std::string("?") : message->second));
        return std::nullopt;
    }
    if (!outcome.stringValue || outcome.stringValue->empty()) return std::nullopt;
    return fs::path(*outcome.stringValue);
}

fs::path HostProbeDelegate::defaultDropDestination() {
    const fs::path desktop = platform::Folders::desktop();
    if (!desktop.empty() && !isICloudManaged(desktop)) return desktop;
    const fs::path downloads = platform::Folders::downloads();
    if (!downloads.empty()) return downloads;
    return platform::Folders::home() / "Downloads";
}

bool HostProbeDelegate::isICloudManaged(const fs::path& url) {
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(url, error);
    // Only a Mac keeps items in iCloud; here the folder's place tells.
    return (error ? url : resolved).string().find("/Library/Mobile Documents/") != std::string::npos;
}
