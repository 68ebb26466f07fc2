// Files the Host pushes to Viewers on its own initiative: the Services
// entries (files chosen in the file browser, sent to the device and folder
// the user picks) and a Viewer's pull of an item the Host is dragging; also
// the clipboard claim a received batch leaves behind and the Viewers' names
// as one text.

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <map>
#include <set>

#include "HostApp/HostProbeDelegate.h"
#include "Platform/AppKit/AppKitAlert.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/Foundation/UnicodeText.h"
#include "VelantrixProfiles/FileTransfer/FileTransferCenter.h"
#include "VelantrixProfiles/FileTransfer/SendDestinationPicker.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

namespace fs = std::filesystem;
using platform::DispatchQueue;

// --- Services ------------------------------------------------------------------------------

bool HostProbeDelegate::performService(const std::string& message, const platform::Pasteboard& pasteboard,
                                       const std::optional<std::string>& userData, std::optional<std::string>& error) {
    using Handler = void (HostProbeDelegate::*)(const platform::Pasteboard&, const std::optional<std::string>&,
                                                std::optional<std::string>&);
    static const std::map<std::string, Handler> handlers{
        {"sendFilesToVelantrixViewer", &HostProbeDelegate::sendFilesToVelantrixViewer},
        {"sendFilesToViewer", &HostProbeDelegate::sendFilesToViewer},
        {"sendFilesViaVelantrix", &HostProbeDelegate::sendFilesViaVelantrix},
        {"sendToViewer", &HostProbeDelegate::sendToViewer},
        {"sendToHost", &HostProbeDelegate::sendToHost},
    };
    auto it = handlers.find(message);
    if (it == handlers.end()) return false;
    (this->*(it->second))(pasteboard, userData, error);
    return true;
}

void HostProbeDelegate::sendFilesToVelantrixViewer(const platform::Pasteboard& pasteboard,
                                                   const std::optional<std::string>&, std::optional<std::string>& error) {
    handleServicesSend(pasteboard, error);
}
void HostProbeDelegate::sendFilesToViewer(const platform::Pasteboard& pasteboard, const std::optional<std::string>&,
                                          std::optional<std::string>& error) {
    handleServicesSend(pasteboard, error);
}
void HostProbeDelegate::sendFilesViaVelantrix(const platform::Pasteboard& pasteboard, const std::optional<std::string>&,
                                              std::optional<std::string>& error) {
    handleServicesSend(pasteboard, error);
}
void HostProbeDelegate::sendToViewer(const platform::Pasteboard& pasteboard, const std::optional<std::string>&,
                                     std::optional<std::string>& error) {
    handleServicesSend(pasteboard, error);
}
void HostProbeDelegate::sendToHost(const platform::Pasteboard& pasteboard, const std::optional<std::string>&,
                                   std::optional<std::string>& error) {
    handleServicesSend(pasteboard, error);
}

void HostProbeDelegate::handleServicesSend(const platform::Pasteboard& pasteboard, std::optional<std::string>& error) {
    assertMainQueue();
    auto urls = serviceFileURLs(pasteboard);
    if (urls.empty()) {
        error = "No files were provided to Norvessal Host.";
        return;
    }
    // The request ends here; the picker opens on a later turn, with this
    // request's own files.
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    DispatchQueue::main().async([weak, urls = std::move(urls)] {
        if (auto self = weak.lock()) self->presentSendDestinationPicker(urls);
    });
}

std::vector<fs::path> HostProbeDelegate::serviceFileURLs(const platform::Pasteboard& pasteboard) {
    std::vector<fs::path> read;
    // URL objects count only when every object read back is a URL.
    const auto objects = platform::readURLObjects(pasteboard, true);
    if (std::all_of(objects.begin(), objects.end(), [](const auto& o) { return o.urlString.has_value(); })) {
        for (const auto& object : objects)
            if (auto path = platform::Pasteboard::pathFromFileURLString(*object.urlString)) read.push_back(*path);
    }
    if (auto legacy = platform::propertyListForType(pasteboard, platform::kPasteboardTypeLegacyFilenames);
        legacy && legacy->isArray()) {
        const auto& list = *legacy->asArray();
        if (std::all_of(list.begin(), list.end(), [](const auto& v) { return v.isString(); })) {
            for (const auto& entry : list) {
                fs::path path(*entry.asString());
                if (path.empty()) continue;
                // A bare name is relative to the current folder, as a file
                // URL made from a path would be.
                std::error_code ec;
                if (path.is_relative()) path = fs::current_path(ec) / path;
                read.push_back(path);
            }
        }
    }
    for (const auto& text : platform::itemStringsForType(pasteboard, platform::kPasteboardTypeFileURL))
        if (auto path = text ? platform::Pasteboard::pathFromFileURLString(*text) : std::nullopt) read.push_back(*path);

    // One file once, as first read: "a/./b" and "a/x/../b" name one file.
    std::vector<fs::path> urls;
    std::set<std::string> seen;
    for (const auto& path : read) {
        std::string key = path.lexically_normal().string();
        while (key.size() > 1 && key.back() == '/') key.pop_back();
        if (seen.insert(key).second) urls.push_back(path);
    }
    return urls;
}

std::vector<SendDestinationOption> HostProbeDelegate::sendDestinationOptions(
    const std::vector<FileTransferPeer>& peers, const std::vector<std::string>& viewerNames) {
    const std::string connected = VelantrixL10n::text("host.sendFilesConnectedViewer", "Connected Viewer");
    std::vector<SendDestinationOption> options;
    for (const auto& peer : peers) options.push_back({peer.id.uuidString(), peer.name, connected});
    if (!options.empty()) return options;
    // Viewers without a file peer: one option for all of them, sent
    // without a routing token.
    return {{"viewer", viewerDisplayNameSummary(viewerNames),
             viewerNames.size() < 2 ? connected
                                    : VelantrixL10n::text("host.sendFilesAllViewers", "All connected Viewers")}};
}

