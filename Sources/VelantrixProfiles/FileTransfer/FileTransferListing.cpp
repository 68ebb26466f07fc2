// Directory listings of FileTransferService: answering a peer's request
// for a folder inside this user's home, and handing a reply to the hook.
// A peer session's listings run on a queue of their own, a few at a time.

#include <algorithm>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

#include "Platform/Files/ConfinedFolder.h"
#include "Platform/Files/FileHandles.h"
#include "Platform/Files/Folders.h"
#include "Platform/Foundation/TextCollation.h"
#include "Platform/Foundation/UnicodeText.h"
#include "Platform/Runtime/WorkLedger.h"
#include "VelantrixProfiles/FileTransfer/FileTransferService.h"

using platform::UUID;

namespace {

// "~" and "~/x" name the home folder; "~user/x" that user's home.
std::string expandingTilde(const std::string& path, const std::string& home) {
    if (path.empty() || path[0] != '~') return path;
    const size_t slash = path.find('/');
    const std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    std::string base = home;
    if (!user.empty()) {
        // Reentrant: listings of several sessions run at once.
        struct passwd entry {};
        struct passwd* pw = nullptr;
        std::vector<char> buffer(16384);
        if (::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &pw) != 0 || !pw || !pw->pw_dir)
            return path;
        base = pw->pw_dir;
    }
    return slash == std::string::npos ? base : base + path.substr(slash);
}

// Removes ".", ".." and repeated separators without touching the disk; a
// relative path is taken from "/".
std::string standardized(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        auto part = path.substr(start, slash - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(std::move(part));
        }
        start = slash + 1;
    }
    std::string out;
    for (const auto& p : parts) out += "/" + p;
    return out.empty() ? "/" : out;
}

}  // namespace

UUID FileTransferService::requestDirectoryListing(const std::string& path,
                                                  const std::optional<std::string>& routingToken) {
    const UUID id = UUID::random();
    {
        std::lock_guard lock(listingLock_);
        awaitedListings_.emplace(id, routingToken.value_or(""));
        awaitedListingOrder_.push_back(id);
        while (awaitedListingOrder_.size() > maxAwaitedListings) {
            awaitedListings_.erase(awaitedListingOrder_.front());
            awaitedListingOrder_.pop_front();
        }
    }
    FileTransferPacket packet;
    packet.op = FileTransferOp::listDir;
    packet.batchID = id;
    packet.path = path;
    send(std::move(packet), routingToken);
    return id;
}

// Charged to the asking peer, with the bytes the request holds, while it
// waits to run, for its reply to have room or for its descriptors; its
// place goes with it, however it ends. While it waits its session's entry
// keeps it, so that the session's end drops it.
struct FileTransferService::ListingRequest {
    ListingRequest(platform::DispatchQueue queue, FileTransferPacket packet, uint64_t generation, size_t queuedBytes,
                   std::weak_ptr<FileTransferService> service, std::string session, platform::WorkLedger::Holding place)
        : queue(std::move(queue)),
          packet(std::move(packet)),
          generation(generation),
          queuedBytes(queuedBytes),
          service(std::move(service)),
          session(std::move(session)),
          place(std::move(place)) {}
    const platform::DispatchQueue queue;
    const FileTransferPacket packet;
    const uint64_t generation;
    const size_t queuedBytes;
    const std::weak_ptr<FileTransferService> service;
    const std::string session;
    platform::WorkLedger::Holding place;
    // Its bytes and its job on its peer's account while it waits off its
    // queue; set and given back on its queue alone, or by the resumer while
    // it is on no queue.
    std::shared_ptr<platform::WorkLedger::Charge> waiting;

    // Queued, run with the peer's ledger current.
    static void post(std::shared_ptr<ListingRequest> request) {
        const platform::DispatchQueue queue = request->queue;
        const size_t bytes = request->queuedBytes;
        queue.async([request = std::move(request)] { request->run(request); }, bytes);
    }
    void run(const std::shared_ptr<ListingRequest>& self) {
        auto service = this->service.lock();
        if (!service || !service->isListingSessionLive(session, generation)) return;
        const auto ledger = platform::WorkLedger::current();
        // A reply is built only when its peer has room to be sent the
        // largest there is: a peer that does not read keeps its request
        // waiting, with its place and its charge, and gets no more.
        constexpr size_t reply = maxListingReplyBytes + FileTransferPacket::fixedSize + 65535;
        if (ledger && !ledger->hasRoomToSend(reply)) {
            if (!keepWaiting(*service, self, ledger)) return;
            ledger->whenRoomToSend(reply, resumer(self, ledger), self);
            return;
        }
        // Past the peer's descriptor bound, or the Host's total, a folder
        // that may be listed waits for the two it is read with, with its
        // place and its charge, and looks again when some are given back:
        // a full folder is never answered as an empty one.
        if (!service->runListing(packet, session, generation)) {
            if (!ledger || !keepWaiting(*service, self, ledger)) return;
            ledger->whenDescriptorsGivenBack(kListingDescriptors, resumer(self, ledger), self);
            return;
        }
        // Its reply is queued: from here on the peer's room to be sent it
        // bounds it, and the requester may ask again.
        place.reset();
    }

