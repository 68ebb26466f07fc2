// Files the Host sends to Viewers: the drag-pull hook (server queue) and
// the clipboard claim a received batch leaves behind.

#include <set>

#include "HostApp/HostProbeDelegate.h"
#include "Platform/Log.h"
#include "Platform/UnicodeText.h"

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

std::string HostProbeDelegate::viewerDisplayNameSummary(const std::vector<std::string>& names) {
    std::vector<std::string> kept;
    std::set<std::string> seen;
    for (const auto& name : names) {
        const std::string trimmed(platform::UnicodeText::trimmingWhitespace(name));
        // The first spelling of a name wins.
        if (trimmed.empty() || !seen.insert(platform::UnicodeText::lowercased(trimmed)).second) continue;
        kept.push_back(trimmed);
    }
    if (kept.empty()) return "Norvessal";
    if (kept.size() == 1) return kept[0];
    if (kept.size() == 2) return kept[0] + ", " + kept[1];
    return kept[0] + " + " + std::to_string(kept.size() - 1) + " Viewers";
}
