#include "Support/FileTransferWindowServiceAdapter.h"

#include "Platform/Runtime/Dispatch.h"
#include "Platform/Files/Folders.h"

namespace fs = std::filesystem;
using platform::UUID;

std::shared_ptr<FileTransferWindowServiceAdapter> FileTransferWindowServiceAdapter::make(
    std::shared_ptr<FileTransferService> service, std::vector<Peer> peers) {
    auto adapter = std::shared_ptr<FileTransferWindowServiceAdapter>(
        new FileTransferWindowServiceAdapter(std::move(service), std::move(peers)));
    adapter->installHooks();
    return adapter;
}

std::shared_ptr<FileTransferWindowController> FileTransferWindowServiceAdapter::window(const std::string& report) {
    reports_.push_back(report);
    return window_.lock();
}

FileTransferWindowController::Dependencies FileTransferWindowServiceAdapter::dependencies() {
    std::weak_ptr<FileTransferWindowServiceAdapter> weak = weak_from_this();
    auto service = service_;
    FileTransferWindowController::Dependencies deps;
    deps.sendPacket = [service](const FileTransferPacket& packet) {
        if (auto send = service->sendPacket.get()) send(packet);
    };
    deps.requestDirectoryListing = [service](const std::string& path) { return service->requestDirectoryListing(path); };
    deps.setDirectoryListingHandler = [service](FileTransferWindowController::Dependencies::ListingHandler handler) {
        service->onDirectoryListing = std::move(handler);
    };
    deps.sendFiles = [weak, service](const std::vector<fs::path>& urls, FileTransferIntent intent,
                                     const std::optional<std::string>& target, const std::optional<std::string>& peerID,
                                     FileTransferDeliveryOptions options) -> std::optional<UUID> {
        auto id = service->sendURLs(urls, intent, target, options, peerID);
        if (auto self = weak.lock(); self && id) self->awaitingReceipt_.insert(*id);
        return id;
    };
    deps.requestPeerSend = [weak, service](const std::vector<std::string>& paths, const std::string& target,
                                           FileTransferDeliveryOptions options) -> std::optional<UUID> {
        auto id = service->requestPeerSend(paths, target, options);
        if (auto self = weak.lock(); self && id) self->requestedReceives_[*id] = target;
        return id;
    };
    deps.localDeviceName = [] { return std::string("Test Viewer"); };
    deps.connectedPeers = [weak] { return weak.lock() ? weak.lock()->peers_ : std::vector<Peer>{}; };
    deps.openFileTransferForPeer = [](const std::string&) { return false; };
    deps.cancelBatch = [weak, service](const UUID& batchID) {
        auto self = weak.lock();
        if (!self) return;
        if (self->awaitingReceipt_.contains(batchID)) {
            service->cancelOutgoingBatch(batchID);
            return;
        }
        service->cancelBatch(batchID);
        service->notifyPeerCancel(batchID);
        // A dropped inbound batch reports nothing more: its end is told here.
        if (self->requestedReceives_.erase(batchID) == 0) return;
        platform::DispatchQueue::main().async([weak, batchID] {
            auto self = weak.lock();
            if (auto w = self ? self->window("complete cancelled=1 confirmed=0") : nullptr)
                w->transferDidComplete(batchID, true, false);
        });
    };
    return deps;
}

void FileTransferWindowServiceAdapter::installHooks() {
    std::weak_ptr<FileTransferWindowServiceAdapter> weak = weak_from_this();
    auto report = [weak](const std::string& text) {
        auto self = weak.lock();
        return self ? self->window(text) : nullptr;
    };
    service_->onOutgoingBatchStarted = [report](const UUID& id, int64_t files, uint64_t total, FileTransferIntent,
                                                const std::vector<std::string>&) {
        if (auto w = report("start " + std::to_string(files) + " " + std::to_string(total)))
            w->transferDidStart(id, files, total);
    };
    service_->onOutgoingBatchProgress = [report](const UUID& id, uint64_t sent, uint64_t total) {
        if (auto w = report("progress " + std::to_string(sent) + "/" + std::to_string(total)))
            w->transferDidUpdateProgress(id, sent, total);
    };
    service_->onOutgoingBatchCompleted = [weak, report](const UUID& id, bool cancelled, size_t failedItems) {
        auto self = weak.lock();
        if (!self) return;
        if (cancelled) {
            self->awaitingReceipt_.erase(id);
            if (auto w = report("complete cancelled=1 confirmed=0")) w->transferDidComplete(id, true, false);
            return;
        }
        if (failedItems > 0) {
            self->awaitingReceipt_.erase(id);
            if (auto w = report("fail " + std::to_string(failedItems)))
                w->transferDidFail(id, std::to_string(failedItems) + " item(s) could not be sent.", std::nullopt);
            return;
        }
        if (auto w = report("all sent")) w->transferDidFinishSending(id);
    };
    service_->onPeerSendResponse = [weak, report](const UUID& id, const FileTransferPeerSendResponse& response) {
        auto self = weak.lock();
        if (!self) return;
        const bool receipt = self->awaitingReceipt_.erase(id) > 0;
        if (receipt && response.accepted) {
            if (auto w = report("complete cancelled=0 confirmed=1")) w->transferDidComplete(id, false, true);
            return;
        }
        // An accepted receive request is followed by the batch itself.
        if (!receipt && (response.accepted || !self->requestedReceives_.erase(id))) return;
        if (auto w = report("fail")) w->transferDidFail(id, response.message.value_or(""), std::nullopt);
    };
    service_->onBatchStarted = [report](const UUID& id, int64_t files, uint64_t total, const std::vector<std::string>&,
                                        const FileTransferBatchStartInfo&) {
        if (auto w = report("start " + std::to_string(files) + " " + std::to_string(total)))
            w->transferDidStart(id, files, total);
    };
    service_->onBatchProgress = [report](const UUID& id, uint64_t received, uint64_t total) {
        if (auto w = report("progress " + std::to_string(received) + "/" + std::to_string(total)))
            w->transferDidUpdateProgress(id, received, total);
    };
    service_->onBatchCompleted = [weak](const UUID& id, const std::vector<fs::path>& staged, FileTransferIntent,
                                        const FileTransferDeliveryResult& unsaved, ReceivedBatchHoldings&) {
        if (auto self = weak.lock()) self->deliverReceived(id, staged, unsaved);
    };
}

void FileTransferWindowServiceAdapter::deliverReceived(const UUID& batchID, const std::vector<fs::path>& staged,
                                                       const FileTransferDeliveryResult& unsaved) {
    auto requested = requestedReceives_.find(batchID);
    if (requested == requestedReceives_.end()) return;
    const fs::path folder = platform::Folders::expandingTildeInPath(requested->second);
    requestedReceives_.erase(requested);
    size_t moved = 0;
    for (const auto& item : staged) {
        std::error_code error;
        fs::rename(item, folder / item.filename(), error);
        if (!error) moved++;
    }
    const bool saved = unsaved.failedItemCount == 0 && moved == staged.size();
    if (auto w = window(std::string("complete cancelled=0 confirmed=") + (saved ? "1" : "0")))
        w->transferDidComplete(batchID, false, saved);
}
