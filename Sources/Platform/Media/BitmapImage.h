#pragma once
// Decoded pictures as the pasteboard and the clipboard exchange them: an
// image formed from PNG or TIFF bytes, its TIFF representation (the form in
// which image objects live on a pasteboard) and PNG data from its bitmap.
// Backed by libpng and libtiff.
//
// Image bytes may come from a Viewer, so decoding is bounded: the
// dimensions are checked against the limits below before any pixel memory
// is allocated or any pixel is decoded.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "Platform/Foundation/Result.h"

namespace platform {

class BitmapImage {
public:
    static constexpr uint32_t maxSide = 16384;
    static constexpr uint64_t maxPixels = 64ull * 1024 * 1024;

    // Straight (not premultiplied) 8-bit RGBA, rows top to bottom.
    BitmapImage(uint32_t width, uint32_t height, std::vector<uint8_t> rgba);

    // Forms an image from PNG or TIFF bytes, told apart by their signature.
    // Anything else, a damaged file, or a picture above the limits fails.
    static Result<BitmapImage> fromData(std::span<const uint8_t> bytes);

    // RGBA TIFF, deflate-compressed where libtiff has the codec.
    Result<std::vector<uint8_t>> tiffRepresentation() const;
    // The TIFF representation of the image that PNG or TIFF bytes form, as
    // fromData(bytes)->tiffRepresentation() gives it. A PNG that is not
    // interlaced goes to the TIFF writer one row at a time, so converting
    // it costs the encoded data and a row, never a decoded copy; other
    // input is decoded first.
    static Result<std::vector<uint8_t>> tiffRepresentationOfData(std::span<const uint8_t> bytes);

    // That same conversion, a slice of rows at a time: a picture at the
    // limits takes a processor for about a second, and whoever runs it may
    // have to stop between slices (the Viewer that sent it has gone). Input
    // other than a PNG that is not interlaced is converted whole, in the
    // first slice. The bytes must outlive the conversion.
    class TiffConversion {
    public:
        explicit TiffConversion(std::span<const uint8_t> bytes);
        ~TiffConversion();
        TiffConversion(const TiffConversion&) = delete;
        TiffConversion& operator=(const TiffConversion&) = delete;

        // Converts up to `rows` more rows (at least one); true once the
        // conversion has ended, whether or not it succeeded.
        bool convertRows(uint32_t rows);
        // The TIFF bytes written so far.
        size_t bytesWritten() const;
        // Once it has ended: the TIFF, or what went wrong.
        Result<std::vector<uint8_t>> result();

    private:
        struct State;
        std::unique_ptr<State> state_;
    };
    // 8-bit RGBA PNG, no extra chunks.
    Result<std::vector<uint8_t>> pngRepresentation() const;

    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }
    const std::vector<uint8_t>& rgba() const { return rgba_; }

    bool operator==(const BitmapImage&) const = default;

private:
    uint32_t width_;
    uint32_t height_;
    std::vector<uint8_t> rgba_;
};

}  // namespace platform
