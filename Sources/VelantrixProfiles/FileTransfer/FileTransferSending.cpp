// The sending half of FileTransferService: batches of files and folders,
// their cancellation, and peer-send requests and answers.

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <tuple>

#include "Platform/Files/FileHandles.h"
#include "Platform/Foundation/TextCollation.h"
#include "Platform/Files/TreeWalk.h"
#include "Platform/Foundation/UnicodeText.h"
#include "Platform/Runtime/WorkLedger.h"
#include "VelantrixProfiles/FileTransfer/FileTransferService.h"

using platform::UUID;
namespace fs = std::filesystem;

namespace {

FileTransferPacket packetOf(FileTransferOp op, const UUID& batchID, uint64_t value1 = 0, std::string path = {}) {
    FileTransferPacket p;
    p.op = op;
    p.batchID = batchID;
    p.value1 = value1;
    p.path = std::move(path);
    return p;
}

}  // namespace

std::optional<UUID> FileTransferService::sendURLs(const std::vector<URL>& urls, FileTransferIntent intent,
                                                  const std::optional<std::string>& destination,
                                                  FileTransferDeliveryOptions deliveryOptions,
                                                  const std::optional<std::string>& routingToken,
                                                  const std::optional<UUID>& batchID, platform::Work afterSending) {
    // Only local files can be sent: absolute paths stand for file URLs.
    std::vector<SendSource> kept;
    for (const auto& url : urls)
        if (url.is_absolute()) kept.push_back({url, nullptr, {}});
    return queueSend(std::move(kept), intent, destination, deliveryOptions, routingToken, batchID,
                     std::move(afterSending));
}

namespace {
// A path below a folder: relative, and no component empty, "." or "..".
bool isPlainRelativePath(const std::string& name) {
    const fs::path path(name);
    if (name.empty() || path.is_absolute()) return false;
    for (const auto& part : path)
        if (part.empty() || part == "." || part == "..") return false;
    return name.back() != '/';
}

// A path for a status line: each byte that is no part of a UTF-8
// character shown as "\xNN".
std::string shownPath(std::string_view path) {
    std::string shown;
    for (size_t at = 0; at < path.size();) {
        const auto lead = static_cast<unsigned char>(path[at]);
        const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if (platform::UnicodeText::isValidUTF8(path.substr(at, length))) {
            shown += path.substr(at, length);
            at += length;
            continue;
        }
        static constexpr char digits[] = "0123456789abcdef";
        shown += {'\\', 'x', digits[lead >> 4], digits[lead & 0xF]};
        at += 1;
    }
    return shown;
}
}  // namespace

std::optional<UUID> FileTransferService::sendConfinedItems(const std::vector<ConfinedSendItem>& items,
                                                           FileTransferIntent intent,
                                                           const std::optional<std::string>& destination,
                                                           FileTransferDeliveryOptions deliveryOptions,
                                                           const std::optional<std::string>& routingToken,
                                                           const std::optional<UUID>& batchID,
                                                           platform::Work afterSending) {
    std::vector<SendSource> kept;
    for (const auto& item : items) {
        if (!item.folder || (item.name != "." && !isPlainRelativePath(item.name))) continue;
        const URL url = item.name == "." ? item.folder->path() : item.folder->path() / item.name;
        kept.push_back({url, item.folder, item.name});
    }
    return queueSend(std::move(kept), intent, destination, deliveryOptions, routingToken, batchID,
                     std::move(afterSending));
}

