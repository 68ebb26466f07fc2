// Delivery of files the Viewers send. The packet hook sees every
// file-transfer packet of a Viewer session before the service does and
// serves peer-send requests (a Viewer asking for files from the Host
// user's home folder) itself. Each inbound batch's part here is one entry
// (InboundBatchDelivery), made when the engine reports its start and
// erased, with everything it holds, however the batch ends.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <system_error>
#include <utility>

#include "HostApp/HostProbeDelegate.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Runtime/Log.h"
#include "Platform/Runtime/WorkLedger.h"
#include "Platform/Files/FileHandles.h"
#include "Platform/Files/FileMoves.h"
#include "Platform/Files/Folders.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Platform/Foundation/UnicodeText.h"
#include "VelantrixProfiles/FileTransfer/FileTransferCenter.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using platform::DispatchQueue;
using platform::UUID;
using platform::WorkLedger;
namespace fs = std::filesystem;

namespace {
// Tilde expanded (to the console user's home under confinement), then
// ".", ".." and repeated separators removed without touching the disk; a
// relative path is taken from "/".
fs::path standardizedPath(const std::string& path, const std::optional<ViewerPathConfinement>& confinement = std::nullopt) {
    fs::path expanded =
        confinement ? confinement->expandingTilde(path) : platform::Folders::expandingTildeInPath(path);
    if (expanded.is_relative()) expanded = fs::path("/") / expanded;
    auto normal = expanded.lexically_normal();
    if (normal.has_relative_path() && !normal.has_filename()) normal = normal.parent_path();
    return normal;
}

// What a folder named by a peer is opened with at most, on the peer's
// account before it is opened: the home, and on the way down a folder and
// the next one below it.
constexpr size_t kDescriptorsToOpenAFolder = 3;

// `folder`, opened with `held` taken for it beforehand, on the peer's
// account for as long as anything holds it: its descriptor, and the home's
// when it was opened beneath the home and keeps that open.
std::shared_ptr<platform::ConfinedFolder> chargedToPeer(std::shared_ptr<platform::ConfinedFolder> folder,
                                                        WorkLedger::Holding held) {
    if (!folder || !held.ledger()) return folder;
    const size_t descriptors = folder->top().get() == folder.get() ? 1 : 2;
    held.shrink(held.amount() - std::min(held.amount(), descriptors));
    struct Charged {
        WorkLedger::Holding descriptors;
        std::shared_ptr<platform::ConfinedFolder> folder;
    };
    auto charged = std::make_shared<Charged>(Charged{std::move(held), std::move(folder)});
    return std::shared_ptr<platform::ConfinedFolder>(charged, charged->folder.get());
}

// The path with every link resolved, or nothing when nothing is there.
std::optional<fs::path> resolvedExistingPath(const fs::path& path) {
    std::error_code error;
    auto real = fs::canonical(path, error);
    if (error) return std::nullopt;
    return real;
}
}  // namespace

void HostProbeDelegate::handleIncomingFileTransferPacket(FileTransferPacket packet, const UUID& viewerSession) {
    // A cancel goes to the engine like any other packet: it finds only the
    // sending session's batch, and tells this side when there was one.
    if (packet.op == FileTransferOp::peerSendRequest) {
        auto server = audioServer();
        servePeerSendRequest(packet, viewerSession, server ? server->queue : DispatchQueue::main());
        return;
    }
    components.fileTransferService->handleIncomingPacket(std::move(packet), viewerSession.uuidString());
}

std::optional<ViewerPathConfinement> HostProbeDelegate::viewerPathConfinement() const {
    auto server = audioServer();
    const std::string console = server ? server->currentConsoleSessionState().username
                                       : platform::SimulatedMachine::current().consoleSession().userName;
    return ViewerPathConfinement::forConsoleUser(console);
}

