#pragma once
// Captured pictures for the frame benchmarks: like a desktop's, a gradient
// with a square that moves a little from one picture to the next.

#include <algorithm>
#include <memory>
#include <vector>

#include "Platform/Media/PixelBuffer.h"

inline std::vector<std::shared_ptr<platform::PixelBuffer>> desktopPictures(int width, int height, int count) {
    std::vector<std::shared_ptr<platform::PixelBuffer>> out;
    const int side = std::max(8, std::min(width, height) / 10);
    for (int i = 0; i < count; ++i) {
        auto b = std::make_shared<platform::PixelBuffer>(width, height);
        const int x0 = (i * 24) % std::max(1, width - side), y0 = (height - side) / 2;
        for (int y = 0; y < height; ++y) {
            uint8_t* row = b->data() + size_t(y) * b->bytesPerRow();
            for (int x = 0; x < width; ++x) {
                const bool square = x >= x0 && x < x0 + side && y >= y0 && y < y0 + side;
                row[x * 4 + 0] = square ? 255 : uint8_t((x * 255) / width);
                row[x * 4 + 1] = square ? 255 : uint8_t((y * 255) / height);
                row[x * 4 + 2] = square ? 255 : 96;
                row[x * 4 + 3] = 255;
            }
        }
        out.push_back(std::move(b));
    }
    return out;
}
