#pragma once
// The "FTRX" framing of one file-data connection, used alike by the Host
// and by a Viewer: each frame is the magic, a 32-bit little-endian payload
// length and the payload. It cuts received bytes into payloads, sends
// payloads as frames and reports the channel's end exactly once.
//
// Everything runs on the queue given at construction: the connection's
// callbacks, onFrame, onEnded and the calls of the owner.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Platform/Network/Network.h"
#include "Platform/Network/PacketFraming.h"
#include "Platform/Runtime/Dispatch.h"

namespace FileTransferChannelConstants {
inline constexpr std::array<uint8_t, 4> magic{0x46, 0x54, 0x52, 0x58};  // "FTRX"
inline constexpr size_t tokenSize = 16;
inline constexpr size_t headerSize = 8;
// Where a frame's header says how long its payload is: the one reading of
// its size, for the cutter and the account of what is read.
inline constexpr platform::PacketFraming framing{headerSize, 4};
// The largest payload a receiver accepts; exactly this size is accepted.
inline constexpr size_t maxPayloadSize = 8388608;
}  // namespace FileTransferChannelConstants

class FileTransferChannelConnection : public std::enable_shared_from_this<FileTransferChannelConnection> {
public:
    using Logger = std::function<void(const std::string&)>;
    // An empty error is an orderly end.
    using EndedHandler = std::function<void(const std::optional<std::string>& error)>;
    // The payload is valid only during the call.
    using FrameHandler = std::function<void(std::span<const uint8_t> payload)>;

    FileTransferChannelConnection(std::shared_ptr<platform::TcpConnection> connection, platform::DispatchQueue queue,
                                  std::string label, Logger logger);

    // Set before start().
    FrameHandler onFrame;
    EndedHandler onEnded;
    // Asked with each frame's length as soon as its header arrived, before
    // any of its payload is buffered; false ends the channel (the owner
    // says why). Unset accepts every length up to maxPayloadSize.
    std::function<bool(uint32_t length)> acceptsPayloadLength;

    void start();
    // One frame; nothing once the channel ended. `completion` runs on the
    // queue once the frame is written or failed.
    void sendFrame(std::span<const uint8_t> payload, platform::TcpConnection::SendCompletion completion = {});
    // A frame whose first headerSize bytes are left for the header, which
    // this fills in: lets a sender build the payload in place, without a
    // second copy of its bytes.
    void sendPreparedFrame(std::vector<uint8_t> frame, platform::TcpConnection::SendCompletion completion = {});
    // Ends the channel from the owner's side; onEnded hears no error.
    void cancel();
    // While paused no frame is cut and the socket is not read, so a peer
    // that sends faster than its frames are handled waits in its socket.
    // Bytes already read stay buffered until resumeReading().
    void pauseReading();
    void resumeReading();
    bool isReadingPaused() const { return paused_; }
    // The pace of this channel's full turns, shared with its peer's other
    // connections; its own until set. Frames are served at most
    // platform::ReceiveTurns::kPacketsPerTurn at a time, so a flood on one
    // channel waits behind the queue's other work.
    void setReceiveTurnBudget(std::shared_ptr<platform::ReceiveTurnBudget> budget) {
        turns_.setBudget(std::move(budget));
    }

    // The ledger of the peer whose work its frames start: while it is over
    // budget no frame is served.
    void setLedger(std::shared_ptr<platform::WorkLedger> ledger) { turns_.setLedger(std::move(ledger)); }
    bool didEnd() const { return didEnd_; }
    const std::shared_ptr<platform::TcpConnection>& connection() const { return connection_; }
    // Bytes handed to the connection and not yet written.
    size_t unsentBytes() const { return connection_->unsentBytes(); }

    // Bytes read and not yet cut into frames and served.
    size_t bufferedBytesForTesting() const { return pendingBuffer_.size() - pendingStart_; }
    // Everything it holds, served bytes not yet dropped included.
    size_t heldBytesForTesting() const { return pendingBuffer_.size(); }
    // Feeds received bytes to the frame cutter as a read would.
    void receiveForTesting(std::span<const uint8_t> bytes) { receive(bytes, false); }

    // The frame around a payload.
    static std::vector<uint8_t> encodeFrame(std::span<const uint8_t> payload);

private:
    // `fromConnection`: the bytes stay charged to the connection until served.
    void receive(std::span<const uint8_t> bytes, bool fromConnection);
    void drainBuffer();
    // Gives the connection back what was served, keeping charged what waits
    // for a turn or for reading to resume, and a frame still arriving as
    // such.
    void settleReadBytes();
    void fail(const std::optional<std::string>& error);

    std::shared_ptr<platform::TcpConnection> connection_;
    platform::DispatchQueue queue_;
    const std::string label_;
    Logger logger_;
    // Received bytes not yet cut into frames: at most one incomplete frame
    // plus what one read delivered.
    std::vector<uint8_t> pendingBuffer_;
    // Where the bytes not yet served begin in pendingBuffer_.
    size_t pendingStart_ = 0;
    // Frames cut from the front of pendingBuffer_ so far.
    uint64_t framesTaken_ = 0;
    bool didEnd_ = false;
    bool paused_ = false;
    // Frames are served in turns; reading is held while cut frames wait.
    platform::ReceiveTurns turns_;
    // The peer ended its stream while frames waited for a turn.
    bool endAfterTurns_ = false;
};
