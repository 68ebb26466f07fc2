// Drag from Host to Viewer: watches the drag pasteboard, tells the Viewers
// which files are being dragged (type 38) and when the drag is over (40),
// and resolves a Viewer's pull of one item to its file.

#include <algorithm>
#include <system_error>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Protocol/DragPayloads.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/AppKit/Pasteboard.h"
#include "Platform/Foundation/UnicodeText.h"
#include "VelantrixProfiles/FileTransfer/FileTransferService.h"

namespace fs = std::filesystem;

namespace {

constexpr double kFirstPollSeconds = 0.5;
constexpr double kPollIntervalSeconds = 0.2;

// Files that live in cloud storage may not be on this Mac at all; they are
// not offered.
bool isCloudPlaceholderPath(const std::string& path) {
    return path.find("/Library/Mobile Documents/") != std::string::npos ||
           path.find("/Library/CloudStorage/") != std::string::npos;
}

std::string nameOf(const fs::path& url) {
    std::string name = FileTransferService::lastPathComponent(url).string();
    return platform::UnicodeText::isValidUTF8(name) ? name : std::string();
}

}  // namespace

void V230HostAudioAuxServer::startDragPollingTimer() {
    queue.dispatchPrecondition();
    if (remoteDrag.dragPollTimer) remoteDrag.dragPollTimer->cancel();
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    remoteDrag.dragPollTimer = std::make_unique<platform::DispatchTimer>(
        queue, kPollIntervalSeconds,
        [weak] {
            if (auto self = weak.lock()) self->pollDragPasteboard();
        },
        kFirstPollSeconds);
    remoteDrag.dragPollTimer->resume();
}

void V230HostAudioAuxServer::pollDragPasteboard() {
    queue.dispatchPrecondition();
    // Only the change count is read here, five times a second; contents and
    // file attributes may be slow and are read off the server queue.
    const int64_t changeCount = platform::Pasteboard::drag().changeCount();
    if (changeCount == remoteDrag.lastDragChangeCount) return;
    remoteDrag.lastDragChangeCount = changeCount;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    remoteDrag.dragPollQueue.async([weak] {
        auto self = weak.lock();
        if (!self) return;
        auto items = self->readLocalDragItems();
        self->queue.async([weak, items = std::move(items)] {
            if (auto server = weak.lock()) server->applyDragItems(items);
        });
    });
}

std::vector<V230HostAudioAuxServer::DragItem> V230HostAudioAuxServer::readLocalDragItems() const {
    remoteDrag.dragPollQueue.dispatchPrecondition();
    std::vector<DragItem> items;
    const platform::Pasteboard pasteboard = platform::Pasteboard::drag();
    const auto types = pasteboard.types();
    const bool hasFiles = std::any_of(types.begin(), types.end(), [](const auto& t) {
        return t == platform::kPasteboardTypeFileURL || t == platform::kPasteboardTypeLegacyFilenames;
    });
    if (!hasFiles) return items;
    for (const auto& url : pasteboard.readFileURLs()) {
        if (isCloudPlaceholderPath(url.string())) continue;
        DragItem item{url, false, 0};
        std::error_code ec;
        const auto status = fs::status(url, ec);
        if (!ec && status.type() == fs::file_type::directory) {
            item.isDirectory = true;
            item.size = RemoteDragState::folderSize;
        } else if (!ec) {
            const auto size = fs::file_size(url, ec);
            if (!ec) item.size = size;
        }
        items.push_back(std::move(item));
    }
    return items;
}

void V230HostAudioAuxServer::applyDragItems(const std::vector<DragItem>& items) {
    queue.dispatchPrecondition();
    auto& drag = remoteDrag;
    if (items.empty()) {
        if (drag.currentDragURLs.empty()) return;
        drag.currentDragURLs.clear();
        broadcastDragSnapshotEnd(drag.currentDragSnapshotID);
        publish("remote drag: cleared snapshot=" + std::to_string(drag.currentDragSnapshotID));
        return;
    }
    const bool sameDrag = std::equal(items.begin(), items.end(), drag.currentDragURLs.begin(), drag.currentDragURLs.end(),
                                     [](const DragItem& item, const fs::path& url) { return item.url == url; });
    if (sameDrag) return;

    drag.currentDragSnapshotID = drag.currentDragSnapshotID == UINT32_MAX ? 1 : drag.currentDragSnapshotID + 1;
    drag.currentDragURLs.clear();
    for (const auto& item : items) drag.currentDragURLs.push_back(item.url);
    broadcastDragSnapshot(drag.currentDragSnapshotID, items);

    std::string names;
    for (size_t i = 0; i < std::min<size_t>(items.size(), 3); ++i)
        names += (i ? ", " : "") + FileTransferService::lastPathComponent(items[i].url).string();
    if (items.size() > 3) names += ", …";
    publish("remote drag: snapshot=" + std::to_string(drag.currentDragSnapshotID) +
            " items=" + std::to_string(items.size()) + " [" + names + "]");
}

void V230HostAudioAuxServer::broadcastDragSnapshot(uint32_t snapshotID, const std::vector<DragItem>& items) {
    DragSnapshotPayload payload;
    payload.snapshotID = snapshotID;
    const size_t described = std::min(items.size(), DragSnapshotPayload::maxDescribedItems);
    payload.items.reserve(described);
    for (size_t i = 0; i < described; ++i) payload.items.push_back({items[i].size, nameOf(items[i].url)});
    sendDragControlPacket(makeAuxPacket(AuxPacketType::dragSnapshot, 0, payload.encode(), platform::Clock::uptimeNs()));
}

void V230HostAudioAuxServer::broadcastDragSnapshotEnd(uint32_t snapshotID) {
    auto payload = DragSnapshotEndPayload{snapshotID}.encode();
    sendDragControlPacket(makeAuxPacket(AuxPacketType::dragSnapshotEnd, 0, payload, platform::Clock::uptimeNs()));
}

void V230HostAudioAuxServer::sendDragControlPacket(const std::vector<uint8_t>& packet) {
    queue.dispatchPrecondition();
    if (!sendToAuthorizedSessionsOf(AuxChannel::audio, packet)) sendToAuthorizedSessionsOf(AuxChannel::video, packet);
}

std::optional<fs::path> V230HostAudioAuxServer::dragSourceURL(uint32_t snapshotID, uint32_t index) {
    // sync runs inline when the caller already is on the server queue.
    return queue.syncValue([&]() -> std::optional<fs::path> {
        const auto& drag = remoteDrag;
        if (snapshotID != drag.currentDragSnapshotID || index >= drag.currentDragURLs.size()) return std::nullopt;
        return drag.currentDragURLs[index];
    });
}
