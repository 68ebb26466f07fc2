#include "HostApp/StreamControl/FramePacketPool.h"

platform::TcpConnection::SharedBytes FramePacketPool::build(AuxPacketType type, uint8_t flags,
                                                            std::span<const uint8_t> payload, uint64_t timestampNs) {
    std::shared_ptr<std::vector<uint8_t>> buffer;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto& candidate : buffers_) {
            // Only the pool holds it: every sender has let go. use_count()
            // reads the count relaxed, so it alone does not order the last
            // sender's release before our writes. Taking a reference and
            // dropping it again does: the drop is an acquiring decrement on
            // the same count, which a fence would do too, but a fence is
            // invisible to the race detector and this is not.
            if (candidate.use_count() == 1) {
                buffer = candidate;
                std::shared_ptr<std::vector<uint8_t>>(candidate).reset();
                break;
            }
        }
        if (!buffer) {
            buffer = std::make_shared<std::vector<uint8_t>>();
            if (buffers_.size() < capacity_) buffers_.push_back(buffer);
        }
    }
    // The buffer is ours alone until it is handed out below.
    buffer->clear();
    makeAuxPacket(*buffer, type, flags, payload, timestampNs);
    return buffer;
}

size_t FramePacketPool::pooledCountForTesting() const {
    std::lock_guard<std::mutex> guard(lock_);
    return buffers_.size();
}
