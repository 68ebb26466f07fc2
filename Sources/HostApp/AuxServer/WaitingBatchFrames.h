#pragma once
// Keeps the frames of one data channel's batches whose start waits for one
// of its peer's places, on disk and in the order they came, until a place
// frees for their batch; then gives them back one at a time.
//
// Why on disk and not on the peer's budget: the channel is one TCP stream,
// and the frames of the batches already open may come behind any amount of
// the waiting ones' data (copies sent side by side, the later ones' data
// first). Only those open batches, once whole and saved, give a place back.
// Held in memory against the budget, waiting frames could fill it; the
// channel would be read no further, the open batches' frames would never
// come, and no place would ever free. So a waiting frame never holds the
// budget: it is written out as it comes and the channel reads on. What
// stays in memory is a few words per waiting batch, charged to the peer:
// however many copies it starts side by side, they wait, never refused,
// and only a peer that starts thousands fills its own budget with them.
// What is on disk is the peer's, on its account as staged bytes (the
// blocks the file holds, which records released side by side with live
// ones may keep) within their bound and the disk's free space, and it goes
// with the channel (the file has no name); emptied whenever no record in
// it is live.
//
// One file per channel: each frame is a record (its length, where the next
// record of its batch lies, the packet's bytes), so a batch's frames are
// found in their order without an index that grows with them. A record
// handed back gives its blocks back to the disk at once.
//
// Server queue only.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Files/FileHandles.h"
#include "Platform/Foundation/Result.h"
#include "Platform/Foundation/Uuid.h"
#include "Platform/Runtime/WorkLedger.h"
#include "VelantrixProfiles/FileTransfer/FileTransferPacket.h"

class WaitingBatchFrames {
public:
    // What one waiting batch holds in memory, as charged to its peer: its
    // entry here, its waiter for a place and that waiter's callback take
    // about 300 bytes together.
    static constexpr size_t bytesPerWaitingBatch = 512;
    // Frames given back in one turn of the server queue, whatever their
    // size: each is a read of the disk.
    static constexpr size_t framesPerTurn = 64;
    // Records of dropped batches given back to the disk in one step.
    static constexpr size_t recordsPerStep = 1024;
    // Folders a waiting batch's frames made, and files they ended whole,
    // that are remembered (each kind up to this), to judge what the next
    // one makes: past it, a folder or a file's end moves the copy on no
    // more until the batch has its place. The words they take are on the
    // peer's account.
    static constexpr size_t maxPathsJudged = 4096;

    // `ledger`: the channel's peer, whose account holds all of it.
    explicit WaitingBatchFrames(std::shared_ptr<platform::WorkLedger> ledger);
    WaitingBatchFrames(const WaitingBatchFrames&) = delete;
    WaitingBatchFrames& operator=(const WaitingBatchFrames&) = delete;

    bool waits(const platform::UUID& batch) const { return batches_.count(batch) != 0; }
    // `batch` waits from now: its start and the frames that follow it are
    // kept (add) until it is granted its place.
    // `ticket`: its wait for a place (WorkLedger::whenHeldFree), withdrawn
    // should it go before the place comes.
    void addBatch(const platform::UUID& batch, uint64_t ticket);
    // Appends a frame of a waiting batch. A failure (the disk, or its peer's
    // staging bound) keeps nothing of it: the caller drops the batch.
    platform::Status add(const FileTransferPacket& packet);
    // Whether `packet`, just added, will move its copy on once it is
    // handled, as the batch's own frames are judged then (a folder made
    // anew, a file begun, bytes written in order within its size, a file
    // ended whole): judged now, since its sender is told heard from for
    // it before it is handled. False for a batch that does not wait.
    bool movesTheCopyOn(const FileTransferPacket& packet);
    // Its place came: takeNext gives its frames back from now.
    void grant(const platform::UUID& batch);
    // The oldest frame of a granted batch not yet given back. Nothing once
    // all were: the batch waits no more, and its next frames go straight
    // on. `lost`, when one could not be read back: the batch is dropped
    // (the frames after it would come without it), and `startGivenBack`
    // says whether its start had gone on before.
    struct Next {
        std::optional<FileTransferPacket> packet;
        bool lost = false;
        bool startGivenBack = false;
    };
    Next takeNext(const platform::UUID& batch);
    // Forgets `batch` and its frames. Their blocks go back to the disk a
    // bounded number of records at a time (recordsPerStep, with each later
    // call of this channel's), or all at once when the file empties: a
    // batch of many small frames never holds the server queue, and its
    // blocks stay on the account until they are back.
    void drop(const platform::UUID& batch);
    // Forgets everything: the channel went.
    void clear();

