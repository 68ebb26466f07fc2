// Following one batch from the owner's acceptance to its end: the footer's
// summary and status texts, the progress bar with its Cancel button, the
// execute button's busy titles, the outcome texts, the refresh of the
// destination and the completion sheet. The owner reports the batch; the
// window acts only on reports for the batch it follows.

#include <cmath>

#include "Platform/AppKit/AppKitApplication.h"
#include "Platform/Runtime/Dispatch.h"
#include "VelantrixProfiles/FileTransfer/FileTransferForegroundPresentation.h"
#include "VelantrixProfiles/FileTransferWindow/FileTransferWindowController.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using platform::ProgressIndicator;

namespace {

constexpr double kProgressRowHideDelay = 2.0;

void showDeterminate(ProgressIndicator& bar, double maximum, double value) {
    bar.isAnimating = false;
    bar.isIndeterminate = false;
    bar.minValue = 0;
    bar.maxValue = maximum;
    bar.doubleValue = value;
}

void showIndeterminate(ProgressIndicator& bar) {
    bar.isIndeterminate = true;
    bar.isAnimating = true;
}

std::string itemNoun(int64_t count) {
    return count == 1 ? VelantrixL10n::text("fileTransfer.oneItem", "item")
                      : VelantrixL10n::text("fileTransfer.multipleItems", "items");
}

}  // namespace

bool FileTransferWindowController::isActiveTransfer(const platform::UUID& batchID) const {
    return activeTransferBatchID_ && *activeTransferBatchID_ == batchID;
}

void FileTransferWindowController::beginTransfer(const platform::UUID& batchID, int64_t itemCount,
                                                 TransferPanelDirection direction, const std::string& targetDir) {
    activeTransferBatchID_ = batchID;
    activeTransferItemCount_ = itemCount;
    activeTransferPeerName_ = selectedPeerName_.value_or("Host");
    activeTransferDirection_ = direction;
    activeTransferTargetPath_ = targetDir;
    const bool receiving = direction == TransferPanelDirection::receiveFromHost;
    activeTransferTargetNode_ = destinationNode(receiving ? localRoots_ : remoteRoots_, targetDir);
    if (!activeTransferTargetNode_) activeTransferTargetNode_ = previousTargetNode_;

    views_.transferProgressRow->isHidden = false;
    showIndeterminate(*views_.transferProgressIndicator);
    views_.cancelTransferButton->isHidden = false;
    views_.cancelTransferButton->isEnabled = true;
    if (receiving) {
        setText(views_.transferSummaryLabel,
                VelantrixL10n::format("fileTransfer.requestingReceive", "Requesting %d item(s) from %@", itemCount,
                                      activeTransferPeerName_));
        setText(views_.transferStatusLabel,
                VelantrixL10n::text("fileTransfer.waitingForHost", "Waiting for Host to begin transfer\u2026"));
    } else {
        setText(views_.transferSummaryLabel,
                VelantrixL10n::format("fileTransfer.preparingCopy", "Preparing %d item(s) for %@", itemCount,
                                      activeTransferPeerName_));
        setText(views_.transferStatusLabel,
                VelantrixL10n::text("fileTransfer.preparingTransfer", "Preparing transfer\u2026"));
    }
    updateExecuteButton();
}

void FileTransferWindowController::transferDidStart(const platform::UUID& batchID, int64_t fileCount,
                                                    uint64_t totalBytes) {
    if (!isActiveTransfer(batchID)) return;
    activeTransferItemCount_ = fileCount;
    const bool receiving = activeTransferDirection_.value_or(direction_) == TransferPanelDirection::receiveFromHost;
    const bool cancelling = cancelledTransferBatchIDs_.contains(batchID);
    views_.transferProgressRow->isHidden = false;
    views_.cancelTransferButton->isHidden = false;
    views_.cancelTransferButton->isEnabled = !cancelling;
    if (totalBytes > 0)
        showDeterminate(*views_.transferProgressIndicator, static_cast<double>(totalBytes), 0);
    else
        showIndeterminate(*views_.transferProgressIndicator);
    setText(views_.transferSummaryLabel,
            receiving ? VelantrixL10n::format("fileTransfer.receivingFrom", "Receiving %d item(s) from %@", fileCount,
                                              activeTransferPeerName_)
                      : VelantrixL10n::format("fileTransfer.copyingTo", "Copying %d item(s) to %@", fileCount,
                                              activeTransferPeerName_));
    if (cancelling)
        setText(views_.transferStatusLabel, VelantrixL10n::text("fileTransfer.cancelling", "Cancelling transfer\u2026"));
    else
        setText(views_.transferStatusLabel, receiving ? VelantrixL10n::text("fileTransfer.receiving", "Receiving\u2026")
                                                      : VelantrixL10n::text("fileTransfer.copying", "Copying\u2026"));
}

