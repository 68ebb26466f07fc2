// Connects the Viewer session server and the clipboard bridge to each
// other and to the shell. Every hook holds the delegate weakly and none
// holds the component that owns it, so nothing keeps anything alive in a
// cycle. Only the status and clipboard hooks hop to the main queue; the
// packet and drag-pull hooks run on the server queue and the bridge's hook
// on its poll queue.

#include <algorithm>
#include <deque>
#include <mutex>
#include <vector>

#include "HostApp/Shell/DiagnosticLogBuffer.h"
#include "HostApp/HostProbeDelegate.h"
#include "Platform/Files/Folders.h"
#include "Platform/Runtime/Log.h"
#include "Platform/Runtime/WorkLedger.h"
#include "VelantrixProfiles/FileTransfer/FileTransferCenter.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using platform::DispatchQueue;

namespace {
// A component's status line: into the log and into the label that holds
// the latest one. A Viewer can provoke lines faster than the main queue
// runs: they wait in one bounded mailbox that a single main-queue task
// empties, so a burst costs neither a task per line nor memory without
// end, and no Viewer's account is charged for what is the Host's own log.
struct StatusLine {
    std::weak_ptr<HostProbeDelegate> delegate;
    std::string logLine;
    std::string labelKey;
    std::string labelDefault;
    std::string message;
};

class StatusMailbox {
public:
    // Far above what the Host says on its own in the time a main-queue
    // task takes; past it the oldest lines give way and are counted.
    static constexpr size_t kMaxWaitingBytes = size_t{1} << 20;

    static StatusMailbox& shared() {
        static StatusMailbox mailbox;
        return mailbox;
    }

    void post(StatusLine line) {
        {
            std::lock_guard lock(mutex_);
            waitingBytes_ += bytesOf(line);
            lines_.push_back(std::move(line));
            while (waitingBytes_ > kMaxWaitingBytes && lines_.size() > 1) {
                waitingBytes_ -= bytesOf(lines_.front());
                lines_.pop_front();
                ++dropped_;
            }
            if (drainQueued_) return;
            drainQueued_ = true;
        }
        const platform::WorkLedger::Charged hostsOwn(nullptr);
        DispatchQueue::main().async([this] { drain(); });
    }

private:
    static size_t bytesOf(const StatusLine& line) {
        return sizeof(StatusLine) + line.logLine.size() + line.labelKey.size() + line.labelDefault.size() +
               line.message.size();
    }

    void drain() {
        std::deque<StatusLine> lines;
        size_t dropped = 0;
        {
            std::lock_guard lock(mutex_);
            lines.swap(lines_);
            dropped = std::exchange(dropped_, 0);
            waitingBytes_ = 0;
            drainQueued_ = false;
        }
        std::vector<std::shared_ptr<HostProbeDelegate>> told;
        for (auto& line : lines) {
            auto self = line.delegate.lock();
            if (!self) continue;
            if (dropped > 0) {
                self->components.diagnosticLog->append("host: " + std::to_string(dropped) +
                                                       " status lines came faster than they could be kept; dropped");
                dropped = 0;
            }
            self->components.diagnosticLog->append(line.logLine);
            self->presentation.audioStatusLabel->text =
                VelantrixL10n::format(line.labelKey, line.labelDefault, line.message);
            if (std::find(told.begin(), told.end(), self) == told.end()) told.push_back(std::move(self));
        }
        for (const auto& self : told) self->updateHostPresentation();
    }

    std::mutex mutex_;
    std::deque<StatusLine> lines_;
    size_t waitingBytes_ = 0;
    size_t dropped_ = 0;
    bool drainQueued_ = false;
};

void noteComponentStatus(const std::weak_ptr<HostProbeDelegate>& weak, std::string logLine, std::string labelKey,
                         std::string labelDefault, std::string message) {
    StatusMailbox::shared().post(
        {weak, std::move(logLine), std::move(labelKey), std::move(labelDefault), std::move(message)});
}

// Where Viewers' paths are confined; none when the delegate is gone or
// nothing confines them.
std::optional<ViewerPathConfinement> confinementOf(const std::weak_ptr<HostProbeDelegate>& weak) {
    auto self = weak.lock();
    return self ? self->viewerPathConfinement() : std::nullopt;
}
}  // namespace

