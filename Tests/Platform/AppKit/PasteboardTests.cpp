// The pasteboard model and the images it holds: change counts, typed data,
// file URLs, and image decoding that refuses hostile dimensions.

#include <gtest/gtest.h>
#include <png.h>

#include <cstring>

#include "Platform/Media/BitmapImage.h"
#include "Platform/AppKit/Pasteboard.h"
#include "Support/TestSupport.h"

using namespace platform;

namespace {

BitmapImage gradient(uint32_t w, uint32_t h) {
    std::vector<uint8_t> rgba;
    // GCC 12 at -O3 sees the copy inside vector::insert reach past a
    // bound it made up: a known false positive of its -Wstringop-overflow
    // on the std::vector inlines.
#pragma GCC diagnostic push
#if !defined(__clang__)  // a warning only GCC has
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#endif
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            rgba.insert(rgba.end(), {static_cast<uint8_t>(x * 40), static_cast<uint8_t>(y * 50),
                                     static_cast<uint8_t>(x ^ y), static_cast<uint8_t>(255 - x * 30)});
#pragma GCC diagnostic pop
    return BitmapImage(w, h, rgba);
}

uint32_t crc32(const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFF;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320 & (0 - (c & 1)));
    }
    return ~c;
}

uint32_t be32(const uint8_t* p) { return (uint32_t{p[0]} << 24) | (p[1] << 16) | (p[2] << 8) | p[3]; }
void putBe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// A PNG claiming other dimensions, with a valid header checksum, so only
// the size check can refuse it.
std::vector<uint8_t> pngClaiming(uint32_t w, uint32_t h) {
    auto png = *gradient(2, 2).pngRepresentation();
    uint8_t* ihdr = png.data() + 8;  // length, "IHDR", width, height, ...
    putBe32(ihdr + 8, w);
    putBe32(ihdr + 12, h);
    putBe32(ihdr + 8 + be32(ihdr), crc32(ihdr + 4, 4 + be32(ihdr)));
    return png;
}

// The same for a TIFF: the width and length entries of its first directory.
std::vector<uint8_t> tiffClaiming(uint32_t w, uint32_t h) {
    auto tiff = *gradient(2, 2).tiffRepresentation();
    uint32_t ifd;
    std::memcpy(&ifd, tiff.data() + 4, 4);
    uint16_t entries;
    std::memcpy(&entries, tiff.data() + ifd, 2);
    for (uint16_t i = 0; i < entries; ++i) {
        uint8_t* e = tiff.data() + ifd + 2 + 12 * i;
        uint16_t tag, type;
        std::memcpy(&tag, e, 2);
        std::memcpy(&type, e + 2, 2);
        const uint32_t value = tag == 256 ? w : tag == 257 ? h : 0;
        if (tag != 256 && tag != 257) continue;
        if (type == 3) {
            const uint16_t v16 = static_cast<uint16_t>(value);
            std::memcpy(e + 8, &v16, 2);
        } else {
            std::memcpy(e + 8, &value, 4);
        }
    }
    return tiff;
}

class PasteboardTest : public VirtualTimeTest {};

TEST_F(PasteboardTest, ClearingRaisesTheChangeCountAndWritingDoesNot) {
    Pasteboard pb = Pasteboard::general();
    const int start = pb.changeCount();
    EXPECT_EQ(pb.clearContents(), start + 1);
    pb.setString("hello", kPasteboardTypeString);
    pb.setData(std::vector<uint8_t>{1, 2}, kPasteboardTypePNG);
    EXPECT_EQ(pb.changeCount(), start + 1);
    EXPECT_EQ(pb.types(), (std::vector<PasteboardType>{kPasteboardTypePNG, kPasteboardTypeString}));
    EXPECT_EQ(pb.stringForType(kPasteboardTypeString), "hello");
    EXPECT_FALSE(Pasteboard::drag().stringForType(kPasteboardTypeString)) << "pasteboards are separate";
    pb.clearContents();
    EXPECT_TRUE(pb.types().empty());
    EXPECT_FALSE(pb.dataForType(kPasteboardTypePNG));
}