void HostProbeDelegate::handleInboundBatchAbandoned(const UUID& batchID) {
    assertMainQueue();
    auto* batch = fileDelivery.inboundBatch(batchID);
    // Already let go of: a drop on its way, or a batch the Host ended.
    if (!batch) return;
    // Its Viewer gave it up: no receipt is owed. Items already moving stop
    // before the next one; what was saved stays and the delivery's end
    // says so.
    batch->managed = false;
    if (stopInboundDelivery(batchID)) return;
    forgetInboundBatch(batchID);
    FileTransferCenter::shared().failTask(batchID, VelantrixL10n::text("fileTransfer.cancelled", "Cancelled"));
}

HostProbeDelegate::PeerSendSources HostProbeDelegate::peerSendSources(
    const std::vector<std::string>& paths, const std::optional<ViewerPathConfinement>& confinement) {
    PeerSendSources kept;
    std::set<std::string> seen;
    // A request names at most as many paths as a sender may put in one;
    // the rest are not examined.
    const size_t examined = std::min(paths.size(), FileTransferService::maxPeerSendPaths);
    if (confinement) {
        // Each item's folder is opened beneath the home without following
        // a link and the item looked at there, itself no link: a link
        // anywhere on the way could lead out of the home meanwhile.
        const fs::path& home = confinement->home();
        if (home.empty()) return kept;
        // The folders the send keeps open, each a descriptor on the
        // asking peer's account until the last of its items lets go of
        // them; past the account's bound the send fails as one whose home
        // cannot be opened, and a folder that would pass it is not kept.
        struct HeldFolders {
            platform::WorkLedger::Holding descriptors;
            std::vector<std::shared_ptr<platform::ConfinedFolder>> folders;
        };
        auto taken = platform::WorkLedger::Holding::take(platform::WorkLedger::current(),
                                                         platform::WorkLedger::Held::descriptors);
        if (!taken) return kept;
        // And while an item is looked at, the two more it opens at most
        // (on the way down a folder and the next below it; then the item's
        // folder, if not kept, and the item itself, opened to be sure it is
        // readable): on the account before they are opened, given back
        // once every item was looked at.
        const auto looking = platform::WorkLedger::Holding::take(platform::WorkLedger::current(),
                                                                 platform::WorkLedger::Held::descriptors, 2);
        if (!looking) return kept;
        auto held = std::make_shared<HeldFolders>(HeldFolders{std::move(*taken), {}});
        // One the send keeps: it shares the held folders' lifetime.
        auto keep = [&](std::shared_ptr<platform::ConfinedFolder> folder) {
            held->folders.push_back(folder);
            return std::shared_ptr<platform::ConfinedFolder>(held, folder.get());
        };
        // The home as the system gives it.
        auto top = confinement->openHome();
        if (!top) return kept;
        *top = keep(*top);
        // Items of one folder share its descriptor; a few folders stay
        // open for the send, items of the others are reached from the home
        // again when they are walked.
        std::map<fs::path, std::shared_ptr<platform::ConfinedFolder>> opened;
        for (size_t i = 0; i < examined; i++) {
            const fs::path path = standardizedPath(paths[i], confinement);
            if (!platform::Folders::contains(home, path)) continue;
            const bool isHome = path == home;
            const fs::path folderPath = isHome ? path : path.parent_path();
            std::shared_ptr<platform::ConfinedFolder> folder;
            if (folderPath == home) {
                folder = *top;
            } else if (auto found = opened.find(folderPath); found != opened.end()) {
                folder = found->second;
            } else {
                auto beneath = (*top)->openBeneath(folderPath.lexically_relative(home), false);
                if (!beneath) continue;
                folder = *beneath;
                if (opened.size() < HostFileDeliveryState::maxFoldersHeldPerPeerSend && held->descriptors.grow(1)) {
                    folder = keep(folder);
                    opened.emplace(folderPath, folder);
                }
            }
            struct stat info{};
            const std::string name = isHome ? "." : path.filename().string();
            if (::fstatat(folder->fd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
            if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) continue;
            // Readable as the kernel decides it: opened, and closed again.
            const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (S_ISDIR(info.st_mode) ? O_DIRECTORY : 0);
            const int probe = ::openat(folder->fd(), name.c_str(), flags);
            if (probe < 0) continue;
            ::close(probe);
            if (!seen.insert(path.string()).second) continue;
            if (folder == *top || opened.contains(folderPath))
                kept.confined.push_back({folder, name});
            else
                kept.confined.push_back({*top, path.lexically_relative(home).string()});
        }
        return kept;
    }
    const fs::path homeFolder = standardizedPath(platform::Folders::home().string());
    const std::string home = resolvedExistingPath(homeFolder).value_or(homeFolder).string();
    for (size_t i = 0; i < examined; i++) {
        auto candidate = resolvedExistingPath(standardizedPath(paths[i]));
        if (!candidate) continue;
        const std::string path = candidate->string();
        if (home.empty() || !platform::Folders::contains(home, *candidate)) continue;
        if (::access(path.c_str(), R_OK) != 0) continue;
        if (!seen.insert(path).second) continue;
        kept.paths.push_back(*candidate);
    }
    return kept;
}

void HostProbeDelegate::servePeerSendRequest(const FileTransferPacket& packet, const UUID& viewerSession,
                                             const DispatchQueue& replyQueue) {
    const std::string token = viewerSession.uuidString();
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    auto refuse = [weak, batchID = packet.batchID, token](const std::string& logLine, const std::string& message) {
        auto self = weak.lock();
        if (!self) return;
        self->log(logLine);
        self->components.fileTransferService->sendPeerSendResponse(batchID, false, message, token);
    };

    auto request = FileTransferService::peerSendRequest(packet);
    if (!request) {
        refuse("files: rejected malformed peer send request", "The Host could not read the requested transfer.");
        return;
    }
    // Its place on its peer's account, whichever of the Viewer's sessions
    // asks, held by the send from here until its batch was sent, failed or
    // given up: what a request holds (its folders, its place in the send
    // queue) is bounded per peer, and one past the bound is answered at
    // once.
    auto taken = platform::WorkLedger::Holding::take(platform::WorkLedger::current(),
                                                     platform::WorkLedger::Held::sends);
    if (!taken) {
        const auto peerSends = fileDelivery.peerSends;
        std::optional<std::string> line;
        {
            std::lock_guard guard(peerSends->lock);
            line = peerSends->refusalLines.admit(
                "refused", "files: refused peer send request: too many of its Viewer's requests are waiting");
        }
        if (line) log(*line);
        components.fileTransferService->sendPeerSendResponse(
            packet.batchID, false, "Too many requests from this Viewer are waiting to be sent.", token);
        return;
    }
    // Shared by the hops below and then by the batch: whichever of them
    // is the last to go gives it back, if the batch's end did not first.
    auto place = std::make_shared<platform::WorkLedger::Holding>(std::move(*taken));
    auto release = [place] { place->reset(); };
    auto server = audioServer();
    const std::string console = server ? server->currentConsoleSessionState().username
                                       : platform::SimulatedMachine::current().consoleSession().userName;
    // The directory service and the paths' file systems may hang: asked on
    // a utility queue, the answer sent from the queue that asked.
    DispatchQueue::global(platform::QualityOfService::utility).async([weak, request = std::move(*request), console,
                                                                      replyQueue, refuse, token, release,
                                                                      batchID = packet.batchID]() mutable {
        auto kept = peerSendSources(request.sourcePaths, ViewerPathConfinement::forConsoleUser(console));
        replyQueue.async([weak, request = std::move(request), kept = std::move(kept), refuse, token, release,
                          batchID]() mutable {
            auto self = weak.lock();
            if (!self) {
                release();
                return;
            }
            if (kept.count() == 0) {
                release();
                refuse("files: rejected peer send request with no readable Home paths",
                       "The requested files are no longer available on the Host.");
                return;
            }
            auto& service = *self->components.fileTransferService;
            self->log("files: requested send of " + std::to_string(kept.count()) + " item(s) to Viewer session " +
                      token.substr(0, 8));
            auto queued = kept.confined.empty()
                              ? service.sendURLs(kept.paths, FileTransferIntent::managedCopy, request.destination,
                                                 request.deliveryOptions(), token, batchID, release)
                              : service.sendConfinedItems(kept.confined, FileTransferIntent::managedCopy,
                                                          request.destination, request.deliveryOptions(), token,
                                                          batchID, release);
            kept.confined.clear();
            if (!queued) {
                release();
                refuse("files: could not queue peer send request", "The Host could not prepare the requested transfer.");
                return;
            }
            service.sendPeerSendResponse(batchID, true, std::nullopt, token);
        });
    });
}

void HostProbeDelegate::handleFileTransferSessionEnded(const UUID& viewerSession) {
    // The engine hands the end on behind the session's packets, and its
    // news behind theirs: a batch started before the end is known here
    // before the end is (forgetEndedSessionBatches).
    components.fileTransferService->sessionEnded(viewerSession.uuidString());
}

void HostProbeDelegate::forgetEndedSessionBatches(const std::string& token) {
    assertMainQueue();
    // Every inbound batch of the session, complete or not, whether it
    // named a destination or not, goes with it: what it staged or opened is
    // its peer's, and nobody is left to receive its receipt.
    const std::string session8 = token.substr(0, 8);
    std::vector<UUID> abandoned;
    for (const auto& [batchID, batch] : fileDelivery.inboundBatches)
        if (batch.session == token) abandoned.push_back(batchID);
    for (const auto& batchID : abandoned) {
        // Items already moving stop before the next one; what was saved
        // stays and the delivery's end says so.
        if (stopInboundDelivery(batchID)) {
            log("files: stopped delivery of batch " + batchID.id8() + " of ended Viewer session " + session8);
            continue;
        }
        // Nobody is left to receive a receipt or to be told to stop.
        components.fileTransferService->cancelBatch(batchID);
        forgetInboundBatch(batchID);
        FileTransferCenter::shared().failTask(batchID, VelantrixL10n::text("fileTransfer.cancelled", "Cancelled"));
        log("files: cancelled batch " + batchID.id8() + " of ended Viewer session " + session8);
    }
}

void HostProbeDelegate::forgetInboundBatch(const UUID& batchID) {
    // The entry takes everything the batch held with it: its folder (and
    // the home it was opened beneath), its staged items, its place among
    // its peer's batches. A completion still on its way finds no entry and
    // removes what it staged.
    fileDelivery.inboundBatches.erase(batchID);
    if (fileDelivery.latestInboundFileBatchID == batchID) fileDelivery.latestInboundFileBatchID.reset();
    components.fileTransferService->releaseInboundBatch(batchID);
}

void SaveLocationPanel::withdraw() {
    if (auto batchID = std::exchange(batchID_, std::nullopt)) FileTransferCenter::shared().withdrawSaveLocation(*batchID);
}

std::optional<fs::path> HostProbeDelegate::resolveDestinationHint(const std::string& hint) {
    const std::string trimmed(platform::UnicodeText::trimmingWhitespace(hint));
    if (trimmed.empty()) return std::nullopt;
    const fs::path folder = standardizedPath(trimmed);
    std::error_code error;
    const auto status = fs::status(folder, error);
    if (fs::exists(status)) {
        if (fs::is_directory(status)) return folder;
        return std::nullopt;
    }
    // A dangling link is something: creating through it would land elsewhere.
    if (fs::is_symlink(fs::symlink_status(folder, error))) return std::nullopt;
    fs::create_directories(folder, error);
    if (error) return std::nullopt;
    return folder;
}

void HostProbeDelegate::handleInboundBatchStarted(const UUID& batchID, int64_t fileCount, uint64_t totalBytes,
                                                  const std::vector<std::string>& itemNames,
                                                  const FileTransferBatchStartInfo& start) {
    assertMainQueue();
    // Decided from what the engine knew when the batch started: a small
    // batch may already have ended, and the engine forgotten it, by now.
    auto& center = FileTransferCenter::shared();
    auto& d = fileDelivery;
    InboundBatchDelivery batch;
    batch.serial = ++d.lastInboundSerial;
    // The engine took the destination only from the batch's own session:
    // the receipt goes there, never to a session that named the same ID.
    batch.session = start.session;
    batch.peer = start.peer;
    batch.ledger = start.ledger;
    batch.namedItsFolder = start.destinationHint.has_value();
    // A batch given up under this ID earlier had all its news before this
    // start (the engine reports each batch in order): whatever is left of
    // it goes now.
    d.inboundBatches.insert_or_assign(batchID, std::move(batch));
    d.latestInboundFileBatchID = batchID;
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    center.addTask({batchID, FileTransferDirection::incoming, "Viewer", fileCount, totalBytes, itemNames},
                   [weak, batchID] {
                       auto self = weak.lock();
                       if (!self) return;
                       // Saved items are never reported "Cancelled".
                       if (self->stopInboundDelivery(batchID)) return;
                       self->sendManagedCopyDeliveryResponse(batchID, false,
                                                             VelantrixL10n::text("fileTransfer.cancelled", "Cancelled"));
                       self->components.fileTransferService->cancelBatch(batchID);
                       self->components.fileTransferService->notifyPeerCancel(batchID);
                       self->forgetInboundBatch(batchID);
                   });
    if (start.intent == FileTransferIntent::dropToFinder) {
        // A later batchIntent may still turn it into a copy.
        d.inboundBatches.at(batchID).dropStart = start;
        center.setSubtitle(batchID, VelantrixL10n::text("fileTransfer.center.droppingToFinder", "Dropping into Finder\u2026"));
        return;
    }
    decideInboundDestination(batchID, start);
}

void HostProbeDelegate::decideInboundDestination(const UUID& batchID, const FileTransferBatchStartInfo& start) {
    assertMainQueue();
    auto* batch = fileDelivery.inboundBatch(batchID);
    if (!batch) return;
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    const bool managed = start.intent == FileTransferIntent::managedCopy;
    if (managed) {
        batch->deliveryOptions = start.deliveryOptions;
        batch->managed = true;
    }
    if (start.destinationHint) {
        // Looked for off the main queue: the directory service and the
        // folder's file system may be slow. Checked before anything is
        // made, as a Viewer acts with the console user's rights.
        auto server = audioServer();
        const std::string console = server ? server->currentConsoleSessionState().username
                                           : platform::SimulatedMachine::current().consoleSession().userName;
        batch->checkingDestination = true;
        DispatchQueue::global(platform::QualityOfService::utility).async(
            [weak, batchID, serial = batch->serial, managed, console, hint = *start.destinationHint,
             ledger = batch->ledger] {
                const auto confinement = ViewerPathConfinement::forConsoleUser(console);
                const std::string trimmed(platform::UnicodeText::trimmingWhitespace(hint));
                const fs::path named = standardizedPath(trimmed, confinement);
                bool outside = confinement && !trimmed.empty() && !platform::Folders::contains(confinement->home(), named);
                std::shared_ptr<platform::ConfinedFolder> folder;
                std::optional<std::string> unavailable;
                // On its peer's account from before it is opened, not only
                // once the main queue has it; past the peer's bound it is
                // not opened.
                auto held = WorkLedger::Holding::take(ledger, WorkLedger::Held::descriptors, kDescriptorsToOpenAFolder);
                if (!outside && held) {
                    auto opened = openDestinationHint(hint, confinement);
                    if (opened)
                        folder = chargedToPeer(std::move(*opened), std::move(*held));
                    else
                        unavailable = opened.error();
                }
                // Refused on the way down: through a link leading out, or
                // not a folder at all.
                if (!folder && confinement && !trimmed.empty()) outside = outside || !confinement->allows(named);
                if (outside) unavailable.reset();
                DispatchQueue::main().async([weak, batchID, serial, managed, outside, unavailable,
                                             folder = std::move(folder)]() mutable {
                    auto self = weak.lock();
                    if (!self) return;
                    // The batch ended, or became a drop, meanwhile: the
                    // folder is closed here, never recorded.
                    auto* batch = self->fileDelivery.inboundBatch(batchID, serial);
                    if (!batch || !std::exchange(batch->checkingDestination, false)) return;
                    if (outside)
                        self->log("files: refused destination outside the console user's home for batch " + batchID.id8());
                    // Decided before a byte is staged: a managed copy is
                    // refused now, a plain one goes where the Host's user
                    // picks.
                    if (unavailable) {
                        static platform::LineRateLimiter lines;
                        if (auto line = lines.admit("destination unavailable",
                                                    "files: destination of batch " + batchID.id8() +
                                                        " is not available: " + *unavailable))
                            self->log(*line);
                    }
                    self->continueInboundBatchStart(batchID, managed, std::move(folder));
                });
            });
        return;
    }
    continueInboundBatchStart(batchID, managed, nullptr);
}

platform::Result<std::shared_ptr<platform::ConfinedFolder>> HostProbeDelegate::openDestinationHint(
    const std::string& hint, const std::optional<ViewerPathConfinement>& confinement) {
    using R = platform::Result<std::shared_ptr<platform::ConfinedFolder>>;
    const std::string trimmed(platform::UnicodeText::trimmingWhitespace(hint));
    if (trimmed.empty()) return R::failure("no folder named");
    std::optional<fs::path> unconfined;
    if (!confinement) {
        unconfined = resolveDestinationHint(hint);
        if (!unconfined) return R::failure(standardizedPath(trimmed).string() + ": not a folder that can be made");
    }
    auto opened = confinement ? confinement->openFolder(standardizedPath(trimmed, confinement), true)
                              : platform::ConfinedFolder::openTop(*unconfined);
    if (!opened) return opened;
    // The kernel decides, by a real attempt, whether the user may save
    // there: asked now, not found out after the whole upload.
    if (auto writable = (*opened)->mayWrite(); !writable) return R::failure(writable.error());
    return opened;
}

void HostProbeDelegate::continueInboundBatchStart(const UUID& batchID, bool managed,
                                                  std::shared_ptr<platform::ConfinedFolder> folder) {
    assertMainQueue();
    auto& center = FileTransferCenter::shared();
    auto& d = fileDelivery;
    // The row was cancelled, or the Viewer left, while the folder was
    // looked for: the batch is gone.
    auto* batch = d.inboundBatch(batchID);
    if (!batch) return;
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    // A folder its peer had no room to keep open is not one it got.
    if (folder) {
        batch->destination = folder->path();
        batch->destinationFolder = folder;
        center.setSubtitle(batchID, VelantrixL10n::format("fileTransfer.center.savingTo", "Saving to %@\u2026",
                                                          folder->path().filename().string()));
        tryDeliverFileBatch(batchID);
        return;
    }
    if (managed) {
        const std::string refusal =
            VelantrixL10n::text("fileTransfer.center.destUnavailable", "The destination folder is not available on this device.");
        sendManagedCopyDeliveryResponse(batchID, false, refusal);
        components.fileTransferService->cancelBatch(batchID);
        components.fileTransferService->notifyPeerCancel(batchID);
        forgetInboundBatch(batchID);
        center.failTask(batchID, refusal);
        return;
    }
    // Copies waiting for the Host's user are bounded on their own, over
    // all their peer's sessions (more sessions get it no more): they wait
    // on a person, so they hold no place among the batches in flight.
    auto waiting = WorkLedger::Holding::take(batch->ledger, WorkLedger::Held::saveLocations);
    if (!waiting) {
        const std::string refusal =
            VelantrixL10n::text("fileTransfer.center.tooManyAwaitingSaveLocation",
                                "Too many received batches from this Viewer are waiting for a save location.");
        log("files: refused batch " + batchID.id8() + ": too many batches of its Viewer wait for a save location");
        return refuseBatchAwaitingSaveLocation(batchID, refusal);
    }
    batch->saveLocationPanel.emplace(batchID, std::move(*waiting));
    batch->place.reset();
    center.orderFront();
    center.pickSaveLocation(
        batchID, std::nullopt,
        [weak, batchID, serial = batch->serial](const fs::path& folder) {
            if (auto self = weak.lock()) self->saveLocationPicked(batchID, serial, folder);
        },
        [weak, batchID, serial = batch->serial] {
            if (auto self = weak.lock()) self->saveLocationCancelled(batchID, serial);
        });
}

void HostProbeDelegate::saveLocationPicked(const UUID& batchID, uint64_t serial, const fs::path& folder) {
    assertMainQueue();
    // The row was cancelled, or the batch became a drop, while the panel
    // was up: the batch no longer waits for a folder.
    auto* batch = fileDelivery.inboundBatch(batchID, serial);
    if (!batch || !std::exchange(batch->saveLocationPanel, std::nullopt)) return;
    // Opened off the main queue (the directory service and the folder's
    // file system may be slow). It must be one the process, the console
    // user, may write: the Host saves nowhere its user could not.
    batch->checkingDestination = true;
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    DispatchQueue::global(platform::QualityOfService::utility).async(
        [weak, batchID, serial, folder, ledger = batch->ledger] {
            std::shared_ptr<platform::ConfinedFolder> opened;
            std::optional<std::string> refusal;
            // On its peer's account from before it is opened.
            auto held = WorkLedger::Holding::take(ledger, WorkLedger::Held::descriptors);
            if (!held) {
                refusal = platform::WorkLedger::descriptorRefusal(ledger, "too many descriptors held for its Viewer");
            } else if (auto top = platform::ConfinedFolder::openTop(folder, true)) {
                if (auto writable = (*top)->mayWrite())
                    opened = chargedToPeer(std::move(*top), std::move(*held));
                else
                    refusal = writable.error();
            } else {
                refusal = top.error();
            }
            DispatchQueue::main().async([weak, batchID, serial, folder, refusal, opened = std::move(opened)]() mutable {
                auto self = weak.lock();
                if (!self) return;
                // The batch ended, or became a drop, meanwhile: the folder
                // is closed here, never recorded.
                auto* batch = self->fileDelivery.inboundBatch(batchID, serial);
                if (!batch || !std::exchange(batch->checkingDestination, false)) return;
                self->savePickedLocation(batchID, folder, std::move(opened), refusal);
            });
        });
}

// Nothing of it is saved: its Viewer, its row and its staging hear so.
void HostProbeDelegate::refuseBatchAwaitingSaveLocation(const UUID& batchID, const std::string& text) {
    if (auto* batch = fileDelivery.inboundBatch(batchID); batch && !batch->session.empty())
        components.fileTransferService->sendPeerSendResponse(batchID, false, text, batch->session);
    components.fileTransferService->cancelBatch(batchID);
    components.fileTransferService->notifyPeerCancel(batchID);
    forgetInboundBatch(batchID);
    FileTransferCenter::shared().failTask(batchID, text);
}

void HostProbeDelegate::savePickedLocation(const UUID& batchID, const fs::path& folder,
                                           std::shared_ptr<platform::ConfinedFolder> opened,
                                           const std::optional<std::string>& refusal) {
    assertMainQueue();
    auto& center = FileTransferCenter::shared();
    auto* batch = fileDelivery.inboundBatch(batchID);
    if (!batch) return;
    std::optional<std::string> refused = refusal;
    if (refused) {
        // Ends as a Viewer-named folder the user may not write does:
        // nothing is saved, the row and the Viewer hear it.
        log("files: refused save location " + folder.string() + " for batch " + batchID.id8() + ": " + *refused);
        const std::string text =
            VelantrixL10n::text("fileTransfer.center.destUnavailable", "The destination folder is not available on this device.");
        return refuseBatchAwaitingSaveLocation(batchID, text);
    }
    batch->destination = folder;
    // One not opened (gone meanwhile) fails at delivery, as before.
    batch->destinationFolder = std::move(opened);
    center.setSubtitle(batchID,
                       VelantrixL10n::format("fileTransfer.center.savingTo", "Saving to %@\u2026", folder.filename().string()));
    tryDeliverFileBatch(batchID);
}

void HostProbeDelegate::saveLocationCancelled(const UUID& batchID, uint64_t serial) {
    assertMainQueue();
    // Ended meanwhile: it has had its outcome.
    auto* batch = fileDelivery.inboundBatch(batchID, serial);
    if (!batch || !batch->saveLocationPanel) return;
    components.fileTransferService->cancelBatch(batchID);
    components.fileTransferService->notifyPeerCancel(batchID);
    // Whether or not the batch had completed, nothing of it stays staged.
    forgetInboundBatch(batchID);
    FileTransferCenter::shared().completeTask(
        batchID, VelantrixL10n::text("fileTransfer.center.cancelledNoDest", "Cancelled \u2014 no save location chosen"),
        1.0);
}

void HostProbeDelegate::removeEarlierInboxFolders() {
    // Listed now, before this run stages anything; removed off the main
    // queue, as a tree of any size may be left. Both beneath the staging
    // root's descriptor: a link planted below it must not have the Host
    // empty another folder.
    auto staging = components.fileTransferService->openStagingRoot();
    if (!staging) return;
    auto entries = platform::FileSystemItems::listFolderAt(staging->fd());
    if (!entries || entries->empty()) return;
    std::vector<std::string> earlier;
    for (const auto& entry : *entries) earlier.push_back(entry.name);
    log("files: removing " + std::to_string(earlier.size()) + " staging folder(s) of an earlier run");
    DispatchQueue::global(platform::QualityOfService::utility).async(
        [folder = std::make_shared<platform::FolderHandle>(std::move(*staging)), earlier = std::move(earlier)] {
            for (const auto& name : earlier) (void)platform::FileMoves::removeAt(folder->fd(), name);
        });
}

void HostProbeDelegate::handleInboundBatchCompleted(const UUID& batchID, const std::vector<fs::path>& staged,
                                                    FileTransferIntent intent, const FileTransferDeliveryResult& unsaved,
                                                    ReceivedBatchHoldings& held) {
    assertMainQueue();
    auto* batch = fileDelivery.inboundBatch(batchID);
    if (!batch) {
        // Given up before the engine reported it complete: what it staged
        // goes now, and its ID with it.
        StagedBatchItems leftBehind(staged, std::move(held.stagedBytes));
        components.fileTransferService->releaseInboundBatch(batchID);
        return;
    }
    // Decided from the intent in force now, not the one it began with.
    auto dropStarted = std::exchange(batch->dropStart, std::nullopt);
    if (intent == FileTransferIntent::dropToFinder) {
        // A copy turned into a drop: the folder it named (opened, or still
        // being looked for) and what it was to be delivered with go now;
        // the drop answers to nobody.
        fileDelivery.inboundBatches.erase(batchID);
        deliverDroppedFiles(staged, frontFinderWindowPath(), batchID,
                            std::make_shared<ReceivedBatchHoldings>(std::move(held)));
        return;
    }
    // Arrived whole while its panel waits for the Host's user: its place
    // among the batches in flight goes back now.
    if (batch->saveLocationPanel)
        held.place.reset();
    else
        batch->place = std::move(held.place);
    batch->staged.emplace(staged, std::move(held.stagedBytes));
    if (unsaved.failedItemCount > 0) batch->unsavedOnArrival = unsaved;
    if (dropStarted) {
        dropStarted->intent = intent;
        decideInboundDestination(batchID, *dropStarted);
        return;
    }
    tryDeliverFileBatch(batchID);
}
