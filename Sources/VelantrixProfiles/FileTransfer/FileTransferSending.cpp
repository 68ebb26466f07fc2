// The sending half of FileTransferService: batches of files and folders,
// their cancellation, and peer-send requests and answers.

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Platform/Files/FileHandles.h"
#include "Platform/Foundation/TextCollation.h"
#include "Platform/Files/TreeWalk.h"
#include "Platform/Foundation/UnicodeText.h"
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
    // A target that already left is refused here, before a queue is made
    // for it or anything read: the caller shows the send failed.
    auto queue = sendQueueFor(routingToken);
    if (!queue) return std::nullopt;
    {
        std::lock_guard lock(outgoingLock_);
        outgoingPending_.insert(id);
        outgoingTargets_.insert_or_assign(id, routingToken.value_or(""));
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

std::optional<platform::DispatchQueue> FileTransferService::sendQueueFor(const std::optional<std::string>& routingToken) {
    const std::string key = routingToken.value_or("");
    std::lock_guard lock(sendQueuesLock_);
    if (endedSessions_.contains(key)) return std::nullopt;
    auto it = sendQueues_.find(key);
    if (it == sendQueues_.end())
        it = sendQueues_.emplace(key, platform::DispatchQueue("velantrix.filetransfer.send")).first;
    return it->second;
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
    auto cancelled = outgoingCancelled_.find(batchID);
    if (cancelled == outgoingCancelled_.end()) return false;
    // A batch to every peer stops at any peer's cancel; one to a session
    // at this end's or that session's own.
    auto target = outgoingTargets_.find(batchID);
    if (target == outgoingTargets_.end() || target->second.empty()) return true;
    return cancelled->second.contains("") || cancelled->second.contains(target->second);
}

size_t FileTransferService::peerCancelledCountForTesting() const {
    std::lock_guard lock(outgoingLock_);
    return outgoingCancelled_.size();
}

void FileTransferService::walkSource(const SendSource& source, std::vector<OutgoingEntry>& entries,
                                     uint64_t& totalBytes, uint64_t& totalFiles) {
    // A link the user chose is followed: the item sent is what it leads
    // to, under the name chosen. Below it the walker's rules hold: a link
    // inside is skipped, so a link back up the tree cannot make the walk
    // endless and nothing outside a sent folder leaves with it.
    std::error_code error;
    const fs::path real = fs::canonical(source.url, error);
    // Vanished before the walk: nothing of it goes.
    if (error) return;
    const bool isRoot = !real.has_relative_path();
    auto folder = platform::ConfinedFolder::openTop(isRoot ? real : real.parent_path());
    if (!folder) return;
    walkConfinedSource({source.url, *folder, isRoot ? "." : real.filename().string()}, entries, totalBytes,
                       totalFiles);
}

void FileTransferService::walkConfinedSource(const SendSource& source, std::vector<OutgoingEntry>& entries,
                                             uint64_t& totalBytes, uint64_t& totalFiles) {
    const std::string basePath = lastPathComponent(source.url).string();
    const fs::path named(source.name);
    // Where an item below the source is opened from `source.folder` when
    // its bytes are sent.
    auto beneathOf = [&](const std::string& relative) {
        if (relative.empty()) return named;
        return named == "." ? fs::path(relative) : named / relative;
    };
    // An item whose path is not UTF-8 (the protocol names items in UTF-8
    // alone) is refused here, with what is below it: nothing names it on
    // the wire, and the batch counts it failed.
    auto unnamable = [&](const std::string& path) {
        if (platform::UnicodeText::isValidUTF8(path)) return false;
        status("send of " + shownPath(path) + " refused: its name is not valid UTF-8");
        OutgoingEntry refused;
        refused.relativePath = path;
        refused.unnamable = true;
        entries.push_back(std::move(refused));
        return true;
    };
    // An item that cannot be read with the source's rights, or a tree past
    // the walk's bounds: the receiver hears it failed, by its name.
    auto failed = [&](const std::string& relative) {
        const bool top = relative.empty();
        if (unnamable(top ? basePath : basePath + "/" + relative)) return;
        entries.push_back({top ? source.url : source.url / relative, top ? basePath : basePath + "/" + relative, false,
                           0, source.folder, beneathOf(relative), true});
        totalFiles += 1;
    };
    platform::TreeWalk::Options options;
    options.order = platform::TreeWalk::Order::parentsFirst;
    // Hidden items inside folders are not sent: they are left out of the
    // walk, so what they hold counts against none of its bounds.
    options.leaveOut = [](const platform::TreeEntry& item) { return item.depth > 0 && item.name.starts_with("."); };
    options.onError = [&](const platform::TreeWalkFailure& failure) { failed(failure.relative); };
    auto visit = [&](const platform::TreeEntry& item) -> platform::Status {
        const bool top = item.relative.empty();
        const URL url = top ? source.url : source.url / item.relative;
        const std::string path = top ? basePath : basePath + "/" + item.relative;
        // Refused through the walk's failures, so that a folder's content
        // is not walked.
        if (!platform::UnicodeText::isValidUTF8(path)) return platform::Status::failure("not UTF-8");
        if (item.kind == platform::FileSystemEntryKind::folder) {
            entries.push_back({url, path, true, 0, source.folder, beneathOf(item.relative)});
        } else if (item.kind == platform::FileSystemEntryKind::file) {
            entries.push_back({url, path, false, item.size, source.folder, beneathOf(item.relative)});
            totalBytes += item.size;
            totalFiles += 1;
        }
        return platform::success();
    };
    std::shared_ptr<const platform::ConfinedFolder> parent = source.folder;
    if (named.has_parent_path()) {
        auto opened = source.folder->openBeneath(named.parent_path(), false);
        // Gone, or swapped for a link, since the check: as a vanished item.
        if (!opened) return;
        parent = *opened;
    }
    // No link is followed, not even the item itself: what was checked is
    // what is sent, and a swap since leads nowhere else.
    std::optional<platform::TreeWalkResult> walked =
        platform::TreeWalk::walk(parent->fd(), named.filename().string(), options, visit);
    if (*walked) return;
    // Vanished before the walk: nothing of it goes, as before the check.
    if (walked->error().relative.empty() && walked->error().error == ENOENT) return;
    status("send of " + shownPath(basePath) + " refused: " + platform::toStatus(walked->error()).error());
    // Nothing of the tree was visited (past its bounds, or not readable at
    // all): the item fails whole.
    failed({});
}

platform::Result<platform::FileHandle> FileTransferService::openConfined(const OutgoingEntry& entry) {
    using R = platform::Result<platform::FileHandle>;
    // The file's folder is found again beneath the one the item was
    // checked in, refusing any link on the way; the descriptors of a whole
    // tree are not held open for the batch.
    if (entry.unreadable) return R::failure("open " + entry.beneath.filename().string() + ": " + std::strerror(EACCES));
    const fs::path folderPart = entry.beneath.parent_path();
    std::shared_ptr<const platform::ConfinedFolder> folder = entry.within;
    if (!folderPart.empty()) {
        auto opened = entry.within->openBeneath(folderPart, false);
        if (!opened) return R::failure(opened.error());
        folder = *opened;
    }
    const std::string name = entry.beneath.filename().string();
    // Not blocking: a file swapped for a pipe must not hold the send queue.
    platform::FileHandle file(
        ::openat(folder->fd(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.isOpen()) return R::failure("open " + name + ": " + std::strerror(errno));
    struct stat info{};
    if (::fstat(file.fd(), &info) != 0 || !S_ISREG(info.st_mode)) return R::failure("open " + name + ": not a file");
    return file;
}

void FileTransferService::performSend(const std::vector<SendSource>& sources, const UUID& batchID,
                                      FileTransferIntent intent, const std::optional<std::string>& destination,
                                      FileTransferDeliveryOptions options,
                                      const std::optional<std::string>& routingToken) {
    std::vector<OutgoingEntry> entries;
    uint64_t totalBytes = 0, totalFiles = 0;
    std::vector<URL> urls;
    for (const auto& source : sources) {
        urls.push_back(source.url);
        if (source.folder)
            walkConfinedSource(source, entries, totalBytes, totalFiles);
        else
            walkSource(source, entries, totalBytes, totalFiles);
    }
    auto names = transferItemNames(urls);
    if (std::all_of(entries.begin(), entries.end(), [](const OutgoingEntry& e) { return e.unnamable; })) {
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

    uint64_t sentBytes = 0;
    size_t failedItems = 0;
    for (const auto& entry : entries) {
        if (isOutgoingCancelled(batchID)) break;
        if (entry.unnamable) {
            failedItems += 1;
        } else if (entry.isDir) {
            send(packetOf(FileTransferOp::mkdir, batchID, 0, entry.relativePath), routingToken);
        } else if (!sendFile(entry, batchID, sentBytes, totalBytes, routingToken) && !isOutgoingCancelled(batchID)) {
            failedItems += 1;
        }
    }
    send(packetOf(FileTransferOp::batchEnd, batchID), routingToken);
    const bool cancelled = isOutgoingCancelled(batchID);
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

bool FileTransferService::sendFile(const OutgoingEntry& entry, const UUID& batchID, uint64_t& sentBytes,
                                   uint64_t totalBytes, const std::optional<std::string>& routingToken) {
    auto file = entry.within ? openConfined(entry) : platform::FileHandle::openForReading(entry.absolute);
    // The size announced is that of the file actually opened, so a file
    // replaced since the walk is still sent whole and exact.
    uint64_t size = entry.size;
    if (file) {
        if (auto actual = file->size()) size = *actual;
    }
    send(packetOf(FileTransferOp::fileStart, batchID, size, entry.relativePath), routingToken);
    if (!file) {
        status("open failed: " + entry.absolute.filename().string());
        return false;
    }
    uint64_t offset = 0;
    while (offset < size) {
        if (isOutgoingCancelled(batchID)) return false;
        auto chunk = packetOf(FileTransferOp::fileChunk, batchID, offset, entry.relativePath);
        // Read straight into the packet's buffer, which then moves
        // through the hooks to the transport.
        chunk.data.resize(static_cast<size_t>(std::min<uint64_t>(size - offset, static_cast<uint64_t>(chunkSize_))));
        auto got = file->readAt(chunk.data, offset);
        if (!got || *got == 0) {
            status("read failed: " + entry.absolute.filename().string());
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
    send(packetOf(FileTransferOp::fileEnd, batchID, size, entry.relativePath), routingToken);
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