TEST_F(PasteboardTest, FileURLsKeepTheirPathsWhateverTheyHold) {
    Pasteboard pb = Pasteboard::drag();
    const std::vector<std::filesystem::path> paths = {"/tmp/a b%c.txt", "/home/ü/#1?.pdf", "/"};
    pb.clearContents();
    ASSERT_TRUE(pb.writeFileURLs(paths));
    EXPECT_EQ(pb.readFileURLs(), paths);
    EXPECT_EQ(Pasteboard::fileURLString("/a b"), "file:///a%20b");
    EXPECT_FALSE(pb.writeFileURLs({"relative.txt"}));

    const std::pair<const char*, std::optional<std::string>> urls[] = {
        {"file:///x%2Fy", "/x/y"}, {"file://localhost/z", "/z"}, {"https://example.com/a", std::nullopt},
        {"file://host/a", std::nullopt}, {"file:///bad%2", std::nullopt}, {"file:///nul%00", std::nullopt}};
    for (const auto& [url, path] : urls) {
        auto parsed = Pasteboard::pathFromFileURLString(url);
        EXPECT_EQ(parsed ? std::optional<std::string>(parsed->string()) : std::nullopt, path) << url;
    }
}

TEST_F(PasteboardTest, ImagesAreStoredAsTheirTiffRepresentation) {
    Pasteboard pb = Pasteboard::general();
    pb.clearContents();
    ASSERT_TRUE(pb.writeImage(gradient(5, 3)));
    auto tiff = pb.dataForType(kPasteboardTypeTIFF);
    ASSERT_TRUE(tiff);
    auto image = BitmapImage::fromData(*tiff);
    ASSERT_TRUE(image.ok()) << image.error();
    EXPECT_EQ(*image, gradient(5, 3));
}

TEST(BitmapImage, PngAndTiffKeepEveryPixelIncludingAlpha) {
    const BitmapImage original = gradient(7, 4);
    for (auto encoded : {original.pngRepresentation(), original.tiffRepresentation()}) {
        ASSERT_TRUE(encoded.ok()) << encoded.error();
        auto decoded = BitmapImage::fromData(*encoded);
        ASSERT_TRUE(decoded.ok()) << decoded.error();
        EXPECT_EQ(*decoded, original);
    }
}

TEST(BitmapImage, RefusesOversizedPicturesBeforeDecodingThem) {
    const std::pair<uint32_t, uint32_t> sizes[] = {{16385, 1}, {1, 16385}, {10000, 10000}};
    for (auto [w, h] : sizes) {
        for (const auto& bytes : {pngClaiming(w, h), tiffClaiming(w, h)}) {
            auto image = BitmapImage::fromData(bytes);
            ASSERT_FALSE(image.ok());
            EXPECT_NE(image.error().find("image too large"), std::string::npos) << image.error();
        }
    }
    // At the limit the claim passes the check and fails on the missing data.
    auto atLimit = BitmapImage::fromData(pngClaiming(16384, 2));
    ASSERT_FALSE(atLimit.ok());
    EXPECT_EQ(atLimit.error().find("image too large"), std::string::npos);
}

TEST(BitmapImage, DamagedOrForeignBytesFail) {
    auto png = *gradient(4, 4).pngRepresentation();
    auto tiff = *gradient(4, 4).tiffRepresentation();
    const std::vector<uint8_t> inputs[] = {
        {}, {'G', 'I', 'F', '8', '9', 'a'}, std::vector<uint8_t>(png.begin(), png.begin() + png.size() / 2),
        std::vector<uint8_t>(tiff.begin(), tiff.begin() + 12), pngClaiming(0, 3)};
    for (const auto& bytes : inputs) EXPECT_FALSE(BitmapImage::fromData(bytes).ok()) << bytes.size();
}

