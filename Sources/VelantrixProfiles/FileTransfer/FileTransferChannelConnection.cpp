#include "VelantrixProfiles/FileTransfer/FileTransferChannelConnection.h"

#include <algorithm>
#include <cstring>

namespace C = FileTransferChannelConstants;

namespace {

// Buffer room kept between frames; a larger frame's room is given back.
constexpr size_t kRetainedBufferBytes = size_t{1} << 20;

void writeHeader(uint8_t* out, size_t payloadSize) {
    std::memcpy(out, C::magic.data(), C::magic.size());
    const auto length = static_cast<uint32_t>(payloadSize);
    for (size_t i = 0; i < 4; ++i) out[4 + i] = static_cast<uint8_t>(length >> (8 * i));
}

}  // namespace

FileTransferChannelConnection::FileTransferChannelConnection(std::shared_ptr<platform::TcpConnection> connection,
                                                             platform::DispatchQueue queue, std::string label,
                                                             Logger logger)
    : connection_(std::move(connection)),
      queue_(std::move(queue)),
      label_(std::move(label)),
      logger_(std::move(logger)),
      turns_(connection_, queue_, C::framing) {}

std::vector<uint8_t> FileTransferChannelConnection::encodeFrame(std::span<const uint8_t> payload) {
    std::vector<uint8_t> frame(C::headerSize + payload.size());
    writeHeader(frame.data(), payload.size());
    if (!payload.empty()) std::memcpy(frame.data() + C::headerSize, payload.data(), payload.size());
    return frame;
}

void FileTransferChannelConnection::start() {
    std::weak_ptr<FileTransferChannelConnection> weak = weak_from_this();
    connection_->stateUpdateHandler = [weak](platform::ConnectionState state, const std::string& error) {
        auto self = weak.lock();
        if (!self || self->didEnd_) return;
        switch (state) {
            case platform::ConnectionState::ready: self->logger_(self->label_ + " ready"); break;
            case platform::ConnectionState::failed:
                self->logger_(self->label_ + " failed: " + error);
                self->fail(error);
                break;
            case platform::ConnectionState::cancelled:
                self->logger_(self->label_ + " cancelled");
                self->fail(std::nullopt);
                break;
            default: break;
        }
    };
    connection_->receiveHandler = [weak](std::span<const uint8_t> data, bool isComplete, const std::string& error) {
        auto self = weak.lock();
        if (!self || self->didEnd_) return;
        if (!error.empty()) return self->fail(error);
        if (!data.empty()) self->receive(data, true);
        if (isComplete && !self->didEnd_) {
            // Frames already read but waiting for their turn are served
            // before the end is told, as they were before reading was paced.
            // A peer that left while its frames waited for its work is not
            // waited for: they go with it.
            if (self->turns_.turnQueued() && !self->turns_.waitingForThePeer()) {
                self->endAfterTurns_ = true;
            } else {
                self->fail(std::nullopt);
            }
        }
    };
    connection_->start(queue_);
}

void FileTransferChannelConnection::receive(std::span<const uint8_t> bytes, bool fromConnection) {
    // Served frames leave the front once, when more bytes come (reading is
    // held while cut frames wait, so what moves is at most one unfinished
    // frame), never once a turn.
    if (pendingStart_ > 0) {
        pendingBuffer_.erase(pendingBuffer_.begin(), pendingBuffer_.begin() + static_cast<std::ptrdiff_t>(pendingStart_));
        pendingStart_ = 0;
    }
    pendingBuffer_.insert(pendingBuffer_.end(), bytes.begin(), bytes.end());
    // One large frame must not leave its room held for the channel's life.
    if (pendingBuffer_.capacity() > kRetainedBufferBytes && pendingBuffer_.size() < kRetainedBufferBytes / 2)
        pendingBuffer_.shrink_to_fit();
    if (fromConnection) turns_.delivered(bytes.size());
    // Bytes read before reading was held wait for the turn already queued.
    if (!turns_.turnQueued()) drainBuffer();
    settleReadBytes();
}