std::optional<UUID> FileTransferService::queueSend(std::vector<SendSource> sources, FileTransferIntent intent,
                                                   const std::optional<std::string>& destination,
                                                   FileTransferDeliveryOptions deliveryOptions,
                                                   const std::optional<std::string>& routingToken,
                                                   const std::optional<UUID>& batchID, platform::Work afterSending) {
    if (sources.empty()) return std::nullopt;
    const UUID id = batchID.value_or(UUID::random());
    const std::string key = routingToken.value_or("");
    std::optional<platform::DispatchQueue> queue;
    {
        // A target that already left is refused here, before a queue is
        // made for it or anything read: the caller shows the send failed.
        // The batch is known by its target before the queues are let go,
        // so a session that ends from here on stops it.
        std::lock_guard queues(sendQueuesLock_);
        if (endedSessions_.contains(key)) return std::nullopt;
        auto it = sendQueues_.find(key);
        if (it == sendQueues_.end())
            it = sendQueues_.emplace(key, platform::DispatchQueue("velantrix.filetransfer.send")).first;
        queue = it->second;
        std::lock_guard lock(outgoingLock_);
        outgoingPending_.insert(id);
        outgoingTargets_.insert_or_assign(id, OutgoingTarget{key});
    }
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    queue->async([weak, sources = std::move(sources), id, intent, destination, deliveryOptions, routingToken,
                  afterSending = std::move(afterSending)]() mutable {
        // The folders the sources hold are closed before the caller hears
        // the batch is done.
        auto held = std::move(sources);
        if (auto self = weak.lock()) {
            self->performSend(held, id, intent, destination, deliveryOptions, routingToken);
            held.clear();
            std::lock_guard lock(self->outgoingLock_);
            self->outgoingPending_.erase(id);
            self->outgoingTargets_.erase(id);
        }
        held.clear();
        if (afterSending) afterSending();
    });
    return id;
}

bool FileTransferService::isOutgoingBatchPending(const UUID& batchID) const {
    std::lock_guard lock(outgoingLock_);
    return outgoingPending_.contains(batchID);
}

void FileTransferService::cancelOutgoingBatch(const UUID& batchID) { noteOutgoingCancelled(batchID, ""); }

void FileTransferService::noteOutgoingCancelled(const UUID& batchID, const std::string& session) {
    std::lock_guard lock(outgoingLock_);
    // Kept per session: a cancel under the ID of a batch sent to another
    // session is noted, but stops only a batch to the session that sent it.
    auto& by = outgoingCancelled_[batchID];
    const bool first = by.empty();
    if (!by.insert(session).second) return;
    if (!first) return;
    outgoingCancelledOrder_.push_back(batchID);
    // A peer may name any number of IDs: past the bound the oldest goes,
    // but a batch being sent keeps its cancellation.
    for (auto it = outgoingCancelledOrder_.begin();
         outgoingCancelledOrder_.size() > maxPeerCancelledBatches && it != outgoingCancelledOrder_.end();) {
        if (outgoingActive_.contains(*it)) {
            ++it;
            continue;
        }
        outgoingCancelled_.erase(*it);
        it = outgoingCancelledOrder_.erase(it);
    }
}

bool FileTransferService::isOutgoingCancelled(const UUID& batchID) const {
    std::lock_guard lock(outgoingLock_);
    auto target = outgoingTargets_.find(batchID);
    if (target != outgoingTargets_.end() && target->second.ended) return true;
    auto cancelled = outgoingCancelled_.find(batchID);
    if (cancelled == outgoingCancelled_.end()) return false;
    // A batch to every peer stops at any peer's cancel; one to a session
    // at this end's or that session's own.
    if (target == outgoingTargets_.end() || target->second.session.empty()) return true;
    return cancelled->second.contains("") || cancelled->second.contains(target->second.session);
}

size_t FileTransferService::peerCancelledCountForTesting() const {
    std::lock_guard lock(outgoingLock_);
    return outgoingCancelled_.size();
}