void HostProbeDelegate::startAudioAuxServer() {
    assertMainQueue();
    auto server = std::make_shared<V230HostAudioAuxServer>(serverConfiguration_);
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    server->onStatus = [weak](const std::string& message) {
        noteComponentStatus(weak, "aux: " + message, "host.auxStatusFormat", "Aux: %@", message);
    };
    // The bridge keeps only the latest transfer waiting and queues one
    // main-queue task for it, however fast a Viewer sends.
    server->onClipboardTransfer = [bridge = std::weak_ptr<ClipboardSyncBridge>(components.clipboardBridge)](
                                      const ClipboardTransfer& transfer) {
        if (auto self = bridge.lock()) self->receiveRemoteTransfer(transfer);
    };
    auto packetHandler = [weak](FileTransferPacket packet, const platform::UUID& session) {
        if (auto self = weak.lock()) self->handleIncomingFileTransferPacket(std::move(packet), session);
    };
    server->onFileTransferPacket = packetHandler;
    server->onFileTransferIncomingPacket = packetHandler;
    // The peers' accounts share the engine's total among machines, so that
    // its own bound, which refuses, is never what a batch meets.
    static_assert(AuxAdmission::maxBatchesInAll <= FileTransferService::maxOpenInboundBatches);
    // The engine holds the open batches: it gives their places back when
    // a machine under its share waits and others keep more than theirs.
    components.fileTransferService->givePlacesBackTo(server->batchPlaces());
    // Told on the server queue, the road its packets take, so that it
    // reaches the session's batches behind every packet it sent.
    server->onFileTransferSessionHeard =
        [service = std::weak_ptr<FileTransferService>(components.fileTransferService)](
            const platform::UUID& session, size_t frames, size_t bytes) {
            if (auto self = service.lock()) self->sessionHeard(session.uuidString(), frames, bytes);
        };
    server->onFileTransferSessionEnded = [weak](const platform::UUID& session) {
        if (auto self = weak.lock()) self->handleFileTransferSessionEnded(session);
    };
    server->onDragPullRequest = [weak](uint32_t snapshotID, uint32_t index, const platform::UUID& session) {
        if (auto self = weak.lock()) self->handleDragPullRequest(snapshotID, index, session);
    };
    components.audioServer.store(server);
    server->start();

    if (server->boundAudioPort() == 0 || server->boundVideoPort() == 0) {
        // Without its control ports no Viewer can reach the Host: say so and
        // quit at once, with a failing status.
        platform::Log::line("host: cannot serve Viewers (a control port could not be opened); exiting");
        auto& app = platform::Application::shared();
        app.setExitStatus(1);
        lifecycle.terminationConfirmed = true;
        app.terminate();
    }
}

