#include "Platform/Media/PixelBuffer.h"

#include <algorithm>

namespace platform {

namespace {
// Rows padded to 64 bytes, as capture buffers usually are.
int paddedRow(int width) { return ((width * 4 + 63) / 64) * 64; }
}  // namespace

// A negative size would turn into an enormous allocation: it is an empty buffer.
PixelBuffer::PixelBuffer(int width, int height)
    : width_(std::max(width, 0)), height_(std::max(height, 0)), bytesPerRow_(paddedRow(width_)),
      data_(static_cast<size_t>(bytesPerRow_) * static_cast<size_t>(height_)) {}

std::shared_ptr<PixelBufferPool> PixelBufferPool::create(size_t maxIdle) {
    return std::shared_ptr<PixelBufferPool>(new PixelBufferPool(maxIdle));
}

std::shared_ptr<PixelBuffer> PixelBufferPool::acquire(int width, int height) {
    std::unique_ptr<PixelBuffer> buffer;
    {
        std::lock_guard<std::mutex> g(lock_);
        for (auto it = idle_.begin(); it != idle_.end();) {
            if ((*it)->width() == width && (*it)->height() == height) {
                buffer = std::move(*it);
                idle_.erase(it);
                break;
            }
            it = idle_.erase(it);  // a size nobody asks for any more
        }
        if (!buffer) created_++;
    }
    if (!buffer) buffer = std::make_unique<PixelBuffer>(width, height);
    std::weak_ptr<PixelBufferPool> weak = shared_from_this();
    return std::shared_ptr<PixelBuffer>(buffer.release(), [weak](PixelBuffer* b) {
        if (auto pool = weak.lock()) {
            pool->giveBack(b);
        } else {
            delete b;
        }
    });
}

void PixelBufferPool::giveBack(PixelBuffer* buffer) {
    std::lock_guard<std::mutex> g(lock_);
    if (idle_.size() >= maxIdle_) {
        delete buffer;
        return;
    }
    idle_.emplace_back(buffer);
}

size_t PixelBufferPool::buffersCreated() const {
    std::lock_guard<std::mutex> g(lock_);
    return created_;
}

}  // namespace platform