FileTransferService::SourceWalk FileTransferService::walkSource(const SendSource& source, const SendPass& pass,
                                                                bool& visited, std::string& error) {
    if (source.folder) return walkConfinedSource(source, pass, visited, error);
    // A link the user chose is followed: the item sent is what it leads
    // to, under the name chosen. Below it the walker's rules hold: a link
    // inside is skipped, so a link back up the tree cannot make the walk
    // endless and nothing outside a sent folder leaves with it.
    std::error_code failure;
    const fs::path real = fs::canonical(source.url, failure);
    // Vanished before the walk: nothing of it goes.
    if (failure) return SourceWalk::vanished;
    const bool isRoot = !real.has_relative_path();
    // The folder holding it is a descriptor on the account of the peer the
    // batch is for while the walk holds it.
    auto descriptor = platform::WorkLedger::Holding::take(platform::WorkLedger::current(),
                                                          platform::WorkLedger::Held::descriptors);
    if (!descriptor) {
        error =
            platform::WorkLedger::descriptorRefusal(platform::WorkLedger::current(), "too many descriptors held");
        return SourceWalk::failed;
    }
    auto folder = platform::ConfinedFolder::openTop(isRoot ? real : real.parent_path());
    if (!folder) return SourceWalk::vanished;
    return walkConfinedSource({source.url, *folder, isRoot ? "." : real.filename().string()}, pass, visited, error);
}

FileTransferService::SourceWalk FileTransferService::walkConfinedSource(const SendSource& source,
                                                                        const SendPass& pass, bool& visited,
                                                                        std::string& error) {
    visited = false;
    const std::string basePath = lastPathComponent(source.url).string();
    auto pathOf = [&](const std::string& relative) {
        return relative.empty() ? basePath : basePath + "/" + relative;
    };
    platform::TreeWalk::Options options;
    options.order = platform::TreeWalk::Order::parentsFirst;
    // Hidden items inside folders are not sent: they are left out of the
    // walk, so what they hold counts against none of its bounds.
    options.leaveOut = [](const platform::TreeEntry& item) { return item.depth > 0 && item.name.starts_with("."); };
    // An item that cannot be read with the source's rights: the receiver
    // hears it failed, by its name. One whose path is not UTF-8 (the
    // protocol names items in UTF-8 alone) is refused with what is below
    // it: nothing names it on the wire, and the batch counts it failed.
    options.onError = [&](const platform::TreeWalkFailure& failure) {
        visited = true;
        const std::string path = pathOf(failure.relative);
        if (platform::UnicodeText::isValidUTF8(path))
            pass.failed(path);
        else
            pass.unnamable(path);
    };
    options.stop = pass.stop;
    // The caller's first pass counted the tree, and refused one past the
    // walker's bounds, before anything of the batch was sent.
    options.scanFirst = false;
    auto visit = [&](const platform::TreeEntry& item) -> platform::Status {
        visited = true;
        const std::string path = pathOf(item.relative);
        // Refused through the walk's failures, so that a folder's content
        // is not walked.
        if (!platform::UnicodeText::isValidUTF8(path)) return platform::Status::failure("not UTF-8");
        if (item.kind == platform::FileSystemEntryKind::folder)
            pass.folder(path);
        else if (item.kind == platform::FileSystemEntryKind::file)
            pass.file(item, path);
        return platform::success();
    };
    const fs::path named(source.name);
    // The folder it lies in, opened for the walk when it is not the
    // source's own, is a descriptor on the account of the peer the batch
    // is for while the walk holds it (declared first, given back last):
    // past the bound the item fails as one that cannot be read.
    std::optional<platform::WorkLedger::Holding> parentDescriptor;
    std::shared_ptr<const platform::ConfinedFolder> parent = source.folder;
    if (named.has_parent_path()) {
        parentDescriptor = platform::WorkLedger::Holding::take(platform::WorkLedger::current(),
                                                               platform::WorkLedger::Held::descriptors);
        if (!parentDescriptor) {
            error = platform::WorkLedger::descriptorRefusal(platform::WorkLedger::current(),
                                                            "too many descriptors held");
            return SourceWalk::failed;
        }
        auto opened = source.folder->openBeneath(named.parent_path(), false);
        // Gone, or swapped for a link, since the check: as a vanished item.
        if (!opened) return SourceWalk::vanished;
        parent = *opened;
    }
    // No link is followed, not even the item itself: what was checked is
    // what is sent, and a swap since leads nowhere else.
    auto walked = platform::TreeWalk::walk(parent->fd(), named.filename().string(), options, visit);
    if (walked) return SourceWalk::walked;
    if (walked.error().error == ECANCELED && pass.stop()) return SourceWalk::stopped;
    // Vanished before the walk: nothing of it goes, as before the check.
    if (!visited && walked.error().relative.empty() && walked.error().error == ENOENT) return SourceWalk::vanished;
    error = platform::toStatus(walked.error()).error();
    return SourceWalk::failed;
}