// PNG bytes of every layout a producer may choose, from a pattern in that
// layout (16-bit samples included).
std::vector<uint8_t> pngIn(png_uint_32 format, uint32_t w, uint32_t h) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = w;
    image.height = h;
    image.format = format;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 37 + i / 11);
    std::vector<uint8_t> colormap(PNG_IMAGE_COLORMAP_SIZE(image));
    for (size_t i = 0; i < colormap.size(); ++i) colormap[i] = static_cast<uint8_t>(255 - i * 13);
    if (format & PNG_FORMAT_FLAG_COLORMAP) {
        image.colormap_entries = 256;
        colormap.resize(PNG_IMAGE_COLORMAP_SIZE(image));
    }
    png_alloc_size_t size = 0;
    const void* map = (format & PNG_FORMAT_FLAG_COLORMAP) ? colormap.data() : nullptr;
    EXPECT_TRUE(png_image_write_get_memory_size(image, size, 0, pixels.data(), 0, map)) << image.message;
    std::vector<uint8_t> out(size);
    EXPECT_TRUE(png_image_write_to_memory(&image, out.data(), &size, 0, pixels.data(), 0, map)) << image.message;
    out.resize(size);
    return out;
}

// The TIFF made row by row holds the picture the whole decode gives.
TEST(BitmapImage, TiffOfDataHoldsThePictureTheDecoderSees) {
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"RGBA", pngIn(PNG_FORMAT_RGBA, 9, 5)},
        {"RGB", pngIn(PNG_FORMAT_RGB, 9, 5)},
        {"grey", pngIn(PNG_FORMAT_GRAY, 9, 5)},
        {"grey and alpha", pngIn(PNG_FORMAT_GA, 9, 5)},
        {"palette with alpha", pngIn(PNG_FORMAT_RGBA_COLORMAP, 9, 5)},
        {"palette", pngIn(PNG_FORMAT_RGB_COLORMAP, 9, 5)},
        {"16-bit linear", pngIn(PNG_FORMAT_LINEAR_RGB_ALPHA, 9, 5)},
        {"TIFF input", *gradient(6, 3).tiffRepresentation()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto expected = BitmapImage::fromData(c.bytes);
        ASSERT_TRUE(expected.ok()) << expected.error();
        auto tiff = BitmapImage::tiffRepresentationOfData(c.bytes);
        ASSERT_TRUE(tiff.ok()) << tiff.error();
        auto image = BitmapImage::fromData(*tiff);
        ASSERT_TRUE(image.ok()) << image.error();
        EXPECT_EQ(*image, *expected);
        // A row a slice gives the same file: a PNG's five rows in five
        // slices, a TIFF whole in the first.
        BitmapImage::TiffConversion conversion(c.bytes);
        int slices = 1;
        while (!conversion.convertRows(1)) ++slices;
        EXPECT_EQ(slices, std::string(c.name) == "TIFF input" ? 1 : 5);
        auto sliced = conversion.result();
        ASSERT_TRUE(sliced.ok()) << sliced.error();
        EXPECT_EQ(*sliced, *tiff);
    }
}

TEST(BitmapImage, TiffOfDataRefusesWhatTheDecoderRefuses) {
    auto png = *gradient(4, 4).pngRepresentation();
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* error;
    } cases[] = {
        {"nothing", {}, "not an image"},
        {"GIF", {'G', 'I', 'F', '8', '9', 'a'}, "not an image"},
        {"PNG cut in half", std::vector<uint8_t>(png.begin(), png.begin() + png.size() / 2), "bad PNG"},
        {"PNG with a damaged row", [&] {
             auto bytes = png;
             bytes[bytes.size() - 20] ^= 0xFF;
             return bytes;
         }(), "bad PNG"},
        {"PNG without pixels", pngClaiming(0, 3), "bad PNG"},
        {"PNG claiming too much", pngClaiming(10000, 10000), "image too large"},
        {"TIFF claiming too much", tiffClaiming(16385, 1), "image too large"},
    };
    for (const auto& c : cases) {
        auto tiff = BitmapImage::tiffRepresentationOfData(c.bytes);
        ASSERT_FALSE(tiff.ok()) << c.name;
        EXPECT_NE(tiff.error().find(c.error), std::string::npos) << c.name << ": " << tiff.error();
    }
}

}  // namespace
