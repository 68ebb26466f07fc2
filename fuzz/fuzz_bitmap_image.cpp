// A Viewer's image bytes through the image decoder. Whatever forms an image
// must keep every pixel through PNG and through TIFF.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "Platform/Media/BitmapImage.h"

using platform::BitmapImage;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto image = BitmapImage::fromData(std::span<const uint8_t>(data, size));
    if (!image.ok()) return 0;
    if (image->width() > BitmapImage::maxSide || image->height() > BitmapImage::maxSide) std::abort();
    for (auto encoded : {image->pngRepresentation(), image->tiffRepresentation()}) {
        if (!encoded.ok()) std::abort();
        auto again = BitmapImage::fromData(*encoded);
        if (!again.ok() || !(*again == *image)) std::abort();
    }
    return 0;
}
