#include "HostApp/AuxServer/WaitingBatchFrames.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "VelantrixProfiles/FileTransfer/FileTransferChannelConnection.h"
#include "VelantrixProfiles/FileTransfer/FileTransferService.h"
#include "VelantrixProfiles/FileTransfer/FileTransferStagedItems.h"

using platform::UUID;
using platform::WorkLedger;
using Held = platform::WorkLedger::Held;

WaitingBatchFrames::WaitingBatchFrames(std::shared_ptr<WorkLedger> ledger) : ledger_(std::move(ledger)) {}

void WaitingBatchFrames::addBatch(const UUID& batch, uint64_t ticket) {
    batches_.try_emplace(batch).first->second.ticket = ticket;
    chargeBatches();
}

void WaitingBatchFrames::stopWaiting(const Batch& batch) {
    // A batch that goes before its place came gives up its wait: otherwise
    // the wait outlives it, holds the next place given back, and counts its
    // machine among those waiting, for whom others' batches are taken back.
    if (ledger_ && !batch.granted && batch.ticket) ledger_->stopWaitingForHeld(Held::batches, batch.ticket);
}

bool WaitingBatchFrames::settleStaged() {
    // The account holds what the file holds on the disk: a released
    // record gives back only the whole blocks inside it, so records of
    // several batches side by side may keep more blocks than they have
    // bytes left.
    struct stat status {};
    if (::fstat(file_.fd(), &status) != 0) return true;
    const auto onDisk = static_cast<size_t>(status.st_blocks) * 512;
    if (onDisk <= staged_.amount()) {
        staged_.shrink(staged_.amount() - onDisk);
        return true;
    }
    return staged_.grow(onDisk - staged_.amount());
}

void WaitingBatchFrames::chargeBatches() {
    batchesCharge_.reset();
    if (!ledger_ || batches_.empty()) return;
    batchesCharge_ = std::make_unique<WorkLedger::Charge>(
        ledger_, batches_.size() * bytesPerWaitingBatch + pathsJudged_ * sizeof(uint64_t));
}

namespace {

// FNV-1a over a path's bytes: its value at each '/' is the hash of the
// folder above, so a path's folders are hashed in the one pass.
constexpr uint64_t kHashStart = 14695981039346656037ull;
constexpr uint64_t kHashPrime = 1099511628211ull;

// The path's hash; `above`, when given, gets its folders' hashes, outermost first.
uint64_t pathHash(const std::string& path, std::vector<uint64_t>* above = nullptr) {
    uint64_t hash = kHashStart;
    for (const char c : path) {
        if (c == '/' && above) above->push_back(hash);
        hash = (hash ^ static_cast<uint8_t>(c)) * kHashPrime;
    }
    return hash;
}

bool known(const std::vector<uint64_t>& sorted, uint64_t hash) {
    return std::binary_search(sorted.begin(), sorted.end(), hash);
}

}  // namespace

bool WaitingBatchFrames::judgePath(Batch& batch, std::vector<uint64_t>& sorted, uint64_t hash) {
    auto at = std::lower_bound(sorted.begin(), sorted.end(), hash);
    if (at != sorted.end() && *at == hash) return false;
    // Each kind its own bound: files ended never take a folder's place.
    if (sorted.size() >= maxPathsJudged) return false;
    const size_t before = sorted.capacity();
    sorted.insert(at, hash);
    pathsJudged_ += sorted.capacity() - before;
    return true;
}

void WaitingBatchFrames::forgetPaths(Batch& batch) {
    pathsJudged_ -= std::min(pathsJudged_, batch.folders.capacity() + batch.files.capacity());
    batch.folders = {};
    batch.files = {};
    batch.fileOpen = false;
}