void FileTransferChannelConnection::drainBuffer() {
    size_t offset = pendingStart_;
    int served = 0;
    bool yielding = false;
    while (!didEnd_ && !paused_) {
        // Past its turn, or past what its peer's work may hold.
        if (served == platform::ReceiveTurns::kPacketsPerTurn || turns_.mustWaitForWork()) {
            yielding = true;
            break;
        }
        const std::span<const uint8_t> rest(pendingBuffer_.data() + offset, pendingBuffer_.size() - offset);
        const auto announced = C::framing.payloadBytes(rest);
        if (!announced) break;
        const uint8_t* header = rest.data();
        if (!std::equal(C::magic.begin(), C::magic.end(), header)) {
            logger_(label_ + " magic mismatch; closing");
            fail(std::nullopt);
            break;
        }
        const uint32_t length = *announced;
        if (length > C::maxPayloadSize) {
            logger_(label_ + " payload too large (" + std::to_string(length) + "); closing");
            fail(std::nullopt);
            break;
        }
        if (acceptsPayloadLength && !acceptsPayloadLength(length)) {
            fail(std::nullopt);
            break;
        }
        if (rest.size() < C::headerSize + length) break;
        offset += C::headerSize + length;
        ++served;
        ++framesTaken_;
        // The handler may end the channel; it does so before the next frame
        // is cut. The buffer is not touched while it runs.
        if (onFrame) onFrame(std::span<const uint8_t>(header + C::headerSize, length));
    }
    if (didEnd_) {
        pendingBuffer_.clear();
        pendingBuffer_.shrink_to_fit();
        pendingStart_ = 0;
    } else if (offset == pendingBuffer_.size()) {
        pendingBuffer_.clear();
        pendingStart_ = 0;
        if (pendingBuffer_.capacity() > kRetainedBufferBytes) pendingBuffer_.shrink_to_fit();
    } else if (yielding && offset < pendingBuffer_.size() / 2) {
        // The next turn goes on from here. What the turns served leaves the
        // front once it is as large as what still waits, so moving the rest
        // costs no more than serving it did, and the served bytes held
        // never outgrow the waiting ones the peer's account counts.
        pendingStart_ = offset;
    } else {
        // Served bytes never stay behind an unfinished frame, which may
        // wait long for the rest of it: at most that frame is kept.
        pendingBuffer_.erase(pendingBuffer_.begin(), pendingBuffer_.begin() + static_cast<std::ptrdiff_t>(offset));
        pendingStart_ = 0;
        if (pendingBuffer_.capacity() > kRetainedBufferBytes && pendingBuffer_.size() < kRetainedBufferBytes / 2)
            pendingBuffer_.shrink_to_fit();
    }
    if (didEnd_ || paused_) return;
    if (yielding) {
        // The rest waits behind the queue's other work, and the peer's
        // next bytes in its socket.
        turns_.yield([weak = weak_from_this()] {
            auto self = weak.lock();
            if (!self || self->didEnd_) return;
            self->drainBuffer();
            self->settleReadBytes();
        });
    } else {
        turns_.caughtUp();
        if (endAfterTurns_) fail(std::nullopt);
    }
}

void FileTransferChannelConnection::settleReadBytes() {
    const std::span<const uint8_t> buffered(pendingBuffer_.data() + pendingStart_, pendingBuffer_.size() - pendingStart_);
    // Garbage is not a frame on its way, and an ended channel's bytes go
    // with it.
    const size_t magicSeen = std::min(buffered.size(), C::magic.size());
    const bool good = !didEnd_ && std::equal(C::magic.begin(), C::magic.begin() + magicSeen, buffered.begin());
    turns_.settle({didEnd_ ? std::span<const uint8_t>() : buffered, framesTaken_, good ? C::maxPayloadSize : 0});
}

void FileTransferChannelConnection::pauseReading() {
    if (paused_ || didEnd_) return;
    paused_ = true;
    connection_->setReadingPaused(true);
}

void FileTransferChannelConnection::resumeReading() {
    if (!paused_ || didEnd_) return;
    paused_ = false;
    connection_->setReadingPaused(false);
    if (!turns_.turnQueued()) drainBuffer();
    settleReadBytes();
}

void FileTransferChannelConnection::sendFrame(std::span<const uint8_t> payload,
                                              platform::TcpConnection::SendCompletion completion) {
    if (didEnd_) return;
    sendPreparedFrame(encodeFrame(payload), std::move(completion));
}

void FileTransferChannelConnection::sendPreparedFrame(std::vector<uint8_t> frame,
                                                      platform::TcpConnection::SendCompletion completion) {
    if (didEnd_ || frame.size() < C::headerSize) return;
    writeHeader(frame.data(), frame.size() - C::headerSize);
    std::weak_ptr<FileTransferChannelConnection> weak = weak_from_this();
    connection_->send(std::move(frame), [weak, label = label_, logger = logger_,
                                         completion = std::move(completion)](const std::string& error) {
        if (completion) completion(error);
        if (error.empty()) return;
        auto self = weak.lock();
        // A channel we ended reports its pending sends as cancelled: no news.
        if (self && self->didEnd_) return;
        logger((self ? label : std::string("channel")) + " send error: " + error);
        if (self) self->fail(error);
    });
}

void FileTransferChannelConnection::cancel() {
    if (didEnd_) return;
    didEnd_ = true;
    connection_->cancel();
    auto handler = std::move(onEnded);
    onEnded = nullptr;
    if (handler) handler(std::nullopt);
}

void FileTransferChannelConnection::fail(const std::optional<std::string>& error) {
    if (didEnd_) return;
    didEnd_ = true;
    auto handler = std::move(onEnded);
    onEnded = nullptr;
    connection_->cancel();
    if (handler) handler(error);
}