void FileTransferWindowController::transferDidUpdateProgress(const platform::UUID& batchID, uint64_t sentBytes,
                                                             uint64_t total) {
    if (!isActiveTransfer(batchID) || total == 0) return;
    const uint64_t shown = std::min(sentBytes, total);
    showDeterminate(*views_.transferProgressIndicator, static_cast<double>(total), static_cast<double>(shown));
    // Halves away from zero: 1 of 200 bytes is 1 %, not the even 0 %.
    const long percent = std::lround(static_cast<double>(shown) / static_cast<double>(total) * 100.0);
    const bool receiving = activeTransferDirection_.value_or(direction_) == TransferPanelDirection::receiveFromHost;
    setText(views_.transferStatusLabel,
            receiving ? VelantrixL10n::format("fileTransfer.receivingProgress", "Receiving\u2026 %d%%", int64_t{percent})
                      : VelantrixL10n::format("fileTransfer.copyingProgress", "Copying\u2026 %d%%", int64_t{percent}));
}

void FileTransferWindowController::transferDidFinishSending(const platform::UUID& batchID) {
    if (!isActiveTransfer(batchID)) return;
    views_.transferProgressRow->isHidden = false;
    showDeterminate(*views_.transferProgressIndicator, 1, 1);
    views_.cancelTransferButton->isHidden = true;
    views_.executeButton->isEnabled = false;
    views_.executeButton->text = VelantrixL10n::text("fileTransfer.waitingForSave", "Waiting for Save\u2026");
    setText(views_.transferSummaryLabel,
            VelantrixL10n::text("fileTransfer.sentWaitingForPeer", "Sent. Waiting for the Host to save the files\u2026"));
    setText(views_.transferStatusLabel,
            VelantrixL10n::text("fileTransfer.waitingForPeerDelivery",
                                "The Host is writing the files into the selected destination folder."));
}

void FileTransferWindowController::transferDidRequestCancellation(const platform::UUID& batchID) {
    if (!isActiveTransfer(batchID)) return;
    cancelledTransferBatchIDs_.insert(batchID);
    views_.cancelTransferButton->isEnabled = false;
    setText(views_.transferStatusLabel, VelantrixL10n::text("fileTransfer.cancelling", "Cancelling transfer\u2026"));
}

void FileTransferWindowController::cancelActiveTransfer() {
    if (!activeTransferBatchID_) return;
    const auto batchID = *activeTransferBatchID_;
    // The cancelling state shows before the service is asked to stop.
    transferDidRequestCancellation(batchID);
    deps_.cancelBatch(batchID);
}

void FileTransferWindowController::transferDidComplete(const platform::UUID& batchID, bool cancelled,
                                                       bool peerConfirmed) {
    if (!isActiveTransfer(batchID)) return;
    const auto direction = activeTransferDirection_.value_or(direction_);
    const auto targetPath = activeTransferTargetPath_;
    const auto targetNode = activeTransferTargetNode_;
    const int64_t count = activeTransferItemCount_;
    const std::string peerName = activeTransferPeerName_;
    endActiveTransfer();
    // A cancel asked in this window wins over what the owner reports.
    const bool outcomeCancelled = cancelled || cancelledTransferBatchIDs_.erase(batchID) > 0;

    showDeterminate(*views_.transferProgressIndicator, 1, outcomeCancelled ? 0 : 1);
    views_.cancelTransferButton->isHidden = true;
    std::weak_ptr<FileTransferWindowController> weakSelf = weak_from_this();
    platform::DispatchQueue::main().asyncAfter(kProgressRowHideDelay, [weakSelf] {
        auto self = weakSelf.lock();
        // A batch begun meanwhile keeps its bar and Cancel button.
        if (!self || self->activeTransferBatchID_) return;
        self->views_.transferProgressRow->isHidden = true;
    });
    updateExecuteButton();

    if (outcomeCancelled) {
        setText(views_.transferSummaryLabel, VelantrixL10n::text("fileTransfer.transferCancelled", "Transfer cancelled"));
        setText(views_.transferStatusLabel, VelantrixL10n::text("fileTransfer.transferCancelledDetail",
                                                                "The transfer was cancelled before it finished."));
        return;
    }
    refreshDestinationAfterSuccessfulTransfer(direction, targetPath, targetNode);
    const std::string prefix = direction == TransferPanelDirection::sendToHost ? "\U0001F4E4" : "\U0001F4E5";
    if (peerConfirmed) {
        setText(views_.transferSummaryLabel, VelantrixL10n::format("fileTransfer.transferComplete",
                                                                   "%@ Copied %d item(s) to %@", prefix, count, peerName));
        setText(views_.transferStatusLabel,
                VelantrixL10n::format("fileTransfer.transferCompleteDetail",
                                      "\u2705 %d %@ transferred \u2014 ready for another copy.", count, itemNoun(count)));
    } else {
        setText(views_.transferSummaryLabel,
                VelantrixL10n::format("fileTransfer.transferSentConfirmationDelayed", "%@ Sent %d item(s) to %@", prefix,
                                      count, peerName));
        setText(views_.transferStatusLabel,
                VelantrixL10n::text("fileTransfer.transferConfirmationDelayedDetail",
                                    "The Host did not send its final save confirmation. Check the selected destination "
                                    "folder."));
    }
    presentCompletionAlert(direction, peerConfirmed, count, peerName);
}