void FileTransferService::performSend(const std::vector<SendSource>& sources, const UUID& batchID,
                                      FileTransferIntent intent, const std::optional<std::string>& destination,
                                      FileTransferDeliveryOptions options,
                                      const std::optional<std::string>& routingToken) {
    // A batch for a peer that has gone stops as a cancelled one does: its
    // work is still charged to that peer's ledger here.
    const auto ledger = platform::WorkLedger::current();
    auto stop = [this, batchID, ledger] { return (ledger && ledger->isCancelled()) || isOutgoingCancelled(batchID); };
    std::vector<URL> urls;
    for (const auto& source : sources) urls.push_back(source.url);
    auto names = transferItemNames(urls);

    // The first pass counts what the batchStart announces, holding counts
    // alone, and how each source's walk ended, so the second sends it as
    // counted: a source that failed whole fails whole again, and one that
    // was not there is not looked for.
    uint64_t totalBytes = 0, totalFiles = 0;
    size_t items = 0;
    struct Counted {
        SourceWalk walk = SourceWalk::walked;
        std::string error;
    };
    std::vector<Counted> counted(sources.size());
    SendPass counting;
    counting.folder = [&](const std::string&) { items += 1; };
    counting.file = [&](const platform::TreeEntry& file, const std::string&) {
        items += 1;
        totalFiles += 1;
        totalBytes += file.size;
    };
    counting.failed = [&](const std::string&) {
        items += 1;
        totalFiles += 1;
    };
    counting.unnamable = [](const std::string&) {};
    counting.stop = stop;
    for (size_t i = 0; i < sources.size() && !stop(); i++) {
        const auto before = std::tuple(totalBytes, totalFiles, items);
        bool visited = false;
        counted[i].walk = walkSource(sources[i], counting, visited, counted[i].error);
        if (counted[i].walk == SourceWalk::walked || counted[i].walk == SourceWalk::stopped) continue;
        // Nothing of it goes; one that failed is a single failed item,
        // named unless no packet may name it.
        std::tie(totalBytes, totalFiles, items) = before;
        if (counted[i].walk == SourceWalk::failed &&
            platform::UnicodeText::isValidUTF8(lastPathComponent(sources[i].url).string())) {
            items += 1;
            totalFiles += 1;
        }
    }
    if (items == 0 && !stop()) {
        // Nothing is left to send: the batch fails at once, so whoever
        // waits for it (a row, a window, the Viewer that asked) ends too.
        status("send failed for batch " + batchID.id8() + ": nothing to send");
        send(packetOf(FileTransferOp::cancelBatch, batchID), routingToken);
        onMain([batchID, intent, names, failed = urls.size()](FileTransferService& self) {
            if (auto hook = self.onOutgoingBatchStarted.get()) hook(batchID, 0, 0, intent, names);
            if (auto hook = self.onOutgoingBatchCompleted.get()) hook(batchID, false, failed);
        });
        return;
    }
    {
        std::lock_guard lock(outgoingLock_);
        outgoingActive_.insert(batchID);
    }
    const auto fileCount = static_cast<int64_t>(totalFiles);
    onMain([batchID, fileCount, totalBytes, intent, names](FileTransferService& self) {
        if (auto hook = self.onOutgoingBatchStarted.get()) hook(batchID, fileCount, totalBytes, intent, names);
    });
    status("sending " + std::to_string(totalFiles) + " item(s), " + byteString(totalBytes) + " to " + peerLabel_);

    if (destination && !destination->empty()) {
        send(packetOf(FileTransferOp::directSave, batchID, options.rawValue, *destination), routingToken);
    }
    auto start = packetOf(FileTransferOp::batchStart, batchID, totalBytes);
    start.value2 = packBatchStartValue2(intent, totalFiles);
    start.data = encodeItemNames(names);
    send(std::move(start), routingToken);
    if (intent != FileTransferIntent::copy)
        send(packetOf(FileTransferOp::batchIntent, batchID, static_cast<uint64_t>(intent)), routingToken);

    // The second pass walks each source again and sends what it meets as
    // it meets it.
    uint64_t sentBytes = 0;
    size_t failedItems = 0;
    auto announceFailed = [&](const std::string& path) {
        send(packetOf(FileTransferOp::fileStart, batchID, 0, path), routingToken);
        failedItems += 1;
    };
    SendPass sending;
    sending.folder = [&](const std::string& path) {
        send(packetOf(FileTransferOp::mkdir, batchID, 0, path), routingToken);
    };
    sending.file = [&](const platform::TreeEntry& file, const std::string& path) {
        if (!sendFile(file, path, batchID, sentBytes, totalBytes, routingToken) && !stop()) failedItems += 1;
    };
    sending.failed = [&](const std::string& path) {
        status("open failed: " + fs::path(path).filename().string());
        announceFailed(path);
    };
    sending.unnamable = [&](const std::string& path) {
        status("send of " + shownPath(path) + " refused: its name is not valid UTF-8");
        failedItems += 1;
    };
    sending.stop = stop;
    for (size_t i = 0; i < sources.size() && !stop(); i++) {
        const std::string basePath = lastPathComponent(sources[i].url).string();
        if (counted[i].walk == SourceWalk::vanished) continue;
        if (counted[i].walk == SourceWalk::failed) {
            // Nothing of the tree was visited (past its bounds, or not
            // readable at all): the item fails whole.
            status("send of " + shownPath(basePath) + " refused: " + counted[i].error);
            if (platform::UnicodeText::isValidUTF8(basePath))
                announceFailed(basePath);
            else
                sending.unnamable(basePath);
            continue;
        }
        bool visited = false;
        std::string error;
        const SourceWalk walk = walkSource(sources[i], sending, visited, error);
        if (walk == SourceWalk::walked || walk == SourceWalk::stopped) continue;
        // Counted, and no longer there, or no longer readable: it fails
        // as a file that cannot be opened. Failing part-way (grown past
        // the walker's bounds since it was counted), what was sent stays
        // sent and the rest is one failed item, told here alone.
        if (walk == SourceWalk::failed) status("send of " + shownPath(basePath) + " refused: " + error);
        if (visited)
            failedItems += 1;
        else if (platform::UnicodeText::isValidUTF8(basePath))
            sending.failed(basePath);
        else
            sending.unnamable(basePath);
    }
    send(packetOf(FileTransferOp::batchEnd, batchID), routingToken);
    const bool cancelled = stop();
    if (cancelled)
        status("send cancelled for batch " + batchID.id8());
    else if (failedItems > 0)
        status("send failed for batch " + batchID.id8() + ": " + std::to_string(failedItems) +
               " item(s) could not be sent");
    else
        status("send completed for batch " + batchID.id8());
    {
        std::lock_guard lock(outgoingLock_);
        outgoingActive_.erase(batchID);
        if (outgoingCancelled_.erase(batchID)) std::erase(outgoingCancelledOrder_, batchID);
    }
    onMain([batchID, cancelled, failedItems](FileTransferService& self) {
        if (auto hook = self.onOutgoingBatchCompleted.get()) hook(batchID, cancelled, failedItems);
    });
}

