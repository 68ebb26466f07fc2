// Files the Host sends to Viewers: the drag-pull hook (server queue) and
// the clipboard claim a received batch leaves behind.

#include "HostApp/HostProbeDelegate.h"
#include "Platform/Log.h"

void HostProbeDelegate::handleDragPullRequest(uint32_t snapshotID, uint32_t index, const platform::UUID&) {
    auto server = audioServer();
    const std::string where = " snapshot=" + std::to_string(snapshotID) + " index=" + std::to_string(index);
    // Serving the file to the asking Viewer is the file-transfer service's
    // work; until it exists the pull is only logged.
    if (auto url = server ? server->dragSourceURL(snapshotID, index) : std::nullopt) {
        platform::Log::line("drag pull: serving " + url->filename().string() + where);
    } else {
        platform::Log::line("drag pull: stale" + where);
    }
}

void HostProbeDelegate::invalidateInboundFileClipboardClaim(const std::string& reason) {
    assertMainQueue();
    if (!fileDelivery.latestInboundFileBatchID) return;
    fileDelivery.latestInboundFileBatchID.reset();
    log("files: invalidated inbound clipboard claim (" + reason + ")");
}