void FileTransferWindowController::presentCompletionAlert(TransferPanelDirection direction, bool peerConfirmed,
                                                          int64_t count, const std::string& peerName) {
    auto alert = platform::Alert::make();
    alert->alertStyle = platform::Alert::Style::informational;
    if (!peerConfirmed) {
        alert->messageText = VelantrixL10n::text("fileTransfer.complete.title.sent", "Transfer Sent");
        alert->informativeText = VelantrixL10n::text(
            "fileTransfer.complete.confirmationDelayedMessage",
            "The transfer bytes were sent, but the Host did not return a final save receipt. Verify the selected "
            "folder before sending another copy.");
    } else {
        alert->messageText = direction == TransferPanelDirection::receiveFromHost
                                 ? VelantrixL10n::text("fileTransfer.complete.title.received", "Transfer Complete")
                                 : VelantrixL10n::text("fileTransfer.complete.title.sent", "Transfer Complete");
        alert->informativeText = VelantrixL10n::format("fileTransfer.complete.message",
                                                       "%d %@ successfully transferred to %@.", count, itemNoun(count),
                                                       peerName);
    }
    alert->iconImageName = "NSFolder";
    auto window = foregroundWindow();
    if (!window) return;
    alert->addButton(VelantrixL10n::text("common.ok", "OK"));
    beginRaisedSheet(alert, window);
}

void FileTransferWindowController::beginRaisedSheet(const std::shared_ptr<platform::Alert>& alert,
                                                    const std::shared_ptr<platform::Window>& window) {
    auto raised = FileTransferForegroundPresentation::raisedSheet(window);
    alert->beginSheetModal(
        window, [restore = std::move(raised.didEnd)](platform::ModalResponse) { restore(); }, std::move(raised.didBegin));
}

void FileTransferWindowController::endActiveTransfer() {
    activeTransferBatchID_.reset();
    activeTransferDirection_.reset();
    activeTransferTargetPath_.reset();
    activeTransferTargetNode_.reset();
}

std::shared_ptr<platform::Window> FileTransferWindowController::foregroundWindow() {
    const auto& window = this->window();
    if (!window) return nullptr;
    platform::Application::shared().activate(true);
    window->makeKeyAndOrderFront();
    window->orderFrontRegardless();
    return window;
}

void FileTransferWindowController::hostSessionDidEnd() {
    if (!activeTransferBatchID_) return;
    transferDidFail(*activeTransferBatchID_,
                    VelantrixL10n::text("fileTransfer.hostSessionEndedDetail",
                                        "The connection to the Host ended before it confirmed the transfer. Check the "
                                        "selected destination folder."),
                    VelantrixL10n::text("fileTransfer.hostSessionEnded", "Connection to the Host lost"));
}

void FileTransferWindowController::transferDidFail(const platform::UUID& batchID, const std::string& message,
                                                   const std::optional<std::string>& summary) {
    if (!isActiveTransfer(batchID)) return;
    endActiveTransfer();
    cancelledTransferBatchIDs_.erase(batchID);
    views_.transferProgressIndicator->isAnimating = false;
    views_.transferProgressRow->isHidden = true;
    views_.cancelTransferButton->isHidden = true;
    updateExecuteButton();
    setText(views_.transferSummaryLabel,
            summary ? *summary : VelantrixL10n::text("fileTransfer.transferFailed", "Transfer could not start"));
    setText(views_.transferStatusLabel, message);
}