    // Bytes its records hold on disk now.
    uint64_t bytesOnDiskForTesting() const { return live_; }

    // When its session was last said to be heard from for what waits here:
    // its frames never reach the batches that judge a sender idle.
    uint64_t heardNoticeNs = 0;
    // Frames kept here since that notice that would move the copy on, and
    // the bytes of all: the pace it tells. And whether a notice of them is
    // on its way.
    size_t heardFrames = 0;
    size_t heardBytes = 0;
    bool heardNoticeQueued = false;

private:
    static constexpr uint64_t none = UINT64_MAX;
    // Each record: its packet's length (4 bytes), the offset of its batch's
    // next record or `none` (8 bytes), then the packet's bytes.
    static constexpr size_t recordHeaderSize = 12;
    struct Batch {
        uint64_t head = none;
        uint64_t tail = none;
        bool granted = false;
        bool startGivenBack = false;
        uint64_t ticket = 0;
        // Its records' bytes, header included, still in the file.
        uint64_t bytes = 0;
        // What its frames will have done once handled (movesTheCopyOn):
        // the file being written (its path's hash, declared size and bytes
        // so far), and the folders made and files ended, by their paths'
        // hashes, sorted.
        bool fileOpen = false;
        uint64_t file = 0;
        uint64_t fileSize = 0;
        uint64_t fileReceived = 0;
        std::vector<uint64_t> folders;
        std::vector<uint64_t> files;
    };
    void stopWaiting(const Batch& batch);
    // Notes the path hashed `hash` in `sorted` (the batch's folders or its
    // files); false when it was there before, or when the batch's paths
    // judged reach their bound. Its charge follows once the frame is judged.
    bool judgePath(Batch& batch, std::vector<uint64_t>& sorted, uint64_t hash);
    // Forgets what the batch's frames were judged to make, and gives back
    // its charge once the frame is judged.
    void forgetPaths(Batch& batch);
    // Sets the staged bytes on the account to the blocks the file holds;
    // false when that passes the peer's bound.
    bool settleStaged();
    platform::Status openFile();
    // Reads the header at `offset`: the packet's length and the next record.
    std::optional<std::pair<uint32_t, uint64_t>> readHeader(uint64_t offset) const;
    // `size` bytes of records no longer held: the file starts again once
    // none is.
    void forget(uint64_t size);
    // Gives back the blocks of up to recordsPerStep records of dropped
    // batches.
    void releaseDropped();
    // Gives the record's blocks back to the disk. Records one after the
    // other go back as one range: each alone would keep the block it shares
    // with the next.
    void discard(uint64_t offset, uint64_t size);
    void flushDiscards();
    // The file and what it holds on the account go.
    void closeFile();
    // Nothing in the file is held: records start again at its beginning.
    void startAfresh();
    void erase(std::map<platform::UUID, Batch>::iterator it);
    // The charge for the batches' memory, kept equal to their number.
    void chargeBatches();

    const std::shared_ptr<platform::WorkLedger> ledger_;
    std::map<platform::UUID, Batch> batches_;
    std::unique_ptr<platform::WorkLedger::Charge> batchesCharge_;
    // The words all batches' remembered paths take, charged with them.
    size_t pathsJudged_ = 0;
    // Open while any batch waits; closed (its space given back) once none does.
    platform::FileHandle file_;
    // Its descriptor and the bytes of its records, on the peer's account.
    platform::WorkLedger::Holding descriptor_;
    platform::WorkLedger::Holding staged_;
    // Where the next record goes, and the bytes of records still held.
    uint64_t end_ = 0;
    uint64_t live_ = 0;
    // The next record of each dropped batch whose blocks are not all back.
    std::vector<uint64_t> dropped_;
    // Records let go of and not yet given back to the disk: [from, to).
    uint64_t discardFrom_ = 0;
    uint64_t discardTo_ = 0;
};
