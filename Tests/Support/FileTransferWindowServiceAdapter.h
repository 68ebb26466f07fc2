#pragma once
// The Viewer application's part between a File Transfer window and its
// file-transfer service, for end-to-end tests: the window's dependencies
// call the service, and the service's reports, the Host's save receipt
// included, become the window's progress calls. A batch received from the
// Host is moved from staging into the folder it was asked for, as the
// Viewer would. Main queue only.

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "VelantrixProfiles/FileTransfer/FileTransferService.h"
#include "VelantrixProfiles/FileTransferWindow/FileTransferWindowController.h"

class FileTransferWindowServiceAdapter : public std::enable_shared_from_this<FileTransferWindowServiceAdapter> {
public:
    using Peer = FileTransferWindowController::Peer;

    // Installs the service's report hooks; `peers` is the Host pop-up.
    static std::shared_ptr<FileTransferWindowServiceAdapter> make(std::shared_ptr<FileTransferService> service,
                                                                  std::vector<Peer> peers);

    // The window's closures, each holding the adapter weakly.
    FileTransferWindowController::Dependencies dependencies();
    // Reports go to this window from now on.
    void attach(const std::shared_ptr<FileTransferWindowController>& window) { window_ = window; }

    // The progress calls made, in order, e.g. "start 1 5" or
    // "complete cancelled=0 confirmed=1".
    const std::vector<std::string>& reports() const { return reports_; }

private:
    explicit FileTransferWindowServiceAdapter(std::shared_ptr<FileTransferService> service, std::vector<Peer> peers)
        : service_(std::move(service)), peers_(std::move(peers)) {}
    void installHooks();
    std::shared_ptr<FileTransferWindowController> window(const std::string& report);
    void deliverReceived(const platform::UUID& batchID, const std::vector<std::filesystem::path>& staged,
                         const FileTransferDeliveryResult& unsaved);

    std::shared_ptr<FileTransferService> service_;
    std::vector<Peer> peers_;
    std::weak_ptr<FileTransferWindowController> window_;
    // Sends waiting for the Host's receipt.
    std::set<platform::UUID> awaitingReceipt_;
    // Receives asked of the Host, to the folder each goes to.
    std::map<platform::UUID, std::string> requestedReceives_;
    std::vector<std::string> reports_;
};