bool WaitingBatchFrames::movesTheCopyOn(const FileTransferPacket& packet) {
    auto it = batches_.find(packet.batchID);
    if (it == batches_.end()) return false;
    Batch& batch = it->second;
    // The paths it notes are charged once, as the frame is judged.
    struct Charged {
        WaitingBatchFrames& frames;
        size_t before;
        ~Charged() {
            if (frames.pathsJudged_ != before) frames.chargeBatches();
        }
    } charged{*this, pathsJudged_};
    switch (packet.op) {
        case FileTransferOp::mkdir:
        case FileTransferOp::fileStart: {
            const bool starts = packet.op == FileTransferOp::fileStart;
            if (starts) batch.fileOpen = false;
            // A path the receiver refuses makes nothing, however new it
            // looks. A safe path is already in its one spelling.
            if (!FileTransferService::safeReceivedPath(packet.path)) return false;
            std::vector<uint64_t> above;
            const uint64_t hash = pathHash(packet.path, &above);
            // Nothing is made beneath a file, nor a folder where a file is.
            for (const uint64_t folder : above)
                if (known(batch.files, folder)) return false;
            if (!starts && known(batch.files, hash)) return false;
            // Nor is a file begun that the disk has no room for.
            if (starts && file_.isOpen()) {
                struct statvfs disk {};
                if (::fstatvfs(file_.fd(), &disk) == 0 &&
                    packet.value1 > static_cast<uint64_t>(disk.f_bavail) * static_cast<uint64_t>(disk.f_frsize))
                    return false;
            }
            // The receiver makes the folders above a path it takes, so a
            // folder asked for after a path beneath it makes nothing.
            for (const uint64_t folder : above) judgePath(batch, batch.folders, folder);
            // Only the last folder asked for, made anew, moves the copy on.
            if (!starts) return judgePath(batch, batch.folders, hash);
            batch.fileOpen = true;
            batch.file = hash;
            batch.fileSize = packet.value1;
            batch.fileReceived = 0;
            return true;
        }
        case FileTransferOp::fileChunk: {
            if (!batch.fileOpen) return false;
            const bool sameFile = batch.file == pathHash(packet.path);
            // One for another file, out of order or past the size declared
            // fails the file, as it will when handled; so do those after it.
            const uint64_t length = packet.data.size();
            if (!sameFile || packet.value1 != batch.fileReceived || length > batch.fileSize - batch.fileReceived) {
                batch.fileOpen = false;
                return false;
            }
            batch.fileReceived += length;
            return length > 0;
        }
        case FileTransferOp::fileEnd: {
            const bool whole = batch.fileOpen && batch.file == pathHash(packet.path) &&
                               packet.value1 == batch.fileSize && batch.fileReceived == batch.fileSize;
            batch.fileOpen = false;
            // A file ends under its name, which a folder may have taken
            // meanwhile; once there, nothing is made beneath it or over it.
            if (!whole || known(batch.folders, batch.file)) return false;
            judgePath(batch, batch.files, batch.file);
            return true;
        }
        case FileTransferOp::batchStart:
            // Started again, the batch begins afresh at the receiver: what
            // its earlier frames made is gone.
            forgetPaths(batch);
            return false;
        default: return false;
    }
}

platform::Status WaitingBatchFrames::openFile() {
    if (file_.isOpen()) return platform::success();
    // The file's descriptor, and while it is made the folder's it is made
    // in.
    auto descriptor = WorkLedger::Holding::take(ledger_, Held::descriptors, 2);
    if (!descriptor)
        return platform::Status::failure(WorkLedger::descriptorRefusal(ledger_, "too many open descriptors", 2));
    auto staged = WorkLedger::Holding::take(ledger_, Held::stagedBytes, 0);
    if (!staged) return platform::Status::failure("too many staged bytes");
    {
        // Beside the batches' staging, on the disk that will take their data.
        const WorkLedger::Charged peers(ledger_);
        auto folder = FileTransferStagedItems::open(FileTransferStagedItems::inboxRoot(), true);
        if (!folder) return platform::Status::failure(folder.error());
        auto file = folder->createUnnamedFile();
        if (!file) return platform::Status::failure(file.error());
        file_ = std::move(*file);
    }
    descriptor->shrink(1);
    descriptor_ = std::move(*descriptor);
    staged_ = std::move(*staged);
    startAfresh();
    return platform::success();
}

platform::Status WaitingBatchFrames::add(const FileTransferPacket& packet) {
    auto it = batches_.find(packet.batchID);
    if (it == batches_.end()) return platform::Status::failure("no such batch waits");
    if (auto opened = openFile(); !opened) return opened;
    std::vector<uint8_t> record(recordHeaderSize);
    if (!packet.appendEncoded(record)) return platform::Status::failure("packet too large to encode");
    const auto length = static_cast<uint32_t>(record.size() - recordHeaderSize);
    std::memcpy(record.data(), &length, sizeof length);
    std::memcpy(record.data() + 4, &none, sizeof none);
    // Charged before it is written: past its bound the peer's staging is
    // refused, as on a full disk.
    if (!staged_.grow(record.size())) return platform::Status::failure("too many staged bytes");
    const uint64_t at = end_;
    if (auto written = file_.writeAt(record, at); !written) {
        staged_.shrink(record.size());
        return written;
    }
    if (it->second.tail != none) {
        if (auto linked = file_.writeAt({reinterpret_cast<const uint8_t*>(&at), sizeof at}, it->second.tail + 4); !linked) {
            // Not kept: the next record is written over it.
            file_.discard(at, record.size());
            staged_.shrink(record.size());
            return linked;
        }
    } else {
        it->second.head = at;
    }
    it->second.tail = at;
    it->second.bytes += record.size();
    end_ += record.size();
    live_ += record.size();
    releaseDropped();
    if (!settleStaged()) return platform::Status::failure("too many staged bytes");
    return platform::success();
}

void WaitingBatchFrames::grant(const UUID& batch) {
    if (auto it = batches_.find(batch); it != batches_.end()) it->second.granted = true;
    chargeBatches();
}