void HostProbeDelegate::configureClipboardBridgeIfNeeded() {
    assertMainQueue();
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    auto& bridge = *components.clipboardBridge;
    bridge.onOutgoingTransfer = [weak](const ClipboardTransfer& transfer, ClipboardSyncBridge::DeliveryOutcome done) {
        auto self = weak.lock();
        if (!self) return done(false);
        // The claim lives on the main queue; this hook runs on the poll queue.
        DispatchQueue::main().async([weak] {
            if (auto self = weak.lock()) self->invalidateInboundFileClipboardClaim("host clipboard changed");
        });
        auto server = self->audioServer();
        if (!server) return done(false);
        const std::string sent = "clipboard sent seq=" + std::to_string(transfer.sequence) + " kind=" +
                                 (transfer.items.empty() ? "unknown" : std::string(rawValue(transfer.items.front().kind)));
        // The outcome comes from the server queue; the log line is written
        // on the main queue, as the delegate's lines are.
        server->broadcastClipboardTransfer(transfer, [weak, sent, done = std::move(done)](bool delivered) {
            if (delivered) {
                DispatchQueue::main().async([weak, sent] {
                    if (auto self = weak.lock()) self->log(sent);
                });
            }
            done(delivered);
        });
    };
    bridge.mayWriteInbox = [weak](const std::filesystem::path& inbox) {
        const auto confinement = confinementOf(weak);
        return !confinement || confinement->allows(inbox);
    };
    bridge.onStatus = [weak](const std::string& message) {
        noteComponentStatus(weak, message, "host.auxStatusFormat", "Aux: %@", message);
    };

    auto& service = *components.fileTransferService;
    service.sendPacket = [weak](FileTransferPacket packet) {
        auto self = weak.lock();
        return self && self->routeFileTransferPacket(std::move(packet), std::nullopt);
    };
    service.routedSendPacket = [weak](FileTransferPacket packet, const std::optional<std::string>& routingToken) {
        auto self = weak.lock();
        return self && self->routeFileTransferPacket(std::move(packet), routingToken);
    };
    service.onStatus = [weak](const std::string& message) {
        noteComponentStatus(weak, "files: " + message, "host.filesStatusFormat", "Files: %@", message);
    };
    // The service queues its batch hooks to the main queue already.
    service.onBatchStarted = [weak](const platform::UUID& batchID, int64_t fileCount, uint64_t totalBytes,
                                    const std::vector<std::string>& names, const FileTransferBatchStartInfo& start) {
        if (auto self = weak.lock()) self->handleInboundBatchStarted(batchID, fileCount, totalBytes, names, start);
    };
    service.onBatchCompleted = [weak](const platform::UUID& batchID, const std::vector<FileTransferService::URL>& staged,
                                      FileTransferIntent intent, const FileTransferDeliveryResult& unsaved,
                                      ReceivedBatchHoldings& held) {
        if (auto self = weak.lock()) self->handleInboundBatchCompleted(batchID, staged, intent, unsaved, held);
    };
    service.onInboundBatchAbandoned = [weak](const platform::UUID& batchID) {
        if (auto self = weak.lock()) self->handleInboundBatchAbandoned(batchID);
    };
    service.onSessionEnded = [weak](const std::string& session) {
        if (auto self = weak.lock()) self->forgetEndedSessionBatches(session);
    };
    // Lines about what a Viewer may not do belong in the Host's own log.
    service.onLogLine = [weak](const std::string& line) {
        auto self = weak.lock();
        if (!self) return;
        if (auto server = self->audioServer()) {
            server->publish(line);
        } else {
            self->log(line);
        }
    };
    service.listingHome = [weak]() -> std::filesystem::path {
        const auto confinement = confinementOf(weak);
        return confinement ? confinement->home() : platform::Folders::home();
    };
    service.onOutgoingBatchStarted = [weak](const platform::UUID& batchID, int64_t fileCount, uint64_t totalBytes,
                                            FileTransferIntent intent, const std::vector<std::string>& names) {
        // Services and send-to-Viewer sends go without a row.
        if (!weak.lock() || intent == FileTransferIntent::copy) return;
        FileTransferCenter::shared().addTask(
            {batchID, FileTransferDirection::outgoing, "Viewer", fileCount, totalBytes, names}, [weak, batchID] {
                auto self = weak.lock();
                if (!self) return;
                self->components.fileTransferService->cancelOutgoingBatch(batchID);
                self->components.fileTransferService->notifyPeerCancel(batchID);
            });
    };
    auto progress = [](const platform::UUID& batchID, uint64_t done, uint64_t total) {
        FileTransferCenter::shared().updateProgress(batchID, done, total);
    };
    service.onOutgoingBatchProgress = progress;
    service.onBatchProgress = progress;
    service.onOutgoingBatchCompleted = [](const platform::UUID& batchID, bool cancelled, size_t failedItems) {
        auto& center = FileTransferCenter::shared();
        if (cancelled) {
            center.completeTask(batchID, VelantrixL10n::text("fileTransfer.cancelled", "Cancelled"), 1.5);
        } else if (failedItems > 0) {
            center.failTask(batchID, VelantrixL10n::format("fileTransfer.center.sendFailed",
                                                           "%d item(s) could not be sent", failedItems));
        } else {
            center.completeTask(batchID, VelantrixL10n::text("fileTransfer.center.sent", "Sent"), 1.5);
        }
    };

    // Last, once every component it may lead to is wired.
    bridge.start();
}

bool HostProbeDelegate::routeFileTransferPacket(FileTransferPacket packet,
                                                const std::optional<std::string>& routingToken) {
    auto server = audioServer();
    if (!server) return false;
    // A token that names no session means every Viewer.
    if (auto session = routingToken ? platform::UUID::parse(*routingToken) : std::nullopt)
        return server->sendFileTransferPacket(std::move(packet), *session);
    // Listings are private to the Viewer that asked: the engine names it.
    // One that names none (its requester is unknown) goes to nobody.
    if (packet.op == FileTransferOp::listDirReply) return false;
    return server->broadcastFileTransferPacket(std::move(packet));
}