    // Kept by its session's entry while it waits, so that it goes, with
    // its place and its charge, when the session does; false when the
    // session is gone.
    bool keepWaiting(FileTransferService& service, const std::shared_ptr<ListingRequest>& self,
                     const std::shared_ptr<platform::WorkLedger>& ledger) {
        waiting = std::make_shared<platform::WorkLedger::Charge>(ledger, queuedBytes);
        std::lock_guard lock(service.listingLock_);
        auto it = service.listingSessions_.find(session);
        if (it == service.listingSessions_.end() || it->second.generation != generation) return false;
        it->second.waiting.push_back(self);
        return true;
    }
    // Runs the request again, charged to its peer, unless it or its
    // session went meanwhile. It holds nothing of the request's: what
    // waits for room or descriptors keeps it only as long as its session
    // does.
    static platform::Work resumer(const std::shared_ptr<ListingRequest>& self,
                                  const std::shared_ptr<platform::WorkLedger>& ledger) {
        return [weakSelf = std::weak_ptr<ListingRequest>(self),
                weakLedger = std::weak_ptr<platform::WorkLedger>(ledger)] {
            auto ledger = weakLedger.lock();
            auto self = weakSelf.lock();
            if (!ledger || !self || ledger->isCancelled()) return;
            auto service = self->service.lock();
            if (!service) return;
            {
                std::lock_guard lock(service->listingLock_);
                auto it = service->listingSessions_.find(self->session);
                if (it == service->listingSessions_.end()) return;
                std::erase(it->second.waiting, self);
            }
            // Its charge passes to the job it is queued as (given back
            // once that is charged, so never uncounted between).
            const auto waited = std::move(self->waiting);
            const platform::WorkLedger::Charged charged(ledger);
            post(self);
        };
    }
};

void FileTransferService::queueListing(FileTransferPacket packet, const std::string& session, size_t queuedBytes) {
    std::optional<platform::DispatchQueue> queue;
    uint64_t generation = 0;
    {
        std::lock_guard lock(listingLock_);
        auto it = listingSessions_.find(session);
        if (it == listingSessions_.end()) {
            it = listingSessions_
                     .emplace(session, ListingSession{platform::DispatchQueue("velantrix.filetransfer.listing"),
                                                      ++listingGeneration_, {}})
                     .first;
            // Nobody waits for a gone peer's listings.
            it->second.queue.setDropsWorkOfGonePeers(true);
        }
        queue = it->second.queue;
        generation = it->second.generation;
    }
    // The request's place among its peer's listings, held by the request
    // from its turn until its reply was queued or it was dropped. Past the
    // bound it waits its turn, charged to its peer like a job on a queue,
    // so that a peer asking faster than it is answered is read no further
    // once its account is full; it is never answered as an empty folder.
    auto start = [weak = weak_from_this(), queue = *queue, packet = std::move(packet), generation, queuedBytes,
                  session](platform::WorkLedger::Holding place) mutable {
        ListingRequest::post(std::make_shared<ListingRequest>(queue, std::move(packet), generation, queuedBytes, weak,
                                                              session, std::move(place)));
    };
    const auto ledger = platform::WorkLedger::current();
    if (!ledger) return start(platform::WorkLedger::Holding());
    auto waiting = std::make_shared<platform::WorkLedger::Charge>(ledger, queuedBytes);
    auto turn = std::make_shared<decltype(start)>(std::move(start));
    ledger->whenHeldFree(platform::WorkLedger::Held::listings,
                         [turn, waiting, weakLedger = std::weak_ptr<platform::WorkLedger>(ledger)](
                             platform::WorkLedger::Holding place) {
                             auto ledger = weakLedger.lock();
                             if (!ledger) return;
                             const platform::WorkLedger::Charged charged(ledger);
                             (*turn)(std::move(place));
                         });
}

bool FileTransferService::isListingSessionLive(const std::string& session, uint64_t generation) const {
    std::lock_guard lock(listingLock_);
    auto it = listingSessions_.find(session);
    return it != listingSessions_.end() && it->second.generation == generation;
}

bool FileTransferService::runListing(const FileTransferPacket& packet, const std::string& session,
                                     uint64_t generation) {
    // Its session ended: nobody to answer.
    if (!isListingSessionLive(session, generation)) return true;
    auto made = listing(packet);
    if (!made) return false;
    {
        std::lock_guard lock(listingLock_);
        listingsComputed_ += 1;
    }
    // It ended while the listing was made.
    if (!isListingSessionLive(session, generation)) return true;
    sendListingReply(packet.batchID, made->first, std::move(made->second), session);
    return true;
}

size_t FileTransferService::listingsComputedForTesting() const {
    std::lock_guard lock(listingLock_);
    return listingsComputed_;
}

void FileTransferService::sendListingReply(const UUID& requestID, const std::string& path, std::vector<uint8_t> data,
                                           const std::string& session) {
    FileTransferPacket reply;
    reply.op = FileTransferOp::listDirReply;
    reply.batchID = requestID;
    reply.path = path;
    reply.data = std::move(data);
    // Listings are private to the session that asked.
    send(std::move(reply), session.empty() ? std::nullopt : std::optional<std::string>(session));
}

