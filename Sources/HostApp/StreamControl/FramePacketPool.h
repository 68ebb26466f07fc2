#pragma once
// FramePacketPool builds each video frame's aux packet into a buffer that
// every Viewer's connection then sends as it is: one build per frame, N
// references, and, once the pool has warmed up, no allocation per frame.
// A buffer is reused only when no connection holds it any longer.
//
// Thread-safe: the captures' threads build packets while connections on the
// I/O thread let go of older ones.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "HostApp/Protocol/AuxPacket.h"
#include "Platform/Network/Network.h"

class FramePacketPool {
public:
    // Buffers kept for reuse; a stalled Viewer that still holds all of them
    // costs a fresh buffer per frame until it drains or is pruned.
    static constexpr size_t defaultCapacity = 12;

    explicit FramePacketPool(size_t capacity = defaultCapacity) : capacity_(capacity) {}

    platform::TcpConnection::SharedBytes build(AuxPacketType type, uint8_t flags, std::span<const uint8_t> payload,
                                               uint64_t timestampNs);

    // Lets go of the buffers no connection holds: each keeps the size of
    // the largest frame it ever carried, which a rebuilt stream of another
    // size no longer needs.
    void releaseIdle();

    // Buffers the pool keeps (for tests).
    size_t pooledCountForTesting() const;

private:
    mutable std::mutex lock_;
    const size_t capacity_;
    std::vector<std::shared_ptr<std::vector<uint8_t>>> buffers_;
};