bool FileTransferService::sendFile(const platform::TreeEntry& entry, const std::string& path, const UUID& batchID,
                                   uint64_t& sentBytes, uint64_t totalBytes,
                                   const std::optional<std::string>& routingToken) {
    // The file being read is a descriptor on the account of the peer the
    // batch is for while it is open: past the bound it fails as a file
    // that cannot be opened.
    auto descriptor = platform::WorkLedger::Holding::take(platform::WorkLedger::current(),
                                                          platform::WorkLedger::Held::descriptors);
    // Opened from the walk's own folder, and only if it is still the file
    // the walk met.
    auto file = descriptor ? entry.openForReading()
                           : platform::Result<platform::FileHandle>::failure(platform::WorkLedger::descriptorRefusal(
                                 platform::WorkLedger::current(), "too many descriptors held"));
    // The size announced is that of the file actually opened, so a file
    // that changed since it was counted is still sent whole and exact.
    uint64_t size = entry.size;
    if (file) {
        if (auto actual = file->size()) size = *actual;
    }
    send(packetOf(FileTransferOp::fileStart, batchID, size, path), routingToken);
    if (!file) {
        status("open failed: " + entry.name);
        return false;
    }
    uint64_t offset = 0;
    while (offset < size) {
        if (isOutgoingCancelled(batchID)) return false;
        auto chunk = packetOf(FileTransferOp::fileChunk, batchID, offset, path);
        // Read straight into the packet's buffer, which then moves
        // through the hooks to the transport.
        chunk.data.resize(static_cast<size_t>(std::min<uint64_t>(size - offset, static_cast<uint64_t>(chunkSize_))));
        auto got = file->readAt(chunk.data, offset);
        if (!got || *got == 0) {
            status("read failed: " + entry.name);
            return false;
        }
        chunk.data.resize(*got);
        offset += *got;
        sentBytes += *got;
        send(std::move(chunk), routingToken);
        onMain([batchID, sent = sentBytes, totalBytes](FileTransferService& self) {
            if (auto hook = self.onOutgoingBatchProgress.get()) hook(batchID, sent, totalBytes);
        });
    }
    if (isOutgoingCancelled(batchID)) return false;
    send(packetOf(FileTransferOp::fileEnd, batchID, size, path), routingToken);
    return true;
}

