#include "HostApp/HostComponentWiring.h"

#include <string>

#include "Platform/Dispatch.h"
#include "Platform/Log.h"

void wireClipboardAndDrag(const std::shared_ptr<V230HostAudioAuxServer>& server,
                          const std::shared_ptr<ClipboardSyncBridge>& bridge) {
    std::weak_ptr<V230HostAudioAuxServer> weakServer = server;
    std::weak_ptr<ClipboardSyncBridge> weakBridge = bridge;

    bridge->onOutgoingTransfer = [weakServer](const ClipboardTransfer& transfer) {
        auto server = weakServer.lock();
        if (!server || !server->broadcastClipboardTransfer(transfer)) return false;
        const std::string kind = transfer.items.empty() ? "unknown" : std::string(rawValue(transfer.items[0].kind));
        platform::Log::line("clipboard sent seq=" + std::to_string(transfer.sequence) + " kind=" + kind);
        return true;
    };
    bridge->onStatus = [](const std::string& text) { platform::Log::line(text); };

    server->onClipboardTransfer = [weakBridge](const ClipboardTransfer& transfer) {
        // The bridge belongs to the main queue.
        platform::DispatchQueue::main().async([weakBridge, transfer] {
            if (auto bridge = weakBridge.lock()) bridge->handleRemoteTransfer(transfer);
        });
    };
    server->onDragPullRequest = [weakServer](uint32_t snapshotID, uint32_t index, const platform::UUID&) {
        auto server = weakServer.lock();
        if (!server) return;
        const std::string where = " snapshot=" + std::to_string(snapshotID) + " index=" + std::to_string(index);
        // Nothing is sent yet: serving the file to the asking session is
        // the file-transfer service's work.
        if (auto url = server->dragSourceURL(snapshotID, index)) {
            platform::Log::line("drag pull: serving " + url->filename().string() + where);
        } else {
            platform::Log::line("drag pull: stale" + where);
        }
    };
}