std::optional<std::pair<uint32_t, uint64_t>> WaitingBatchFrames::readHeader(uint64_t offset) const {
    uint8_t header[recordHeaderSize];
    auto read = file_.readAt(header, offset);
    if (!read || *read != recordHeaderSize) return std::nullopt;
    uint32_t length = 0;
    uint64_t next = none;
    std::memcpy(&length, header, sizeof length);
    std::memcpy(&next, header + 4, sizeof next);
    return std::make_pair(length, next);
}

void WaitingBatchFrames::forget(uint64_t size) {
    live_ -= std::min(live_, size);
    if (live_ == 0 && file_.truncate()) startAfresh();
}

void WaitingBatchFrames::discard(uint64_t offset, uint64_t size) {
    if (offset != discardTo_ || discardTo_ == discardFrom_) {
        flushDiscards();
        discardFrom_ = offset;
    }
    discardTo_ = offset + size;
    // A run handed on record by record goes back a mebibyte at a time, so
    // that the disk never keeps much more than the records still live.
    if (discardTo_ - discardFrom_ >= (uint64_t{1} << 20)) flushDiscards();
}

void WaitingBatchFrames::flushDiscards() {
    if (discardTo_ != discardFrom_ && file_.isOpen() && end_ != 0) file_.discard(discardFrom_, discardTo_ - discardFrom_);
    discardFrom_ = discardTo_ = 0;
}

void WaitingBatchFrames::releaseDropped() {
    size_t records = 0;
    while (!dropped_.empty() && records < recordsPerStep && file_.isOpen()) {
        uint64_t& at = dropped_.back();
        // Stops at a record it cannot read: its space comes back when the
        // file empties or goes.
        const auto header = at == none ? std::nullopt : readHeader(at);
        if (!header) {
            dropped_.pop_back();
            continue;
        }
        discard(at, recordHeaderSize + uint64_t{header->first});
        at = header->second;
        ++records;
    }
    if (records > 0) flushDiscards();
}

WaitingBatchFrames::Next WaitingBatchFrames::takeNext(const UUID& batch) {
    auto it = batches_.find(batch);
    if (it == batches_.end() || !it->second.granted) return {};
    if (it->second.head == none) {
        erase(it);
        return {};
    }
    const uint64_t at = it->second.head;
    auto header = readHeader(at);
    std::optional<FileTransferPacket> packet;
    // A length no frame has is no record of ours (the file was changed
    // under it): never an allocation of whatever it says.
    if (header && header->first <= FileTransferChannelConstants::maxPayloadSize) {
        std::vector<uint8_t> bytes(header->first);
        auto read = file_.readAt(bytes, at + recordHeaderSize);
        if (read && *read == bytes.size()) packet = FileTransferPacket::decode(bytes);
    }
    if (!packet) {
        // What was written could not be read back whole: the batch's
        // frames after it would come without it, so none of them comes.
        const bool startGivenBack = it->second.startGivenBack;
        drop(batch);
        return {std::nullopt, true, startGivenBack};
    }
    const uint64_t size = recordHeaderSize + uint64_t{header->first};
    it->second.bytes -= std::min(it->second.bytes, size);
    it->second.head = header->second;
    if (header->second == none) it->second.tail = none;
    it->second.startGivenBack = true;
    // Its blocks go back to the disk at once, or all of them as the file
    // empties.
    forget(size);
    if (end_ != 0) discard(at, size);
    releaseDropped();
    settleStaged();
    return {std::move(packet), false, false};
}

void WaitingBatchFrames::erase(std::map<UUID, Batch>::iterator it) {
    stopWaiting(it->second);
    forgetPaths(it->second);
    batches_.erase(it);
    chargeBatches();
    if (!batches_.empty()) return;
    // Nothing waits: the file goes, and with it whatever it still held.
    closeFile();
}

void WaitingBatchFrames::drop(const UUID& batch) {
    auto it = batches_.find(batch);
    if (it == batches_.end()) return;
    const uint64_t head = it->second.head;
    forget(it->second.bytes);
    erase(it);
    if (!file_.isOpen()) return;
    if (end_ != 0 && head != none) dropped_.push_back(head);
    releaseDropped();
    settleStaged();
}

void WaitingBatchFrames::clear() {
    // The newest waits first: each is then the last of its peer's waiters.
    std::vector<const Batch*> waiting;
    for (const auto& [id, batch] : batches_) waiting.push_back(&batch);
    std::sort(waiting.begin(), waiting.end(), [](const Batch* a, const Batch* b) { return a->ticket > b->ticket; });
    for (const auto* batch : waiting) stopWaiting(*batch);
    batches_.clear();
    pathsJudged_ = 0;
    chargeBatches();
    closeFile();
}

void WaitingBatchFrames::closeFile() {
    file_.close();
    staged_.reset();
    descriptor_.reset();
    startAfresh();
}

void WaitingBatchFrames::startAfresh() {
    end_ = 0;
    live_ = 0;
    dropped_.clear();
    discardFrom_ = discardTo_ = 0;
}