std::optional<UUID> FileTransferService::requestPeerSend(const std::vector<std::string>& paths,
                                                         const std::string& destination,
                                                         FileTransferDeliveryOptions deliveryOptions) {
    std::vector<std::string> kept;
    for (const auto& p : paths) {
        if (kept.size() >= maxPeerSendPaths) break;
        auto t = platform::UnicodeText::trimmed(p);
        if (!t.empty()) kept.push_back(std::move(t));
    }
    auto dest = platform::UnicodeText::trimmed(destination);
    if (kept.empty() || dest.empty()) return std::nullopt;
    auto body = FileTransferPeerSendRequest(std::move(kept), dest, deliveryOptions).encode();
    if (body.size() > FileTransferPeerSendRequest::maxEncodedBytes) return std::nullopt;
    const UUID id = UUID::random();
    auto packet = packetOf(FileTransferOp::peerSendRequest, id);
    packet.data = std::move(body);
    send(std::move(packet), std::nullopt);
    return id;
}

void FileTransferService::sendPeerSendResponse(const UUID& batchID, bool accepted,
                                               const std::optional<std::string>& message,
                                               const std::optional<std::string>& routingToken) {
    FileTransferPeerSendResponse response{accepted, std::nullopt};
    if (message) {
        auto t = platform::UnicodeText::trimmed(*message);
        if (!t.empty()) response.message = platform::TextCollation::prefixOfCharacters(t, maxResponseMessageCharacters);
    }
    auto packet = packetOf(FileTransferOp::peerSendResponse, batchID);
    packet.data = response.encode();
    send(std::move(packet), routingToken);
}

std::optional<FileTransferPeerSendRequest> FileTransferService::peerSendRequest(const FileTransferPacket& packet) {
    if (packet.op != FileTransferOp::peerSendRequest) return std::nullopt;
    return FileTransferPeerSendRequest::decode(packet.data);
}

std::optional<FileTransferPeerSendResponse> FileTransferService::peerSendResponse(const FileTransferPacket& packet) {
    if (packet.op != FileTransferOp::peerSendResponse) return std::nullopt;
    return FileTransferPeerSendResponse::decode(packet.data);
}