void HostProbeDelegate::presentSendDestinationPicker(const std::vector<fs::path>& urls) {
    assertMainQueue();
    platform::Application::shared().activate(true);
    auto server = audioServer();
    if (!server || !server->hasConnectedViewer()) {
        auto alert = platform::Alert::make();
        alert->messageText = VelantrixL10n::text("host.sendFilesNoViewerTitle", "No Norvessal Viewer is connected.");
        alert->informativeText = VelantrixL10n::text(
            "host.sendFilesNoViewerBody",
            "Open Norvessal on the other device and connect to this Host first, then try Send files via Norvessal "
            "again.");
        alert->addButton(VelantrixL10n::text("common.ok", "OK"));
        runHostModalAlert(alert);
        return;
    }
    const auto peers = server->connectedFileTransferPeers();
    const auto options =
        sendDestinationOptions(peers, peers.empty() ? server->connectedViewerDisplayNames() : std::vector<std::string>{});

    // A remembered device that is not connected now is not offered.
    auto previous = SendDestinationMemory::recall();
    if (previous && std::none_of(options.begin(), options.end(),
                                 [&](const SendDestinationOption& o) { return o.id == previous->peer.id; }))
        previous.reset();

    const std::string header =
        urls.size() == 1 ? VelantrixL10n::text("host.sendingOneItem", "Sending 1 item via Norvessal.")
                         : VelantrixL10n::format("host.sendingItemsFormat", "Sending %d items via Norvessal.",
                                                 static_cast<int>(urls.size()));
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    SendDestinationPicker::present(
        VelantrixL10n::text("host.sendToViewerWindowTitle", "Send to Norvessal Viewer"), header, options,
        SendDestinationPicker::defaultPresets(), previous, components.fileTransferService,
        [weak, urls](std::optional<SendDestinationResult> result) {
            auto self = weak.lock();
            if (!self || !result) return;
            // An unticked box leaves an earlier stored choice as it was.
            if (result->remember) SendDestinationMemory::remember(*result);
            self->dispatchSendToViewer(urls, result->destination, result->peer.id);
        });
}

void HostProbeDelegate::dispatchSendToViewer(const std::vector<fs::path>& urls, const std::string& destination,
                                             const std::optional<std::string>& routingToken) {
    assertMainQueue();
    // A file URL always carries an absolute path.
    std::vector<fs::path> files;
    std::copy_if(urls.begin(), urls.end(), std::back_inserter(files), [](const fs::path& p) { return p.is_absolute(); });
    if (files.empty()) return;
    // The Viewer may have left while the picker was open.
    auto server = audioServer();
    if (!server || !server->hasConnectedViewer()) return;
    invalidateInboundFileClipboardClaim("host service send");
    log("files: queued " + std::to_string(files.size()) + " item(s) via service -> " + destination);
    // "viewer" (no session) sends to every Viewer.
    std::optional<std::string> token;
    if (routingToken && platform::UUID::parse(*routingToken)) token = routingToken;
    if (components.fileTransferService->sendURLs(files, FileTransferIntent::copy, destination, {}, token)) return;
    // The chosen Viewer left while another stays: nothing was queued, and
    // the user sees the send fail rather than nothing at all.
    log("files: send failed; Viewer session " + token.value_or("").substr(0, 8) + " has left");
    const platform::UUID failed = platform::UUID::random();
    auto& center = FileTransferCenter::shared();
    center.addTask({failed, FileTransferDirection::outgoing, "Viewer", static_cast<int64_t>(files.size()), 0,
                    FileTransferService::transferItemNames(files)},
                   {});
    center.failTask(failed, VelantrixL10n::text("fileTransfer.center.viewerLeft", "The Viewer is no longer connected."));
}

// --- Drag pull ------------------------------------------------------------------------------

void HostProbeDelegate::handleDragPullRequest(uint32_t snapshotID, uint32_t index, const platform::UUID& sessionID) {
    auto server = audioServer();
    const std::string where = " snapshot=" + std::to_string(snapshotID) + " index=" + std::to_string(index);
    auto url = server ? server->dragSourceURL(snapshotID, index) : std::nullopt;
    if (!url) {
        log("drag pull: stale" + where);
        return;
    }
    auto& service = *components.fileTransferService;
    auto& pulls = fileDelivery.dragPulls;
    std::erase_if(pulls.inFlight, [&](const auto& entry) { return !service.isOutgoingBatchPending(entry.second); });
    const HostFileDeliveryState::DragPullKey key{snapshotID, index, sessionID};
    if (pulls.inFlight.contains(key)) {
        // The item is already on its way to this Viewer: a repeat would
        // send it whole again.
        pulls.droppedRepeats += 1;
        if (!FileTransferReceiveState::mayLogNow(pulls.lastRepeatLineNs, platform::Clock::uptimeNs())) return;
        log("drag pull: dropped " + std::to_string(pulls.droppedRepeats) + " repeat(s) while serving" + where);
        pulls.droppedRepeats = 0;
        return;
    }
    log("drag pull: serving " + FileTransferService::lastPathComponent(*url).string() + where);
    // The item goes to the Viewer that pulled it, not to every Viewer.
    if (auto batch = service.sendURLs({*url}, FileTransferIntent::pullForPromise, std::nullopt, {},
                                      sessionID.uuidString()))
        pulls.inFlight.emplace(key, *batch);
}

// --- Clipboard claim and names ----------------------------------------------------------------

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
