#pragma once
// What the server keeps for the file-data port beside the token and
// channel tables: the connections that have not shown a token yet, and the
// send window that keeps a fast sender from outrunning a slow Viewer.

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>

#include "HostApp/AuxServer/AuxWaitingRoom.h"
#include "HostApp/AuxServer/WaitingBatchFrames.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Runtime/WorkLedger.h"
#include "VelantrixProfiles/FileTransfer/FileTransferPacket.h"
#include "VelantrixProfiles/FileTransfer/FileTransferChannelConnection.h"

struct FileTransferChannelState {
    // Unbound connections may not pile up: past this many, new ones close,
    // unless their machine holds fewer than another (AuxWaitingRoom). A
    // machine holds half of them at most.
    static constexpr size_t maxPendingChannels = 16;
    static constexpr size_t maxPendingChannelsPerMachine = 8;
    // A connection that shows no token by then is closed.
    static constexpr double tokenDeadlineSeconds = 10;
    // Unsent bytes a file-transfer sender may leave on one connection
    // before it waits for the Viewer to read.
    static constexpr size_t sendWindowBytes = size_t{8} << 20;
    // Senders waiting for room wake up this often to look again even when
    // no write completion told them, so a Viewer that left is noticed.
    static constexpr double sendWindowRecheckSeconds = 0.25;
    // No packet goes to a peer whose bytes waiting to be sent are at their
    // bound (platform::WorkLedger::kMaxSendingBytes, over all its
    // connections). The packets of a batch being sent wait for room there
    // and in their connection's window, on the batch's own send queue,
    // and are never dropped; every other packet goes at once or is dropped,
    // so a Viewer that stops reading cannot make the Host hold its replies.
    static constexpr bool waitsForRoom(FileTransferOp op) {
        switch (op) {
            case FileTransferOp::directSave:
            case FileTransferOp::batchStart:
            case FileTransferOp::batchIntent:
            case FileTransferOp::mkdir:
            case FileTransferOp::fileStart:
            case FileTransferOp::fileChunk:
            case FileTransferOp::fileEnd:
            case FileTransferOp::batchEnd: return true;
            default: return false;
        }
    }
    // Bytes of frames that waited for their batch's place handed on in one
    // turn of the server queue, once the place came: a batch that waited
    // with gigabytes behind it takes its turns with everyone else's work.
    static constexpr size_t handOnBytesPerTurn = size_t{1} << 20;
    // A target that takes no byte for this long fails the batch waiting on
    // it, and its data connection is closed.
    static constexpr double stalledTargetSeconds = 30;

    // Write completions release waiting senders through this.
    struct SendWindow {
        platform::DispatchSemaphore writes{0};
        std::atomic<int> waiting{0};
        void writeCompleted() {
            if (waiting.load() > 0) writes.signal();
        }
    };

    // Accepted on the file port, token not yet shown; keyed by identity.
    std::map<const FileTransferChannelConnection*, std::shared_ptr<FileTransferChannelConnection>> pending;
    // Their places, shared among machines.
    AuxWaitingRoom room{maxPendingChannels, maxPendingChannelsPerMachine};
    std::shared_ptr<SendWindow> sendWindow = std::make_shared<SendWindow>();
    // When a waiting batch was last refused in the log: a Viewer's starts
    // cause it, so a line a second at most.
    uint64_t lastWaitingRefusalLineNs = 0;
};
