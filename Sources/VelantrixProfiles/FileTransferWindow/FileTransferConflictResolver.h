#pragma once
// Brings a received batch's staged items into their destination folder one
// at a time, asking the user what to do when a name is taken (or keeping
// both when no one can be asked), and saving an item about to be replaced
// into a time-stamped backup folder first. Nothing already in the folder
// changes unless the user chose Replace, and then only once the new item
// is safely inside the folder.

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "Platform/AppKit/AppKitWindow.h"
#include "Platform/Files/ConfinedFolder.h"
#include "Platform/Files/FileMoves.h"
#include "Platform/Files/TreeWalk.h"
#include "VelantrixProfiles/FileTransferWindow/FileTransferConflictAlert.h"
#include "VelantrixProfiles/FileTransferWindow/FileTransferDeliveryResult.h"

struct FileTransferConflictResolver {
    // What one item's move holds open at once beside the staging folder and
    // the folder delivered into: a backup's home and folders, and a
    // folder's copy across file systems with the walk of its tree. A
    // delivery begun as a peer's work, with room taken for it (a
    // WorkLedger::Reserve current as it begins), moves on that room; it
    // gives it back while a question waits on a person and takes it again,
    // waiting for it when the peer has none, before it moves on.
    static constexpr size_t kMoveDescriptors =
        3 + platform::FileMoves::kCopyDescriptors + platform::TreeWalk::kDescriptors;

    // Any thread. The moves, copies and removals run on a utility queue,
    // so the main thread never waits on the disk; the sheets and the
    // completion run on the main queue, the completion after this returns
    // and once every removal it reports is done. Once `shouldStop` (asked
    // on that utility queue) answers true no further item moves, the one a
    // conflict question is open for included, and the delivery ends as
    // stopped. Returns what ends the question open now, if any (shown, or
    // waiting its turn behind other sheets), as its Stop would: a caller
    // that stops calls it, on the main queue, so that no question left
    // for nobody holds the delivery, its folder and its staged items.
    static std::function<void()> deliver(std::vector<std::filesystem::path> stagedURLs,
                                         std::filesystem::path destination,
                                         std::shared_ptr<platform::Window> parentWindow, bool shouldPromptForConflicts,
                                         bool backupBeforeOverwrite,
                                         std::function<void(const FileTransferDeliveryResult&)> completion,
                                         std::function<bool()> shouldStop = nullptr);
    // The same into a folder already opened (a Viewer-named one, opened
    // beneath the console user's home): every move, replace and backup
    // works relative to it, and backups go below the top it was opened
    // beneath.
    static std::function<void()> deliver(std::vector<std::filesystem::path> stagedURLs,
                                         std::shared_ptr<platform::ConfinedFolder> destination,
                                         std::shared_ptr<platform::Window> parentWindow, bool shouldPromptForConflicts,
                                         bool backupBeforeOverwrite,
                                         std::function<void(const FileTransferDeliveryResult&)> completion,
                                         std::function<bool()> shouldStop = nullptr);

    // The next free "name copy.ext", "name copy 2.ext", ... beside `url`
    // (`url` itself when free).
    static std::filesystem::path uniqueDestination(const std::filesystem::path& url);
    // The same for `name` inside an open folder.
    static std::string uniqueName(const platform::ConfinedFolder& folder, const std::string& name);
    // Where deliveries started now keep their backups.
    static std::filesystem::path backupRootForNow();

private:
    class DeliveryOperation;
    static std::function<void()> begin(const std::shared_ptr<DeliveryOperation>& operation);
};