std::optional<std::pair<std::string, std::vector<uint8_t>>> FileTransferService::listing(
    const FileTransferPacket& packet) {
    const auto homeHook = listingHome.get();
    const std::filesystem::path homeFolder = homeHook ? homeHook() : platform::Folders::home();
    const std::string home = homeFolder.empty() ? std::string() : standardized(homeFolder.string());
    const std::string requested(platform::UnicodeText::trimmingWhitespace(packet.path));
    const std::string examined =
        standardized(requested.empty() || requested == "~" ? home : expandingTilde(requested, home));

    std::vector<RemoteDirectoryEntry> entries;
    // Whether the folder held more than the listing took.
    bool cut = false;
    bool refused = false;
    {
        // Both sides with their links resolved: a link inside home that
        // leads out of it is outside.
        std::error_code error;
        const auto resolvedHome = std::filesystem::canonical(home, error);
        const auto resolved = !error ? std::filesystem::canonical(examined, error) : std::filesystem::path();
        const bool known = !error && !home.empty();
        const bool allowed = known && platform::Folders::contains(resolvedHome, resolved);
        refused = known && !allowed;
        // Read beneath the home without following a link: a folder swapped
        // for one since the check lists nothing rather than what it leads to.
        // The folder and the home it is opened beneath are two descriptors
        // on the asking peer's account while they are open (declared
        // first, given back last); without them the listing waits.
        std::optional<platform::WorkLedger::Holding> descriptors;
        if (allowed) {
            descriptors = platform::WorkLedger::Holding::take(platform::WorkLedger::current(),
                                                              platform::WorkLedger::Held::descriptors, kListingDescriptors);
            if (!descriptors) return std::nullopt;
        }
        std::shared_ptr<platform::ConfinedFolder> folder;
        if (descriptors) {
            auto top = platform::ConfinedFolder::openTop(resolvedHome);
            auto opened = top ? (*top)->openBeneath(resolved.lexically_relative(resolvedHome), false) : top;
            if (opened) folder = *opened;
        }
        if (folder) {
            // The reply's first entries, in its own order and the same each
            // time, as many as a frame could carry: a folder of any size
            // costs no more than one reply's worth of names.
            const platform::TextCollation collation;
            platform::FileSystemItems::ListingOrder order;
            // Folders first, then by name whatever its case.
            order.sortKey = [&collation](const platform::FileSystemEntry& item) {
                const char rank = item.kind == platform::FileSystemEntryKind::folder ? '\0' : '\1';
                return rank + collation.sortKeyCaseInsensitive(item.name);
            };
            order.maxBytes = maxListingReplyBytes;
            order.entryBytes = minEncodedEntryBytes;
            if (auto items = folder->list(order, &cut)) {
                entries.reserve(items->size());
                for (auto& item : *items) {
                    const bool isDir = item.kind == platform::FileSystemEntryKind::folder;
                    entries.push_back({std::move(item.name), isDir, item.size, item.modificationDate});
                }
            }
        }
    }
    if (refused) {
        bool mayLog = false;
        {
            std::lock_guard lock(listingLock_);
            mayLog = FileTransferReceiveState::mayLogNow(lastListingRefusalLineNs_, platform::Clock::uptimeNs());
        }
        if (mayLog) {
            if (auto hook = onLogLine.get())
                hook("file transfer: refused listing outside home: " + examined);
        }
    }
    // A reply must fit one data-channel frame: the first entries of the
    // sorted list that do.
    size_t kept = 0;
    auto data = RemoteDirectoryEntry::encodeListing(entries, maxListingReplyBytes, &kept);
    if (kept < entries.size()) {
        entries.resize(kept);
        cut = true;
    }
    if (cut) {
        const size_t total = entries.size();
        onMain([examined, total](FileTransferService& self) {
            self.status("listing of " + examined + " cut to its first " + std::to_string(total) + " entries");
        });
    }
    return std::make_pair(examined, std::move(data));
}

void FileTransferService::handleListDirReply(const FileTransferPacket& packet, const std::string& session) {
    {
        // Only the session asked answers, once: another session's reply
        // under the same ID would show its own folders as the asked one's.
        std::lock_guard lock(listingLock_);
        auto it = awaitedListings_.find(packet.batchID);
        if (it == awaitedListings_.end() || (!it->second.empty() && it->second != session)) return;
        awaitedListings_.erase(it);
        std::erase(awaitedListingOrder_, packet.batchID);
    }
    // A listing nobody browses for (no destination picker open) is dropped
    // before it is decoded or handed to the main queue.
    if (!onDirectoryListing.get()) return;
    auto entries = RemoteDirectoryEntry::decodeListing(packet.data);
    onMain([id = packet.batchID, path = packet.path, entries = std::move(entries)](FileTransferService& self) {
        if (auto hook = self.onDirectoryListing.get()) hook(id, path, entries);
    });
}
