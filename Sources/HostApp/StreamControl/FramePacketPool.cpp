#include "HostApp/StreamControl/FramePacketPool.h"

#include <algorithm>
#include <atomic>
#include <iterator>

platform::TcpConnection::SharedBytes FramePacketPool::build(AuxPacketType type, uint8_t flags,
                                                            std::span<const uint8_t> payload, uint64_t timestampNs) {
    std::shared_ptr<std::vector<uint8_t>> buffer;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto& candidate : buffers_) {
            // Only the pool holds it: every sender has let go. The last
            // sender's release is ordered before our writes by the fence.
            if (candidate.use_count() == 1) {
#ifndef __SANITIZE_THREAD__
                // The race detector has no model of fences (GCC refuses one
                // under it); what it checks instead is the copy just below,
                // which libstdc++ makes an acquiring increment of the count.
                std::atomic_thread_fence(std::memory_order_acquire);
#endif
                buffer = candidate;
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

void FramePacketPool::releaseIdle() {
    std::vector<std::shared_ptr<std::vector<uint8_t>>> idle;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto held = std::partition(buffers_.begin(), buffers_.end(), [](const auto& b) { return b.use_count() > 1; });
        idle.assign(std::make_move_iterator(held), std::make_move_iterator(buffers_.end()));
        buffers_.erase(held, buffers_.end());
    }
    // Freed outside the lock, which the captures' threads wait on.
}

size_t FramePacketPool::pooledCountForTesting() const {
    std::lock_guard<std::mutex> guard(lock_);
    return buffers_.size();
}
